#include "launcher/WorkFolder.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "rules/launcherNames.h"
#include "text/Utf8.h"

static const char workFolderName[] = "KovrelDocs\\librun";

UNITTEST int dirExists(const char *path)
{
    struct _stat st;
    if (statFile(path, &st) != 0)
        return 0;
    return (st.st_mode & _S_IFDIR) ? 1 : 2;
}

UNITTEST void makeDirTree(char *path)
{
    char *p = path;
    if (p[0] == '\\')
        p += 1;
    else if (p[0] && p[1] == ':' && p[2] == '\\')
        p += 3;

    struct _stat st;
    for (;;) {
        char *sep = strchr(p, '\\');
        if (!sep) {
            if (*p && statFile(path, &st) != 0)
                makeFolder(path);
            return;
        }
        *sep = '\0';
        if (statFile(path, &st) != 0)
            makeFolder(path);
        *sep = '\\';
        p = sep + 1;
    }
}

int createTMPDir(char *path)
{
    // Wide: the user's folder may hold what the ANSI code page cannot.
    wchar_t wide[MAX_PATH];
    char temp[UTF8_PATH_SIZE];
    DWORD n = GetTempPathW(MAX_PATH, wide);
    if (n == 0 || n > MAX_PATH || !toUtf8(wide, temp, sizeof temp)) {
        LogFormat(true, "createTMPDir - Error getting temporary directory (GetTempPath): %d", (int)n);
        return 0;
    }
    // The work folder must leave room for "\fcompare.new" and "\fcompare.ini",
    // and for the name under which a download is staged.
    if (n + strlen(workFolderName) + 1 + strlen(NEW_MANIFEST_NAME) + strlen(STAGED_SUFFIX) >= MAX_PATH) {
        LogFormat(true, "createTMPDir - temporary directory too long (%lu characters): %s", n, temp);
        return 0;
    }
    snprintf(path, UTF8_PATH_SIZE, "%s%s", temp, workFolderName);
    LogFormat(true, "tmpLibRun:   %s", path);
    makeDirTree(path);
    return dirExists(path);
}
