// One HTTP(S) download into one local file.
#pragma once

#include <curl/curl.h>

#include "rules/transferLimits.h"

struct Policy;
struct ProxyDecision;

// What fetchFiles reports of the files it fetches side by side.
struct FetchProgress {
    const char *name;         // the file started last (UTF-8)
    unsigned number, count;   // its number, 1 to count, in the order they start; the files to fetch
    unsigned done;            // files ended, whole or failed
    unsigned runningShare;    // the running transfers' parts done, in thousandths of a file each
    curl_off_t expected;      // the running transfers' bytes expected, 0 while one of them is not known
    curl_off_t received;      // and received
    curl_off_t fetched;       // every byte the transfers received so far, for the rate
};

// Where the transfers of a run report what they do and learn that the run is
// to stop (the progress window's); see transferStopped below.
struct TransferSink {
    void *context;
    // A single transfer's (the manifest's, the signature file's) body bytes so
    // far and those expected (0: not known yet), from its progress callback;
    // nonzero stops the transfer.
    int (*bytes)(void *context, curl_off_t expected, curl_off_t received);
    // fetchFiles' transfers, as a file starts or ends and as bytes arrive.
    void (*fetch)(void *context, const FetchProgress *progress);
    // Nonzero once the run is to stop: fetchFiles aborts its transfers and
    // starts or retries none.
    int (*stopped)(void *context);
};

// What every transfer of a run shares: the administrator's limits and pins,
// and the caches through which later transfers reuse the connections and TLS
// sessions of earlier ones.
struct Downloads {
    unsigned connectTimeoutSeconds; // connection set-up, TLS included
    unsigned stallTimeoutSeconds;   // window in which STALL_MIN_BYTES must arrive
    const char *pinnedPublicKeys;   // as libcurl takes them; empty: none
    unsigned maxParallel;           // transfers of fetchFiles at once
    curl_off_t maxFileBytes;        // cap of any one file of fetchFiles
    curl_off_t maxPassBytes;        // cap of all that one fetchFiles stores
    CURLSH *share;                  // null: each transfer connects anew
    bool verifyServerCertificate;   // the server's certificate checked against the machine's store
    ProxyDecision *proxy;           // the run's proxy; null: libcurl's own choice
    const TransferSink *sink;       // null: none
};

// The sink's question, false without one.
inline bool transferStopped(const Downloads *downloads)
{
    return downloads && downloads->sink && downloads->sink->stopped(downloads->sink->context);
}

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
// decoded body passes a size limit (bodyLimit). With digestKind ("md5",
// "sha1" or "sha256"), the body must also have the hex digest digest. With pinned public
// keys, the server's key must match one.
int getHTTPFile(const Downloads *downloads, const char *url, const char *path, const char *digestKind = NULL,
                const char *digest = NULL);

// getHTTPFile for the versions manifest: its decoded body is at most
// MANIFEST_MAX_BYTES.
int getHTTPManifest(const Downloads *downloads, const char *url, const char *path);

// getHTTPFile for the manifest's signature file: at most SIGNATURE_MAX_BYTES.
int getHTTPSignatures(const Downloads *downloads, const char *url, const char *path);

// One file of fetchFiles.
struct FetchJob {
    const char *url;
    const char *path;       // the staged file it fills
    const char *digestKind; // "md5", "sha1" or "sha256" with digest: the body must have it
    const char *digest;
    int ok;                 // set: 1 when path holds the whole file
    // The fetch's own, zero at the start.
    unsigned tries;
    unsigned long notBefore;
    // The caller's again: the file as progress shows it (UTF-8); null, the URL.
    const char *name;
};

// Fetches every job's file into its path, at most maxParallel at once, each
// as getHTTPFile would (staged, within the time and size limits, checked)
// and, beyond it: a file is capped at maxFileBytes and all of them at
// maxPassBytes; a known length that would leave the volume with less than
// 64 MiB free is not fetched, and an unknown one is stopped there; a
// connection reset, a 502, 503 or 504, or a stall is tried again after 1 s and
// after 3 s; a body cut that way stays staged, with what the server said of
// it (ETag or Last-Modified, length), and the next try, in this run or a
// later one, asks for the rest with Range and If-Range, taking only a 206
// that continues it exactly to the file's end (anything else fetches it
// whole); that request failing or stopped before its answer is judged keeps
// the bytes. Only an answer with a validator, a length and no content coding
// is kept for a later Range, and a file whose bytes are not the length the
// server announced fails. Each file's lines are written together when it
// ends. Once the downloads' sink says stop, the running transfers are aborted
// (a cut body with what the server said of it stays staged, as after a
// transient failure) and no file is started or tried again. Returns 1 when
// every job is ok.
int fetchFiles(const Downloads *downloads, FetchJob *jobs, size_t count);

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
// A 206's Content-Range, "bytes first-last/total" exactly, with first <= last < total.
bool parseContentRange(const char *value, long long *first, long long *last, long long *total);
#endif
