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
#include <windows.h>

#include "java/GetJREPath.h"
#include "launcher/GetWindowsVersion.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
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

// Variables that cmd.exe makes up itself, whatever the environment holds.
static const char *const cmdVariables[] = {
    "CD", "DATE", "TIME", "RANDOM", "ERRORLEVEL", "CMDCMDLINE", "CMDEXTVERSION",
    "HIGHESTNUMANODENUMBER", "__CD__", "__APPDIR__",
};

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
    printf("\n" KOVREL_PRODUCT "\n%s\n\nSintax: kovrel <parameter>\nEx:     kovrel " EXAMPLE_LINK "\n\n", info);
}

char *findURL(char *text)
{
    char *http = strstr(text, "http");
    if (!http)
        return NULL;
    int slashes = 0;
    for (char *p = http; *p; ++p) {
        if (*p == '/' && ++slashes == 3) {
            p[1] = '\0';
            break;
        }
    }
    return http;
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

// A failed download leaves the target as it was, but the update pass must then
// find no line at all (the client starts with what the work folder holds),
// never the manifest of an earlier run.
static void emptyNewManifest(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f || fclose(f) != 0) {
        int err = errno;
        LogFormat(true, "Error emptying the new manifest: %d (%s : %s)", err, strerror(err), path);
    }
}

// Length of an environment string's name; names such as "=C:" begin with '='.
static size_t envNameLength(const char *entry)
{
    const char *eq = strchr(entry + 1, '=');
    return eq ? (size_t)(eq - entry) : strlen(entry);
}

static bool isVariable(const char *name, size_t len, const char *env)
{
    if (len > 0 && name[0] == '=')
        return true;
    for (const char *dyn : cmdVariables)
        if (strlen(dyn) == len && _strnicmp(dyn, name, len) == 0)
            return true;
    for (const char *p = env; *p; p += strlen(p) + 1)
        if (envNameLength(p) == len && _strnicmp(p, name, len) == 0)
            return true;
    return false;
}

// True when some text between two '%' of text names a variable, alone or with a
// ":~" or ":=" modifier: cmd.exe would put its value in place of the text.
static bool expandsVariable(const char *text, size_t n, const char *env)
{
    size_t longest = 0;
    for (const char *dyn : cmdVariables)
        longest = strlen(dyn) > longest ? strlen(dyn) : longest;
    for (const char *p = env; *p; p += strlen(p) + 1)
        longest = envNameLength(p) > longest ? envNameLength(p) : longest;

    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%')
            continue;
        // Any later '%' may close the name, so every pairing counts.
        for (size_t j = i + 1; j < n && j - i - 1 <= longest; ++j) {
            if (text[j] == '%' && isVariable(text + i + 1, j - i - 1, env))
                return true;
            if (text[j] == ':') {
                if (memchr(text + j, '%', n - j) && isVariable(text + i + 1, j - i - 1, env))
                    return true;
                break;
            }
        }
    }
    return false;
}

const char *escapeLink(const char *link, const char *env, char *out, size_t outSize)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)link; *p; ++p) {
        if (*p == '"')
            return "a double quote";
        if (*p < 0x20 || *p == 0x7F)
            return "a control character";
        if (*p == ' ')
            return "a blank";
        // Wine's cmd.exe expands %^NAME% as %NAME%: names are looked up without carets.
        if (*p != '^') {
            if (n + 1 >= outSize)
                return "too many characters";
            out[n++] = (char)*p;
        }
    }
    if (expandsVariable(out, n, env))
        return "the name of a variable between two '%'";

    n = 0;
    for (const char *p = link; *p; ++p) {
        size_t special = strchr("&|<>^()", *p) ? 1 : 0;
        if (n + special + 1 >= outSize)
            return "too many characters";
        if (special)
            out[n++] = '^';
        out[n++] = *p;
    }
    out[n] = '\0';
    return NULL;
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

int launchJava(const char *javaExe, const char *link, const char *tmpLibRun)
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
    if (!(exe32[0] && isRegularFile(exe32)) && !(exe64[0] && isRegularFile(exe64))) {
        LogToFile("Error locating Java 32 or 64 bits executable.", true, true);
        return openDownloadPage(cmd);
    }

    char progName[MAX_PATH];
    snprintf(progName, sizeof progName, "%s -jar Marvique.jar", javaExe);
    LogFormat(false, "ProgName: %s", progName);

    // The link goes on a cmd.exe command line: what cmd.exe would act on is
    // escaped, what cannot be handed on unchanged is refused.
    char safeLink[8100]; // with the rest of the line, within cmd.exe's 8191 characters
    char *env = GetEnvironmentStringsA();
    const char *unsafe = escapeLink(link, env ? env : "", safeLink, sizeof safeLink);
    if (env)
        FreeEnvironmentStringsA(env);
    if (unsafe) {
        LogFormat(true, "Error launching Java: the link holds %s", unsafe);
        return 0;
    }

    if (_spawnl(_P_DETACH, cmd, "cmd.exe", "Launching Java", "/C", progName, safeLink, NULL) == -1) {
        LogFormat(true, "Error launching Java (_spawnl): %d (%s)", errno, strerror(errno));
        return 0;
    }
    if (getenv("KOVREL_DEBUG"))
        _getch();
    return 1;
}

static int run(int argc, char *argv[])
{
    char computer[16] = "";
    DWORD computerSize = sizeof computer;
    DWORD major = 0, minor = 0, build = 0;

    if (argc != 2 || strcmp(argv[1], "/?") == 0) {
        help(argv[0]);
        return 0;
    }

    if (!getenv("KOVREL_DEBUG"))
        FreeConsole();
    const char *javaExe = getenv("KOVREL_DEBUG") ? "java.exe" : "javaw.exe";

    // The whole link goes to the log and to the client: it is never cut.
    char link[4096];
    size_t linkLen = strlen(argv[1]);
    if (linkLen >= sizeof link) {
        LogFormat(true, "Error: link too long (%u characters, at most %u)", (unsigned)linkLen,
                  (unsigned)sizeof link - 1);
        return 0;
    }
    memcpy(link, argv[1], linkLen + 1);

    const char *baseURL = findURL(argv[1]);
    if (!baseURL) {
        LogFormat(true, "Error getting protocol url!: %s", argv[1]);
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
    // Once per run, not per download: each start-up loads the system's network
    // and security libraries again, and the caches keep connections for reuse.
    getHTTPStartup();

    char url[4096];
    if (snprintf(url, sizeof url, "%s%s%s", baseURL, appletsPath, manifestName) >= (int)sizeof url) {
        LogFormat(true, "Error: manifest URL too long: %s%s%s", baseURL, appletsPath, manifestName);
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
    // createTMPDir left room for the name.
    char newManifest[MAX_PATH];
    snprintf(newManifest, sizeof newManifest, "%s\\%s", tmpLibRun, newManifestName);

    LogFormat(true, "Downloading: %s", url);
    LogTime("getHTTPFile Start", true);
    if (!getHTTPFile(url, newManifest))
        emptyNewManifest(newManifest);

    // The applets URL, below which every file of the manifest is fetched.
    snprintf(url, sizeof url, "%s%s", baseURL, appletsPath);
    if (!workFileVersion(newManifest, tmpLibRun, url)) {
        LogToFile("Error processing versions file!", true, true);
        return 0;
    }

    return launchJava(javaExe, link, tmpLibRun);
}

int main(int argc, char *argv[])
{
    int rc = run(argc, argv);
    // Whatever path the run took; harmless when it never started libcurl.
    getHTTPCleanup();
    return rc;
}
