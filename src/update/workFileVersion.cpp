#include "update/workFileVersion.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "process/ListProcesses.h"
#include "rules/javaVersion.h"
#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "text/Utf8.h"
#include "update/fileDigest.h"
#include "update/getHTTPFile.h"
#include "update/replaceFile.h"

// A manifest path in UTF-8: each of its bytes may take three.
#define MANIFEST_NAME_SIZE (3 * MANIFEST_PIECE_CHARS + 1)
// A file's URL: the applets URL and its path.
#define URL_SIZE 4096

// folder, "\", name into out (UTF8_PATH_SIZE bytes); a path that does not fit
// a Windows path is refused whole, never cut.
static int joinPath(char *out, const char *folder, const char *name, const char *caller)
{
    if (snprintf(out, UTF8_PATH_SIZE, "%s\\%s", folder, name) < UTF8_PATH_SIZE && wideUnits(out) < MAX_PATH)
        return 1;
    LogFormat(true, "%s - path too long (over %d characters): %s\\%s", caller, MAX_PATH - 1, folder, name);
    return 0;
}

// The file that a manifest path names in the work folder, and the name in
// UTF-8 for the log.
static int localPath(const UpdatePass *pass, const char *path, char *name, char *out, const char *caller)
{
    manifestNameToUtf8(path, name, MANIFEST_NAME_SIZE);
    return joinPath(out, pass->workFolder, name, caller);
}

// Reads the file at path whole into a heap block of *size bytes and a
// terminator; null with errno set when it cannot be opened or read, or is
// larger than maxSize.
static char *readWhole(const char *path, size_t maxSize, size_t *size)
{
    FILE *f = openFile(path, "rb");
    if (!f)
        return NULL;
    // A block of the file's own length: one of the limit's would be memory
    // the run holds for nothing.
    struct _stat st;
    size_t length = _fstat(_fileno(f), &st) == 0 && st.st_size >= 0 ? (size_t)st.st_size : maxSize;
    size_t room = length < maxSize ? length : maxSize;
    char *data = (char *)malloc(room + 2);
    size_t n = data ? fread(data, 1, room + 1, f) : 0;
    int err = !data ? ENOMEM : ferror(f) ? EIO : n > maxSize ? EFBIG : n > room ? EIO : 0;
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
    char path[UTF8_PATH_SIZE];
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
    size_t count = 0, used = 0, n;
    // Skipped as in the new manifest, which moves in as it came.
    size_t at = size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
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
    free(pass->needed);
    pass->needed = NULL;
    pass->neededCount = pass->neededRoom = 0;
    free(pass->installedText);
    free(pass->installedLines);
    pass->installedText = NULL;
    pass->installedLines = NULL;
    pass->installedCount = 0;
    pass->installedRead = 0;
}

UNITTEST int checkFileEqual(UpdatePass *pass, const char *path, const char *value, const char *kind)
{
    char name[MANIFEST_NAME_SIZE], localFile[UTF8_PATH_SIZE];
    if (!localPath(pass, path, name, localFile, "checkFileEqual"))
        return 0;
    struct _stat st;
    if (statFile(localFile, &st) != 0)
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
        char installed[UTF8_PATH_SIZE];
        snprintf(installed, sizeof installed, "%s\\%s", pass->workFolder, MANIFEST_NAME);
        LogFormat(true, "checkFileEqual - fopen failed: %d (%s : %s)", pass->installedError,
                  strerror(pass->installedError), installed);
        return 0;
    }
    const char *key = entry;
    if (!bsearch(&key, pass->installedLines, pass->installedCount, sizeof *pass->installedLines, byText))
        return 0;
    LogFormat(true, "File already exists and same version... [%s]", name);
    return 1;
}

// Once per pass, before its switch: with one launcher per work folder, no
// client of this folder can start in the middle of a pass.
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

// Every "JRE" line is a minimum: the newest readable one is the one to meet.
static void keepMinimumJava(char *minimum, const char *version)
{
    JavaVersion read;
    if (strlen(version) < sizeof UpdatePass::minimumJava && parseJavaVersion(version, &read) &&
        (!minimum[0] || javaVersionAtLeast(version, minimum) == 1))
        memcpy(minimum, version, strlen(version) + 1);
}

static int addNeeded(UpdatePass *pass, const ManifestItem *item)
{
    if (pass->neededCount == pass->neededRoom) {
        size_t room = pass->neededRoom ? 2 * pass->neededRoom : 64;
        const ManifestItem **needed = (const ManifestItem **)realloc(pass->needed, room * sizeof *needed);
        if (!needed) {
            LogFormat(true, "workFileVersion - out of memory for the files to fetch");
            return 0;
        }
        pass->needed = needed;
        pass->neededRoom = room;
    }
    pass->needed[pass->neededCount++] = item;
    return 1;
}

// The check of a "JRE" line or an entry: nothing is fetched or changed.
// Returns 0 when the entry cannot be taken; an entry whose file is missing or
// changed is added to the files the pass fetches.
static int checkItem(UpdatePass *pass, const ManifestItem *item)
{
    if (item->form == MANIFEST_JRE) {
        LogFormat(true, "\nMinimum Java JRE: [%s]", item->fields.value);
        keepMinimumJava(pass->minimumJava, item->fields.value);
    }
    if (item->form != MANIFEST_ENTRY)
        return 1;
    const char *kind = item->fields.kind, *value = item->fields.value, *path = item->fields.path;
    char name[MANIFEST_NAME_SIZE];
    manifestNameToUtf8(path, name, sizeof name);
    LogFormat(true, "\nChecking file: %s", name);

    // A path from the network may name nothing outside the work folder, no
    // device and none of the launcher's own files.
    if (pathLeavesWorkFolder(path)) {
        LogFormat(true, "workFileVersionLine - path outside the work folder refused: %s", name);
        return 0;
    }
    if (const char *rule = pathRefusal(path)) {
        LogFormat(true, "workFileVersionLine - path refused, %s: %s", rule, name);
        return 0;
    }
    // A signature vouches for the files only through their digests.
    if (pass->signedManifest && (strcmp(kind, "sha256") != 0 || !digestTokenDigits(kind, value))) {
        LogFormat(true, "workFileVersion - not a sha256 entry, which signed manifests require, refused: %s:%s %s",
                  kind, value, name);
        return 0;
    }
    if (pass->verifyDigests == 2 && !digestTokenDigits(kind, value)) {
        LogFormat(true,
                  "workFileVersionLine - no md5, sha1 or sha256 digest, which VerifyDigests requires, refused: %s:%s %s",
                  kind, value, name);
        return 0;
    }
    char localFile[UTF8_PATH_SIZE];
    if (!localPath(pass, path, name, localFile, "workFileVersionLine"))
        return 0;
    if (strlen(pass->appletsURL) + strlen(path) >= URL_SIZE) {
        LogFormat(true, "workFileVersionLine - URL too long (over %d characters): %s%s", URL_SIZE - 1,
                  pass->appletsURL, path);
        return 0;
    }
    if (checkFileEqual(pass, path, value, kind))
        return 1;
    // A switch would move the whole folder aside ("sub/." names it too).
    struct _stat st;
    size_t length = strlen(path);
    if (strchr("/\\", path[length - 1]) || (statFile(localFile, &st) == 0 && (st.st_mode & _S_IFDIR))) {
        LogFormat(true, "workFileVersionLine - path names a folder, refused: %s", name);
        return 0;
    }
    LogFormat(true, "File not found or different, downloading...");
    return addNeeded(pass, item);
}

// The staged file of an entry: named by a hash of its whole entry text, so
// that another version of the file is another name.
static void stagedName(const ManifestItem *item, char *out, size_t size)
{
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    const char *parts[] = {item->fields.kind, ":", item->fields.value, " ", item->fields.path};
    for (const char *part : parts)
        for (const unsigned char *p = (const unsigned char *)part; *p; ++p)
            hash = (hash ^ *p) * 1099511628211ull;
    snprintf(out, size, "%08lx%08lx", (unsigned long)(hash >> 32), (unsigned long)hash);
}

static int byName(const void *a, const void *b)
{
    return strcmp((const char *)a, (const char *)b);
}

// Removes from the staging folder whatever no needed file of this pass is
// (another version's, or a pass's that was given up): it never holds more than
// one version. names are the needed files' staged names, sorted.
static void tidyStaging(const char *staging, const char (*names)[17], size_t count)
{
    char pattern[UTF8_PATH_SIZE];
    wchar_t wide[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\*", staging);
    WIN32_FIND_DATAW found;
    HANDLE h = toWide(pattern, wide, MAX_PATH) ? FindFirstFileW(wide, &found) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        char name[UTF8_PATH_SIZE], base[17], path[UTF8_PATH_SIZE];
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !toUtf8(found.cFileName, name, sizeof name))
            continue;
        snprintf(base, sizeof base, "%s", name);
        if (strlen(name) >= 16 && bsearch(base, names, count, sizeof *names, byName))
            continue;
        snprintf(path, sizeof path, "%s\\%s", staging, name);
        if (removeFile(path) == 0)
            LogFormat(true, "workFileVersion - staged file of no entry removed: %s", name);
    } while (FindNextFileW(h, &found));
    FindClose(h);
}

// The fetch phase: every needed file into the staging folder. An earlier
// run's whole staged file of the same entry is taken as it is.
static int fetchNeeded(UpdatePass *pass, const char *staging)
{
    size_t count = pass->neededCount;
    // A file's URL, staged path and name. Half a million short lines of a
    // manifest would need more than 32 bits can count: refused, never wrapped.
    const size_t each = URL_SIZE + UTF8_PATH_SIZE + MANIFEST_NAME_SIZE;
    char (*names)[17] = (char(*)[17])malloc((count ? count : 1) * sizeof *names);
    FetchJob *jobs = (FetchJob *)calloc(count ? count : 1, sizeof *jobs);
    char *text = count <= SIZE_MAX / each ? (char *)malloc((count ? count : 1) * each) : NULL;
    int ok = names && jobs && text;
    if (!ok)
        LogFormat(true, "workFileVersion - out of memory for the files to fetch");
    size_t jobCount = 0;
    for (size_t i = 0; ok && i < count; ++i) {
        const ManifestItem *item = pass->needed[i];
        stagedName(item, names[i], sizeof names[i]);
        char *url = text + i * each, *path = url + URL_SIZE;
        char *name = path + UTF8_PATH_SIZE;
        manifestNameToUtf8(item->fields.path, name, MANIFEST_NAME_SIZE);
        snprintf(url, URL_SIZE, "%s%s", pass->appletsURL, item->fields.path);
        snprintf(path, UTF8_PATH_SIZE, "%s\\%s", staging, names[i]);
        // Verified only where the administrator asks for it or the manifest
        // is signed, and the token is a digest; any other token stays an
        // opaque version mark.
        const char *verified = (pass->verifyDigests || pass->signedManifest) &&
                                       digestTokenDigits(item->fields.kind, item->fields.value)
                                   ? item->fields.kind
                                   : NULL;
        // A run without that check may have staged it: it is checked again.
        char actual[65];
        struct _stat st;
        if (statFile(path, &st) == 0) {
            if (!verified || (fileDigest(path, verified, actual, sizeof actual) &&
                              _stricmp(actual, item->fields.value) == 0)) {
                LogFormat(true, "workFileVersion - staged before, whole: %s", url);
                continue;
            }
            LogFormat(true, "workFileVersion - staged before without the manifest's digest, fetched again: %s", url);
            removeFile(path);
        }
        FetchJob *job = &jobs[jobCount++];
        job->url = url;
        job->name = name;
        job->path = path;
        job->digestKind = verified;
        job->digest = verified ? item->fields.value : NULL;
    }
    if (ok) {
        qsort(names, count, sizeof *names, byName);
        tidyStaging(staging, names, count);
        LogFormat(true, "\nworkFileVersion - fetching %u of %u files, %u at a time",
                  (unsigned)jobCount, (unsigned)count, pass->downloads->maxParallel);
        ok = fetchFiles(pass->downloads, jobs, jobCount);
        for (size_t i = 0; i < jobCount; ++i)
            if (!jobs[i].ok)
                LogFormat(true, "Error downloading file!!: %s", jobs[i].url);
    }
    free(names);
    free(jobs);
    free(text);
    return ok;
}

// The places of one needed file in a switch: its target in the work folder,
// its staged copy, and where the file it replaces is kept aside.
struct SwitchPaths {
    char name[MANIFEST_NAME_SIZE];
    char target[UTF8_PATH_SIZE], staged[UTF8_PATH_SIZE], aside[UTF8_PATH_SIZE];
};

static void switchPaths(const UpdatePass *pass, const char *staging, const ManifestItem *item, SwitchPaths *p)
{
    char base[17];
    localPath(pass, item->fields.path, p->name, p->target, "workFileVersion");
    stagedName(item, base, sizeof base);
    snprintf(p->staged, sizeof p->staged, "%s\\%s", staging, base);
    snprintf(p->aside, sizeof p->aside, "%s\\%s.old", staging, base);
}

// Puts one file of a switch back: the new file, when it is in place, returns
// to the staging folder for the next run, and the old one kept aside returns
// to its place. Each step is done only where it is still to do, so that a
// switch cut short anywhere, even in its own putting back, is put back whole.
static bool putBackFile(const SwitchPaths *p, bool hadOld)
{
    struct _stat st;
    bool inPlace = statFile(p->target, &st) == 0;
    if (hadOld) {
        if (statFile(p->aside, &st) != 0)
            return true; // never moved aside: the old file is still in place
        return (!inPlace || replaceFile(p->target, p->staged, "workFileVersion")) &&
               replaceFile(p->aside, p->target, "workFileVersion");
    }
    return !inPlace || replaceFile(p->target, p->staged, "workFileVersion");
}

// Notes which targets exist (hadOld) and writes the journal's lines,
// "<1|0> <staged name> <target>", 1 when the target existed and is kept
// aside; the switch moves them in this order.
static int writeJournal(const UpdatePass *pass, const char *staging, const char *journal, bool *hadOld)
{
    FILE *f = openFile(journal, "wb");
    int err = f ? EIO : errno;
    bool asideLeft = false;
    for (size_t i = 0; f && i < pass->neededCount; ++i) {
        SwitchPaths p;
        switchPaths(pass, staging, pass->needed[i], &p);
        struct _stat st;
        hadOld[i] = statFile(p.target, &st) == 0;
        // What an earlier switch kept aside is no file of this one: left
        // there, it would be put back in place of the file this one keeps aside.
        if (removeFile(p.aside) != 0) {
            int removeErr = errno;
            if (statFile(p.aside, &st) == 0) {
                asideLeft = true;
                err = removeErr;
                LogFormat(true, "workFileVersion - %s kept aside by an earlier switch, not removed", p.aside);
                break;
            }
        }
        fprintf(f, "%d %s %s\n", hadOld[i] ? 1 : 0, p.staged + strlen(staging) + 1, p.target);
    }
    bool written = f && !asideLeft && !ferror(f);
    if (f && !closeFile(f)) {
        written = false;
        err = errno;
    }
    if (written)
        return 1;
    LogFormat(true, "workFileVersion - the switch's journal not written, nothing switched: %d (%s : %s)", err,
              strerror(err), journal);
    removeFile(journal);
    return 0;
}

// Does a journal's files, the last moved first: puts them back (rollBack)
// or, once the manifest moved in, only removes the old files kept aside. 0
// when a file could not be put back (logged); the journal then stays for the
// next run.
static int replayJournal(const char *workFolder, const char *staging, const char *journal, bool rollBack)
{
    size_t size = 0;
    char *data = readWhole(journal, (size_t)1 << 30, &size);
    if (!data) {
        int err = errno;
        LogFormat(true, "workFileVersion - the switch's journal not read: %d (%s : %s)", err, strerror(err), journal);
        return 0;
    }
    size_t folderLength = strlen(workFolder);
    // Whole lines only: one that the end of that run cut names a file that
    // was not moved yet.
    size_t count = 0;
    for (size_t i = 0; i < size; ++i)
        count += data[i] == '\n';
    char **lines = (char **)malloc((count ? count : 1) * sizeof *lines);
    int ok = lines != NULL;
    char *at = data;
    for (size_t i = 0; ok && i < count; ++i) {
        char *end = (char *)memchr(at, '\n', (size_t)(data + size - at));
        *end = '\0';
        lines[i] = at;
        at = end + 1;
    }
    for (size_t i = count; ok && i-- > 0;) {
        const char *line = lines[i];
        size_t length = strlen(line);
        // Only files of this work folder are ever moved.
        if (length < 20 || (line[0] != '0' && line[0] != '1') || line[1] != ' ' || line[18] != ' ' ||
            strncmp(line + 19, workFolder, folderLength) != 0 || line[19 + folderLength] != '\\')
            continue;
        SwitchPaths p;
        snprintf(p.name, sizeof p.name, "%s", line + 19);
        snprintf(p.target, sizeof p.target, "%s", line + 19);
        snprintf(p.staged, sizeof p.staged, "%s\\%.16s", staging, line + 2);
        snprintf(p.aside, sizeof p.aside, "%s.old", p.staged);
        if (!rollBack) {
            removeFile(p.aside);
        } else if (!putBackFile(&p, line[0] == '1')) {
            LogFormat(true, "workFileVersion - %s could not be put back: %lu", p.name, GetLastError());
            ok = 0;
        }
    }
    free(lines);
    free(data);
    if (ok)
        removeFile(journal);
    return ok;
}

// The new manifest over the installed one, in one replacing move: there is
// never a moment without an installed manifest. False, logged with after,
// when it did not move.
static bool installManifest(const UpdatePass *pass, const char *manifestPath, const char *after)
{
    char installed[UTF8_PATH_SIZE];
    if (!joinPath(installed, pass->workFolder, MANIFEST_NAME, "workFileVersion"))
        return false;
    if (replaceFile(manifestPath, installed, "workFileVersion"))
        return true;
    DWORD err = GetLastError();
    char text[256];
    LogFormat(true, "workFileVersion - rename failed: %lu (%s: %s -> %s)%s", err,
              windowsErrorText(err, text, sizeof text), manifestPath, installed, after);
    return false;
}

// The switch phase: the whole version at once, the manifest last, or not at
// all.
static int switchNeeded(UpdatePass *pass, const char *staging, const char *manifestPath)
{
    LogFormat(true, "\nworkFileVersion - switching to the %u files fetched", (unsigned)pass->neededCount);
    terminateClients(pass);
    char journal[UTF8_PATH_SIZE];
    if (!joinPath(journal, staging, SWITCH_JOURNAL_NAME, "workFileVersion"))
        return 0;
    bool *hadOld = (bool *)calloc(pass->neededCount ? pass->neededCount : 1, sizeof *hadOld);
    if (!hadOld) {
        LogFormat(true, "workFileVersion - out of memory for the switch");
        return 0;
    }
    int journaled = writeJournal(pass, staging, journal, hadOld), ok = journaled;
    size_t moved = 0;
    for (; ok && moved < pass->neededCount; ++moved) {
        SwitchPaths p;
        switchPaths(pass, staging, pass->needed[moved], &p);
        // The old file is kept aside, so that it can be put back.
        if ((hadOld[moved] && !replaceFile(p.target, p.aside, "workFileVersion")) ||
            !replaceFile(p.staged, p.target, "workFileVersion")) {
            DWORD err = GetLastError();
            char text[256];
            LogFormat(true, "workFileVersion - %s not switched: %lu (%s); the %u files switched are put back", p.name,
                      err, windowsErrorText(err, text, sizeof text), (unsigned)moved);
            ok = 0;
        }
    }
    // The manifest last: until it is in, the installed one names the files
    // that are put back.
    if (ok && manifestPath) {
        char after[64];
        snprintf(after, sizeof after, "; the %u files switched are put back", (unsigned)moved);
        ok = installManifest(pass, manifestPath, after);
    }
    free(hadOld);
    if (!journaled)
        return 0;
    replayJournal(pass->workFolder, staging, journal, !ok);
    if (ok)
        LogFormat(true, "workFileVersion - switch: %u files moved into place", (unsigned)moved);
    return ok;
}

// The work folder's staging folder and its switch journal (UTF8_PATH_SIZE each).
static bool journalPaths(const char *workFolder, char *staging, char *journal)
{
    return joinPath(staging, workFolder, STAGING_FOLDER, "workFileVersion") &&
           joinPath(journal, staging, SWITCH_JOURNAL_NAME, "workFileVersion");
}

void finishCutSwitch(const char *workFolder)
{
    char staging[UTF8_PATH_SIZE], journal[UTF8_PATH_SIZE], manifest[UTF8_PATH_SIZE];
    struct _stat st;
    if (!journalPaths(workFolder, staging, journal) ||
        !joinPath(manifest, workFolder, NEW_MANIFEST_NAME, "workFileVersion") || statFile(journal, &st) != 0)
        return;
    // The switch's last move takes the new manifest in: until then, the old
    // version is the one that stands.
    bool rollBack = statFile(manifest, &st) == 0;
    LogFormat(true, rollBack ? "workFileVersion - a switch was cut short: its files are put back"
                             : "workFileVersion - a switch was cut short after its manifest moved in: "
                               "the old files it kept aside are removed");
    replayJournal(workFolder, staging, journal, rollBack);
}

bool switchNotPutBack(const char *workFolder)
{
    char staging[UTF8_PATH_SIZE], journal[UTF8_PATH_SIZE];
    struct _stat st;
    return journalPaths(workFolder, staging, journal) && statFile(journal, &st) == 0;
}

// Fetches and switches what the check found needed; 1 when the work folder
// holds them all, and the manifest at manifestPath (when given) is installed.
static int fetchAndSwitch(UpdatePass *pass, const char *manifestPath)
{
    char staging[UTF8_PATH_SIZE];
    if (!joinPath(staging, pass->workFolder, STAGING_FOLDER, "workFileVersion"))
        return 0;
    // What a switch that could not be put back kept aside stays until a run
    // can put it back.
    if (switchNotPutBack(pass->workFolder)) {
        LogFormat(true, "workFileVersion - a switch cut short is not put back yet: nothing is changed");
        return 0;
    }
    wchar_t wide[MAX_PATH];
    if (!pass->neededCount) {
        // What a pass that was given up staged belongs to no version now.
        tidyStaging(staging, NULL, 0);
        if (toWide(staging, wide, MAX_PATH))
            RemoveDirectoryW(wide);
        // The installed manifest already names every entry of this one as it
        // stands: one that does not move in is reported, not failed.
        if (manifestPath)
            installManifest(pass, manifestPath, "");
        return 1;
    }
    makeFolder(staging);
    // A run told to stop during the fetch changes nothing installed.
    if (!fetchNeeded(pass, staging) || transferStopped(pass->downloads) || !switchNeeded(pass, staging, manifestPath))
        return 0;
    if (toWide(staging, wide, MAX_PATH))
        RemoveDirectoryW(wide); // when nothing is left in it
    return 1;
}

#ifdef KOVREL_UNITTESTS
int workFileVersionLine(UpdatePass *pass, char *line)
{
    ManifestItem item = {};
    item.form = cutManifestLine(line, &item.fields);
    return checkItem(pass, &item) && fetchAndSwitch(pass, NULL);
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
    // Every entry is checked, so that the log names each one that fails.
    int failed = 0;
    // A run that is to stop checks no further entry.
    for (size_t i = 0; i < manifest->count && !transferStopped(pass->downloads); ++i)
        if (manifest->items[i].firstOf == i && !checkItem(pass, &manifest->items[i]))
            failed = 1;
    if (manifest->repeats)
        LogFormat(true, "workFileVersion - %u lines passed over: their path was handled before",
                  (unsigned)manifest->repeats);
    return !failed && !transferStopped(pass->downloads) && fetchAndSwitch(pass, manifestPath);
}

void installedMinimumJava(const char *workFolder, char *out)
{
    out[0] = '\0';
    char path[UTF8_PATH_SIZE];
    size_t size = 0;
    char *data = snprintf(path, sizeof path, "%s\\%s", workFolder, MANIFEST_NAME) < (int)sizeof path
                     ? readWhole(path, MANIFEST_MAX_BYTES, &size)
                     : NULL;
    Manifest manifest;
    if (data && readManifest(data, size, 0, &manifest)) {
        for (size_t i = 0; i < manifest.count; ++i)
            if (manifest.items[i].form == MANIFEST_JRE)
                keepMinimumJava(out, manifest.items[i].fields.value);
        freeManifest(&manifest);
    }
    free(data);
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
