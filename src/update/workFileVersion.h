// The update pass: brings the work folder into line with the versions manifest.
#pragma once

// strip, which the installed manifest's lines go through too.
#include "rules/manifestRules.h"

// Walks the manifest at manifestPath ("fcompare.new" in workFolder), fetching
// each changed or missing file from appletsURL (ending in "/"); a UTF-8 byte
// order mark is skipped, and a path handled before in the pass is passed over.
// When no line failed, the manifest becomes workFolder's "fcompare.ini" and 1
// is returned; 0 when the manifest cannot be opened, holds a zero byte (not
// text), or any line failed.
int workFileVersion(const char *manifestPath, const char *workFolder, const char *appletsURL);

// One manifest line (cut up in place). 0 when the line failed: its download
// failed, or its path was refused; 1 otherwise (up to date, fetched, "JRE" or
// passed over). The first download of a pass is preceded by the search that
// terminates running clients; later ones log that search's result.
int workFileVersionLine(char *line, const char *workFolder, const char *appletsURL);

// 1 when workFolder\path exists and "kind:value path" stands, as a line without
// tabs and line feeds, in workFolder's "fcompare.ini"; 0 otherwise.
int checkFileEqual(const char *path, const char *workFolder, const char *value, const char *kind);

// Starts a pass: the next download searches for running clients again.
void newUpdatePass(void);
