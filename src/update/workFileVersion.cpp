#include "update/workFileVersion.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "logging/Logging.h"
#include "policy/Policy.h"
#include "process/ListProcesses.h"
#include "rules/manifestRules.h"
#include "update/getHTTPFile.h"
#include "update/replaceFile.h"

static const char installedManifestName[] = "fcompare.ini";

// The pass's search for running clients, and its result.
static bool gClientsSearched;
static int gClientsFound;

void newUpdatePass(void)
{
    gClientsSearched = false;
}

// folder, "\", name into out (MAX_PATH bytes); a path that does not fit is
// refused whole, never cut.
static int joinPath(char *out, const char *folder, const char *name, const char *caller)
{
    if (snprintf(out, MAX_PATH, "%s\\%s", folder, name) < MAX_PATH)
        return 1;
    LogFormat(true, "%s - path too long (over %d characters): %s\\%s", caller, MAX_PATH - 1, folder,
              name);
    return 0;
}

int checkFileEqual(const char *path, const char *workFolder, const char *value, const char *kind)
{
    char localFile[MAX_PATH];
    if (!joinPath(localFile, workFolder, path, "checkFileEqual"))
        return 0;
    struct _stat st;
    if (_stat(localFile, &st) != 0)
        return 0;

    // No line of the installed manifest is longer than its read buffer, so a
    // longer entry cannot stand in it.
    char entry[1024];
    if (snprintf(entry, sizeof entry, "%s:%s %s", kind, value, path) >= (int)sizeof entry) {
        LogFormat(true, "checkFileEqual - entry text too long (over %d characters): %s:%s %s",
                  (int)sizeof entry - 1, kind, value, path);
        return 0;
    }

    char installed[MAX_PATH];
    if (!joinPath(installed, workFolder, installedManifestName, "checkFileEqual"))
        return 0;
    FILE *f = fopen(installed, "r");
    if (!f) {
        LogFormat(true, "checkFileEqual - fopen failed: %d (%s : %s)", errno, strerror(errno),
                  installed);
        return 0;
    }
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        if (strcmp(strip(line), entry) == 0) {
            LogFormat(true, "File already exists and same version... [%s]", path);
            fclose(f);
            return 1;
        }
    }
    fclose(f);
    return 0;
}

// The paths handled in one pass, each with its terminating zero, one after
// the other in one heap block.
struct PathList {
    char *text;
    size_t used, size;
    unsigned repeats; // lines passed over because their path was handled before
};

// 1 when path was handled before in the pass (names compared as Windows
// does, whatever the case); otherwise it is recorded and 0 is returned.
static int handledBefore(PathList *list, const char *path)
{
    for (size_t at = 0; at < list->used; at += strlen(list->text + at) + 1) {
        if (_stricmp(list->text + at, path) == 0) {
            ++list->repeats;
            return 1;
        }
    }
    size_t need = strlen(path) + 1;
    if (list->used + need > list->size) {
        size_t size = (list->used + need) * 2;
        char *text = (char *)realloc(list->text, size);
        if (!text) {
            // Unrecorded, a repeated path is only fetched once more.
            LogFormat(true, "workFileVersion - out of memory for the paths handled: %s", path);
            return 0;
        }
        list->text = text;
        list->size = size;
    }
    memcpy(list->text + list->used, path, need);
    list->used += need;
    return 0;
}

// One line of a pass; handled, when given, skips paths handled before.
static int workLine(char *line, const char *workFolder, const char *appletsURL, PathList *handled)
{
    const char *javaExe = getenv("KOVREL_DEBUG") ? "java.exe" : "javaw.exe";

    // Every line but a "JRE" line and an entry is passed over without a word.
    struct ManifestLine fields;
    enum ManifestLineForm form = cutManifestLine(line, &fields);
    if (form == MANIFEST_JRE)
        LogFormat(true, "\nMinimum Java JRE: [%s]", fields.value);
    if (form != MANIFEST_ENTRY)
        return 1;
    const char *kind = fields.kind, *value = fields.value, *path = fields.path;
    if (handled && handledBefore(handled, path))
        return 1;
    LogFormat(true, "\nChecking file: %s", path);

    // A path from the network may name nothing outside the work folder, no
    // device and none of the launcher's own files.
    if (pathRefusal(path)) {
        LogFormat(true, "workFileVersionLine - path outside the work folder refused: %s", path);
        return 0;
    }
    char localFile[MAX_PATH];
    if (!joinPath(localFile, workFolder, path, "workFileVersionLine"))
        return 0;
    char url[4096];
    if (snprintf(url, sizeof url, "%s%s", appletsURL, path) >= (int)sizeof url) {
        LogFormat(true, "workFileVersionLine - URL too long (over %d characters): %s%s",
                  (int)sizeof url - 1, appletsURL, path);
        return 0;
    }

    if (checkFileEqual(path, workFolder, value, kind))
        return 1;
    LogFormat(true, "File not found or different, downloading...");

    // Once per pass, before its first download: with one launcher per work
    // folder, no client of this folder can start in the middle of a pass.
    if (gClientsSearched) {
        LogFormat(true, "SearchProcesses: already done in this pass: %d", gClientsFound);
    } else {
        // Two blanks before "-jar": the form in which running clients are looked for.
        char searchText[MAX_PATH];
        snprintf(searchText, sizeof searchText, "%s  -jar Marvique.jar", javaExe);
        gClientsFound = SearchProcesses(searchText, 1);
        gClientsSearched = true;
        LogFormat(true, "SearchProcesses: %d", gClientsFound);
    }

    // Verified only where the administrator asks for it and the token is a
    // digest; any other token stays an opaque version mark.
    const char *verified = gPolicy.verifyDigests && digestTokenDigits(kind, value) ? kind : NULL;
    if (getHTTPFile(url, localFile, verified, value))
        return 1;
    LogFormat(true, "Error downloading file!!: %s", url);
    return 0;
}

int workFileVersionLine(char *line, const char *workFolder, const char *appletsURL)
{
    return workLine(line, workFolder, appletsURL, NULL);
}

// A text manifest holds no zero byte; UTF-16 and binary files do.
static int holdsZeroByte(FILE *f)
{
    char block[4096];
    size_t n;
    int found = 0;
    while (!found && (n = fread(block, 1, sizeof block, f)) > 0)
        found = memchr(block, 0, n) != NULL;
    rewind(f);
    return found;
}

int workFileVersion(const char *manifestPath, const char *workFolder, const char *appletsURL)
{
    newUpdatePass();
    FILE *f = fopen(manifestPath, "r");
    if (!f) {
        LogFormat(true, "workFileVersion - fopen failed: %d (%s: %s)", errno, strerror(errno),
                  manifestPath);
        return 0;
    }
    if (holdsZeroByte(f)) {
        LogFormat(true, "workFileVersion - not a text manifest (it holds zero bytes): %s", manifestPath);
        fclose(f);
        return 0;
    }
    LogFormat(true, "\nProcessing file: %s", manifestPath);

    // A failed line never stops the walk: every other file still gets its chance.
    int failed = 0;
    PathList handled = {NULL, 0, 0, 0};
    char line[1024];
    for (bool first = true; fgets(line, sizeof line, f); first = false) {
        // Notepad begins a UTF-8 file with a byte order mark.
        char *text = first && strncmp(line, "\xEF\xBB\xBF", 3) == 0 ? line + 3 : line;
        if (!workLine(text, workFolder, appletsURL, &handled))
            failed = 1;
    }
    fclose(f);
    free(handled.text);
    if (handled.repeats)
        LogFormat(true, "workFileVersion - %u lines passed over: their path was handled before", handled.repeats);
    if (failed)
        return 0;

    char installed[MAX_PATH];
    if (!joinPath(installed, workFolder, installedManifestName, "workFileVersion"))
        return 0;
    // The files are in line either way; a manifest that did not move in only
    // costs downloads on the next pass, so it is reported, not failed. One
    // replacing move: there is never a moment without an installed manifest.
    if (!replaceFile(manifestPath, installed, "workFileVersion")) {
        DWORD err = GetLastError();
        char text[256];
        LogFormat(true, "workFileVersion - rename failed: %lu (%s: %s -> %s)", err,
                  windowsErrorText(err, text, sizeof text), manifestPath, installed);
    }
    return 1;
}
