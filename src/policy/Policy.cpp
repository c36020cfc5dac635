#include "policy/Policy.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "UnitTest.h"
#include "text/Utf8.h"
#include "rules/baseURL.h"
#include "rules/manifestSignature.h"

#ifndef KOVREL_ALLOWED_SERVERS
#define KOVREL_ALLOWED_SERVERS ""
#endif
#ifndef KOVREL_PINNED_PUBLIC_KEYS
#define KOVREL_PINNED_PUBLIC_KEYS ""
#endif
#ifndef KOVREL_VERIFY_DIGESTS
#define KOVREL_VERIFY_DIGESTS 0
#endif

UNITTEST int policyServers(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);
UNITTEST int policyPins(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);
UNITTEST int policyManifestKeys(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);
UNITTEST int policyText(unsigned long type, const void *data, unsigned long size, bool https, char *out,
                        size_t outSize);

// Where the Java download page is unless the administrator names another.
#define JAVA_DOWNLOAD_PAGE "https://www.java.com/es/download/"

Policy defaultPolicy(void)
{
    Policy policy = {};
    policy.connectTimeoutSeconds = 30;
    policy.stallTimeoutSeconds = 60;
    policy.lockWaitSeconds = 300;
    policy.maxParallelDownloads = 4;
    policy.maxFileMegabytes = 1024;
    policy.maxPassMegabytes = 4096;
    policy.verifyDigests = KOVREL_VERIFY_DIGESTS ? DIGESTS_VERIFIED : DIGESTS_OFF;
    policy.unusable = "";
    policy.showProgress = true;
    snprintf(policy.javaDownloadURL, sizeof policy.javaDownloadURL, "%s", JAVA_DOWNLOAD_PAGE);
    // Baked-in defaults go through the registry's parsers, as a REG_SZ would.
    static const char servers[] = KOVREL_ALLOWED_SERVERS, pins[] = KOVREL_PINNED_PUBLIC_KEYS;
    if (!policyServers(REG_SZ, servers, sizeof servers, policy.allowedServers, sizeof policy.allowedServers))
        policy.unusable = "AllowedServers";
    if (!policyPins(REG_SZ, pins, sizeof pins, policy.pinnedPublicKeys, sizeof policy.pinnedPublicKeys))
        policy.unusable = "PinnedPublicKeys";
    return policy;
}

UNITTEST unsigned policyNumber(unsigned long type, const void *data, unsigned long size, unsigned most,
                               unsigned fallback)
{
    if (type != REG_DWORD || size != sizeof(DWORD) || !data)
        return fallback;
    DWORD value;
    memcpy(&value, data, sizeof value);
    return value >= 1 && value <= most ? (unsigned)value : fallback;
}

UNITTEST int policySwitch(unsigned long type, const void *data, unsigned long size)
{
    if (type != REG_DWORD || size != sizeof(DWORD) || !data)
        return -1;
    DWORD value;
    memcpy(&value, data, sizeof value);
    return value == 0 ? DIGESTS_OFF : value == 2 ? DIGESTS_REQUIRED : DIGESTS_VERIFIED;
}

UNITTEST bool policyFlag(unsigned long type, const void *data, unsigned long size, bool fallback)
{
    if (type != REG_DWORD || size != sizeof(DWORD) || !data)
        return fallback;
    DWORD value;
    memcpy(&value, data, sizeof value);
    return value != 0;
}

UNITTEST int policyJavaBits(unsigned long type, const void *data, unsigned long size)
{
    if (type != REG_DWORD || size != sizeof(DWORD) || !data)
        return 0;
    DWORD value;
    memcpy(&value, data, sizeof value);
    return value == 32 || value == 64 ? (int)value : 0;
}

UNITTEST int policyText(unsigned long type, const void *data, unsigned long size, bool https, char *out,
                        size_t outSize)
{
    if (type != REG_SZ || !data)
        return 0;
    const char *text = (const char *)data;
    const char *nul = (const char *)memchr(text, '\0', size);
    size_t len = nul ? (size_t)(nul - text) : size;
    if (!len || len >= outSize || (https && (len <= 8 || _strnicmp(text, "https://", 8) != 0)))
        return 0;
    for (size_t i = 0; i < len; ++i)
        if ((unsigned char)text[i] < 0x20 || text[i] == 0x7f || (https && text[i] == ' '))
            return 0;
    memcpy(out, text, len);
    out[len] = '\0';
    return 1;
}

// Drops the blanks around text, in place.
static void trimBlanks(char *text)
{
    size_t start = strspn(text, " \t"), len = strlen(text + start);
    while (len && (text[start + len - 1] == ' ' || text[start + len - 1] == '\t'))
        --len;
    memmove(text, text + start, len);
    text[len] = '\0';
}

bool serverAllowed(const char *allowedServers, const ServerName *server)
{
    ServerName entry;
    for (const char *p = allowedServers; *p; p += strlen(p) + 1) {
        if (parseServerURL(p, strlen(p), &entry) && entry.https == server->https && entry.port == server->port &&
            strcmp(entry.host, server->host) == 0)
            return true;
    }
    return false;
}

// The usable text of a REG_SZ (up to its first terminator) or REG_MULTI_SZ
// (multi true) value: its length, and its entry separator in *separator;
// -1 for another type.
static long valueText(unsigned long type, const char *data, size_t size, bool multi, char *separator)
{
    if (!data || (type != REG_SZ && !(multi && type == REG_MULTI_SZ)))
        return -1;
    *separator = type == REG_SZ ? ';' : '\0';
    if (type == REG_SZ) {
        const char *nul = (const char *)memchr(data, '\0', size);
        if (nul)
            size = nul - data;
    }
    return (long)size;
}

// The next entry of text from *pos on, blanks around it trimmed, empty ones
// skipped; false at the end.
static bool nextEntry(const char *text, size_t size, char separator, size_t *pos, const char **entry, size_t *len)
{
    while (*pos < size) {
        size_t a = *pos, b = a;
        while (b < size && text[b] != separator)
            ++b;
        *pos = b + 1;
        while (a < b && (text[a] == ' ' || text[a] == '\t'))
            ++a;
        while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t'))
            --b;
        if (b > a) {
            *entry = text + a;
            *len = b - a;
            return true;
        }
    }
    return false;
}

// The entries of a REG_SZ (';'-separated) or, with multi, REG_MULTI_SZ value,
// each taken by accept, into out: with joiner '\0' in the list form (each
// entry ended by '\0', the list by an empty one), otherwise separated by
// joiner. 0 when the type is wrong, an entry is refused or the result does not
// fit; out is then untouched.
static int parseEntries(unsigned long type, const void *data, unsigned long size, bool multi,
                        bool (*accept)(const char *entry, size_t len), char joiner, char *out, size_t outSize)
{
    char separator;
    long textLen = valueText(type, (const char *)data, size, multi, &separator);
    if (textLen < 0)
        return 0;
    char list[sizeof Policy::allowedServers];
    size_t used = 0, pos = 0, len;
    const char *entry;
    while (nextEntry((const char *)data, textLen, separator, &pos, &entry, &len)) {
        if (!accept(entry, len) || used + len + 2 > sizeof list)
            return 0;
        if (joiner && used)
            list[used++] = joiner;
        memcpy(list + used, entry, len);
        used += len;
        if (!joiner)
            list[used++] = '\0';
    }
    list[used++] = '\0';
    if (used > outSize)
        return 0;
    memcpy(out, list, used);
    return 1;
}

static bool isServer(const char *entry, size_t len)
{
    ServerName server;
    return parseServerURL(entry, len, &server) != 0;
}

// "sha256//" and the base64 of 32 bytes.
static bool isPin(const char *entry, size_t len)
{
    static const char prefix[] = "sha256//";
    const size_t prefixLen = sizeof prefix - 1, hashLen = 44;
    if (len != prefixLen + hashLen || memcmp(entry, prefix, prefixLen) != 0 || entry[len - 1] != '=')
        return false;
    for (size_t i = prefixLen; i < len - 1; ++i)
        if (!isalnum((unsigned char)entry[i]) && entry[i] != '+' && entry[i] != '/')
            return false;
    return true;
}

UNITTEST int policyServers(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize)
{
    return parseEntries(type, data, size, true, isServer, '\0', out, outSize);
}

UNITTEST int policyPins(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize)
{
    return parseEntries(type, data, size, false, isPin, ';', out, outSize);
}

static bool isManifestKey(const char *entry, size_t len)
{
    ManifestPublicKey key;
    return parsePublicKeyEntry(entry, len, &key, NULL) != 0;
}

UNITTEST int policyManifestKeys(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize)
{
    return parseEntries(type, data, size, true, isManifestKey, '\0', out, outSize);
}

// Reads a value's raw data into data: 1 read, 0 not there, -1 there but
// unreadable (larger than any usable value, or another failure).
static int queryValue(HKEY key, const char *name, DWORD *type, BYTE *data, DWORD *size)
{
    // Wide, with text handed on in UTF-8: a path such as JavaHome may hold
    // what the ANSI code page cannot.
    static wchar_t raw[8192];
    wchar_t wideName[64];
    DWORD rawSize = sizeof raw;
    LONG rc = toWide(name, wideName, 64) ? RegQueryValueExW(key, wideName, NULL, type, (BYTE *)raw, &rawSize)
                                        : ERROR_INVALID_NAME;
    if (rc != ERROR_SUCCESS)
        return rc == ERROR_FILE_NOT_FOUND ? 0 : -1;
    if (*type != REG_SZ && *type != REG_EXPAND_SZ && *type != REG_MULTI_SZ) {
        if (rawSize > *size)
            return -1;
        memcpy(data, raw, rawSize);
        *size = rawSize;
        return 1;
    }
    int bytes = rawSize < sizeof *raw ? 0
                                      : WideCharToMultiByte(CP_UTF8, 0, raw, (int)(rawSize / sizeof *raw), (char *)data,
                                                            (int)*size, NULL, NULL);
    if (rawSize >= sizeof *raw && bytes <= 0)
        return -1;
    *size = (DWORD)bytes;
    return 1;
}

void ReadPolicy(Policy *policy)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, POLICY_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    static BYTE data[8192];
    DWORD type = REG_NONE, size = sizeof data;
    const struct {
        const char *name;
        unsigned *field;
        unsigned most;
    } numbers[] = {{"ConnectTimeoutSeconds", &policy->connectTimeoutSeconds, POLICY_MAX_SECONDS},
                   {"StallTimeoutSeconds", &policy->stallTimeoutSeconds, POLICY_MAX_SECONDS},
                   {"LockWaitSeconds", &policy->lockWaitSeconds, POLICY_MAX_SECONDS},
                   {"MaxParallelDownloads", &policy->maxParallelDownloads, POLICY_MAX_PARALLEL},
                   {"MaxFileMegabytes", &policy->maxFileMegabytes, POLICY_MAX_MEGABYTES},
                   {"MaxPassMegabytes", &policy->maxPassMegabytes, POLICY_MAX_MEGABYTES}};
    for (const auto &value : numbers) {
        size = sizeof data;
        if (queryValue(key, value.name, &type, data, &size) == 1)
            *value.field = policyNumber(type, data, size, value.most, *value.field);
    }
    // A trust value that is set but unusable refuses the run: never less
    // protection than the administrator asked for.
    const struct {
        const char *name;
        int (*parse)(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);
        char *out;
        size_t outSize;
    } lists[] = {{"AllowedServers", policyServers, policy->allowedServers, sizeof policy->allowedServers},
                 {"PinnedPublicKeys", policyPins, policy->pinnedPublicKeys, sizeof policy->pinnedPublicKeys},
                 {"ManifestPublicKeys", policyManifestKeys, policy->manifestPublicKeys,
                  sizeof policy->manifestPublicKeys}};
    for (const auto &value : lists) {
        size = sizeof data;
        int read = queryValue(key, value.name, &type, data, &size);
        // A value that is there but names nothing ("" or " ; ") is a mistake,
        // not a wish for no control.
        if (read && (read < 0 || !value.parse(type, data, size, value.out, value.outSize) || !value.out[0]))
            policy->unusable = value.name;
    }
    size = sizeof data;
    int read = queryValue(key, "VerifyDigests", &type, data, &size);
    int digests = read > 0 ? policySwitch(type, data, size) : -1;
    if (read && digests < 0)
        policy->unusable = "VerifyDigests";
    else if (read)
        policy->verifyDigests = digests;
    size = sizeof data;
    read = queryValue(key, "VerifyServerCertificate", &type, data, &size);
    int verify = read > 0 ? policySwitch(type, data, size) : -1;
    if (read && verify < 0)
        policy->unusable = "VerifyServerCertificate";
    else if (read)
        policy->verifyServerCertificate = verify != 0;
    // Not a trust control: a value that cannot be read leaves the window on.
    size = sizeof data;
    if (queryValue(key, "ShowProgress", &type, data, &size) == 1)
        policy->showProgress = policyFlag(type, data, size, policy->showProgress);
    // The proxy values (blanks around them dropped) as the others: one that
    // cannot be read is left out, and the next source of the proxy applies
    // (the decision's log line says which).
    const struct {
        const char *name;
        bool https;
        bool trimmed;
        char *out;
        size_t outSize;
    } texts[] = {{"JavaHome", false, false, policy->javaHome, sizeof policy->javaHome},
                 {"JavaDownloadURL", true, false, policy->javaDownloadURL, sizeof policy->javaDownloadURL},
                 {"ProxyServer", false, true, policy->proxyServer, sizeof policy->proxyServer},
                 {"ProxyBypass", false, true, policy->proxyBypass, sizeof policy->proxyBypass},
                 {"ProxyAutoConfigURL", false, true, policy->proxyAutoConfigURL, sizeof policy->proxyAutoConfigURL}};
    for (const auto &value : texts) {
        size = sizeof data;
        if (queryValue(key, value.name, &type, data, &size) == 1 &&
            policyText(type, data, size, value.https, value.out, value.outSize) && value.trimmed)
            trimBlanks(value.out);
    }
    size = sizeof data;
    if (queryValue(key, "PreferredJavaBits", &type, data, &size) == 1)
        policy->preferredJavaBits = policyJavaBits(type, data, size);
    RegCloseKey(key);
}

void describeControls(const Policy *policy, char *out, size_t outSize)
{
    int servers = 0, pins = policy->pinnedPublicKeys[0] ? 1 : 0, keys = 0;
    for (const char *p = policy->allowedServers; *p; p += strlen(p) + 1)
        ++servers;
    for (const char *p = policy->pinnedPublicKeys; *p; ++p)
        pins += *p == ';';
    for (const char *p = policy->manifestPublicKeys; *p; p += strlen(p) + 1)
        ++keys;
    if (!servers && !pins && !policy->verifyDigests && !keys && !policy->verifyServerCertificate) {
        snprintf(out, outSize, "none, the server is not verified");
        return;
    }
    int n = snprintf(out, outSize, "allowed servers: %d, pinned public keys: %d, verified digests: %s", servers, pins,
                     policy->verifyDigests == DIGESTS_REQUIRED ? "required" : policy->verifyDigests ? "on" : "off");
    if (keys && n >= 0 && (size_t)n < outSize)
        n += snprintf(out + n, outSize - n, ", signed manifests: %d keys", keys);
    if (policy->verifyServerCertificate && n >= 0 && (size_t)n < outSize)
        snprintf(out + n, outSize - n, ", server certificate: verified by Windows");
}
