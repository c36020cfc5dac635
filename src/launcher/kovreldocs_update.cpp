// kovrel.exe: started by the browser with a kovrel:// link, it brings the
// client's work folder into line with the server and starts the client.
#include "launcher/kovreldocs_update.h"

#include <conio.h>
#include <curl/curl.h>
#include <direct.h>
#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>
#include <windows.h>

#include "deploy/Deploy.h"
#include "java/GetJREPath.h"
#include "launcher/GetWindowsVersion.h"
#include "launcher/Link.h"
#include "launcher/WorkFolderLock.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "policy/ServerCheck.h"
#include "rules/baseURL.h"
#include "update/getHTTPFile.h"
#include "update/workFileVersion.h"

#define EXAMPLE_LINK \
    "kovrel://https://192.168.10.20:8443/kovrel/servlet/Launch" \
    "?3f2504e0-4f89-11d3-9a0c-0305e82c3301?jsmith"

static const char workFolderName[] = "KovrelDocs\\librun";
static const char newManifestName[] = "fcompare.new";
static const char appletsPath[] = "XNL/applets/";
static const char manifestName[] = "fcompare.ini";
#define JAVA_DOWNLOAD_PAGE "https://www.java.com/es/download/"

void InfoEXE(const char *path, char *out, size_t outSize)
{
    // A file that cannot be examined shows zeros, not stale stack contents.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    SYSTEMTIME st = {};
    if (GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        FileTimeToSystemTime(&data.ftLastWriteTime, &st);

    int n = snprintf(out, outSize, "Created: %04d-%02d-%02d %02d:%02d:%02d\nSize:    %lu bytes\n\n",
                     st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond,
                     data.nFileSizeLow);
    if (n < 0 || (size_t)n >= outSize)
        return;
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_FIFTH);
    snprintf(out + n, outSize - n, "cURL:    version %s, SSL %s (%s)", curl->version,
             curl->ssl_version ? curl->ssl_version : "",
             (curl->features & CURL_VERSION_SSL) ? "enabled" : "disabled");
}

void help(const char *path)
{
    char info[1024];
    InfoEXE(path, info, sizeof info);
    printf("\n" KOVREL_PRODUCT "\n%s\n\nSintax: kovrel <parameter>\nEx:     kovrel " EXAMPLE_LINK "\n" DEPLOY_USAGE "\n",
           info);
}

char *findURL(char *text)
{
    size_t start, length;
    if (!baseURLSpan(text, &start, &length))
        return NULL;
    text[start + length] = '\0';
    return text + start;
}

int dirExists(const char *path)
{
    struct _stat st;
    if (_stat(path, &st) != 0)
        return 0;
    return (st.st_mode & _S_IFDIR) ? 1 : 2;
}

void makeDirTree(char *path)
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
            if (*p && _stat(path, &st) != 0)
                _mkdir(path);
            return;
        }
        *sep = '\0';
        if (_stat(path, &st) != 0)
            _mkdir(path);
        *sep = '\\';
        p = sep + 1;
    }
}

int createTMPDir(char *path)
{
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > sizeof temp) {
        LogFormat(true, "createTMPDir - Error getting temporary directory (GetTempPath): %d", (int)n);
        return 0;
    }
    // The work folder must leave room for "\fcompare.new" and "\fcompare.ini",
    // and for the ".part" name under which a download is staged.
    if (n + strlen(workFolderName) + 1 + strlen(newManifestName) + strlen(".part") >= MAX_PATH) {
        LogFormat(true, "createTMPDir - temporary directory too long (%lu characters): %s", n, temp);
        return 0;
    }
    snprintf(path, MAX_PATH, "%s%s", temp, workFolderName);
    LogFormat(true, "tmpLibRun:   %s", path);
    makeDirTree(path);
    return dirExists(path);
}

static bool isRegularFile(const char *path)
{
    struct _stat st;
    return _stat(path, &st) == 0 && (st.st_mode & _S_IFREG);
}

// The Java executable below a Java home; empty (and not to be tested) when the
// home was not obtained or the path does not fit.
static void javaCandidate(bool found, const char *home, const char *javaExe, char *exe, size_t exeSize)
{
    exe[0] = '\0';
    if (found && snprintf(exe, exeSize, "%s\\bin\\%s", home, javaExe) >= (int)exeSize) {
        exe[0] = '\0';
        LogFormat(true, "Error: Java executable path too long: %s\\bin\\%s", home, javaExe);
    }
}

static int openDownloadPage(const char *cmd)
{
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
    return path[0] && MultiByteToWideChar(CP_ACP, 0, javaExe, -1, name, 16) > 0 &&
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
    int headUnits = MultiByteToWideChar(CP_ACP, 0, head, -1, line, lineSize);
    size_t linkUnits = wcslen(safeLink);
    if (headUnits <= 0 || (size_t)headUnits + linkUnits > (size_t)lineSize ||
        MultiByteToWideChar(CP_ACP, 0, cmd, -1, program, MAX_PATH) <= 0) {
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
        int homeUnits = MultiByteToWideChar(CP_ACP, 0, home, -1, firstPath, (int)pathSize);
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

int launchJava(const char *javaExe, const wchar_t *safeLink, const char *tmpLibRun)
{
    char cmd[MAX_PATH];
    UINT n = GetSystemDirectoryA(cmd, sizeof cmd);
    if (n == 0 || n >= sizeof cmd || snprintf(cmd + n, sizeof cmd - n, "\\CMD.exe") >= (int)(sizeof cmd - n)) {
        LogFormat(true, "Error getting Windows System directory (GetSystemDirectory): %d", (int)n);
        return 0;
    }

    LogFormat(true, "Changing to LIBRUN folder: %s", tmpLibRun);
    // Elsewhere the client would not find its jar, and cmd.exe would look for
    // the Java executable in whatever folder the browser left current.
    if (_chdir(tmpLibRun) != 0) {
        LogFormat(true, "Error changing to LIBRUN folder: %d (%s)", errno, strerror(errno));
        return 0;
    }

    char home32[MAX_PATH], home64[MAX_PATH];
    bool found32 = GetJRE32BitsPath(home32, sizeof home32);
    bool found64 = !found32 && GetJRE64BitsPath(home64, sizeof home64);
    if (!found32 && !found64) {
        LogToFile("Error locating Java 32 or 64 bits enviroment.", true, true);
        return openDownloadPage(cmd);
    }

    char exe32[MAX_PATH], exe64[MAX_PATH];
    javaCandidate(found32, home32, javaExe, exe32, sizeof exe32);
    javaCandidate(found64, home64, javaExe, exe64, sizeof exe64);
    LogFormat(true, "JRE32BitsEXE: %s", exe32);
    LogFormat(true, "JRE64BitsEXE: %s", exe64);
    const char *home = exe32[0] && isRegularFile(exe32) ? home32 : exe64[0] && isRegularFile(exe64) ? home64 : NULL;
    if (!home) {
        LogToFile("Error locating Java 32 or 64 bits executable.", true, true);
        return openDownloadPage(cmd);
    }

    char progName[MAX_PATH];
    snprintf(progName, sizeof progName, "%s -jar Marvique.jar", javaExe);
    LogFormat(false, "ProgName: %s", progName);

    if (!startClient(cmd, progName, safeLink, javaExe, home))
        return 0;
    unlockWorkFolder();
    if (getenv("KOVREL_DEBUG"))
        _getch();
    return 1;
}

// Without a new manifest the work folder stays exactly as it is (no update
// pass, no process search) and the client starts from the installed files;
// on a first run there are none, and nothing is started.
static int runInstalled(const char *javaExe, const wchar_t *safeLink, const char *tmpLibRun)
{
    LogToFile("Manifest not downloaded: the run goes on with the installed files", true, true);
    // createTMPDir left room for the name.
    char jar[MAX_PATH];
    snprintf(jar, sizeof jar, "%s\\Marvique.jar", tmpLibRun);
    if (!isRegularFile(jar)) {
        LogFormat(true, "No installed client (%s): nothing started", jar);
        return 0;
    }
    return launchJava(javaExe, safeLink, tmpLibRun);
}

// The administrator's trust controls, before any request: one line says which
// are in force, and a server they do not allow is refused. requestBase gets
// the text every request URL starts with, from the reading that was checked.
static bool trustedServer(const char *baseURL, char *requestBase, size_t size)
{
    char controls[256];
    describeControls(&gPolicy, controls, sizeof controls);
    LogFormat(true, "Controls:    %s", controls);
    if (gPolicy.unusable[0]) {
        LogFormat(true, "Error: administrator setting %s unusable, run refused", gPolicy.unusable);
        return false;
    }
    if (gPolicy.pinnedPublicKeys[0] && strncmp(baseURL, "https://", 8) != 0) {
        LogFormat(true, "Error: pinned public keys need an https server, refused: %s", baseURL);
        return false;
    }
    return serverRequestBase(baseURL, gPolicy.allowedServers, requestBase, size) != 0;
}

static int run(int argc, char *argv[])
{
    char computer[16] = "";
    DWORD computerSize = sizeof computer;
    DWORD major = 0, minor = 0, build = 0;

    // Deployment's switches: no banner, no work folder, no network.
    int switchExit;
    if (argc == 2 && runDeploySwitch(argv[1], &switchExit))
        return switchExit;
    if (argc != 2 || strcmp(argv[1], "/?") == 0) {
        help(argv[0]);
        return 0;
    }

    if (!getenv("KOVREL_DEBUG"))
        FreeConsole();
    const char *javaExe = getenv("KOVREL_DEBUG") ? "java.exe" : "javaw.exe";

    // The whole link goes to the log and to the client: it is never cut. The
    // client gets it from the wide command line, with every character.
    static wchar_t wideLink[LINK_SIZE];
    char link[LINK_SIZE], cut[LINK_SIZE];
    if (!readLink(wideLink, link))
        return 0;
    memcpy(cut, link, strlen(link) + 1);

    const char *baseURL = findURL(cut);
    if (!baseURL) {
        LogFormat(true, "Error getting protocol url!: %s", link);
        return 0;
    }

    LogToFile(" ", true, true);
    char rule[75];
    memset(rule, '#', 74);
    rule[74] = '\0';
    LogToFile(rule, true, true);
    char info[1024];
    InfoEXE(argv[0], info, sizeof info);
    LogFormat(true, "%s", info);
    LogTime("Start", true);
    if (!GetComputerNameA(computer, &computerSize))
        computer[0] = '\0';
    GetWindowsVersion(&major, &minor, &build);
    LogFormat(true, "Computer:    %s", computer);
    LogFormat(true, "Windows:     %lu.%lu (%lu)", major, minor, build);
    LogFormat(true, "Parameters:  %s", link);
    LogFormat(true, "Base URL:    %s", baseURL);
    ReadPolicy(&gPolicy);
    char requestBase[4096];
    if (!trustedServer(baseURL, requestBase, sizeof requestBase))
        return 0;
    // Checked before any request, file change or process search: a refused link
    // leaves everything as it was.
    static wchar_t safeLink[8100]; // with the rest of the line, within cmd.exe's 8191 characters
    if (!prepareLink(wideLink, safeLink, sizeof safeLink / sizeof *safeLink))
        return 0;
    // Once per run, not per download: each start-up loads the system's network
    // and security libraries again, and the caches keep connections for reuse.
    getHTTPStartup();

    char url[4096];
    if (snprintf(url, sizeof url, "%s%s%s", requestBase, appletsPath, manifestName) >= (int)sizeof url) {
        LogFormat(true, "Error: manifest URL too long: %s%s%s", requestBase, appletsPath, manifestName);
        return 0;
    }

    LogTime("SearchProcesses Start", true);
    LogTime("SearchProcesses End", true);

    char tmpLibRun[MAX_PATH] = "";
    LogTime("createTMPDir Start", true);
    if (!createTMPDir(tmpLibRun)) {
        LogFormat(true, "Error creating temporary directory!: %s", tmpLibRun);
        return 0;
    }
    LogTime("createTMPDir End", true);
    if (!lockWorkFolder(tmpLibRun, gPolicy.lockWaitSeconds))
        return 0;
    // createTMPDir left room for the name.
    char newManifest[MAX_PATH];
    snprintf(newManifest, sizeof newManifest, "%s\\%s", tmpLibRun, newManifestName);

    LogFormat(true, "Downloading: %s", url);
    LogTime("getHTTPFile Start", true);
    if (!getHTTPManifest(url, newManifest))
        return runInstalled(javaExe, safeLink, tmpLibRun);

    // The applets URL, below which every file of the manifest is fetched.
    snprintf(url, sizeof url, "%s%s", requestBase, appletsPath);
    if (!workFileVersion(newManifest, tmpLibRun, url)) {
        LogToFile("Error processing versions file!", true, true);
        return 0;
    }

    return launchJava(javaExe, safeLink, tmpLibRun);
}

int main(int argc, char *argv[])
{
    int rc = run(argc, argv);
    // Whatever path the run took; harmless when it never started libcurl.
    getHTTPCleanup();
    return rc;
}
