#include "rules/baseURL.h"

#include <stdio.h>
#include <string.h>

int baseURLSpan(const char *link, size_t *start, size_t *length)
{
    const char *http = strstr(link, "http");
    if (!http)
        return 0;
    const char *end = http;
    for (int slashes = 0; *end && slashes < 3; ++end)
        if (*end == '/')
            ++slashes;
    *start = (size_t)(http - link);
    *length = (size_t)(end - http);
    return 1;
}

int baseURLJunk(const char *baseURL)
{
    for (const unsigned char *p = (const unsigned char *)baseURL; *p; ++p)
        if (*p == '?' || *p == '#' || *p == '\\' || *p == ' ' || *p < 0x20 || *p == 0x7f)
            return *p;
    return 0;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A host of numbers as libcurl reads it: up to four numbers joined by dots,
// each decimal, octal (a leading 0) or hex (a leading 0x), as strtoul reads
// them; the last fills the bytes left. 1 with the address in dotted decimal
// in out; 0 when libcurl keeps the host as a name; -1 for a number of 2^32-1,
// which a 32-bit strtoul cannot tell from an overflow (libcurl's answer then
// depends on a stale errno).
static int ipv4Form(const char *host, size_t len, char *out, size_t outSize)
{
    unsigned long long parts[4];
    int n = 0;
    size_t i = 0;
    for (;;) {
        if (i == len || host[i] < '0' || host[i] > '9')
            return 0;
        int base = 10;
        if (host[i] == '0') {
            base = 8;
            // "0x" with no hex digit after it is read as "0", stopping at 'x'.
            if (i + 2 < len && (host[i + 1] == 'x' || host[i + 1] == 'X') && hexDigit(host[i + 2]) >= 0) {
                base = 16;
                i += 2;
            }
        }
        unsigned long long value = 0;
        for (int digit; i < len && (digit = hexDigit(host[i])) >= 0 && digit < base; ++i) {
            value = value * base + digit;
            if (value > 0xFFFFFFFFull)
                value = 0x100000000ull; // past 32 bits: a name on every platform
        }
        if (value > 0xFFFFFFFFull)
            return 0;
        if (value == 0xFFFFFFFFull)
            return -1;
        parts[n] = value;
        if (i == len)
            break;
        if (host[i] != '.' || n == 3)
            return 0;
        ++n;
        ++i;
    }
    // The last number fills 32, 24, 16 or 8 bits; each before it one byte.
    for (int k = 0; k < n; ++k)
        if (parts[k] > 0xFF)
            return 0;
    if (parts[n] >> (8 * (4 - n)))
        return 0;
    unsigned long long address = parts[n];
    for (int k = 0; k < n; ++k)
        address |= parts[k] << (8 * (3 - k));
    snprintf(out, outSize, "%u.%u.%u.%u", (unsigned)(address >> 24), (unsigned)(address >> 16) & 0xFF,
             (unsigned)(address >> 8) & 0xFF, (unsigned)address & 0xFF);
    return 1;
}

// Four decimal bytes joined by dots, without leading zeros, as inet_pton reads
// the end of an IPv6 address.
static int parseDottedQuad(const char *text, size_t len, unsigned char out[4])
{
    size_t i = 0;
    for (int k = 0; k < 4; ++k) {
        if (k && (i == len || text[i++] != '.'))
            return 0;
        size_t start = i;
        unsigned value = 0;
        while (i < len && i - start < 4 && text[i] >= '0' && text[i] <= '9')
            value = value * 10 + (text[i++] - '0');
        if (i == start || value > 255 || (text[start] == '0' && i - start > 1))
            return 0;
        out[k] = (unsigned char)value;
    }
    return i == len;
}

// An IPv6 address as inet_pton reads it: groups of one to four hex digits
// joined by ':', one "::" for one or more zero groups, the last 32 bits
// perhaps as a dotted quad.
static int parseIPv6(const char *text, size_t len, unsigned words[8])
{
    unsigned parsed[8];
    int n = 0, gap = -1;
    size_t i = 0;
    if (len >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    }
    while (i < len) {
        size_t j = i;
        unsigned value = 0;
        while (j < len && j - i < 5 && hexDigit(text[j]) >= 0)
            value = value * 16 + hexDigit(text[j++]);
        if (j < len && text[j] == '.') {
            unsigned char quad[4];
            if (n > 6 || !parseDottedQuad(text + i, len - i, quad))
                return 0;
            parsed[n++] = quad[0] << 8 | quad[1];
            parsed[n++] = quad[2] << 8 | quad[3];
            break;
        }
        if (j == i || j - i > 4 || n == 8)
            return 0;
        parsed[n++] = value;
        if ((i = j) == len)
            break;
        if (text[i++] != ':' || i == len)
            return 0;
        if (text[i] == ':') {
            if (gap >= 0)
                return 0;
            gap = n;
            ++i;
        }
    }
    if (gap < 0 ? n != 8 : n > 7)
        return 0;
    int zeros = 8 - n;
    for (int k = 0, from = 0; k < 8; ++k)
        words[k] = (gap >= 0 && k >= gap && k < gap + zeros) ? 0 : parsed[from++];
    return 1;
}

// An IPv6 address in brackets (text[0] is '[' and text[len - 1] is ']') in
// the form of ServerName::host.
static int ipv6Form(const char *text, size_t len, char *out, size_t outSize)
{
    unsigned w[8];
    if (len < 2 || !parseIPv6(text + 1, len - 2, w))
        return 0;
    int n = snprintf(out, outSize, "[%x:%x:%x:%x:%x:%x:%x:%x]", w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
    return n > 0 && (size_t)n < outSize;
}

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

static bool prefixAnyCase(const char *text, size_t len, const char *prefix)
{
    size_t i = 0;
    for (; prefix[i]; ++i)
        if (i == len || lower(text[i]) != prefix[i])
            return false;
    return true;
}

// What libcurl takes into user information, leaving out what one parser or
// another reads as the end of the authority.
static bool userChar(char c)
{
    return c > ' ' && c < 0x7f && !strchr("/?#@\\", c);
}

// Letters, digits, '-', '.' and '_': what libcurl keeps in a name as written.
static bool nameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

int parseServerURL(const char *text, size_t len, ServerName *server)
{
    ServerName read;
    size_t i;
    if (prefixAnyCase(text, len, "http://"))
        read.https = false, i = 7;
    else if (prefixAnyCase(text, len, "https://"))
        read.https = true, i = 8;
    else
        return 0;
    size_t end = i;
    while (end < len && text[end] != '/')
        ++end;
    if (end < len && end + 1 != len)
        return 0; // a path
    // The host follows the first '@', as in libcurl.
    size_t host = i;
    while (host < end && text[host] != '@')
        ++host;
    if (host == end) {
        host = i;
    } else {
        for (size_t k = i; k < host; ++k)
            if (!userChar(text[k]))
                return 0;
        ++host;
    }
    size_t hostEnd = host;
    if (host < end && text[host] == '[') {
        while (hostEnd < end && text[hostEnd] != ']')
            ++hostEnd;
        if (hostEnd == end || !ipv6Form(text + host, ++hostEnd - host, read.host, sizeof read.host))
            return 0;
    } else {
        while (hostEnd < end && text[hostEnd] != ':')
            if (!nameChar(text[hostEnd++]))
                return 0;
        size_t hostLen = hostEnd - host;
        int ipv4 = ipv4Form(text + host, hostLen, read.host, sizeof read.host);
        if (hostLen == 0 || hostLen >= sizeof read.host || ipv4 < 0)
            return 0;
        if (!ipv4) {
            for (size_t k = 0; k < hostLen; ++k)
                read.host[k] = lower(text[host + k]);
            read.host[hostLen] = '\0';
        }
    }
    read.port = read.https ? 443 : 80;
    if (hostEnd < end) {
        if (text[hostEnd] != ':')
            return 0;
        // "host:" keeps the default; leading zeros are allowed.
        unsigned port = 0;
        for (size_t k = hostEnd + 1; k < end; ++k)
            if (text[k] < '0' || text[k] > '9' || (port = port * 10 + (text[k] - '0')) > 65535)
                return 0;
        if (hostEnd + 1 < end) {
            if (port == 0)
                return 0;
            read.port = port;
        }
    }
    *server = read;
    return 1;
}

int serverHostForm(const char *host, char *out, size_t outSize)
{
    size_t len = strlen(host);
    char form[sizeof ServerName::host];
    if (len && host[0] == '[') {
        if (host[len - 1] != ']' || !ipv6Form(host, len, form, sizeof form))
            return 0;
    } else {
        if (len >= sizeof form)
            return 0;
        for (size_t k = 0; k <= len; ++k)
            form[k] = lower(host[k]);
    }
    if (strlen(form) >= outSize)
        return 0;
    memcpy(out, form, strlen(form) + 1);
    return 1;
}
