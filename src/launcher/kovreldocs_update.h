// The launcher's own steps: build information, usage text, the base URL of a
// link, the work folder and the Java launch.
#pragma once

#include <stddef.h>

#include "KovrelVersion.h"

// Product line of the usage text.
#define KOVREL_PRODUCT "KovrelDocs v." KOVREL_VERSION_SHORT

// Writes the build information block of the executable at path into out.
void InfoEXE(const char *path, char *out, size_t outSize);

// Prints the usage text to standard output.
void help(const char *path);

// Returns a pointer to the first "http" in text and ends the text right after
// the third "/" that follows it; null when there is no "http".
char *findURL(char *text);

// Composes the work folder path (temporary folder + "KovrelDocs\librun") into
// path (MAX_PATH bytes) and creates what is missing. Returns 0 when nothing
// stands there (or the temporary folder is unusable), 1 for a folder, 2 for
// something else.
int createTMPDir(char *path);

// Creates every missing folder along path; restores the text before returning.
void makeDirTree(char *path);

// 0: nothing at path, 1: a folder, 2: something else.
int dirExists(const char *path);

// Starts the client (javaExe -jar Marvique.jar and the link, already escaped
// for cmd.exe as safeLink) through cmd.exe from the work folder, or opens the
// Java download page when no Java runtime is usable. Releases the work folder
// once the client is started. Returns 1 when the client was started, 0 otherwise.
int launchJava(const char *javaExe, const wchar_t *safeLink, const char *tmpLibRun);
