// The server's base URL inside a link, and the server a URL names: no I/O, no
// Windows API.
#pragma once

#include <stddef.h>

// Finds the base URL in link: from the first "http" (case counts) up to and
// including the third "/" after it, or to the end of link when fewer follow.
// 1 with its offset and length; 0, outputs untouched, when there is no "http".
int baseURLSpan(const char *link, size_t *start, size_t *length);

// The first character of baseURL that ends or hides the host for one URL
// parser and not for another: '?', '#', '\\', a blank or a control character.
// 0 when there is none.
int baseURLJunk(const char *baseURL);

// A server in a form in which two readings of a URL can be compared.
struct ServerName {
    bool https;
    // In lower case: a name as written, an IPv4 address in dotted decimal, an
    // IPv6 address in brackets as eight groups of hex digits.
    char host[256];
    unsigned port; // the scheme's default where none is written
};

// Reads text[0, len) as "http[s]://[userinfo@]host[:port]", followed by "/" or
// nothing, the way libcurl reads it: user information up to the first '@',
// IPv4 addresses in libcurl's forms ("127.1", "0x7f.0.0.1"). Only forms that
// libcurl reads alike on every platform are taken: a host holding '%' or a
// byte beyond ASCII, an IPv6 zone, a number of 2^32-1 and port 0 are not.
// 1 with *server; 0, server untouched, for anything else.
int parseServerURL(const char *text, size_t len, ServerName *server);

// A host as libcurl gives it back, in the form of ServerName::host, into out.
// 0, out untouched, when it does not fit, or is in brackets but no IPv6 address.
int serverHostForm(const char *host, char *out, size_t outSize);
