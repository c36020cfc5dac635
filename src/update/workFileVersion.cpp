#include "update/workFileVersion.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "process/ListProcesses.h"
#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "update/getHTTPFile.h"
#include "update/replaceFile.h"

// folder, "\", name into out (MAX_PATH bytes); a path that does not fit is
// refused whole, never cut.
static int joinPath(char *out, const char *folder, const char *name, const char *caller)
{
    if (snprintf(out, MAX_PATH, "%s\\%s", folder, name) < MAX_PATH)
        return 1;
    LogFormat(true, "%s - path too long (over %d characters): %s\\%s", caller, MAX_PATH - 1, folder, name);
    return 0;
}

// Reads the file at path whole into a heap block of *size bytes and a
// terminator; null with errno set when it cannot be opened or read, or is
// larger than maxSize.
static char *readWhole(const char *path, size_t maxSize, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    char *data = (char *)malloc(maxSize + 2);
    size_t n = data ? fread(data, 1, maxSize + 1, f) : 0;
    int err = !data ? ENOMEM : ferror(f) ? EIO : n > maxSize ? EFBIG : 0;
    fclose(f);
    if (err) {
        free(data);
        errno = err;
        return NULL;
    }
    data[n] = '\0';
    *size = n;
    return data;
}

static int byText(const void *a, const void *b)
{
    return strcmp(*(const char *const *)a, *(const char *const *)b);
}

// The installed manifest's lines, read as the new one is, stripped and sorted:
// read once per pass, whatever the number of entries.
static void readInstalled(UpdatePass *pass)
{
    pass->installedRead = -1;
    char path[MAX_PATH];
    if (!joinPath(path, pass->workFolder, MANIFEST_NAME, "checkFileEqual")) {
        pass->installedError = ENAMETOOLONG;
        return;
    }
    size_t size = 0;
    char *data = readWhole(path, MANIFEST_MAX_BYTES, &size);
    if (!data) {
        pass->installedError = errno;
        return;
    }
    char *text = (char *)malloc(2 * size + 2);
    const char **lines = (const char **)malloc((size + 1) * sizeof *lines);
    size_t count = 0, used = 0, at = 0, n;
    while (text && lines && (n = nextManifestPiece(data, size, &at, text + used)) > 0) {
        lines[count++] = strip(text + used);
        used += n + 1;
    }
    free(data);
    if (!text || !lines) {
        free(text);
        free(lines);
        pass->installedError = ENOMEM;
        return;
    }
    qsort(lines, count, sizeof *lines, byText);
    pass->installedText = text;
    pass->installedLines = lines;
    pass->installedCount = count;
    pass->installedRead = 1;
}

UNITTEST void endUpdatePass(UpdatePass *pass)
{
    free(pass->installedText);
    free(pass->installedLines);
    pass->installedText = NULL;
    pass->installedLines = NULL;
    pass->installedCount = 0;
    pass->installedRead = 0;
}

UNITTEST int checkFileEqual(UpdatePass *pass, const char *path, const char *value, const char *kind)
{
    char localFile[MAX_PATH];
    if (!joinPath(localFile, pass->workFolder, path, "checkFileEqual"))
        return 0;
    struct _stat st;
    if (_stat(localFile, &st) != 0)
        return 0;

    // No line of the installed manifest is longer than a piece, so a longer
    // entry cannot stand in it.
    char entry[MANIFEST_PIECE_CHARS + 1];
    if (snprintf(entry, sizeof entry, "%s:%s %s", kind, value, path) >= (int)sizeof entry) {
        LogFormat(true, "checkFileEqual - entry text too long (over %d characters): %s:%s %s",
                  (int)sizeof entry - 1, kind, value, path);
        return 0;
    }

    if (!pass->installedRead)
        readInstalled(pass);
    if (pass->installedRead < 0) {
        char installed[MAX_PATH];
        snprintf(installed, sizeof installed, "%s\\%s", pass->workFolder, MANIFEST_NAME);
        LogFormat(true, "checkFileEqual - fopen failed: %d (%s : %s)", pass->installedError,
                  strerror(pass->installedError), installed);
        return 0;
    }
    const char *key = entry;
    if (!bsearch(&key, pass->installedLines, pass->installedCount, sizeof *pass->installedLines, byText))
        return 0;
    LogFormat(true, "File already exists and same version... [%s]", path);
    return 1;
}

// Once per pass, before its first download: with one launcher per work
// folder, no client of this folder can start in the middle of a pass.
static void terminateClients(UpdatePass *pass)
{
    if (pass->clientsSearched) {
        LogFormat(true, "SearchProcesses: already done in this pass: %d", pass->clientsFound);
        return;
    }
    // Two blanks before "-jar": the form in which running clients are looked for.
    char searchText[MAX_PATH];
    snprintf(searchText, sizeof searchText, "%s  -jar " CLIENT_JAR, pass->javaExe);
    pass->clientsFound = SearchProcesses(searchText, 1);
    pass->clientsSearched = true;
    LogFormat(true, "SearchProcesses: %d", pass->clientsFound);
}

// A "JRE" line or an entry of the manifest.
static int workItem(UpdatePass *pass, const ManifestItem *item)
{
    if (item->form == MANIFEST_JRE)
        LogFormat(true, "\nMinimum Java JRE: [%s]", item->fields.value);
    if (item->form != MANIFEST_ENTRY)
        return 1;
    const char *kind = item->fields.kind, *value = item->fields.value, *path = item->fields.path;
    LogFormat(true, "\nChecking file: %s", path);

    // A path from the network may name nothing outside the work folder, no
    // device and none of the launcher's own files.
    if (pathLeavesWorkFolder(path)) {
        LogFormat(true, "workFileVersionLine - path outside the work folder refused: %s", path);
        return 0;
    }
    if (const char *rule = pathRefusal(path)) {
        LogFormat(true, "workFileVersionLine - path refused, %s: %s", rule, path);
        return 0;
    }
    if (pass->verifyDigests == 2 && !digestTokenDigits(kind, value)) {
        LogFormat(true, "workFileVersionLine - no md5 or sha1 digest, which VerifyDigests requires, refused: %s:%s %s",
                  kind, value, path);
        return 0;
    }
    char localFile[MAX_PATH];
    if (!joinPath(localFile, pass->workFolder, path, "workFileVersionLine"))
        return 0;
    char url[4096];
    if (snprintf(url, sizeof url, "%s%s", pass->appletsURL, path) >= (int)sizeof url) {
        LogFormat(true, "workFileVersionLine - URL too long (over %d characters): %s%s", (int)sizeof url - 1,
                  pass->appletsURL, path);
        return 0;
    }

    if (checkFileEqual(pass, path, value, kind))
        return 1;
    LogFormat(true, "File not found or different, downloading...");
    terminateClients(pass);

    // Verified only where the administrator asks for it and the token is a
    // digest; any other token stays an opaque version mark.
    const char *verified = (pass->verifyDigests || pass->signedManifest) && digestTokenDigits(kind, value) ? kind : NULL;
    if (getHTTPFile(pass->downloads, url, localFile, verified, value))
        return 1;
    LogFormat(true, "Error downloading file!!: %s", url);
    return 0;
}

#ifdef KOVREL_UNITTESTS
int workFileVersionLine(UpdatePass *pass, char *line)
{
    ManifestItem item = {};
    item.form = cutManifestLine(line, &item.fields);
    return workItem(pass, &item);
}
#endif

// The pass over a manifest that was read whole.
static int workManifest(UpdatePass *pass, const Manifest *manifest, const char *manifestPath)
{
    if (manifest->zeroByte) {
        LogFormat(true, "workFileVersion - not a text manifest (it holds zero bytes): %s", manifestPath);
        return 0;
    }
    // What a captive portal or a broken server answers with 200 is no manifest.
    if (!manifest->entries) {
        LogFormat(true, "workFileVersion - no file named in the manifest, refused: %s", manifestPath);
        return PASS_NOT_A_MANIFEST;
    }
    LogFormat(true, "\nProcessing file: %s", manifestPath);
    // A signature vouches for the files only through their digests: an entry
    // without a SHA-256 fails the pass before anything is fetched.
    int failed = 0;
    for (size_t i = 0; pass->signedManifest && i < manifest->count; ++i) {
        const ManifestLine *f = &manifest->items[i].fields;
        if (manifest->items[i].form == MANIFEST_ENTRY &&
            (strcmp(f->kind, "sha256") != 0 || !digestTokenDigits(f->kind, f->value))) {
            LogFormat(true, "workFileVersion - not a sha256 entry, which signed manifests require, refused: %s:%s %s",
                      f->kind, f->value, f->path);
            failed = 1;
        }
    }
    if (failed)
        return 0;
    // A failed line never stops the walk: every other file still gets its chance.
    for (size_t i = 0; i < manifest->count; ++i)
        if (manifest->items[i].firstOf == i && !workItem(pass, &manifest->items[i]))
            failed = 1;
    if (manifest->repeats)
        LogFormat(true, "workFileVersion - %u lines passed over: their path was handled before",
                  (unsigned)manifest->repeats);
    if (failed)
        return 0;

    char installed[MAX_PATH];
    if (!joinPath(installed, pass->workFolder, MANIFEST_NAME, "workFileVersion"))
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

int workFileVersion(UpdatePass *pass, const char *manifestPath)
{
    size_t size = 0;
    char *data = readWhole(manifestPath, MANIFEST_MAX_BYTES, &size);
    if (!data) {
        int err = errno;
        LogFormat(true, "workFileVersion - fopen failed: %d (%s: %s)", err, strerror(err), manifestPath);
        return 0;
    }
    Manifest manifest;
    int result = 0;
    if (!readManifest(data, size, 0, &manifest)) {
        LogFormat(true, "workFileVersion - out of memory for the manifest: %s", manifestPath);
    } else {
        result = workManifest(pass, &manifest, manifestPath);
        freeManifest(&manifest);
    }
    free(data);
    endUpdatePass(pass);
    return result;
}
