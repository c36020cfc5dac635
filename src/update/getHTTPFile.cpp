#include "update/getHTTPFile.h"

#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "proxy/Proxy.h"
#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "update/fileDigest.h"
#include "update/replaceFile.h"
#include "update/serverCertificate.h"

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

// What the callbacks of one transfer share; lives in download().
struct Transfer {
    const Downloads *downloads;
    DownloadProgress progress;
    FILE *file;           // the staging file
    int writeError;       // errno of the first short write, 0 while every byte went out
    curl_off_t maxDecoded; // largest decoded body, 0: no maximum
    curl_off_t decoded;   // body bytes handed over, after decoding
    curl_off_t stored;    // body bytes handed to the file
    curl_off_t coded;     // body bytes received, before decoding
    curl_off_t received;  // header and body bytes received
    BodyLimit over;       // the size limit that stopped the transfer
    int stalled;          // 1 when the stall limit stopped it
    StallWatch stall;
};

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
    reportProgress(&transfer->progress, now, dltotal, dlnow);
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

// libcurl's write target: a short write makes libcurl fail the transfer. No
// block that would take the body past a limit is written, and the body of an
// answer other than 200 is read but never written.
static size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    Transfer *transfer = (Transfer *)userdata;
    size_t bytes = size * count;
    transfer->over = bodyLimit(transfer->decoded + (curl_off_t)bytes, transfer->coded, transfer->maxDecoded);
    if (transfer->over != BODY_WITHIN)
        return 0;
    transfer->decoded += (curl_off_t)bytes;
    long status = 0;
    curl_easy_getinfo(transfer->progress.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        return bytes;
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
    return written;
}

// Flushes the file to the disk and closes it; 0 with errno set when a step failed.
static int closeFile(FILE *f)
{
    errno = 0;
    int ok = fflush(f) == 0 && _commit(_fileno(f)) == 0;
    int err = errno;
    errno = 0;
    if (fclose(f) != 0) {
        ok = 0;
        if (!err)
            err = errno;
    }
    errno = err ? err : EIO;
    return ok;
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
    if (transfer->over == BODY_OVER_MAXIMUM) {
        LogFormat(true, "getHTTPFile - size limit reached: decoded manifest over %d MiB, nothing stored",
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
    char actual[41];
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

static int download(const Downloads *downloads, const char *url, const char *path, curl_off_t maxDecoded,
                    const char *digestKind, const char *digest)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        return 0;

    Transfer transfer = {};
    transfer.downloads = downloads;
    transfer.progress.handle = curl;
    transfer.maxDecoded = maxDecoded;

    curl_easy_setopt(curl, CURLOPT_URL, url);
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
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, (long)downloads->connectTimeoutSeconds);
    // Pins hold without a certificate authority: the key itself is checked.
    if (downloads->pinnedPublicKeys[0])
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, downloads->pinnedPublicKeys);
    CURL_IGNORE_DEPRECATION(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, older_progress);)
    curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, xferinfo4);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, countReceived);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_SHARE, downloads->share);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receiveBufferSize);

    LogTime("getHTTPFile - Start", true);
    LogFormat(true, "getHTTPFile - URL: %s, filename: %s\n", url, path);

    char part[MAX_PATH];
    int len = snprintf(part, sizeof part, "%s%s", path, partSuffix);
    if (len < 0 || len >= (int)sizeof part) {
        LogFormat(true, "getHTTPFile - temporary file name too long (%d characters, at most %d): %s%s", len,
                  MAX_PATH - 1, path, partSuffix);
        curl_easy_cleanup(curl);
        return 0;
    }
    // Exclusive: a second launcher cannot write into the same staging file.
    errno = 0;
    transfer.file = _fsopen(part, "wb", _SH_DENYRW);
    if (!transfer.file) {
        int err = errno;
        LogFormat(true, "getHTTPFile - fopen failed 1: %d (%s : %s)", err, strerror(err), part);
        curl_easy_cleanup(curl);
        return 0;
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);

    CURLcode rc = downloads->proxy ? proxyPerform(curl, downloads->proxy) : curl_easy_perform(curl);
    int closed = closeFile(transfer.file);
    int closeError = errno;

    LogToFile(" ", true, true);
    LogTime("getHTTPFile - End", true);

    // Only a 200 answer carries the file; an error page, a part or an
    // unfollowed redirect is never stored in its place.
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    int ok = !logLimit(&transfer, rc);
    if (ok && status != 0 && status != 200) {
        logStatus(curl, status);
        ok = 0;
    }
    if (ok && rc != CURLE_OK) {
        LogFormat(true, "getHTTPFile - curl_easy_perform() failed: %s", curl_easy_strerror(rc));
        if (rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH)
            LogToFile("getHTTPFile - the server's key does not match the pinned public keys, nothing stored", true,
                      true);
        if (transfer.writeError)
            LogFormat(true, "getHTTPFile - fwrite failed: %d (%s : %s)", transfer.writeError,
                      strerror(transfer.writeError), part);
        ok = 0;
    }
    if (ok && verify && !serverCertificateTrusted(curl))
        ok = 0;
    if (!closed) {
        // After a failed write the close fails too; that was reported above.
        if (!transfer.writeError)
            LogFormat(true, "getHTTPFile - fclose failed: %d (%s : %s)", closeError, strerror(closeError), part);
        ok = 0;
    }
    curl_easy_cleanup(curl);

    if (ok && digestKind && !digestMatches(part, digestKind, digest))
        ok = 0;
    if (ok && !replaceFile(part, path, "getHTTPFile")) {
        DWORD err = GetLastError();
        char text[256];
        LogFormat(true, "getHTTPFile - MoveFileEx failed, file not replaced: %lu (%s : %s)", err,
                  windowsErrorText(err, text, sizeof text), path);
        ok = 0;
    }
    if (!ok && remove(part) != 0) {
        int err = errno;
        LogFormat(true, "getHTTPFile - remove failed: %d (%s : %s)", err, strerror(err), part);
    }
    return ok;
}

int getHTTPFile(const Downloads *downloads, const char *url, const char *path, const char *digestKind,
                const char *digest)
{
    return download(downloads, url, path, 0, digestKind, digest);
}

int getHTTPManifest(const Downloads *downloads, const char *url, const char *path)
{
    return download(downloads, url, path, (curl_off_t)MANIFEST_MAX_BYTES, NULL, NULL);
}
