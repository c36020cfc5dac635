// One HTTP(S) download into one local file.
#pragma once

#include <curl/curl.h>

// Run-scoped: libcurl's start-up and the caches through which every later
// transfer reuses the connections and TLS sessions of earlier ones. Failures
// are logged; downloads then go without the caches.
void getHTTPStartup(void);
// Closes the cached connections and releases libcurl.
void getHTTPCleanup(void);

// Fetches url into path. Returns 1 when the file now holds the complete body
// of a 2xx response, 0 otherwise (the file is then as it was). The body is
// staged in path + ".part", which is moved over path only when every byte is
// on the disk, and removed on any failure; redirects are not followed.
int getHTTPFile(const char *url, const char *path);

// What both progress operations receive as their user data; lives in
// getHTTPFile for one transfer.
struct DownloadProgress {
    double lastReportTime; // transfer time (s) of the last report let through
    CURL *handle;          // the transfer, for its elapsed time
};

// libcurl's transfer-information callback: the progress rule on the transfer's
// own elapsed time. Always 0 (never cancels).
int xferinfo4(void *p, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// The progress rule itself, at transfer time t with e bytes expected and n
// received: at most one "NowDownloaded" line per half second, and one each
// time the whole body is there. Apart so that it can be tested with a table.
void reportProgress(DownloadProgress *progress, double t, curl_off_t e, curl_off_t n);
