// The text rules of proxy settings: proxy lists as Windows and PAC scripts
// write them, and WinHTTP's bypass lists. No system calls and no I/O.
#pragma once

#include <stddef.h>

#define PROXY_LIST_MAX 8
#define PROXY_NAME_MAX 256

// The proxies to try, in order. An empty entry is DIRECT: a connection of
// its own, used only where the list says so.
struct ProxyList {
    int count;
    char entries[PROXY_LIST_MAX][PROXY_NAME_MAX]; // as libcurl's proxy option takes them
};

// Reads a proxy list into *list for a URL of the given scheme (https or not):
//  - a PAC answer, "PROXY a:1; PROXY b:2; DIRECT" (also HTTP, SOCKS, SOCKS4,
//    SOCKS5; other kinds are skipped);
//  - WinHTTP's form, "a:1;b:2" or blank-separated, each entry optionally
//    "http=" or "https=" for that scheme only, and "DIRECT".
// Entries past PROXY_LIST_MAX or too long are dropped. 1 when at least one
// entry remains; 0, *list untouched, otherwise.
int proxyListParse(const char *text, bool https, ProxyList *list);

// True when host (an IPv6 address without brackets) and port match an entry of a WinHTTP bypass list:
// entries separated by ';', ',' or blanks, '*' matching any run of
// characters, case ignored, an optional "scheme://" ignored, ":port" compared
// when written; "<local>" matches a host name without a dot.
bool proxyBypassed(const char *bypass, const char *host, unsigned port);

// proxy ("[scheme://][user[:password]@]host[:port]") into out with its
// password shown as "***", whatever its length; cut when out is full.
void proxyShown(const char *proxy, char *out, size_t outSize);

// The user's stored Windows proxy settings (Internet Options'
// DefaultConnectionSettings value, size bytes): true when they are of a
// known version and ask for a direct connection only, with neither a named
// proxy, an auto-configuration URL nor automatic detection.
bool connectionSettingsDirect(const unsigned char *blob, size_t size);
