#include "policy/ServerCheck.h"

#include <stdio.h>
#include <string.h>

#include "logging/Logging.h"
#include "policy/Policy.h"
#include "rules/baseURL.h"

// How the refusal names a character that baseURLJunk found.
static void junkName(int c, char *out, size_t outSize)
{
    if (c == ' ')
        snprintf(out, outSize, "a blank");
    else if (c < ' ' || c == 0x7f)
        snprintf(out, outSize, "a control character");
    else
        snprintf(out, outSize, "'%c'", c);
}

int serverRequestBase(const char *baseURL, const char *allowedServers, char *out, size_t outSize)
{
    int junk = baseURLJunk(baseURL);
    if (junk) {
        char name[32];
        junkName(junk, name, sizeof name);
        LogFormat(true, "Error: base URL holds %s, refused: %s", name, baseURL);
        return 0;
    }
    CURLU *url = curl_url();
    char *text = NULL;
    CURLUcode rc = url ? curlRequestURL(url, baseURL, &text) : CURLUE_OUT_OF_MEMORY;
    ServerName server;
    int ok = 0;
    if (rc != CURLUE_OK)
        LogFormat(true, "Error: base URL not understood (%s), refused: %s", curl_url_strerror(rc), baseURL);
    else if (allowedServers[0] && !(curlServerName(url, &server) && serverAllowed(allowedServers, &server)))
        LogFormat(true, "Error: server not in AllowedServers, refused: %s", baseURL);
    else if (strlen(text) >= outSize)
        LogFormat(true, "Error: base URL too long once read, refused: %s", baseURL);
    else {
        memcpy(out, text, strlen(text) + 1);
        ok = 1;
    }
    curl_free(text);
    curl_url_cleanup(url);
    return ok;
}
