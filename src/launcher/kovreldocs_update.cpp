// kovrel.exe: started by the browser with a kovrel:// link, it brings the
// client's work folder into line with the server and starts the client.
#include "launcher/kovreldocs_update.h"

#include <conio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "UnitTest.h"
#include "deploy/Deploy.h"
#include "java/JavaLaunch.h"
#include "launcher/GetWindowsVersion.h"
#include "launcher/Link.h"
#include "launcher/Usage.h"
#include "launcher/WorkFolder.h"
#include "launcher/WorkFolderLock.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "policy/ServerCheck.h"
#include "proxy/Proxy.h"
#include "rules/baseURL.h"
#include "rules/launcherNames.h"
#include "text/Utf8.h"
#include "update/getHTTPFile.h"
#include "update/signedManifest.h"
#include "update/workFileVersion.h"

// Everything one run knows: built by run() step by step and handed to each
// step as the parts it uses.
struct RunRecord {
    bool debug;                  // KOVREL_DEBUG exists, whatever its value
    const char *javaExe;         // "java.exe" in debug mode, otherwise "javaw.exe"
    wchar_t wideLink[LINK_SIZE]; // the link as the client receives it
    char link[LINK_UTF8_SIZE];   // its UTF-8 form, for the log and the base URL
    char cut[LINK_UTF8_SIZE];    // the link cut after the base URL
    const char *baseURL;         // into cut
    char requestBase[LINK_UTF8_SIZE]; // the base URL as libcurl reads it: every request URL starts with it
    // The link escaped for cmd.exe, with the rest of the command line within
    // cmd.exe's 8191 characters.
    wchar_t safeLink[8100];
    Policy policy;
    ProxyDecision proxy; // the one decision of the run, for every transfer
    Downloads downloads;
    char workFolder[UTF8_PATH_SIZE];
    HANDLE lock; // the work folder's, while held
};

UNITTEST char *findURL(char *text)
{
    size_t start, length;
    if (!baseURLSpan(text, &start, &length))
        return NULL;
    text[start + length] = '\0';
    return text + start;
}

// The link from the wide command line, whole, and the base URL cut out of a copy.
static int readRunLink(RunRecord *record)
{
    if (!readLink(record->wideLink, record->link))
        return 0;
    memcpy(record->cut, record->link, strlen(record->link) + 1);
    record->baseURL = findURL(record->cut);
    if (!record->baseURL) {
        LogFormat(true, "Error getting protocol url!: %s", record->link);
        return 0;
    }
    return 1;
}

static void logBanner(const RunRecord *record)
{
    LogToFile(" ", true, true);
    char rule[75];
    memset(rule, '#', 74);
    rule[74] = '\0';
    LogToFile(rule, true, true);
    char program[UTF8_PATH_SIZE], info[1024];
    programPath(program, sizeof program);
    InfoEXE(program, info, sizeof info);
    LogFormat(true, "%s", info);
    LogTime("Start", true);
    char computer[16] = "";
    DWORD computerSize = sizeof computer;
    if (!GetComputerNameA(computer, &computerSize))
        computer[0] = '\0';
    DWORD major = 0, minor = 0, build = 0;
    GetWindowsVersion(&major, &minor, &build);
    LogFormat(true, "Computer:    %s", computer);
    LogFormat(true, "Windows:     %lu.%lu (%lu)", major, minor, build);
    LogFormat(true, "Parameters:  %s", record->link);
    LogFormat(true, "Base URL:    %s", record->baseURL);
}

// The administrator's trust controls, before any request: one line says which
// are in force, and a server they do not allow is refused. requestBase gets
// the text every request URL starts with, from the reading that was checked.
static bool trustedServer(const Policy *policy, const char *baseURL, char *requestBase, size_t size)
{
    char controls[256];
    describeControls(policy, controls, sizeof controls);
    LogFormat(true, "Controls:    %s", controls);
    if (policy->unusable[0]) {
        LogFormat(true, "Error: administrator setting %s unusable, run refused", policy->unusable);
        return false;
    }
    if (policy->pinnedPublicKeys[0] && strncmp(baseURL, "https://", 8) != 0) {
        LogFormat(true, "Error: pinned public keys need an https server, refused: %s", baseURL);
        return false;
    }
    return serverRequestBase(baseURL, policy->allowedServers, requestBase, size) != 0;
}

// The work folder made and held: one launcher at a time works in it.
static int openWorkFolder(RunRecord *record)
{
    LogTime("createTMPDir Start", true);
    if (!createTMPDir(record->workFolder)) {
        LogFormat(true, "Error creating temporary directory!: %s", record->workFolder);
        return 0;
    }
    LogTime("createTMPDir End", true);
    return lockWorkFolder(record->workFolder, record->policy.lockWaitSeconds, &record->lock);
}

// The client is started only where its jar is: a pass that failed or never
// ran may have left none. minimumJava: the manifest's minimum Java version;
// null when no new manifest was taken, and the installed one's applies.
static int startInstalled(RunRecord *record, const char *minimumJava = NULL)
{
    // createTMPDir left room for the name.
    char jar[UTF8_PATH_SIZE];
    snprintf(jar, sizeof jar, "%s\\" CLIENT_JAR, record->workFolder);
    struct _stat st;
    if (statFile(jar, &st) != 0 || !(st.st_mode & _S_IFREG)) {
        LogFormat(true, "No installed client (%s): nothing started", jar);
        return 0;
    }
    char installedMinimum[64];
    if (!minimumJava) {
        installedMinimumJava(record->workFolder, installedMinimum);
        minimumJava = installedMinimum;
    }
    int started = launchJava(record->javaExe, record->safeLink, record->workFolder, &record->policy, minimumJava);
    // Released before any key press of debug mode: a second launcher need not wait for it.
    unlockWorkFolder(&record->lock);
    if (started && record->debug)
        _getch();
    return started;
}

// The manifest, then the pass over it. Without a usable manifest the work
// folder stays exactly as it is (no pass, no process search) and the client
// starts from the installed files.
static int update(RunRecord *record)
{
    char url[4096];
    if (snprintf(url, sizeof url, "%s" APPLETS_PATH MANIFEST_NAME, record->requestBase) >= (int)sizeof url) {
        LogFormat(true, "Error: manifest URL too long: %s" APPLETS_PATH MANIFEST_NAME, record->requestBase);
        return 0;
    }
    LogTime("SearchProcesses Start", true);
    LogTime("SearchProcesses End", true);
    if (!openWorkFolder(record))
        return 0;
    // createTMPDir left room for the name.
    char newManifest[UTF8_PATH_SIZE];
    snprintf(newManifest, sizeof newManifest, "%s\\" NEW_MANIFEST_NAME, record->workFolder);

    LogFormat(true, "Downloading: %s", url);
    LogTime("getHTTPFile Start", true);
    if (!getHTTPManifest(&record->downloads, url, newManifest)) {
        LogToFile("Manifest not downloaded: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }
    if (!acceptManifest(&record->downloads, record->policy.manifestPublicKeys, record->workFolder, url, newManifest)) {
        LogToFile("Manifest refused: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }

    // The applets URL, below which every file of the manifest is fetched.
    snprintf(url, sizeof url, "%s" APPLETS_PATH, record->requestBase);
    UpdatePass pass = {};
    pass.workFolder = record->workFolder;
    pass.appletsURL = url;
    pass.javaExe = record->javaExe;
    pass.verifyDigests = record->policy.verifyDigests;
    pass.signedManifest = record->policy.manifestPublicKeys[0] != '\0';
    pass.downloads = &record->downloads;
    int passed = workFileVersion(&pass, newManifest);
    if (passed == PASS_NOT_A_MANIFEST) {
        LogToFile("Manifest refused: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }
    // A pass that failed left the installed version whole: it runs.
    if (!passed) {
        LogToFile("Error processing versions file!", true, true);
        LogToFile("Update failed: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }
    return startInstalled(record, pass.minimumJava);
}

UNITTEST int run(RunRecord *record, int argc, char *argv[])
{
    // Deployment's switches: no banner, no work folder, no network.
    int switchExit;
    if (argc == 2 && runDeploySwitch(argv[1], &switchExit))
        return switchExit;
    if (argc != 2 || strcmp(argv[1], "/?") == 0) {
        help();
        return 0;
    }

    record->debug = getenv("KOVREL_DEBUG") != NULL;
    if (!record->debug)
        FreeConsole();
    record->javaExe = record->debug ? "java.exe" : "javaw.exe";

    // The whole link goes to the log and to the client: it is never cut. The
    // client gets it from the wide command line, with every character.
    if (!readRunLink(record))
        return 0;
    logBanner(record);
    record->policy = defaultPolicy();
    ReadPolicy(&record->policy);
    if (!trustedServer(&record->policy, record->baseURL, record->requestBase, sizeof record->requestBase))
        return 0;
    // Checked before any request, file change or process search: a refused link
    // leaves everything as it was.
    if (!prepareLink(record->wideLink, record->safeLink, sizeof record->safeLink / sizeof *record->safeLink))
        return 0;
    // Once per run, not per download: each start-up loads the system's network
    // and security libraries again, and the caches keep connections for reuse.
    getHTTPStartup(&record->downloads, &record->policy);
    char manifestURL[4096];
    snprintf(manifestURL, sizeof manifestURL, "%s" APPLETS_PATH MANIFEST_NAME, record->requestBase);
    decideProxy(&record->policy, manifestURL, &record->proxy);
    record->downloads.proxy = &record->proxy;
    return update(record);
}

#ifndef KOVREL_UNITTESTS
int main(int argc, char *argv[])
{
    RunRecord record = {};
    int rc = run(&record, argc, argv);
    // Whatever path the run took; harmless when it never got so far.
    unlockWorkFolder(&record.lock);
    getHTTPCleanup(&record.downloads);
    return rc;
}
#endif
