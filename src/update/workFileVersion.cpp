#include "update/workFileVersion.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "logging/Logging.h"
#include "process/ListProcesses.h"
#include "update/getHTTPFile.h"

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

// The manifest comes from the network unverified: its paths may name nothing
// outside the work folder.
static int leavesWorkFolder(const char *path)
{
    if (path[0] == '/' || path[0] == '\\' || strchr(path, ':'))
        return 1;
    // Windows trims trailing dots from names, so "..." is refused like "..".
    for (const char *p = path;; ++p) {
        size_t len = strcspn(p, "/\\");
        if (len >= 2 && strspn(p, ".") == len)
            return 1;
        p += len;
        if (!*p)
            return 0;
    }
}

char *strip(char *text)
{
    char *out = text;
    for (const char *in = text; *in; ++in) {
        if (*in != '\t' && *in != '\n')
            *out++ = *in;
    }
    *out = '\0';
    return text;
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

int workFileVersionLine(char *line, const char *workFolder, const char *appletsURL)
{
    const char *javaExe = getenv("KOVREL_DEBUG") ? "java.exe" : "javaw.exe";

    // Only colons, or nothing at all: no kind, passed over like any other kind.
    const char *kind = strtok(line, ":");
    if (!kind)
        return 1;
    if (strcmp(kind, "JRE") == 0) {
        char *version = strtok(NULL, " ");
        if (version)
            LogFormat(true, "\nMinimum Java JRE: [%s]", strip(version));
        return 1;
    }
    if (strcmp(kind, "id") != 0 && strcmp(kind, "md5") != 0 && strcmp(kind, "sha1") != 0)
        return 1;
    const char *value = strtok(NULL, " ");
    char *path = strtok(NULL, " ");
    if (!value || !path)
        return 1;
    // A blank before the line end leaves a path of nothing but the line feed:
    // no path, not the work folder itself.
    if (!*strip(path))
        return 1;
    LogFormat(true, "\nChecking file: %s", path);

    if (leavesWorkFolder(path)) {
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

    if (getHTTPFile(url, localFile))
        return 1;
    LogFormat(true, "Error downloading file!!: %s", url);
    return 0;
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
    LogFormat(true, "\nProcessing file: %s", manifestPath);

    // A failed line never stops the walk: every other file still gets its chance.
    int failed = 0;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        if (!workFileVersionLine(line, workFolder, appletsURL))
            failed = 1;
    }
    fclose(f);
    if (failed)
        return 0;

    char installed[MAX_PATH];
    if (!joinPath(installed, workFolder, installedManifestName, "workFileVersion"))
        return 0;
    // The files are in line either way; a manifest that did not move in only
    // costs downloads on the next pass, so it is reported, not failed.
    remove(installed);
    if (rename(manifestPath, installed) != 0)
        LogFormat(true, "workFileVersion - rename failed: %d (%s: %s -> %s)", errno, strerror(errno),
                  manifestPath, installed);
    return 1;
}
