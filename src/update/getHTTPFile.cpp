#include "update/getHTTPFile.h"

#include <errno.h>
#include <io.h>
#include <limits.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "proxy/Proxy.h"
#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "rules/manifestSignature.h"
#include "update/fileDigest.h"
#include "update/replaceFile.h"
#include "update/serverCertificate.h"
#include "text/Utf8.h"

// The body is staged under the target's name plus this, beside it, and moved
// over the target only when complete and accepted.
static const char partSuffix[] = STAGED_SUFFIX;

// libcurl's receive buffer. With its default of 16 KiB one 512 MiB file over
// plain HTTP took twice as long as with curl's own tool; 512 KiB is the
// fastest size measured over HTTPS, and larger ones cost memory there (see
// the README's performance section).
static const long receiveBufferSize = 512 * 1024;

UNITTEST void reportProgress(DownloadProgress *progress, double t, curl_off_t e, curl_off_t n)
{
    if (t - progress->lastReportTime < 0.5 && n != e)
        return;
    // The clock moves on even when nothing is logged (size not yet announced).
    progress->lastReportTime = t;
    if (e <= 0)
        return;
    snprintf(logmsg, sizeof logmsg, "NowDownloaded: %.0lf of TotalToDownload: %.0lf", (double)n, (double)e);
    LogTime(logmsg, true);
}

static double elapsed(CURL *handle)
{
    double t = 0.0;
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &t);
    return t;
}

// What the transfers of a pass share.
struct PassTotals {
    curl_off_t fetched; // bytes stored so far
    curl_off_t claimed; // bytes that running transfers announced and have not stored yet
};

// What one transfer is asked, and what it finds as it runs; lives in
// getHTTPFile or fetchFiles for the transfer's whole life.
struct Transfer {
    // Set by the caller.
    const Downloads *downloads;
    const char *url;
    const char *path;          // the target, moved into place when the body is whole and accepted
    curl_off_t maxDecoded;     // largest decoded body, 0: no maximum
    bool manifest;             // the versions manifest, for the size line
    const char *digestKind;    // "md5", "sha1" or "sha256" with digest: the body must have it
    const char *digest;
    bool resumable;            // a cut body stays, with what the server said of it, for a later Range
    bool deferLog;             // the lines are written together when the transfer ends
    PassTotals *pass;          // the pass's transfers together; null: no pass
    // What it finds.
    char part[UTF8_PATH_SIZE]; // the staged body
    char info[UTF8_PATH_SIZE]; // resumable: what the server said of it
    DownloadProgress progress;
    FILE *file;
    curl_off_t resumeFrom;     // bytes of part asked to be continued, 0: from the start
    char validator[256];       // of those bytes: an ETag or a Last-Modified date
    curl_off_t total;          // their whole length, -1: not known
    bool described;            // info on the disk holds validator and total of the bytes staged
    bool bodyStarted;          // the answer's first body bytes were judged
    bool accepted;             // and the body is the file's (200, or 206 from resumeFrom)
    bool contentCoded;         // the answer named a Content-Encoding: its lengths are not the stored bytes'
    bool rangeRefused;         // a 206 that did not continue the bytes there, or a 416
    bool diskShort;            // the volume would keep less than DISK_RESERVE_BYTES
    int writeError;            // errno of the first short write, 0 while every byte went out
    curl_off_t decoded;        // body bytes handed over, after decoding
    curl_off_t stored;         // body bytes handed to the file
    curl_off_t coded;          // body bytes received, before decoding
    curl_off_t received;       // header and body bytes received
    curl_off_t freeChecked;    // stored bytes at the last look at the free space
    curl_off_t lastFree;       // what that look found, -1: none yet
    curl_off_t claimed;        // announced bytes not yet stored, counted in pass->claimed
    BodyLimit over;            // the size limit that stopped the transfer
    bool overPass;             // the pass's cap stopped it
    curl_slist *headers;       // If-Range, while the handle uses it
    int stalled;               // 1 when the stall limit stopped it
    StallWatch stall;
    curl_off_t seenExpected;   // the progress callback's last figures
    curl_off_t seenReceived;
    bool cancelled;            // fetchFiles was told to stop
    unsigned long certificateError; // the machine's store refused the server's certificate: no request went out
};

// A volume is left at least this much free.
#define DISK_RESERVE_BYTES ((curl_off_t)64 << 20)
// A body of unknown length looks at the free space again after this much,
// and at each block within this much of the reserve, where the 16 transfers
// at most of a pass could otherwise overshoot it together.
#define DISK_CHECK_BYTES ((curl_off_t)8 << 20)
#define DISK_NEAR_BYTES (16 * DISK_CHECK_BYTES)

// libcurl's debug callback, on because it sees the bytes as they arrive,
// before any decoding: they are what the limits are measured against.
static int countReceived(CURL *, curl_infotype type, char *, size_t size, void *userdata)
{
    Transfer *transfer = (Transfer *)userdata;
    if (type == CURLINFO_HEADER_IN || type == CURLINFO_DATA_IN)
        transfer->received += size;
    if (type == CURLINFO_DATA_IN)
        transfer->coded += size;
    return 0;
}

// Both progress operations: the report, then the stall limit, which counts
// from the moment the request went out (until then the connect limit holds).
static int onProgress(Transfer *transfer, curl_off_t dltotal, curl_off_t dlnow)
{
    CURL *handle = transfer->progress.handle;
    double now = elapsed(handle);
    transfer->seenExpected = dltotal;
    transfer->seenReceived = dlnow;
    // Transfers side by side would interleave their reports; fetchFiles
    // reports theirs together.
    const TransferSink *sink = transfer->downloads->sink;
    if (!transfer->deferLog) {
        reportProgress(&transfer->progress, now, dltotal, dlnow);
        if (sink && sink->bytes(sink->context, dltotal, dlnow))
            return 1;
    } else if (transferStopped(transfer->downloads)) {
        transfer->cancelled = true;
        return 1;
    }
    double sent = 0.0;
    curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME, &sent);
    if (sent <= 0.0)
        return 0;
    double limit = transfer->downloads->stallTimeoutSeconds;
    if (!transfer->stall.size)
        stallCheck(&transfer->stall, sent, 0, limit);
    if (!stallCheck(&transfer->stall, now, transfer->received, limit))
        return 0;
    transfer->stalled = 1;
    return 1;
}

static int xferinfo4(void *p, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    return onProgress((Transfer *)p, dltotal, dlnow);
}

// For a libcurl older than 7.32, which knows only this form.
static int older_progress(void *p, double dltotal, double dlnow, double, double)
{
    return onProgress((Transfer *)p, (curl_off_t)dltotal, (curl_off_t)dlnow);
}

// A header of the answer, or null.
static const char *headerValue(CURL *curl, const char *name)
{
    struct curl_header *header = NULL;
    return curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK ? header->value : NULL;
}

// The free bytes of the volume that holds path; -1 when unknown.
static curl_off_t freeBytes(const char *path)
{
    wchar_t wide[MAX_PATH];
    ULARGE_INTEGER available;
    if (!toWide(path, wide, MAX_PATH))
        return -1;
    wchar_t *slash = wcsrchr(wide, L'\\');
    if (slash)
        slash[1] = L'\0';
    return GetDiskFreeSpaceExW(wide, &available, NULL, NULL) ? (curl_off_t)available.QuadPart : -1;
}

// What a resumable transfer knows of the server's file: its validator and
// length, kept beside the staged bytes while they are not whole. False when
// the file could not be written whole.
static bool writeInfo(const Transfer *transfer)
{
    FILE *f = openFile(transfer->info, "wb");
    if (!f)
        return false;
    bool written = fprintf(f, "%s\n%lld\n", transfer->validator, (long long)transfer->total) > 0;
    return fclose(f) == 0 && written;
}

static void readInfo(Transfer *transfer)
{
    transfer->validator[0] = '\0';
    transfer->total = -1;
    FILE *f = openFile(transfer->info, "rb");
    if (!f)
        return;
    char line[sizeof transfer->validator + 2];
    long long total = -1;
    if (fgets(line, sizeof line, f) && fscanf(f, "%lld", &total) == 1 && strchr(line, '\n')) {
        *strchr(line, '\n') = '\0';
        snprintf(transfer->validator, sizeof transfer->validator, "%s", line);
        transfer->total = total;
    }
    fclose(f);
}

// A Content-Range value of a 206, "bytes first-last/total" and nothing else,
// with first <= last < total; false for any other text.
UNITTEST bool parseContentRange(const char *value, long long *first, long long *last, long long *total)
{
    if (!value || _strnicmp(value, "bytes ", 6) != 0)
        return false;
    const char *p = value + 6;
    const char ends[] = {'-', '/', '\0'};
    long long n[3];
    for (int i = 0; i < 3; ++i) {
        if (*p < '0' || *p > '9')
            return false;
        n[i] = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (n[i] > (LLONG_MAX - (*p - '0')) / 10)
                return false;
            n[i] = n[i] * 10 + (*p - '0');
        }
        if (*p != ends[i])
            return false;
        if (ends[i])
            ++p;
    }
    if (n[0] > n[1] || n[1] >= n[2])
        return false;
    *first = n[0], *last = n[1], *total = n[2];
    return true;
}

// The first body bytes of an answer: whether they are the file's, and where
// they go. A 206 must continue the staged bytes exactly, to the file's end; a
// 416 says the staged bytes are past the file's end (it shrank); a 200 is the
// whole file again.
static bool judgeBody(Transfer *transfer)
{
    transfer->bodyStarted = true;
    CURL *curl = transfer->progress.handle;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    const char *coding = headerValue(curl, "Content-Encoding");
    transfer->contentCoded = coding && coding[0];
    if (transfer->resumeFrom > 0 && (status == 206 || status == 416)) {
        // A coded range counts bytes of the coding, not those staged.
        long long first = -1, last = -1, total = -1;
        if (status == 416 || transfer->contentCoded ||
            !parseContentRange(headerValue(curl, "Content-Range"), &first, &last, &total) ||
            first != transfer->resumeFrom || total != transfer->total || last != total - 1) {
            transfer->rangeRefused = true;
            return false;
        }
        transfer->accepted = true;
        transfer->stored = transfer->resumeFrom;
    } else if (status == 200) {
        // From the start: what was staged is of another version, or the
        // server does not continue files. The info file describes this
        // answer or goes: a body without a validator, of unknown length or
        // content-coded (info would hold the coded length, the part the
        // decoded bytes) is not continued later.
        transfer->described = false;
        if (transfer->resumeFrom > 0 && (_chsize_s(_fileno(transfer->file), 0) != 0 || fseek(transfer->file, 0, SEEK_SET)))
            return false;
        transfer->resumeFrom = 0;
        transfer->accepted = true;
        transfer->total = length;
        if (transfer->resumable) {
            const char *etag = headerValue(curl, "ETag"), *modified = headerValue(curl, "Last-Modified");
            // If-Range takes a strong ETag only.
            const char *validator = etag && strncmp(etag, "W/", 2) != 0 ? etag : modified;
            snprintf(transfer->validator, sizeof transfer->validator, "%s", validator ? validator : "");
            transfer->described =
                transfer->validator[0] && transfer->total >= 0 && !transfer->contentCoded && writeInfo(transfer);
            if (!transfer->described)
                removeFile(transfer->info);
        }
    } else {
        return true; // read, never written
    }
    // A known length is checked against the caps and, for a pass's files, the
    // disk, before a byte is written.
    curl_off_t rest = length >= 0 ? length : 0, file = transfer->resumeFrom + rest;
    if (transfer->maxDecoded > 0 && file > transfer->maxDecoded) {
        transfer->over = BODY_OVER_MAXIMUM;
        return false;
    }
    // What the pass's running transfers announced counts as written.
    PassTotals *pass = transfer->pass;
    curl_off_t available = length >= 0 && pass ? freeBytes(transfer->part) : -1;
    if (available >= 0 && available - pass->claimed - rest < DISK_RESERVE_BYTES) {
        transfer->diskShort = true;
        char others[64] = "";
        if (pass->claimed)
            snprintf(others, sizeof others, ", and %lld for the files being fetched", (long long)pass->claimed);
        LogFormat(true, "getHTTPFile - %lld bytes to come%s, %lld free on the volume: %s not fetched, %lld MiB are kept free",
                  (long long)rest, others, (long long)available, transfer->url, (long long)(DISK_RESERVE_BYTES >> 20));
        return false;
    }
    transfer->lastFree = available;
    if (available >= 0) {
        transfer->claimed = rest;
        pass->claimed += rest;
    }
    return true;
}

// The bytes of its length that a transfer still claims, given back: stored,
// or not coming.
static void releaseClaim(Transfer *transfer, curl_off_t bytes)
{
    bytes = bytes < transfer->claimed ? bytes : transfer->claimed;
    transfer->claimed -= bytes;
    if (transfer->pass)
        transfer->pass->claimed -= bytes;
}

// libcurl's write target: a short write makes libcurl fail the transfer. No
// block that would take the body past a limit is written, and the body of an
// answer that is not the file's is read but never written.
static size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    Transfer *transfer = (Transfer *)userdata;
    size_t bytes = size * count;
    if (!transfer->bodyStarted && !judgeBody(transfer))
        return 0;
    // The maximum holds for the whole file, the staged bytes included; the
    // expansion, for what this answer sent.
    curl_off_t left = transfer->maxDecoded - transfer->resumeFrom;
    transfer->over = bodyLimit(transfer->decoded + (curl_off_t)bytes, transfer->coded,
                               transfer->maxDecoded <= 0 ? 0 : left > 0 ? left : 1);
    if (transfer->over != BODY_WITHIN)
        return 0;
    if (transfer->pass && transfer->pass->fetched + (curl_off_t)bytes > transfer->downloads->maxPassBytes) {
        transfer->overPass = true;
        return 0;
    }
    transfer->decoded += (curl_off_t)bytes;
    if (!transfer->accepted)
        return bytes;
    // A body of unknown length stops where the volume would keep too little,
    // with what the other transfers announced.
    PassTotals *pass = transfer->pass;
    bool closeToReserve = transfer->lastFree >= 0 && transfer->lastFree < DISK_RESERVE_BYTES + DISK_NEAR_BYTES;
    if (pass && (!transfer->stored || closeToReserve || transfer->stored - transfer->freeChecked >= DISK_CHECK_BYTES)) {
        transfer->freeChecked = transfer->stored;
        curl_off_t available = transfer->lastFree = freeBytes(transfer->part);
        if (available >= 0 && available - (pass->claimed - transfer->claimed) - (curl_off_t)bytes < DISK_RESERVE_BYTES) {
            transfer->diskShort = true;
            LogFormat(true, "getHTTPFile - %lld bytes stored, %lld free on the volume: %s stopped, %lld MiB are kept free",
                      (long long)transfer->stored, (long long)available, transfer->url,
                      (long long)(DISK_RESERVE_BYTES >> 20));
            return 0;
        }
    }
    size_t written = 0;
    for (;;) {
        errno = 0;
        written += fwrite(data + written, 1, bytes - written, transfer->file);
        if (written == bytes)
            break;
        // Wine's C library reports a large write that a full disk cut short as
        // EINVAL, with nothing written: the file's position says what went out
        // (the stream's buffer is empty after a direct write), and writing the
        // rest gives the reason.
        int err = errno ? errno : EIO;
        long long out = _telli64(_fileno(transfer->file)) - transfer->stored;
        if (out <= (long long)written || out >= (long long)bytes) {
            if (!transfer->writeError)
                transfer->writeError = err;
            break;
        }
        written = (size_t)out;
        clearerr(transfer->file);
    }
    transfer->stored += (curl_off_t)written;
    releaseClaim(transfer, (curl_off_t)written);
    if (pass)
        pass->fetched += (curl_off_t)written;
    return written;
}

// The line for an answer other than 200.
static void logStatus(CURL *curl, long status)
{
    const char *location = NULL;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
    if (location)
        LogFormat(true, "getHTTPFile - HTTP status %ld: redirect to %s not followed, nothing stored", status,
                  location);
    else
        LogFormat(true, "getHTTPFile - HTTP status %ld: not a success, nothing stored", status);
}

// The line naming what ended a transfer before its end; 0 when nothing did.
static int logLimit(const Transfer *transfer, CURLcode rc)
{
    if (transfer->stalled) {
        LogFormat(true, "getHTTPFile - stall limit reached: less than %d bytes in %u s, nothing stored",
                  STALL_MIN_BYTES, transfer->downloads->stallTimeoutSeconds);
        return 1;
    }
    if (transfer->over == BODY_OVER_MAXIMUM && transfer->maxDecoded < ((curl_off_t)1 << 20)) {
        LogFormat(true, "getHTTPFile - size limit reached: decoded body over %d KiB, nothing stored",
                  (int)(transfer->maxDecoded >> 10));
        return 1;
    }
    if (transfer->over == BODY_OVER_MAXIMUM) {
        if (transfer->manifest)
            LogFormat(true, "getHTTPFile - size limit reached: decoded manifest over %d MiB, nothing stored",
                      (int)(transfer->maxDecoded >> 20));
        else
            LogFormat(true, "getHTTPFile - size limit reached: file over %d MiB (MaxFileMegabytes), nothing stored",
                      (int)(transfer->maxDecoded >> 20));
        return 1;
    }
    if (transfer->over == BODY_OVER_EXPANSION) {
        LogFormat(true,
                  "getHTTPFile - size limit reached: decoded body over %d times the %.0f coded bytes received, "
                  "nothing stored",
                  EXPANSION_MAX_RATIO, (double)transfer->coded);
        return 1;
    }
    if (transfer->overPass) {
        LogFormat(true, "getHTTPFile - size limit reached: the pass would fetch over %lld MiB (MaxPassMegabytes), "
                        "nothing stored",
                  (long long)(transfer->downloads->maxPassBytes >> 20));
        return 1;
    }
    if (transfer->diskShort)
        return 1; // said when it was seen
    // The connect limit is the only time limit handed to libcurl.
    if (rc == CURLE_OPERATION_TIMEDOUT) {
        LogFormat(true, "getHTTPFile - connect limit reached: no connection within %u s, nothing stored",
                  transfer->downloads->connectTimeoutSeconds);
        return 1;
    }
    return 0;
}

// True when the staged file has the digest of kind that the manifest
// promises; a mismatch is logged with both digests.
static bool digestMatches(const char *part, const char *kind, const char *expected)
{
    char actual[65];
    if (!fileDigest(part, kind, actual, sizeof actual))
        return false;
    if (_stricmp(expected, actual) == 0)
        return true;
    LogFormat(true, "getHTTPFile - digest mismatch, file not replaced: manifest %s:%s, file %s:%s", kind, expected,
              kind, actual);
    return false;
}

void getHTTPStartup(Downloads *downloads, const Policy *policy)
{
    downloads->connectTimeoutSeconds = policy->connectTimeoutSeconds;
    downloads->stallTimeoutSeconds = policy->stallTimeoutSeconds;
    downloads->pinnedPublicKeys = policy->pinnedPublicKeys;
    downloads->verifyServerCertificate = policy->verifyServerCertificate != 0;
    downloads->maxParallel = policy->maxParallelDownloads;
    downloads->maxFileBytes = (curl_off_t)policy->maxFileMegabytes << 20;
    downloads->maxPassBytes = (curl_off_t)policy->maxPassMegabytes << 20;
    downloads->share = NULL;
    CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
        LogFormat(true, "getHTTPFile - curl_global_init failed: %s", curl_easy_strerror(rc));
        return;
    }
    CURLSH *share = curl_share_init();
    if (share && curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK) {
        downloads->share = share;
        return;
    }
    curl_share_cleanup(share);
    LogFormat(true, "getHTTPFile - no shared connection cache: every file gets a connection of its own");
}

void getHTTPCleanup(Downloads *downloads)
{
    // Closes the connections still open.
    curl_share_cleanup(downloads->share);
    downloads->share = NULL;
    curl_global_cleanup();
}

// libcurl's pre-request callback: the certificate of a connection just made
// is checked before any request goes out on it. Aborting closes the
// connection, so that no later transfer takes it from the cache unchecked.
static int checkServer(void *userdata, char *, char *, int, int)
{
    Transfer *transfer = (Transfer *)userdata;
    transfer->certificateError = serverCertificateError(transfer->progress.handle);
    return transfer->certificateError ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
}

// Sets the handle up for the transfer and opens its staged file (continuing
// a resumable one that an earlier run left); 0, logged, when the file cannot
// be had. The start lines are logged here unless the transfer defers them.
static int beginTransfer(Transfer *transfer, CURL *curl)
{
    const Downloads *downloads = transfer->downloads;
    transfer->progress.handle = curl;
    transfer->lastFree = -1;
    curl_easy_setopt(curl, CURLOPT_URL, transfer->url);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "deflate");
    // Off unless the administrator asks: deployments serve self-signed
    // certificates on IP addresses. On, Schannel checks the chain against the
    // machine's store; an unreachable revocation server (behind a proxy, say)
    // does not fail the transfer.
    long verify = downloads->verifyServerCertificate ? 1L : 0L;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify * 2);
    if (verify) {
        curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, (long)CURLSSLOPT_REVOKE_BEST_EFFORT);
        curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, checkServer);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, transfer);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, (long)downloads->connectTimeoutSeconds);
    // Pins hold without a certificate authority: the key itself is checked.
    if (downloads->pinnedPublicKeys[0])
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, downloads->pinnedPublicKeys);
    CURL_IGNORE_DEPRECATION(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, older_progress);)
    curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, xferinfo4);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, countReceived);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, transfer);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(curl, CURLOPT_SHARE, downloads->share);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receiveBufferSize);
    // The entry of the run's proxy list that the transfers before reached,
    // with the login they ended up with.
    if (downloads->proxy)
        proxyApply(curl, downloads->proxy);

    if (!transfer->deferLog) {
        LogTime("getHTTPFile - Start", true);
        LogFormat(true, "getHTTPFile - URL: %s, filename: %s\n", transfer->url, transfer->path);
    }
    // Characters as Windows counts them: UTF-16 units.
    snprintf(transfer->part, sizeof transfer->part, "%s%s", transfer->path, partSuffix);
    snprintf(transfer->info, sizeof transfer->info, "%s.info", transfer->path);
    size_t len = wideUnits(transfer->resumable ? transfer->info : transfer->part);
    if (len >= MAX_PATH) {
        LogFormat(true, "getHTTPFile - temporary file name too long (%d characters, at most %d): %s%s", (int)len,
                  MAX_PATH - 1, transfer->path, transfer->resumable ? ".info" : partSuffix);
        return 0;
    }
    // Exclusive: a second launcher cannot write into the same staging file.
    // A resumable one is opened as an earlier try or run left it.
    errno = 0;
    transfer->file = openFileShared(transfer->part, transfer->resumable ? "ab" : "wb", _SH_DENYRW);
    if (!transfer->file) {
        int err = errno;
        LogFormat(true, "getHTTPFile - fopen failed 1: %d (%s : %s)", err, strerror(err), transfer->part);
        return 0;
    }
    // What was staged is continued where the server can say it is still the
    // same file, and emptied otherwise. Its length is taken from the open
    // file in 64 bits: a stat's is 32 bits in this build, and a part past
    // 2 GiB would resume at the wrong byte.
    transfer->resumeFrom = 0;
    if (transfer->resumable) {
        readInfo(transfer);
        int fd = _fileno(transfer->file);
        long long staged = _filelengthi64(fd);
        if (transfer->validator[0] && staged > 0 && staged < transfer->total)
            transfer->resumeFrom = staged;
        int err = staged != 0 && !transfer->resumeFrom ? _chsize_s(fd, 0) : 0;
        if (err) {
            LogFormat(true, "getHTTPFile - the staged file could not be emptied: %d (%s : %s)", err, strerror(err),
                      transfer->part);
            fclose(transfer->file);
            transfer->file = NULL;
            return 0;
        }
        transfer->described = transfer->resumeFrom > 0;
    }
    if (transfer->resumeFrom) {
        char range[64], ifRange[sizeof transfer->validator + 16];
        snprintf(range, sizeof range, "%lld-", (long long)transfer->resumeFrom);
        snprintf(ifRange, sizeof ifRange, "If-Range: %s", transfer->validator);
        // A range without its If-Range would continue a file changed since:
        // with no room for the header, the server sends the file whole.
        transfer->headers = curl_slist_append(NULL, ifRange);
        if (transfer->headers) {
            curl_easy_setopt(curl, CURLOPT_RANGE, range);
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer->headers);
        }
    }
    return 1;
}

// What ended a transfer that failed: worth a retry (a connection reset, a
// gateway's 502, 503 or 504, a stall), or not.
static bool transient(const Transfer *transfer, CURLcode rc, long status)
{
    return transfer->stalled || status == 502 || status == 503 || status == 504 || rc == CURLE_RECV_ERROR ||
           rc == CURLE_SEND_ERROR || rc == CURLE_GOT_NOTHING || rc == CURLE_PARTIAL_FILE;
}

enum { TRANSFER_DONE = 1, TRANSFER_FAILED = 0, TRANSFER_TRANSIENT = -1, TRANSFER_WHOLE_AGAIN = -2 };

// What a finished transfer comes to: its lines, and its staged body moved
// over the target when it is whole and accepted, or removed; a resumable
// body that a transient failure cut stays staged for the next try or run.
static int endTransfer(Transfer *transfer, CURLcode rc)
{
    CURL *curl = transfer->progress.handle;
    // An answer with no body at all is judged here.
    if (!transfer->bodyStarted && rc == CURLE_OK)
        judgeBody(transfer);
    releaseClaim(transfer, transfer->claimed);
    int closed = closeFile(transfer->file);
    int closeError = errno;
    curl_slist_free_all(transfer->headers);
    transfer->headers = NULL;

    if (transfer->deferLog) {
        LogTime("getHTTPFile - Start", true);
        LogFormat(true, "getHTTPFile - URL: %s, filename: %s\n", transfer->url, transfer->path);
    }
    LogToFile(" ", true, true);
    LogTime("getHTTPFile - End", true);

    // Only the file's own answer carries it; an error page, another part or
    // an unfollowed redirect is never stored in its place.
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    int ok = !logLimit(transfer, rc);
    if (ok && transfer->rangeRefused) {
        LogFormat(true, "getHTTPFile - the answer does not continue the %lld bytes staged: fetched whole",
                  (long long)transfer->resumeFrom);
        ok = 0;
    } else if (ok && status != 0 && !transfer->accepted) {
        logStatus(curl, status);
        ok = 0;
    }
    if (ok && transfer->certificateError) {
        LogFormat(true, "getHTTPFile - the server's certificate is not trusted by the machine's store: 0x%08lx, "
                  "nothing stored", transfer->certificateError);
        ok = 0;
    }
    if (ok && rc != CURLE_OK) {
        LogFormat(true, "getHTTPFile - curl_easy_perform() failed: %s", curl_easy_strerror(rc));
        if (rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH)
            LogToFile("getHTTPFile - the server's key does not match the pinned public keys, nothing stored", true,
                      true);
        if (transfer->writeError)
            LogFormat(true, "getHTTPFile - fwrite failed: %d (%s : %s)", transfer->writeError,
                      strerror(transfer->writeError), transfer->part);
        ok = 0;
    }
    if (!closed) {
        // After a failed write the close fails too; that was reported above.
        if (!transfer->writeError)
            LogFormat(true, "getHTTPFile - fclose failed: %d (%s : %s)", closeError, strerror(closeError),
                      transfer->part);
        ok = 0;
    }
    // The bytes staged are the file's whole length, where the server said it
    // and the body was stored as sent (libcurl holds a 200 to its
    // Content-Length, not a 206 to its range).
    if (ok && transfer->accepted && !transfer->contentCoded && transfer->total >= 0 &&
        transfer->stored != transfer->total) {
        LogFormat(true, "getHTTPFile - length mismatch, file not replaced: %lld bytes, the server announced %lld",
                  (long long)transfer->stored, (long long)transfer->total);
        ok = 0;
    }
    if (ok && transfer->deferLog)
        LogFormat(true, transfer->resumeFrom ? "getHTTPFile - %lld bytes, resumed after byte %lld"
                                             : "getHTTPFile - %lld bytes",
                  (long long)transfer->stored, (long long)transfer->resumeFrom);

    if (ok && transfer->digestKind && !digestMatches(transfer->part, transfer->digestKind, transfer->digest))
        ok = 0;
    if (ok && !replaceFile(transfer->part, transfer->path, "getHTTPFile")) {
        DWORD err = GetLastError();
        char text[256];
        LogFormat(true, "getHTTPFile - MoveFileEx failed, file not replaced: %lu (%s : %s)", err,
                  windowsErrorText(err, text, sizeof text), transfer->path);
        ok = 0;
    }
    bool retry = !ok && transient(transfer, rc, status);
    // What a transient failure or the user's stop leaves staged, with the
    // info that describes it, for the next try or run: a body cut after some
    // bytes, and the bytes of a continued file whose answer ended before it
    // was taken or refused (a 503, a reset, a stall).
    bool untouched = transfer->resumeFrom > 0 && !transfer->accepted && !transfer->rangeRefused;
    bool keep = (retry || transfer->cancelled) && transfer->resumable && transfer->described &&
                (transfer->accepted ? transfer->stored > 0 : untouched);
    if (keep && untouched)
        LogFormat(true, "getHTTPFile - %lld bytes staged kept for the next try or run",
                  (long long)transfer->resumeFrom);
    if (!ok && !keep && removeFile(transfer->part) != 0 && errno != ENOENT) {
        int err = errno;
        LogFormat(true, "getHTTPFile - remove failed: %d (%s : %s)", err, strerror(err), transfer->part);
    }
    if (transfer->resumable && !keep)
        removeFile(transfer->info);
    return ok ? TRANSFER_DONE : transfer->rangeRefused ? TRANSFER_WHOLE_AGAIN : retry ? TRANSFER_TRANSIENT
                                                                                     : TRANSFER_FAILED;
}

// Makes the transfer ready to be made again on its handle (the proxy's next
// entry, or its login with NTLM alone): false once a byte of the body went
// to the file, which the attempts before never do.
static bool restartTransfer(void *context)
{
    Transfer *transfer = (Transfer *)context;
    if (transfer->stored || transfer->writeError)
        return false;
    releaseClaim(transfer, transfer->claimed);
    transfer->bodyStarted = transfer->accepted = false;
    transfer->decoded = transfer->coded = transfer->received = 0;
    transfer->over = BODY_WITHIN;
    transfer->stalled = 0;
    transfer->stall = StallWatch{};
    transfer->progress.lastReportTime = 0.0;
    return true;
}

static int download(Transfer *transfer)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        return 0;
    int result = TRANSFER_FAILED;
    if (beginTransfer(transfer, curl)) {
        ProxyDecision *proxy = transfer->downloads->proxy;
        result = endTransfer(transfer, proxy ? proxyPerform(curl, proxy, restartTransfer, transfer)
                                             : curl_easy_perform(curl));
    }
    curl_slist_free_all(transfer->headers);
    curl_easy_cleanup(curl);
    return result == TRANSFER_DONE;
}

// One file on its own: at most maxDecoded bytes (0: no maximum), with the
// digest when digestKind is given.
static int downloadOne(const Downloads *downloads, const char *url, const char *path, curl_off_t maxDecoded,
                       bool manifest, const char *digestKind = NULL, const char *digest = NULL)
{
    Transfer transfer = {};
    transfer.downloads = downloads;
    transfer.url = url;
    transfer.path = path;
    transfer.maxDecoded = maxDecoded;
    transfer.manifest = manifest;
    transfer.digestKind = digestKind;
    transfer.digest = digest;
    return download(&transfer);
}

int getHTTPFile(const Downloads *downloads, const char *url, const char *path, const char *digestKind,
                const char *digest)
{
    return downloadOne(downloads, url, path, 0, false, digestKind, digest);
}

int getHTTPManifest(const Downloads *downloads, const char *url, const char *path)
{
    return downloadOne(downloads, url, path, (curl_off_t)MANIFEST_MAX_BYTES, true);
}

int getHTTPSignatures(const Downloads *downloads, const char *url, const char *path)
{
    return downloadOne(downloads, url, path, (curl_off_t)SIGNATURE_MAX_BYTES, false);
}

// The waits before the first and the second retry of a file.
static const DWORD retryMs[] = {1000, 3000};

// A transfer of fetchFiles, and the job it serves.
struct Slot {
    Transfer transfer;
    CURL *curl;
    FetchJob *job;
};

static bool startJob(CURLM *multi, Slot *slot, FetchJob *job, const Downloads *downloads, PassTotals *pass)
{
    slot->transfer = Transfer{};
    Transfer *t = &slot->transfer;
    t->downloads = downloads;
    t->url = job->url;
    t->path = job->path;
    t->maxDecoded = downloads->maxFileBytes;
    t->digestKind = job->digestKind;
    t->digest = job->digest;
    t->resumable = true;
    t->deferLog = true;
    t->pass = pass;
    slot->job = job;
    slot->curl = curl_easy_init();
    if (slot->curl && beginTransfer(t, slot->curl) && curl_multi_add_handle(multi, slot->curl) == CURLM_OK)
        return true;
    if (t->file)
        closeFile(t->file);
    curl_slist_free_all(t->headers);
    curl_easy_cleanup(slot->curl);
    slot->curl = NULL;
    return false;
}

// What the running transfers add to progress: their shares of a file, their
// bytes, and whether every one of them knows its length.
static void runningProgress(const Slot *slots, unsigned most, curl_off_t ended, FetchProgress *progress)
{
    progress->runningShare = 0;
    progress->expected = progress->received = 0;
    progress->fetched = ended;
    bool known = true;
    for (unsigned i = 0; i < most; ++i) {
        const Transfer *t = &slots[i].transfer;
        if (!slots[i].curl)
            continue;
        // A continued body counts what an earlier try or run staged.
        curl_off_t expected = t->seenExpected > 0 ? t->resumeFrom + t->seenExpected : 0;
        curl_off_t received = t->resumeFrom + t->seenReceived;
        known = known && expected > 0;
        if (expected > 0)
            progress->runningShare += (unsigned)(received >= expected ? 1000 : received * 1000 / expected);
        progress->expected += expected;
        progress->received += received;
        progress->fetched += t->seenReceived;
    }
    if (!known)
        progress->expected = 0;
}

// Ends a slot's transfer with rc: its lines, its staged body, its handle.
static int endSlot(CURLM *multi, Slot *slot, CURLcode rc, curl_off_t *ended)
{
    curl_multi_remove_handle(multi, slot->curl);
    int result = endTransfer(&slot->transfer, rc);
    *ended += slot->transfer.seenReceived;
    curl_easy_cleanup(slot->curl);
    slot->curl = NULL;
    return result;
}

int fetchFiles(const Downloads *downloads, FetchJob *jobs, size_t count)
{
    const unsigned most = downloads->maxParallel ? downloads->maxParallel : 1;
    CURLM *multi = curl_multi_init();
    Slot *slots = (Slot *)calloc(most, sizeof *slots);
    size_t *waiting = (size_t *)malloc((count ? count : 1) * sizeof *waiting); // jobs to try again
    if (!multi || !slots || !waiting) {
        LogFormat(true, "getHTTPFile - no room for the transfers of the pass");
        curl_multi_cleanup(multi);
        free(slots);
        free(waiting);
        return 0;
    }
    size_t next = 0, waitingCount = 0, finished = 0;
    PassTotals pass = {};
    curl_off_t ended = 0;
    int allDone = 1;
    bool stopped = false;
    const TransferSink *sink = downloads->sink;
    FetchProgress progress = {};
    progress.count = (unsigned)count;
    while (finished < count) {
        if (!stopped && transferStopped(downloads)) {
            // Nothing further starts; what runs is aborted below.
            stopped = true;
            LogFormat(true, "getHTTPFile - the downloads are stopped: %u of %u files not fetched",
                      (unsigned)(count - progress.done), (unsigned)count);
            finished += (count - next) + waitingCount;
            next = count;
            waitingCount = 0;
            for (unsigned i = 0; i < most; ++i)
                if (slots[i].curl)
                    slots[i].transfer.cancelled = true;
            allDone = 0;
        }
        DWORD now = GetTickCount();
        for (unsigned i = 0; i < most && !stopped; ++i) {
            if (slots[i].curl)
                continue;
            FetchJob *job = NULL;
            for (size_t w = 0; w < waitingCount && !job; ++w) {
                if ((long)(now - jobs[waiting[w]].notBefore) >= 0) {
                    job = &jobs[waiting[w]];
                    waiting[w] = waiting[--waitingCount];
                }
            }
            if (!job && next < count)
                job = &jobs[next++];
            if (!job)
                break;
            progress.name = job->name ? job->name : job->url;
            progress.number = (unsigned)(job - jobs) + 1;
            if (!startJob(multi, &slots[i], job, downloads, &pass)) {
                job->ok = 0;
                allDone = 0;
                ++finished;
                ++progress.done;
            }
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        bool freed = false;
        for (CURLMsg *msg; (msg = curl_multi_info_read(multi, &left));) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Slot *slot = NULL;
            for (unsigned i = 0; i < most && !slot; ++i)
                if (slots[i].curl == msg->easy_handle)
                    slot = &slots[i];
            if (!slot)
                continue;
            int result = endSlot(multi, slot, msg->data.result, &ended);
            freed = true;
            FetchJob *job = slot->job;
            if (!stopped && result == TRANSFER_TRANSIENT && job->tries < sizeof retryMs / sizeof *retryMs) {
                LogFormat(true, "getHTTPFile - %s: tried again in %lu s (%u of %u)", job->url,
                          retryMs[job->tries] / 1000, job->tries + 1, (unsigned)(sizeof retryMs / sizeof *retryMs));
                job->notBefore = GetTickCount() + retryMs[job->tries++];
                waiting[waitingCount++] = (size_t)(job - jobs);
            } else if (!stopped && result == TRANSFER_WHOLE_AGAIN) {
                job->notBefore = GetTickCount();
                waiting[waitingCount++] = (size_t)(job - jobs);
            } else {
                job->ok = result == TRANSFER_DONE;
                allDone &= job->ok;
                ++finished;
                ++progress.done;
            }
        }
        // A transfer that its callback has not aborted yet (no callback while
        // it waits on a connection) is ended here.
        for (unsigned i = 0; i < most && stopped; ++i) {
            if (!slots[i].curl)
                continue;
            slots[i].job->ok = 0;
            endSlot(multi, &slots[i], CURLE_ABORTED_BY_CALLBACK, &ended);
            ++finished;
            ++progress.done;
        }
        if (sink) {
            runningProgress(slots, most, ended, &progress);
            sink->fetch(sink->context, &progress);
        }
        // A freed slot takes the next file at once: waiting first would leave
        // a connection idle on a distant server.
        if (finished < count && !(freed && next < count))
            curl_multi_poll(multi, NULL, 0, 50, NULL);
    }
    curl_multi_cleanup(multi);
    free(slots);
    free(waiting);
    return allDone;
}
