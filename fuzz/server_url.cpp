// The server rule beside libcurl's own URL parser (the host's libcurl, of the
// launcher's version). A URL the rule reads must name the same server for
// libcurl, read once and as requests read it. And where the launcher would
// take a base URL, a request URL composed from it (with the bytes after the
// input's first NUL as the file's path) must name the server it checked.
#include <stdint.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

#include "policy/ServerCheck.h"
#include "rules/baseURL.h"

// libcurl's server of text: read once, or, with url, as requests read it
// (curlRequestURL), its text then in *url. False when libcurl refuses text or
// it names no server.
static bool curlServer(const char *text, ServerName *server, char **url)
{
    CURLU *handle = curl_url();
    CURLUcode rc = !handle ? CURLUE_OUT_OF_MEMORY
                   : url   ? curlRequestURL(handle, text, url)
                           : curl_url_set(handle, CURLUPART_URL, text, 0);
    bool read = rc == CURLUE_OK && curlServerName(handle, server);
    curl_url_cleanup(handle);
    return read;
}

static bool same(const ServerName &a, const ServerName &b)
{
    return a.https == b.https && a.port == b.port && strcmp(a.host, b.host) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The launcher takes links of at most 4095 characters.
    char text[4096];
    size = size < sizeof text ? size : sizeof text - 1;
    memcpy(text, data, size);
    text[size] = '\0';
    const char *base = text, *path = memchr(text, '\0', size) ? text + strlen(text) + 1 : "";

    ServerName rule, once, requested, again;
    char *url = NULL;
    bool readOnce = curlServer(base, &once, NULL), read = curlServer(base, &requested, &url);
    if (parseServerURL(base, strlen(base), &rule) && !(readOnce && same(rule, once) && read && same(rule, requested)))
        abort();
    if (read && !baseURLJunk(base)) {
        char request[3 * sizeof text];
        snprintf(request, sizeof request, "%sXNL/applets/%s", url, path);
        if (curlServer(request, &again, NULL) && !same(requested, again))
            abort();
    }
    curl_free(url);
    return 0;
}
