// No Windows API and no log: the native fuzz target builds this file too.
#include <stdlib.h>
#include <string.h>

#include "policy/ServerCheck.h"
#include "rules/baseURL.h"

CURLUcode curlRequestURL(CURLU *handle, const char *url, char **text)
{
    CURLUcode rc = curl_url_set(handle, CURLUPART_URL, url, 0);
    if (rc == CURLUE_OK)
        rc = curl_url_get(handle, CURLUPART_URL, text, 0);
    if (rc == CURLUE_OK)
        rc = curl_url_set(handle, CURLUPART_URL, *text, 0);
    return rc;
}

int curlServerName(CURLU *handle, ServerName *server)
{
    char *scheme = NULL, *host = NULL, *port = NULL, *zone = NULL;
    ServerName read;
    int ok = curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
             curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
             curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
             curl_url_get(handle, CURLUPART_ZONEID, &zone, 0) == CURLUE_NO_ZONEID;
    if (ok) {
        read.https = strcmp(scheme, "https") == 0;
        read.port = (unsigned)strtoul(port, NULL, 10);
        ok = (read.https || strcmp(scheme, "http") == 0) && serverHostForm(host, read.host, sizeof read.host);
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_free(zone);
    if (ok)
        *server = read;
    return ok;
}
