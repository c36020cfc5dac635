// The server a run talks to: its base URL read by libcurl's own URL parser,
// the one every request goes through, so that the server checked against
// AllowedServers is the server contacted.
#pragma once

#include <stddef.h>

#include <curl/curl.h>

struct ServerName;

// Reads baseURL with libcurl and, when allowedServers (the list form of
// Policy::allowedServers) holds entries, checks that its server is one of
// them. 1 with out holding libcurl's text of the URL, which every request URL
// starts with; 0, with the refusal in the log, when baseURL holds a character
// that ends or hides the host for one parser and not another (baseURLJunk),
// libcurl cannot read it, its server is not allowed, or the text does not fit.
int serverRequestBase(const char *baseURL, const char *allowedServers, char *out, size_t outSize);

// The two steps of that reading, apart so that the fuzz target can compare
// them with the rule.

// Sets handle to the URL as requests read it: url is read, and libcurl's text
// of that reading (into *text, for curl_free), which request URLs start with,
// is read again. The text can name another host than url did ("%31.1" is
// read as the name "1.1", its text "1.1" as the address 1.0.0.1).
CURLUcode curlRequestURL(CURLU *handle, const char *url, char **text);

// libcurl's reading of handle's server in ServerName's form; 0 for a scheme
// other than http and https, and for an IPv6 zone, which no allowed entry names.
int curlServerName(CURLU *handle, ServerName *server);
