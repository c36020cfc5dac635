#include "rules/proxyRules.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "rules/linkRules.h"
#include "rules/manifestRules.h"

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

static bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Appends an entry (empty for DIRECT) unless the list is full or it does not fit.
static void addEntry(ProxyList *list, const char *scheme, const char *name, size_t len)
{
    size_t schemeLen = strlen(scheme);
    if (list->count == PROXY_LIST_MAX || schemeLen + len >= PROXY_NAME_MAX)
        return;
    char *entry = list->entries[list->count++];
    memcpy(entry, scheme, schemeLen);
    memcpy(entry + schemeLen, name, len);
    entry[schemeLen + len] = '\0';
}

static const struct {
    const char *kind, *scheme; // scheme NULL: a kind this build cannot use
} pacKinds[] = {{"proxy", ""}, {"http", ""}, {"socks", "socks4://"}, {"socks4", "socks4://"},
                {"socks5", "socks5://"}, {"https", NULL}};

// One PAC item, "KIND host:port" or "DIRECT"; false when it does not start
// with a kind (then it is a WinHTTP entry).
static bool pacItem(const char *item, size_t len, ProxyList *list)
{
    size_t kindLen = 0;
    while (kindLen < len && !isBlank(item[kindLen]))
        ++kindLen;
    if (sameWord(item, kindLen, "direct")) {
        addEntry(list, "", "", 0);
        return true;
    }
    size_t at = kindLen;
    while (at < len && isBlank(item[at]))
        ++at;
    for (const auto &k : pacKinds) {
        if (!sameWord(item, kindLen, k.kind))
            continue;
        // An HTTPS proxy needs a TLS connection to the proxy itself, which
        // this build's libcurl does not make: skipped, as an unknown kind.
        if (k.scheme && at < len)
            addEntry(list, k.scheme, item + at, len - at);
        return true;
    }
    return false;
}

int proxyListParse(const char *text, bool https, ProxyList *list)
{
    ProxyList found = {};
    for (const char *p = text; *p;) {
        while (*p && (isBlank(*p) || *p == ';'))
            ++p;
        size_t len = strcspn(p, ";");
        while (len && isBlank(p[len - 1]))
            --len;
        if (!len)
            break;
        // A PAC answer has a kind before each address; WinHTTP's list has
        // bare addresses, possibly several in one blank-separated item.
        if (!pacItem(p, len, &found)) {
            for (size_t i = 0; i < len;) {
                size_t n = 0;
                while (i + n < len && !isBlank(p[i + n]))
                    ++n;
                const char *name = p + i, *eq = (const char *)memchr(name, '=', n);
                if (sameWord(name, n, "direct")) {
                    addEntry(&found, "", "", 0);
                } else if (!eq) {
                    addEntry(&found, "", name, n);
                } else {
                    size_t schemeLen = eq - name;
                    if (sameWord(name, schemeLen, https ? "https" : "http"))
                        addEntry(&found, "", eq + 1, n - schemeLen - 1);
                }
                i += n;
                while (i < len && isBlank(p[i]))
                    ++i;
            }
        }
        p += strcspn(p, ";");
    }
    if (!found.count)
        return 0;
    *list = found;
    return 1;
}

// pattern[0, plen) against text[0, tlen), '*' matching any run, case ignored.
static bool globMatch(const char *pattern, size_t plen, const char *text, size_t tlen)
{
    size_t p = 0, t = 0, star = (size_t)-1, mark = 0;
    while (t < tlen) {
        if (p < plen && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < plen && lower(pattern[p]) == lower(text[t])) {
            ++p;
            ++t;
        } else if (star != (size_t)-1) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < plen && pattern[p] == '*')
        ++p;
    return p == plen;
}

static bool bypassEntry(const char *entry, size_t len, const char *host, unsigned port)
{
    if (sameWord(entry, len, "<local>"))
        return !strchr(host, '.') && !strchr(host, ':');
    const char *scheme = (const char *)memchr(entry, ':', len);
    if (scheme && scheme + 2 < entry + len && scheme[1] == '/' && scheme[2] == '/') {
        len -= scheme + 3 - entry;
        entry = scheme + 3;
    }
    // ":port" after the host; a bracketed IPv6 address keeps its colons.
    size_t hostLen = len;
    const char *close = (const char *)memchr(entry, ']', len);
    const char *colon = (const char *)memchr(close ? close : entry, ':', len - (close ? close - entry : 0));
    if (colon) {
        hostLen = colon - entry;
        unsigned want = 0;
        for (const char *d = colon + 1; d < entry + len; ++d) {
            if (*d < '0' || *d > '9' || want > 65535)
                return false;
            want = want * 10 + (unsigned)(*d - '0');
        }
        if (want != port)
            return false;
    }
    // The host comes without brackets, as libcurl gives an IPv6 address apart.
    if (close && entry[0] == '[') {
        hostLen = close - entry - 1;
        ++entry;
    }
    return hostLen && globMatch(entry, hostLen, host, strlen(host));
}

bool proxyBypassed(const char *bypass, const char *host, unsigned port)
{
    for (const char *p = bypass; *p;) {
        p += strspn(p, "; ,\t\r\n");
        size_t len = strcspn(p, "; ,\t\r\n");
        if (len && bypassEntry(p, len, host, port))
            return true;
        p += len;
    }
    return false;
}

void proxyShown(const char *proxy, char *out, size_t outSize)
{
    // The masking rule reads URLs. A bare name is shown as one, then cut back;
    // so is a list whose first entry is bare and a later one is not
    // ("http=u:p@a:1;https=http://v:q@b:2"), or the first would go unmasked.
    const char *scheme = strstr(proxy, "://");
    if (scheme && (size_t)(scheme - proxy) < strcspn(proxy, "=; \t")) {
        redactPasswords(proxy, out, outSize);
        return;
    }
    // Sized to the text, whatever its length (an administrator's list, a
    // variable): cut before the mask, a password would show up to the cut.
    if (!outSize)
        return;
    size_t length = strlen(proxy);
    char *url = (char *)malloc(length + 5), *shown = (char *)malloc(outSize + 4);
    out[0] = '\0';
    if (url && shown) {
        snprintf(url, length + 5, "x://%s", proxy);
        redactPasswords(url, shown, outSize + 4);
        snprintf(out, outSize, "%s", shown + 4);
    }
    free(url);
    free(shown);
}

bool connectionSettingsDirect(const unsigned char *blob, size_t size)
{
    // Little-endian words: the version (Internet Explorer 6's, or 7's and
    // later), a change counter, then the flags.
    if (size < 12)
        return false;
    unsigned long version = blob[0] | blob[1] << 8 | (unsigned long)blob[2] << 16 | (unsigned long)blob[3] << 24;
    unsigned flags = blob[8];
    const unsigned namedProxy = 2, autoConfigURL = 4, autoDetect = 8;
    return (version == 0x3C || version == 0x46) && !(flags & (namedProxy | autoConfigURL | autoDetect)) &&
           !blob[9] && !blob[10] && !blob[11];
}
