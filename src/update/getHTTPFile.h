// One HTTP(S) download into one local file.
#pragma once

#include <curl/curl.h>

#include "rules/transferLimits.h"

struct Policy;
struct ProxyDecision;

// What every transfer of a run shares: the administrator's limits and pins,
// and the caches through which later transfers reuse the connections and TLS
// sessions of earlier ones.
struct Downloads {
    unsigned connectTimeoutSeconds; // connection set-up, TLS included
    unsigned stallTimeoutSeconds;   // window in which STALL_MIN_BYTES must arrive
    const char *pinnedPublicKeys;   // as libcurl takes them; empty: none
    CURLSH *share;                  // null: each transfer connects anew
    bool verifyServerCertificate;   // the server's certificate checked against the machine's store
    ProxyDecision *proxy;           // the run's proxy; null: libcurl's own choice
};

// Run-scoped: libcurl's start-up and the caches, with policy's limits and
// pins (policy outlives downloads). Failures are logged; downloads then go
// without the caches.
void getHTTPStartup(Downloads *downloads, const Policy *policy);
// Closes the cached connections and releases libcurl.
void getHTTPCleanup(Downloads *downloads);

// Fetches url into path. Returns 1 when the file now holds the complete body
// of a 200 response, 0 otherwise (the file is then as it was). The body is
// staged in path + ".part", which is moved over path only when every byte is
// on the disk, and removed on any failure; redirects are not followed. The
// transfer fails when it does not connect within the connect limit, when less
// than STALL_MIN_BYTES arrive in any window of the stall limit, or when its
// decoded body passes a size limit (bodyLimit). With digestKind ("md5" or
// "sha1"), the body must also have the hex digest digest. With pinned public
// keys, the server's key must match one.
int getHTTPFile(const Downloads *downloads, const char *url, const char *path, const char *digestKind = NULL,
                const char *digest = NULL);

// getHTTPFile for the versions manifest: its decoded body is at most
// MANIFEST_MAX_BYTES.
int getHTTPManifest(const Downloads *downloads, const char *url, const char *path);

// What the progress report keeps between two calls; lives in getHTTPFile for
// one transfer.
struct DownloadProgress {
    double lastReportTime; // transfer time (s) of the last report let through
    CURL *handle;          // the transfer, for its elapsed time
};

#ifdef KOVREL_UNITTESTS
// The progress rule itself, at transfer time t with e bytes expected and n
// received: at most one "NowDownloaded" line per half second, and one each
// time the whole body is there.
void reportProgress(DownloadProgress *progress, double t, curl_off_t e, curl_off_t n);
#endif
