// kovrel.exe: started by the browser with a kovrel:// link, it brings the
// client's work folder into line with the server and starts the client.
#include "launcher/kovreldocs_update.h"

#include <curl/curl.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <direct.h>
#include <windows.h>

#include "launcher/GetWindowsVersion.h"
#include "logging/Logging.h"
#include "update/getHTTPFile.h"

#define EXAMPLE_LINK \
    "kovrel://https://192.168.10.20:8443/kovrel/servlet/Launch" \
    "?3f2504e0-4f89-11d3-9a0c-0305e82c3301?jsmith"

static const char workFolderName[] = "KovrelDocs\\librun";
static const char newManifestName[] = "fcompare.new";
static const char appletsPath[] = "XNL/applets/";
static const char manifestName[] = "fcompare.ini";

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

int main(int argc, char *argv[])
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
    (void)javaExe;

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
    char newManifest[MAX_PATH];
    if (snprintf(newManifest, sizeof newManifest, "%s\\%s", tmpLibRun, newManifestName) >= (int)sizeof newManifest) {
        LogFormat(true, "Error: new manifest path too long: %s\\%s", tmpLibRun, newManifestName);
        return 0;
    }

    LogFormat(true, "Downloading: %s", url);
    LogTime("getHTTPFile Start", true);
    if (!getHTTPFile(url, newManifest))
        emptyNewManifest(newManifest);
    return 0;
}
