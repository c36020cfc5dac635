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
// of a 200 response, 0 otherwise (the file is then as it was). The body is
// staged in path + ".part", which is moved over path only when every byte is
// on the disk, and removed on any failure; redirects are not followed. The
// transfer fails when it does not connect within the connect limit, when less
// than STALL_MIN_BYTES arrive in any window of the stall limit (gPolicy), or
// when its decoded body passes a size limit (bodyLimit). With digestKind
// ("md5" or "sha1"), the body must also have the hex digest digest. With
// pinned public keys in gPolicy, the server's key must match one.
int getHTTPFile(const char *url, const char *path, const char *digestKind = NULL, const char *digest = NULL);

// getHTTPFile for the versions manifest: its decoded body is at most
// MANIFEST_MAX_BYTES.
int getHTTPManifest(const char *url, const char *path);

#define MANIFEST_MAX_BYTES ((curl_off_t)16 << 20)
// A decoded body may grow this far whatever arrived for it; past it, to
// EXPANSION_MAX_RATIO times the coded bytes received.
#define EXPANSION_FREE_BYTES ((curl_off_t)1 << 20)
#define EXPANSION_MAX_RATIO 200

enum BodyLimit { BODY_WITHIN, BODY_OVER_MAXIMUM, BODY_OVER_EXPANSION };

// Which limit a body passes when it has grown to decoded bytes after decoding
// while coded bytes of it were received; maxDecoded 0 sets no maximum.
BodyLimit bodyLimit(curl_off_t decoded, curl_off_t coded, curl_off_t maxDecoded);

// A transfer stalls when less than this arrives in a window of the stall limit.
#define STALL_MIN_BYTES 1024

// When the bytes of a transfer arrived: observations (seconds, bytes received
// by then) in a ring, oldest first. Counts grow strictly and stay within
// STALL_MIN_BYTES of the newest, so that many slots always suffice.
struct StallWatch {
    double times[STALL_MIN_BYTES];
    curl_off_t counts[STALL_MIN_BYTES];
    unsigned first, size;
};

// Records that received bytes had arrived at time t (seconds). 1 when the
// observations show that a window of limit seconds ending at t received less
// than STALL_MIN_BYTES; 0 otherwise. watch starts zeroed.
int stallCheck(StallWatch *watch, double t, curl_off_t received, double limit);

// What the progress report keeps between two calls; lives in getHTTPFile for
// one transfer.
struct DownloadProgress {
    double lastReportTime; // transfer time (s) of the last report let through
    CURL *handle;          // the transfer, for its elapsed time
};

// The progress rule itself, at transfer time t with e bytes expected and n
// received: at most one "NowDownloaded" line per half second, and one each
// time the whole body is there. Apart so that it can be tested with a table.
void reportProgress(DownloadProgress *progress, double t, curl_off_t e, curl_off_t n);
