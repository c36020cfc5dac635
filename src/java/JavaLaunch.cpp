#include "java/JavaLaunch.h"

#include <direct.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "java/GetJREPath.h"
#include "launcher/SystemLibrary.h"
#include "launcher/WorkFolderLock.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "rules/javaVersion.h"
#include "rules/launcherNames.h"
#include "text/Utf8.h"
#include "ui/ProgressWindow.h"

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

// Through the shell, as cmd.exe's "start" does, but with no command line in
// between that could read '&', '^' or '%' in an administrator's address.
// Before it, window (if any) says that Java is needed, or a newer one than
// the runtimes found (minimum: "" when none was too old). No client starts:
// another launcher need not wait for the folder while the box waits.
static int openDownloadPage(const char *url, ProgressWindow *window, const char *minimum, HANDLE *folderLock)
{
    if (folderLock)
        unlockWorkFolder(folderLock);
    progressJavaNeeded(window, minimum);
    wchar_t wide[1024];
    if (!toWide(url, wide, 1024)) {
        LogFormat(true, "Error opening the Java download page: %s", url);
        return 0;
    }
    // The shell may hand the page to a COM server.
    typedef HRESULT(WINAPI * CoInitializeExFn)(void *, DWORD);
    HMODULE ole32 = systemLibrary(L"ole32.dll");
    auto initCom = (CoInitializeExFn)(void *)(ole32 ? GetProcAddress(ole32, "CoInitializeEx") : NULL);
    if (initCom)
        initCom(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = wide;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        DWORD error = GetLastError();
        char text[256];
        LogFormat(true, "Error opening the Java download page (ShellExecuteEx): %lu (%s)", error,
                  windowsErrorText(error, text, sizeof text));
    }
    return 0;
}

// Where cmd.exe finds the bare Java launcher name: in the work folder, which
// is then the current folder, or along path; into found (MAX_PATH). False
// when it finds none.
static bool foundByName(const char *javaExe, const wchar_t *path, wchar_t *found)
{
    wchar_t name[16];
    if (!toWide(javaExe, name, 16))
        return false;
    // Both give the size they need, writing nothing, when found is too small.
    DWORD n = isRegularFile(javaExe) ? GetFullPathNameW(name, MAX_PATH, found, NULL)
              : path[0]              ? SearchPathW(path, name, NULL, MAX_PATH, found, NULL)
                                     : 0;
    return n > 0 && n < MAX_PATH;
}

// True when the launcher that cmd.exe finds by name is another than home's.
static bool anotherRuntime(const wchar_t *found, const char *home, const char *javaExe)
{
    char exe[UTF8_PATH_SIZE];
    wchar_t wide[MAX_PATH], full[MAX_PATH];
    if (snprintf(exe, sizeof exe, "%s\\bin\\%s", home, javaExe) >= (int)sizeof exe ||
        !toWide(exe, wide, MAX_PATH) ||
        GetFullPathNameW(wide, MAX_PATH, full, NULL) == 0)
        return true;
    wchar_t foundFull[MAX_PATH];
    if (GetFullPathNameW(found, MAX_PATH, foundFull, NULL) == 0)
        return true;
    return _wcsicmp(full, foundFull) != 0;
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
    if (headUnits <= 0 || (size_t)headUnits + linkUnits > (size_t)lineSize ||
        !toWide(cmd, program, MAX_PATH)) {
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
    wchar_t found[MAX_PATH];
    bool byName = foundByName(javaExe, path, found);
    // A launcher in the work folder comes before any PATH: nothing to do there.
    bool other = byName && !isRegularFile(javaExe) && anotherRuntime(found, home, javaExe);
    bool putFirst = !byName || other;
    if (putFirst) {
        int homeUnits = toWide(home, firstPath, pathSize) ? (int)wcslen(firstPath) + 1 : 0;
        if (homeUnits <= 0 || homeUnits + 5 + had > pathSize) {
            LogFormat(true, "Error launching Java: no room on the search path for %s\\bin", home);
            return 0;
        }
        wmemcpy(firstPath + homeUnits - 1, L"\\bin;", had ? 5 : 4);
        wmemcpy(firstPath + homeUnits + (had ? 4 : 3), path, had + 1);
        if (other)
            LogFormat(true, "%s on the search path is another runtime's (%ls): %s\\bin put first on the PATH of cmd.exe",
                      javaExe, found, home);
        else
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

// One runtime found, as it is examined.
struct Candidate {
    char where[96]; // the place, for the log
    const char *home;
    const char *registryVersion; // the name the registry files it under; "" none
    int bits;                    // 32 or 64 by its registry view; 0 unknown
};

// The runtime taken so far, and what the search has seen.
struct JavaChoice {
    const char *javaExe, *minimum;
    int preferredBits;
    bool taken, quiet; // quiet: the design's key, whose own lines say it all
    char where[96], home[UTF8_PATH_SIZE], version[64];
    int bits;
    int examined, tooOld;
};

// The runtime's own statement of its version (the release file in its home),
// failing that the registry's name; "" when neither gives one.
static void runtimeVersion(const Candidate *c, char *version, size_t size)
{
    char path[UTF8_PATH_SIZE];
    version[0] = '\0';
    if (snprintf(path, sizeof path, "%s\\release", c->home) < (int)sizeof path) {
        if (FILE *f = openFile(path, "rb")) {
            static char data[16384];
            size_t n = fread(data, 1, sizeof data, f);
            fclose(f);
            if (releaseJavaVersion(data, n, version, size))
                return;
        }
    }
    const char *named = versionInName(c->registryVersion);
    if (named && strlen(named) < size)
        memcpy(version, named, strlen(named) + 1);
}

// True when the choice is final: a runtime is taken, and it has the preferred
// bits or none are preferred.
static bool settled(const JavaChoice *choice)
{
    return choice->taken && (!choice->preferredBits || choice->bits == choice->preferredBits);
}

// Examines a candidate, with a line unless it is the design's usable runtime,
// and takes it when it is usable and the first, or the first of the preferred
// bits. True when the choice is then final.
static bool consider(JavaChoice *choice, const Candidate *c, bool quiet)
{
    char exe[UTF8_PATH_SIZE], version[64];
    runtimeVersion(c, version, sizeof version);
    const char *shown = version[0] ? version : "unknown";
    char bits[16] = "";
    if (c->bits)
        snprintf(bits, sizeof bits, " (%d-bit)", c->bits);
    if (snprintf(exe, sizeof exe, "%s\\bin\\%s", c->home, choice->javaExe) >= (int)sizeof exe ||
        !isRegularFile(exe)) {
        ++choice->examined;
        LogFormat(true, "Java runtime: %s%s: %s, version %s: no bin\\%s, skipped", c->where, bits, c->home, shown,
                  choice->javaExe);
        return false;
    }
    int atLeast = choice->minimum[0] ? javaVersionAtLeast(version, choice->minimum) : 1;
    if (atLeast != 1) {
        ++choice->examined;
        ++choice->tooOld;
        LogFormat(true, "Java runtime: %s%s: %s, version %s: below the minimum %s, skipped", c->where, bits,
                  c->home, shown, choice->minimum);
        return false;
    }
    if (!quiet) {
        ++choice->examined;
        LogFormat(true, "Java runtime: %s%s: %s, version %s: usable", c->where, bits, c->home, shown);
    }
    bool preferred = choice->preferredBits && c->bits == choice->preferredBits;
    if (!choice->taken || (preferred && choice->bits != choice->preferredBits)) {
        choice->taken = true;
        choice->quiet = quiet;
        snprintf(choice->where, sizeof choice->where, "%s%s", c->where, bits);
        snprintf(choice->home, sizeof choice->home, "%s", c->home);
        snprintf(choice->version, sizeof choice->version, "%s", shown);
        choice->bits = c->bits;
    }
    return settled(choice);
}

// The design's lookup, its lines and tests as they always were: the 32-bit
// view, and the 64-bit view only when that gives no home.
static bool designLookup(JavaChoice *choice)
{
    char home32[UTF8_PATH_SIZE], home64[UTF8_PATH_SIZE], version32[16] = "", version64[16] = "";
    bool found32 = GetJRE32BitsPath(home32, sizeof home32, version32, sizeof version32);
    bool found64 = !found32 && GetJRE64BitsPath(home64, sizeof home64, version64, sizeof version64);
    if (!found32 && !found64) {
        LogToFile("Error locating Java 32 or 64 bits enviroment.", true, true);
        return false;
    }
    char exe32[UTF8_PATH_SIZE], exe64[UTF8_PATH_SIZE];
    javaCandidate(found32, home32, choice->javaExe, exe32, sizeof exe32);
    javaCandidate(found64, home64, choice->javaExe, exe64, sizeof exe64);
    LogFormat(true, "JRE32BitsEXE: %s", exe32);
    LogFormat(true, "JRE64BitsEXE: %s", exe64);
    bool use32 = exe32[0] && isRegularFile(exe32);
    if (!use32 && !(exe64[0] && isRegularFile(exe64))) {
        LogToFile("Error locating Java 32 or 64 bits executable.", true, true);
        return false;
    }
    Candidate c = {"JavaSoft\\Java Runtime Environment", use32 ? home32 : home64, use32 ? version32 : version64,
                   use32 ? 32 : 64};
    return consider(choice, &c, true);
}

// The places after the design's key, in order, until the choice is final.
static void otherPlaces(JavaChoice *choice)
{
    static RegisteredJava found[32];
    size_t n = FindRegisteredJava(found, sizeof found / sizeof *found);
    for (size_t i = 0; i < n; ++i) {
        Candidate c = {"", found[i].home, found[i].version, found[i].bits};
        snprintf(c.where, sizeof c.where, "%s\\%s", found[i].place, found[i].version);
        if (consider(choice, &c, false))
            return;
    }
    wchar_t wideHome[MAX_PATH];
    static char javaHome[UTF8_PATH_SIZE];
    DWORD n2 = GetEnvironmentVariableW(L"JAVA_HOME", wideHome, MAX_PATH);
    if (n2 > 0 && n2 < MAX_PATH && toUtf8(wideHome, javaHome, sizeof javaHome)) {
        Candidate c = {"JAVA_HOME", javaHome, "", 0};
        consider(choice, &c, false);
    }
}

int launchJava(const char *javaExe, const wchar_t *safeLink, const char *workFolder, const Policy *policy,
               const char *minimum, ProgressWindow *window, HANDLE *folderLock)
{
    Policy defaults;
    if (!policy) {
        defaults = defaultPolicy();
        policy = &defaults;
    }
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

    JavaChoice choice = {};
    choice.javaExe = javaExe;
    choice.minimum = minimum ? minimum : "";
    choice.preferredBits = policy->preferredJavaBits;
    // The runtime an administrator ships is taken whatever its bits.
    Candidate shipped = {"administrator's JavaHome", policy->javaHome, "", 0};
    bool done = policy->javaHome[0] && consider(&choice, &shipped, false);
    done = done || choice.taken || designLookup(&choice);
    if (!done)
        otherPlaces(&choice);

    if (!choice.taken) {
        if (choice.tooOld)
            LogFormat(true, "No Java runtime of version %s or newer: %d found too old, opening %s", choice.minimum,
                      choice.tooOld, policy->javaDownloadURL);
        else if (choice.examined)
            LogFormat(true, "No usable Java runtime: opening %s", policy->javaDownloadURL);
        return openDownloadPage(policy->javaDownloadURL, window, choice.tooOld ? choice.minimum : "", folderLock);
    }
    if (!choice.quiet || choice.examined)
        LogFormat(true, "Java runtime taken: %s: %s, version %s", choice.where, choice.home, choice.version);

    char progName[MAX_PATH];
    snprintf(progName, sizeof progName, "%s -jar " CLIENT_JAR, javaExe);
    LogFormat(false, "ProgName: %s", progName);

    return startClient(cmd, progName, safeLink, javaExe, choice.home);
}
