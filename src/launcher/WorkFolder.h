// The work folder: "KovrelDocs\librun" in the user's temporary folder.
#pragma once

// Composes the work folder path (temporary folder + "KovrelDocs\librun") into
// path (UTF8_PATH_SIZE bytes of UTF-8) and creates what is missing. Returns 0 when nothing
// stands there (or the temporary folder is unusable), 1 for a folder, 2 for
// something else.
int createTMPDir(char *path);

#ifdef KOVREL_UNITTESTS
// Creates every missing folder along path; restores the text before returning.
void makeDirTree(char *path);

// 0: nothing at path, 1: a folder, 2: something else.
int dirExists(const char *path);
#endif
