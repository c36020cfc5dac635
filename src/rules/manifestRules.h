// The rules that a manifest line and the paths it names go through, shared by
// the launcher, the operator's tool and the fuzz targets: no I/O, no Windows API.
#pragma once

#include <stddef.h>

// What one line of the manifest, as fgets reads it, is to the update pass.
enum ManifestLineForm {
    MANIFEST_NO_KIND,    // empty, or nothing but colons: passed over
    MANIFEST_OTHER_KIND, // a kind other than "JRE", "id", "md5", "sha1", "sha256" (case counts): passed over
    MANIFEST_NO_VERSION, // "JRE" with nothing after it: passed over
    MANIFEST_JRE,        // "JRE" and its version
    MANIFEST_NO_VALUE,   // a known kind without a value: passed over
    MANIFEST_NO_PATH,    // no path, or one of nothing but tabs and line feeds: passed over
    MANIFEST_ENTRY,      // kind, value and path
};

// The fields of a line, pointing into it; null where the line has none.
struct ManifestLine {
    char *kind;
    char *value; // of a "JRE" line: the version, stripped
    char *path;  // stripped
};

// Cuts line in place as strtok(line, ":") for the kind and strtok(NULL, " ")
// for the value and the path would: runs of delimiters count as one, leading
// ones are skipped, and nothing after the path counts. Reentrant.
enum ManifestLineForm cutManifestLine(char *line, struct ManifestLine *fields);

// Removes every tab and line feed from text in place; returns text.
char *strip(char *text);

// A manifest path comes from the network unverified. Each rule names nothing
// outside the work folder (relative to it, with "/" or "\" between folders):
// 1 when path is absolute, names a drive or stream (a colon), or climbs out
// with "..", "..." and the like;
int pathLeavesWorkFolder(const char *path);
// 1 when a part of path is a name that Windows maps to a device (CON, PRN,
// AUX, NUL, COM0-9, LPT0-9 and their superscript-digit forms, CONIN$,
// CONOUT$), whatever its case, extension or trailing dots and blanks;
int pathNamesDevice(const char *path);
// 1 when a part of path is one of the launcher's own files in the work folder
// ("fcompare.ini", "fcompare.new", "fcompare.sig", "fcompare.serial", a
// download staged as "*.part"), whatever
// its case or trailing dots and blanks;
int pathNamesOwnFile(const char *path);
// 1 when a part of path other than "." ends in a dot or a blank, which Windows
// drops, so that "a.jar." would write over "a.jar";
int pathEndsInDotOrBlank(const char *path);
// 1 when path, at the top of the work folder, is a name that cmd.exe would run
// for the Java command ("java" or "javaw", bare or with extensions of the
// default PATHEXT, "javaw.exe.exe" too), whatever its case: cmd.exe looks in
// the current folder, the work folder, first.
int pathNamesJavaCommand(const char *path);
// The rule of the five above that refuses path, in words, or null when none does.
const char *pathRefusal(const char *path);

// 1 when path, staged as "<work folder>\<path>.part", fits a Windows path of
// 259 characters with a work folder of workFolderLength characters.
int pathFits(const char *path, size_t workFolderLength);

// The work folder length that published names are held to: a profile folder of
// about 100 characters, then "\AppData\Local\Temp\KovrelDocs\librun".
#define MANIFEST_WORK_FOLDER_BUDGET 150

// Why a file name of a published applets folder cannot stand in a manifest
// line as it is (the launcher would refuse it, cut it, fetch another URL or
// write another file), or null when it can.
const char *publishedNameProblem(const char *name);

// The hex digits of token when it is a digest that a file can be checked
// against: 32 for kind "md5", 40 for "sha1"; 0 for any other token or kind.
size_t digestTokenDigits(const char *kind, const char *token);

// text with bytes outside printable ASCII as \xNN, cut with "..." to fit out
// (outSize of at least 8); returns out. For what reaches a person.
const char *shownText(const char *text, char *out, size_t outSize);

// Whether name[0..len) equals the lower-case word, ASCII letters in any case.
bool sameWord(const char *name, size_t len, const char *word);
