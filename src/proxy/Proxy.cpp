#include "proxy/Proxy.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winhttp.h>

#include "launcher/SystemLibrary.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "text/Utf8.h"

// Automatic detection (WPAD) may wait on DHCP and DNS: it gets this long,
// then the run goes on as if it found nothing.
static const DWORD autoDetectMilliseconds = 3000;

// What the run's server looks like to a bypass list.
struct Target {
    char host[256];
    unsigned port;
    bool https;
};

// libcurl's reading of url, the one the requests go through.
static bool readTarget(const char *url, Target *target)
{
    CURLU *handle = curl_url();
    char *host = NULL, *port = NULL, *scheme = NULL;
    bool ok = handle && curl_url_set(handle, CURLUPART_URL, url, 0) == CURLUE_OK &&
              curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
              curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
              curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
              strlen(host) < sizeof target->host;
    if (ok) {
        // A bracketed IPv6 address is matched without its brackets.
        size_t len = strlen(host);
        if (host[0] == '[' && len > 1)
            snprintf(target->host, sizeof target->host, "%.*s", (int)(len - 2), host + 1);
        else
            snprintf(target->host, sizeof target->host, "%s", host);
        target->port = (unsigned)atoi(port);
        target->https = strcmp(scheme, "https") == 0;
    }
    curl_free(host);
    curl_free(port);
    curl_free(scheme);
    curl_url_cleanup(handle);
    return ok;
}

// Windows' text (null: none) in UTF-8; empty when it does not fit.
static void fromWide(const wchar_t *text, char *out, size_t outSize)
{
    out[0] = '\0';
    if (text)
        toUtf8(text, out, outSize);
}

// Windows' text (null: none) in UTF-8, whatever its length, to be freed; null
// when there is no memory for it.
static char *fromWideAllocated(const wchar_t *text)
{
    size_t size = text ? 3 * wcslen(text) + 1 : 1;
    char *out = (char *)malloc(size);
    if (out)
        fromWide(text, out, size);
    return out;
}

// One evaluation by WinHTTP, in a thread of its own so that the run can stop
// waiting for it. The caller and the thread each hold it; the last to let go
// frees it.
struct Evaluation {
    wchar_t url[4096];
    wchar_t pac[1024]; // empty: automatic detection
    DWORD error;       // 0: evaluated
    DWORD accessType;
    char proxy[1024];
    char bypass[1024];
    LONG holders;
};

static void release(Evaluation *evaluation)
{
    if (InterlockedDecrement(&evaluation->holders) == 0)
        free(evaluation);
}

// WinHTTP, with the script engine it brings, is a tenth of a run's memory and
// a fifth of its start: loaded only when the user's settings are read
// through it, before any evaluation thread starts.
static struct {
    int loaded; // 0: not yet; 1: loaded; -1: missing
    decltype(&WinHttpGetIEProxyConfigForCurrentUser) getUserConfig;
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetStatusCallback) setStatusCallback;
    decltype(&WinHttpGetProxyForUrl) getProxyForUrl;
    decltype(&WinHttpCloseHandle) closeHandle;
    // The resolver of Windows 8 and later, which gives the whole answer,
    // DIRECT entries included; null on older Windows.
    DWORD(WINAPI *createResolver)(HINTERNET, HINTERNET *);
    DWORD(WINAPI *getProxyForUrlEx)(HINTERNET, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS *, DWORD_PTR);
    DWORD(WINAPI *getProxyResult)(HINTERNET, WINHTTP_PROXY_RESULT *);
    VOID(WINAPI *freeProxyResult)(WINHTTP_PROXY_RESULT *);
} winHttp;

template <typename Function> static bool bind(HMODULE module, Function *function, const char *name)
{
    *function = (Function)(void *)GetProcAddress(module, name);
    return *function != NULL;
}

static bool loadWinHttp(void)
{
    if (!winHttp.loaded) {
        HMODULE module = systemLibrary(L"winhttp.dll");
        bool whole = module && bind(module, &winHttp.getUserConfig, "WinHttpGetIEProxyConfigForCurrentUser") &&
                     bind(module, &winHttp.open, "WinHttpOpen") &&
                     bind(module, &winHttp.setStatusCallback, "WinHttpSetStatusCallback") &&
                     bind(module, &winHttp.getProxyForUrl, "WinHttpGetProxyForUrl") &&
                     bind(module, &winHttp.closeHandle, "WinHttpCloseHandle");
        if (whole && !(bind(module, &winHttp.createResolver, "WinHttpCreateProxyResolver") &&
                       bind(module, &winHttp.getProxyForUrlEx, "WinHttpGetProxyForUrlEx") &&
                       bind(module, &winHttp.getProxyResult, "WinHttpGetProxyResult") &&
                       bind(module, &winHttp.freeProxyResult, "WinHttpFreeProxyResult")))
            winHttp.createResolver = NULL;
        if (!whole)
            LogFormat(true, "Proxy: WinHTTP not loaded (%lu): the Windows settings are not read", GetLastError());
        winHttp.loaded = whole ? 1 : -1;
    }
    return winHttp.loaded > 0;
}

struct Resolution {
    HANDLE done;
    DWORD error;
};

static void CALLBACK resolved(HINTERNET, DWORD_PTR context, DWORD status, void *info, DWORD)
{
    Resolution *resolution = (Resolution *)context;
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
        resolution->error = ((WINHTTP_ASYNC_RESULT *)info)->dwError;
    else if (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE)
        return;
    SetEvent(resolution->done);
}

// The resolver's entries as a PAC answer ("PROXY a:1; DIRECT") into e. The
// entries that do not fit whole are left out: a port cut short names
// another proxy.
static void resultText(const WINHTTP_PROXY_RESULT *result, Evaluation *e)
{
    size_t used = 0;
    for (DWORD i = 0; i < result->cEntries; ++i) {
        const WINHTTP_PROXY_RESULT_ENTRY *entry = &result->pEntries[i];
        char name[PROXY_NAME_MAX];
        fromWide(entry->pwszProxy, name, sizeof name);
        const char *kind = entry->ProxyScheme == INTERNET_SCHEME_SOCKS ? "SOCKS"
                           : entry->ProxyScheme == INTERNET_SCHEME_HTTPS ? "HTTPS"
                                                                        : "PROXY";
        int n = !entry->fProxy || entry->fBypass || !name[0]
                    ? snprintf(e->proxy + used, sizeof e->proxy - used, "%sDIRECT", used ? "; " : "")
                    : snprintf(e->proxy + used, sizeof e->proxy - used, "%s%s %s:%u", used ? "; " : "", kind,
                               name, (unsigned)entry->ProxyPort);
        if (n < 0 || (size_t)n >= sizeof e->proxy - used) {
            e->proxy[used] = '\0';
            break;
        }
        used += (size_t)n;
    }
    e->accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
}

// 1 when the resolver answered into e, 0 when it failed (e->error), -1
// when this Windows has none (Wine's gives ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR).
static int evaluateWhole(Evaluation *e, WINHTTP_AUTOPROXY_OPTIONS *options)
{
    if (!winHttp.createResolver)
        return -1;
    HINTERNET session = winHttp.open(L"Kovrel", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    HINTERNET resolver = NULL;
    Resolution resolution = {CreateEventA(NULL, TRUE, FALSE, NULL), 0};
    int result = -1;
    // The resolver takes the session's callback.
    if (session)
        winHttp.setStatusCallback(session, resolved, WINHTTP_CALLBACK_FLAG_REQUEST_ERROR |
                                                         WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE, 0);
    if (session && resolution.done && winHttp.createResolver(session, &resolver) == ERROR_SUCCESS) {
        DWORD rc = winHttp.getProxyForUrlEx(resolver, e->url, options, (DWORD_PTR)&resolution);
        if (rc == ERROR_IO_PENDING) {
            // The caller bounds the whole evaluation.
            WaitForSingleObject(resolution.done, INFINITE);
            rc = resolution.error;
        }
        WINHTTP_PROXY_RESULT answer = {};
        if (rc == ERROR_SUCCESS)
            rc = winHttp.getProxyResult(resolver, &answer);
        if (rc == ERROR_SUCCESS) {
            resultText(&answer, e);
            winHttp.freeProxyResult(&answer);
        }
        e->error = rc;
        result = rc == ERROR_SUCCESS;
        winHttp.closeHandle(resolver);
    }
    if (resolution.done)
        CloseHandle(resolution.done);
    if (session)
        winHttp.closeHandle(session);
    return result;
}

static DWORD WINAPI evaluate(void *parameter)
{
    Evaluation *e = (Evaluation *)parameter;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (e->pac[0]) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = e->pac;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    // A PAC server that asks for a login gets the Windows account.
    options.fAutoLogonIfChallenged = TRUE;
    if (evaluateWhole(e, &options) >= 0) {
        release(e);
        return 0;
    }
    // The older call gives the proxies without the DIRECT entries (Wine's
    // only the first proxy).
    HINTERNET session =
        winHttp.open(L"Kovrel", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    WINHTTP_PROXY_INFO info = {};
    if (!session || !winHttp.getProxyForUrl(session, e->url, &options, &info)) {
        e->error = GetLastError();
        if (!e->error)
            e->error = ERROR_WINHTTP_INTERNAL_ERROR;
    } else {
        e->accessType = info.dwAccessType;
        fromWide(info.lpszProxy, e->proxy, sizeof e->proxy);
        fromWide(info.lpszProxyBypass, e->bypass, sizeof e->bypass);
    }
    if (info.lpszProxy)
        GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass)
        GlobalFree(info.lpszProxyBypass);
    if (session)
        winHttp.closeHandle(session);
    release(e);
    return 0;
}

// The proxy list Windows gives for url from the PAC at pac (NULL: automatic
// detection) into *list, within milliseconds. 1 when it gave one, 0 when it
// failed (*error set), -1 when it took too long.
static int evaluateBounded(const char *url, const wchar_t *pac, const Target *target, DWORD milliseconds,
                           ProxyList *list, DWORD *error)
{
    if (!loadWinHttp()) {
        *error = ERROR_MOD_NOT_FOUND;
        return 0;
    }
    Evaluation *e = (Evaluation *)calloc(1, sizeof *e);
    if (!e || !toWide(url, e->url, sizeof e->url / sizeof *e->url)) {
        free(e);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    if (pac)
        wcsncpy(e->pac, pac, sizeof e->pac / sizeof *e->pac - 1);
    e->holders = 2;
    HANDLE thread = CreateThread(NULL, 0, evaluate, e, 0, NULL);
    if (!thread) {
        *error = GetLastError();
        free(e);
        return 0;
    }
    DWORD waited = WaitForSingleObject(thread, milliseconds);
    CloseHandle(thread);
    int result = -1;
    if (waited == WAIT_OBJECT_0) {
        *error = e->error;
        result = 0;
        if (!e->error && e->accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
            result = proxyListParse("DIRECT", target->https, list);
        else if (!e->error && proxyBypassed(e->bypass, target->host, target->port))
            result = proxyListParse("DIRECT", target->https, list);
        else if (!e->error && !(result = proxyListParse(e->proxy, target->https, list)))
            *error = ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT;
    }
    release(e);
    return result;
}

// A PAC's answer into decision; false, with the error logged, when it could
// not be fetched or run.
static bool fromPAC(const char *url, const wchar_t *pac, const Target *target, DWORD milliseconds,
                    ProxyDecision *decision)
{
    DWORD error = 0;
    int rc = evaluateBounded(url, pac, target, milliseconds, &decision->list, &error);
    if (rc > 0)
        return true;
    char shown[1200], text[256];
    fromWide(pac, shown, sizeof shown);
    if (rc < 0)
        LogFormat(true, "Error: proxy auto-config %s not evaluated within %lu s: the next proxy source applies",
                  shown, (unsigned long)(milliseconds / 1000));
    else
        LogFormat(true, "Error: proxy auto-config %s not usable: %lu (%s): the next proxy source applies", shown,
                  (unsigned long)error, windowsErrorText(error, text, sizeof text));
    return false;
}

// A named proxy with its bypass list into decision; false when the text
// names no proxy.
static bool fromNamed(const char *proxy, const char *bypass, const Target *target, ProxyDecision *decision,
                      bool *bypassed)
{
    *bypassed = bypass && proxyBypassed(bypass, target->host, target->port);
    return proxyListParse(*bypassed ? "DIRECT" : proxy, target->https, &decision->list) != 0;
}

// The variable libcurl takes the proxy from for the scheme, or NULL.
static const char *environmentProxy(bool https)
{
    static const char *const httpsNames[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", NULL};
    // libcurl ignores HTTP_PROXY in capitals (CGI programs get it from a request header).
    static const char *const httpNames[] = {"http_proxy", "all_proxy", "ALL_PROXY", NULL};
    for (const char *const *name = https ? httpsNames : httpNames; *name; ++name) {
        const char *value = getenv(*name);
        if (value && *value)
            return *name;
    }
    return NULL;
}

// True where the user's stored Windows settings ask for a direct connection
// only, and no machine policy puts the machine's settings in their place:
// WinHTTP would name no proxy.
static bool storedDirect(void)
{
    HKEY key;
    DWORD perUser = 1, size = sizeof perUser;
    const wchar_t *policy = L"SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    const wchar_t *connections = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, policy, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        if (RegQueryValueExW(key, L"ProxySettingsPerUser", NULL, &type, (BYTE *)&perUser, &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            perUser = 1;
        RegCloseKey(key);
    }
    if (!perUser || RegOpenKeyExW(HKEY_CURRENT_USER, connections, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    // Only the header matters; a longer value is left to WinHTTP.
    unsigned char blob[4096];
    DWORD type = 0;
    size = sizeof blob;
    LONG rc = RegQueryValueExW(key, L"DefaultConnectionSettings", NULL, &type, blob, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_BINARY && connectionSettingsDirect(blob, size);
}

// The user's Windows settings, in Windows' order: automatic detection, the
// auto-config URL, then the named proxy. source gets the one that decided.
static bool fromUserSettings(const char *url, const Target *target, unsigned pacSeconds, ProxyDecision *decision,
                             char *source, size_t sourceSize)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (storedDirect() || !loadWinHttp() || !winHttp.getUserConfig(&config))
        return false;
    bool decided = false;
    if (config.fAutoDetect) {
        DWORD error = 0;
        int rc = evaluateBounded(url, NULL, target, autoDetectMilliseconds, &decision->list, &error);
        if (rc < 0)
            LogFormat(true, "Proxy auto-detection: no answer within %lu s, the run goes on without it",
                      (unsigned long)(autoDetectMilliseconds / 1000));
        if (rc > 0) {
            snprintf(source, sourceSize, "Windows settings, automatic detection");
            decided = true;
        }
    }
    if (!decided && config.lpszAutoConfigUrl &&
        fromPAC(url, config.lpszAutoConfigUrl, target, pacSeconds * 1000, decision)) {
        char pac[1024];
        fromWide(config.lpszAutoConfigUrl, pac, sizeof pac);
        snprintf(source, sourceSize, "Windows settings, auto-config %s", pac);
        decided = true;
    }
    if (!decided && config.lpszProxy) {
        // A bypass list of many hosts runs past any fixed buffer; emptied, it
        // would send every one of them through the proxy.
        char *proxy = fromWideAllocated(config.lpszProxy), *bypass = fromWideAllocated(config.lpszProxyBypass);
        bool bypassed = false;
        decided = proxy && bypass && fromNamed(proxy, bypass, target, decision, &bypassed);
        snprintf(source, sourceSize, "%s", bypassed ? "Windows settings, bypass list" : "Windows settings");
        free(proxy);
        free(bypass);
    }
    wchar_t *texts[] = {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass};
    for (wchar_t *text : texts)
        if (text)
            GlobalFree(text);
    return decided;
}

static void logDecision(const ProxyDecision *decision, const char *shownEnvironment, const char *source)
{
    char line[2048] = "", shown[PROXY_NAME_MAX + 8];
    size_t used = 0;
    for (int i = 0; i < decision->list.count && used < sizeof line; ++i) {
        proxyShown(decision->list.entries[i], shown, sizeof shown);
        used += snprintf(line + used, sizeof line - used, "%s%s", i ? "; " : "", shown[0] ? shown : "DIRECT");
    }
    if (shownEnvironment)
        proxyShown(shownEnvironment, line, sizeof line);
    LogFormat(true, "Proxy:       %s (from %s)", line[0] ? line : "DIRECT", source);
}

void decideProxy(const Policy *policy, const char *url, ProxyDecision *decision)
{
    *decision = {};
    char source[1200] = "";
    Target target = {};
    if (!readTarget(url, &target)) {
        // The URL was checked before; libcurl then decides alone.
        decision->fromEnvironment = true;
        logDecision(decision, "", "libcurl, the URL not read");
        return;
    }
    unsigned pacSeconds = policy->connectTimeoutSeconds + policy->stallTimeoutSeconds;
    bool bypassed = false;
    if (policy->proxyServer[0]) {
        if (fromNamed(policy->proxyServer, policy->proxyBypass, &target, decision, &bypassed)) {
            logDecision(decision, NULL, bypassed ? "administrator ProxyBypass" : "administrator ProxyServer");
            return;
        }
        char shown[sizeof policy->proxyServer];
        proxyShown(policy->proxyServer, shown, sizeof shown);
        LogFormat(true, "Error: administrator ProxyServer names no proxy: %s", shown);
    }
    if (policy->proxyAutoConfigURL[0]) {
        wchar_t pac[1024];
        if (toWide(policy->proxyAutoConfigURL, pac, sizeof pac / sizeof *pac) &&
            fromPAC(url, pac, &target, pacSeconds * 1000, decision)) {
            snprintf(source, sizeof source, "administrator ProxyAutoConfigURL %s", policy->proxyAutoConfigURL);
            logDecision(decision, NULL, source);
            return;
        }
    }
    if (fromUserSettings(url, &target, pacSeconds, decision, source, sizeof source)) {
        logDecision(decision, NULL, source);
        return;
    }
    decision->list = {};
    const char *variable = environmentProxy(target.https);
    if (variable) {
        decision->fromEnvironment = true;
        snprintf(source, sizeof source, "environment variable %s", variable);
        logDecision(decision, getenv(variable), source);
        return;
    }
    logDecision(decision, NULL, "no proxy setting");
}

// The current entry on the handle, with the Windows account as its login;
// null for DIRECT.
static const char *applyEntry(CURL *curl, const ProxyDecision *decision)
{
    const char *entry = decision->list.count ? decision->list.entries[decision->current] : "";
    if (!decision->fromEnvironment) {
        // Set even when empty: a decision of DIRECT is not overruled by the
        // proxy variables, and a named proxy not by no_proxy.
        curl_easy_setopt(curl, CURLOPT_PROXY, entry);
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        if (!entry[0])
            return NULL;
    }
    // An empty user name: SSPI logs in with the current Windows logon, and
    // no password is ever stored.
    curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, ":");
    curl_easy_setopt(curl, CURLOPT_PROXYAUTH, decision->ntlmOnly ? CURLAUTH_NTLM : CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
    return entry;
}

void proxyApply(CURL *curl, const ProxyDecision *decision)
{
    applyEntry(curl, decision);
}

// The proxy itself was not reached: the origin was never contacted.
static bool proxyUnreachable(CURL *curl, CURLcode rc)
{
    double connected = 0.0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connected);
    return rc == CURLE_COULDNT_RESOLVE_PROXY || rc == CURLE_COULDNT_CONNECT ||
           (rc == CURLE_OPERATION_TIMEDOUT && connected <= 0.0);
}

CURLcode proxyPerform(CURL *curl, ProxyDecision *decision, bool (*restart)(void *context), void *context)
{
    for (;;) {
        const char *entry = applyEntry(curl, decision);
        CURLcode rc = curl_easy_perform(curl);
        if (!entry)
            return rc;
        long tunnel = 0, status = 0, offered = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &tunnel);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(curl, CURLINFO_PROXYAUTH_AVAIL, &offered);
        // libcurl prefers Negotiate; without Kerberos it has no token to
        // send, and the proxy's 407 stands. NTLM alone then answers.
        if ((tunnel == 407 || status == 407) && !decision->ntlmOnly && (offered & CURLAUTH_NTLM)) {
            decision->ntlmOnly = true;
            LogToFile("Proxy login: Negotiate gave the proxy no answer, NTLM alone from now on", true, true);
            if (!restart(context))
                return rc;
            continue;
        }
        if (decision->fromEnvironment || decision->current + 1 >= decision->list.count ||
            !proxyUnreachable(curl, rc))
            return rc;
        char shown[PROXY_NAME_MAX + 8], next[PROXY_NAME_MAX + 8];
        proxyShown(entry, shown, sizeof shown);
        proxyShown(decision->list.entries[++decision->current], next, sizeof next);
        LogFormat(true, "Proxy:       %s not reached (%s), next: %s", shown, curl_easy_strerror(rc),
                  next[0] ? next : "DIRECT");
        if (!restart(context))
            return rc;
    }
}
