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
#include "ui/ProgressWindow.h"
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
    char host[256];         // the server's, for the window and the message boxes
    ProgressWindow *window; // null: none
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

// The host of url as libcurl reads it; the URL itself where it reads none.
static void serverHost(const char *url, char *host, size_t size)
{
    CURLU *handle = curl_url();
    char *part = NULL;
    if (handle && curl_url_set(handle, CURLUPART_URL, url, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &part, 0) == CURLUE_OK)
        snprintf(host, size, "%s", part);
    else
        snprintf(host, size, "%s", url);
    curl_free(part);
    curl_url_cleanup(handle);
}

// A run that ends without the client: the message box that says why (the
// reason is in the log already). Returns the run's result, 0.
static int failed(RunRecord *record, ProgressError error, const char *subject)
{
    // Another launcher need not wait while the box waits for the user.
    unlockWorkFolder(&record->lock);
    if (!record->window)
        record->window = progressStart(record->policy.showProgress, record->host);
    progressError(record->window, error, subject);
    return 0;
}

static int cancelled(void)
{
    LogToFile("Cancelled by the user", true, true);
    return 0;
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
// the text every request URL starts with, from the reading that was checked;
// *why, what to tell the user of a refusal.
static bool trustedServer(const Policy *policy, const char *baseURL, char *requestBase, size_t size,
                          ProgressError *why)
{
    *why = ERROR_REFUSED_SERVER;
    char controls[256];
    describeControls(policy, controls, sizeof controls);
    LogFormat(true, "Controls:    %s", controls);
    if (policy->unusable[0]) {
        *why = ERROR_UNUSABLE_SETTING;
        LogFormat(true, "Error: administrator setting %s unusable, run refused", policy->unusable);
        return false;
    }
    if (policy->pinnedPublicKeys[0] && strncmp(baseURL, "https://", 8) != 0) {
        LogFormat(true, "Error: pinned public keys need an https server, refused: %s", baseURL);
        return false;
    }
    // Without a list of servers, only the link itself can be at fault.
    if (!policy->allowedServers[0])
        *why = ERROR_REFUSED_LINK;
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
    bool timedOut = false;
    if (lockWorkFolder(record->workFolder, record->policy.lockWaitSeconds, &record->lock, &timedOut,
                       progressStopEvent(record->window)))
        return 1;
    if (timedOut)
        failed(record, ERROR_LOCK_TIMEOUT, NULL);
    return 0;
}

// True where the work folder holds the client's jar, named in jar.
static bool installedClient(const RunRecord *record, char *jar)
{
    // createTMPDir left room for the name.
    snprintf(jar, UTF8_PATH_SIZE, "%s\\" CLIENT_JAR, record->workFolder);
    struct _stat st;
    return statFile(jar, &st) == 0 && (st.st_mode & _S_IFREG);
}

// The client is started only where its jar is: a pass that failed or never
// ran may have left none. minimumJava: the manifest's minimum Java version;
// null when no new manifest was taken, and the installed one's applies.
// noClient: the message box of a run that finds no client to start.
static int startInstalled(RunRecord *record, const char *minimumJava = NULL,
                          ProgressError noClient = ERROR_NO_SERVER)
{
    // A switch whose files could not all be put back left two versions mixed.
    if (switchNotPutBack(record->workFolder)) {
        LogToFile("The work folder holds files of two versions until a switch is put back: nothing started", true,
                  true);
        return failed(record, ERROR_PASS_FAILED, record->host);
    }
    char jar[UTF8_PATH_SIZE];
    if (!installedClient(record, jar)) {
        LogFormat(true, "No installed client (%s): nothing started", jar);
        return failed(record, noClient, record->host);
    }
    char installedMinimum[64];
    if (!minimumJava) {
        installedMinimumJava(record->workFolder, installedMinimum);
        minimumJava = installedMinimum;
    }
    progressStep(record->window, STEP_STARTING);
    int started = launchJava(record->javaExe, record->safeLink, record->workFolder, &record->policy, minimumJava,
                             record->window, &record->lock);
    // Released before any key press of debug mode: a second launcher need not wait for it.
    unlockWorkFolder(&record->lock);
    progressFinish(&record->window);
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
        return progressStopped(record->window) == STOP_CANCEL ? cancelled() : 0;
    finishCutSwitch(record->workFolder);
    // createTMPDir left room for the name.
    char newManifest[UTF8_PATH_SIZE];
    snprintf(newManifest, sizeof newManifest, "%s\\" NEW_MANIFEST_NAME, record->workFolder);

    // Until the manifest arrives, the user may start the installed client at once.
    char jar[UTF8_PATH_SIZE];
    progressOfferStart(record->window, installedClient(record, jar));

    LogFormat(true, "Downloading: %s", url);
    LogTime("getHTTPFile Start", true);
    int fetched = getHTTPManifest(&record->downloads, url, newManifest);
    progressOfferStart(record->window, false);
    ProgressStop stop = progressStopped(record->window);
    if (stop == STOP_CANCEL)
        return cancelled();
    if (stop == STOP_START_NOW) {
        LogToFile("Started without updating, at the user's request: the run goes on with the installed files", true,
                  true);
        return startInstalled(record);
    }
    if (!fetched) {
        LogToFile("Manifest not downloaded: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }
    progressStep(record->window, STEP_CHECKING);
    if (!acceptManifest(&record->downloads, record->policy.manifestPublicKeys, record->workFolder, url, newManifest)) {
        if (progressStopped(record->window) == STOP_CANCEL)
            return cancelled();
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
    if (progressStopped(record->window) == STOP_CANCEL)
        return cancelled();
    if (passed == PASS_NOT_A_MANIFEST) {
        LogToFile("Manifest refused: the run goes on with the installed files", true, true);
        return startInstalled(record);
    }
    // A pass that failed left the installed version whole: it runs.
    if (!passed) {
        LogToFile("Error processing versions file!", true, true);
        LogToFile("Update failed: the run goes on with the installed files", true, true);
        return startInstalled(record, NULL, ERROR_PASS_FAILED);
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

    // Read first (it logs nothing): ShowProgress decides whether a refused
    // link gets a message box.
    record->policy = defaultPolicy();
    ReadPolicy(&record->policy);
    // The whole link goes to the log and to the client: it is never cut. The
    // client gets it from the wide command line, with every character.
    if (!readRunLink(record))
        return failed(record, ERROR_REFUSED_LINK, NULL);
    serverHost(record->baseURL, record->host, sizeof record->host);
    record->window = progressStart(record->policy.showProgress, record->host);
    logBanner(record);
    ProgressError why;
    if (!trustedServer(&record->policy, record->baseURL, record->requestBase, sizeof record->requestBase, &why))
        return failed(record, why, why == ERROR_UNUSABLE_SETTING ? record->policy.unusable : record->host);
    // Checked before any request, file change or process search: a refused link
    // leaves everything as it was.
    if (!prepareLink(record->wideLink, record->safeLink, sizeof record->safeLink / sizeof *record->safeLink))
        return failed(record, ERROR_REFUSED_LINK, NULL);
    // Once per run, not per download: each start-up loads the system's network
    // and security libraries again, and the caches keep connections for reuse.
    getHTTPStartup(&record->downloads, &record->policy);
    char manifestURL[4096];
    snprintf(manifestURL, sizeof manifestURL, "%s" APPLETS_PATH MANIFEST_NAME, record->requestBase);
    decideProxy(&record->policy, manifestURL, &record->proxy);
    record->downloads.proxy = &record->proxy;
    record->downloads.sink = progressSink(record->window);
    return update(record);
}

#ifndef KOVREL_UNITTESTS
int main(int argc, char *argv[])
{
    RunRecord record = {};
    int rc = run(&record, argc, argv);
    // Whatever path the run took; harmless when it never got so far.
    unlockWorkFolder(&record.lock);
    progressFinish(&record.window);
    getHTTPCleanup(&record.downloads);
    return rc;
}
#endif
