// The update pass: brings the work folder into line with the versions manifest.
#pragma once

#include <stddef.h>

struct Downloads;

// One pass: what the run hands it, and what it learns as it goes.
struct UpdatePass {
    // Set by the caller.
    const char *workFolder;
    const char *appletsURL; // ending in "/": below it, every file of the manifest
    const char *javaExe;    // the Java launcher whose running clients the pass terminates
    int verifyDigests;      // as the administrator's VerifyDigests: 1 a digest token must match
                            // the file it names, 2 and every entry must carry one
    bool signedManifest;    // the manifest's signature was checked: every entry must be a
                            // sha256 digest, and each one is verified
    const Downloads *downloads;
    // The pass's own, zero at its start.
    bool clientsSearched; // the search for running clients was made
    int clientsFound;     // and its result
    int installedRead;    // 0 not yet, 1 read, -1 could not be opened (errno in installedError)
    int installedError;
    char *installedText;         // the installed manifest's lines, stripped
    const char **installedLines; // sorted
    size_t installedCount;
};

// Walks the manifest at manifestPath ("fcompare.new" in the work folder),
// fetching each changed or missing file; a UTF-8 byte order mark is skipped,
// and a path named before in the manifest is passed over. When no line
// failed, the manifest becomes the work folder's "fcompare.ini" and 1 is
// returned; 0 when the manifest cannot be read, holds a zero byte (not text),
// or any line failed; PASS_NOT_A_MANIFEST, with nothing done, when it names no
// file at all (an error page, for instance). The first download is preceded by
// the search that terminates running clients. Releases what the pass held.
int workFileVersion(UpdatePass *pass, const char *manifestPath);

#define PASS_NOT_A_MANIFEST (-1)

#ifdef KOVREL_UNITTESTS
// One manifest line (cut up in place), as the pass handles it: 0 when its
// download failed or its path was refused; 1 otherwise (up to date, fetched,
// "JRE" or passed over).
int workFileVersionLine(UpdatePass *pass, char *line);

// 1 when the work folder holds path and "kind:value path" stands, as a line
// without tabs and line feeds, in its "fcompare.ini"; 0 otherwise.
int checkFileEqual(UpdatePass *pass, const char *path, const char *value, const char *kind);

// Releases what the pass read.
void endUpdatePass(UpdatePass *pass);
#endif
