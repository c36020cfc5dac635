#include "java/JavaLaunch.h"

#include <direct.h>
#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "java/GetJREPath.h"
#include "logging/Logging.h"
#include "rules/launcherNames.h"
#include "text/Utf8.h"
#include "ui/ProgressWindow.h"

#define JAVA_DOWNLOAD_PAGE "https://www.java.com/es/download/"

static bool isRegularFile(const char *path)
{
    struct _stat st;
    return statFile(path, &st) == 0 && (st.st_mode & _S_IFREG);
}

// The Java executable below a Java home; empty (and not to be tested) when the
// home was not obtained or the path does not fit.
static void javaCandidate(bool found, const char *home, const char *javaExe, char *exe, size_t exeSize)
{
    exe[0] = '\0';
    if (found && (snprintf(exe, exeSize, "%s\\bin\\%s", home, javaExe) >= (int)exeSize || wideUnits(exe) >= MAX_PATH)) {
        exe[0] = '\0';
        LogFormat(true, "Error: Java executable path too long: %s\\bin\\%s", home, javaExe);
    }
}

static int openDownloadPage(const char *cmd, ProgressWindow *window)
{
    progressJavaNeeded(window);
    if (_spawnl(_P_DETACH, cmd, "cmd.exe", "Please install Java 32 or 64 bits",
                "/C start " JAVA_DOWNLOAD_PAGE, NULL) == -1)
        LogFormat(true, "Error opening the Java download page (_spawnl): %d (%s)", errno, strerror(errno));
    return 0;
}

// cmd.exe finds the bare Java launcher name in the work folder, which is then
// the current folder, or along path.
static bool foundByName(const char *javaExe, const wchar_t *path)
{
    wchar_t name[16], found[MAX_PATH];
    if (isRegularFile(javaExe))
        return true;
    return path[0] && toWide(javaExe, name, 16) &&
           SearchPathW(path, name, NULL, MAX_PATH, found, NULL) > 0;
}

// Starts cmd.exe detached, as _spawnl(_P_DETACH) did, with the same command
// line in its wide form, so that the link keeps every character. A tested
// runtime that cmd.exe would not find by name has its bin folder put first on
// the PATH that this cmd.exe inherits, and on no other.
static int startClient(const char *cmd, const char *progName, const wchar_t *safeLink, const char *javaExe,
                       const char *home)
{
    static wchar_t line[8192];
    const int lineSize = sizeof line / sizeof *line;
    wchar_t program[MAX_PATH];
    char head[MAX_PATH + 32];
    snprintf(head, sizeof head, "cmd.exe Launching Java /C %s ", progName);
    int headUnits = toWide(head, line, lineSize) ? (int)wcslen(line) + 1 : 0;
    size_t linkUnits = wcslen(safeLink);
    if (headUnits <= 0 || (size_t)headUnits + linkUnits > (size_t)lineSize || !toWide(cmd, program, MAX_PATH)) {
        LogFormat(true, "Error launching Java: the command line does not fit");
        return 0;
    }
    wmemcpy(line + headUnits - 1, safeLink, linkUnits + 1);

    // The largest environment variable Windows holds.
    static wchar_t path[32767], firstPath[32767];
    const DWORD pathSize = sizeof path / sizeof *path;
    DWORD had = GetEnvironmentVariableW(L"PATH", path, pathSize);
    if (had >= pathSize)
        had = 0;
    path[had] = L'\0';
    bool putFirst = !foundByName(javaExe, path);
    if (putFirst) {
        int homeUnits = toWide(home, firstPath, pathSize) ? (int)wcslen(firstPath) + 1 : 0;
        if (homeUnits <= 0 || homeUnits + 5 + had > pathSize) {
            LogFormat(true, "Error launching Java: no room on the search path for %s\\bin", home);
            return 0;
        }
        wmemcpy(firstPath + homeUnits - 1, L"\\bin;", had ? 5 : 4);
        wmemcpy(firstPath + homeUnits + (had ? 4 : 3), path, had + 1);
        LogFormat(true, "%s is found neither in the work folder nor on the search path: "
                        "%s\\bin put first on the PATH of cmd.exe", javaExe, home);
        SetEnvironmentVariableW(L"PATH", firstPath);
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    BOOL started = CreateProcessW(program, line, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi);
    DWORD error = GetLastError();
    if (putFirst)
        SetEnvironmentVariableW(L"PATH", had ? path : NULL);
    if (!started) {
        char text[256];
        LogFormat(true, "Error launching Java (CreateProcess): %lu (%s)", error,
                  windowsErrorText(error, text, sizeof text));
        return 0;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 1;
}

int launchJava(const char *javaExe, const wchar_t *safeLink, const char *workFolder, ProgressWindow *window)
{
    wchar_t system[MAX_PATH];
    char cmd[UTF8_PATH_SIZE];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !toUtf8(system, cmd, sizeof cmd) ||
        snprintf(cmd + strlen(cmd), sizeof cmd - strlen(cmd), "\\CMD.exe") >= (int)(sizeof cmd - strlen(cmd))) {
        LogFormat(true, "Error getting Windows System directory (GetSystemDirectory): %d", (int)n);
        return 0;
    }

    LogFormat(true, "Changing to LIBRUN folder: %s", workFolder);
    // Elsewhere the client would not find its jar, and cmd.exe would look for
    // the Java executable in whatever folder the browser left current.
    wchar_t folder[MAX_PATH];
    int changed = toWide(workFolder, folder, MAX_PATH) ? _wchdir(folder) : (errno = EINVAL, -1);
    if (changed != 0) {
        LogFormat(true, "Error changing to LIBRUN folder: %d (%s)", errno, strerror(errno));
        return 0;
    }

    char home32[UTF8_PATH_SIZE], home64[UTF8_PATH_SIZE];
    bool found32 = GetJRE32BitsPath(home32, sizeof home32);
    bool found64 = !found32 && GetJRE64BitsPath(home64, sizeof home64);
    if (!found32 && !found64) {
        LogToFile("Error locating Java 32 or 64 bits enviroment.", true, true);
        return openDownloadPage(cmd, window);
    }

    char exe32[UTF8_PATH_SIZE], exe64[UTF8_PATH_SIZE];
    javaCandidate(found32, home32, javaExe, exe32, sizeof exe32);
    javaCandidate(found64, home64, javaExe, exe64, sizeof exe64);
    LogFormat(true, "JRE32BitsEXE: %s", exe32);
    LogFormat(true, "JRE64BitsEXE: %s", exe64);
    const char *home = exe32[0] && isRegularFile(exe32) ? home32 : exe64[0] && isRegularFile(exe64) ? home64 : NULL;
    if (!home) {
        LogToFile("Error locating Java 32 or 64 bits executable.", true, true);
        return openDownloadPage(cmd, window);
    }

    char progName[MAX_PATH];
    snprintf(progName, sizeof progName, "%s -jar " CLIENT_JAR, javaExe);
    LogFormat(false, "ProgName: %s", progName);

    return startClient(cmd, progName, safeLink, javaExe, home);
}
