#include "update/getHTTPFile.h"

#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "logging/Logging.h"

// The body is staged under the target's name plus this, beside it, and moved
// over the target only when complete and accepted.
static const char partSuffix[] = ".part";

// libcurl's receive buffer. With its default of 16 KiB one 512 MiB file over
// plain HTTP took twice as long as with curl's own tool; 512 KiB is the
// fastest size measured over HTTPS, and larger ones cost memory there (see
// the README's performance section).
static const long receiveBufferSize = 512 * 1024;

void reportProgress(DownloadProgress *progress, double t, curl_off_t e, curl_off_t n)
{
    if (t - progress->lastReportTime < 0.5 && n != e)
        return;
    // The clock moves on even when nothing is logged (size not yet announced).
    progress->lastReportTime = t;
    if (e <= 0)
        return;
    snprintf(logmsg, sizeof logmsg, "NowDownloaded: %.0lf of TotalToDownload: %.0lf", (double)n, (double)e);
    LogTime(logmsg, true);
    fflush(stdout);
}

static double elapsed(CURL *handle)
{
    double t = 0.0;
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &t);
    return t;
}

int xferinfo4(void *p, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    DownloadProgress *progress = (DownloadProgress *)p;
    reportProgress(progress, elapsed(progress->handle), dltotal, dlnow);
    return 0;
}

// For a libcurl older than 7.32, which knows only this form.
static int older_progress(void *p, double dltotal, double dlnow, double, double)
{
    DownloadProgress *progress = (DownloadProgress *)p;
    reportProgress(progress, elapsed(progress->handle), (curl_off_t)dltotal, (curl_off_t)dlnow);
    return 0;
}

// The open staging file and the first write error on it.
struct Sink {
    FILE *file;
    int error;      // errno of the first short write, 0 while every byte went out
    long long size; // bytes handed to the file so far
};

// libcurl's write target: a short write makes libcurl fail the transfer.
static size_t writeBody(char *data, size_t size, size_t count, void *userdata)
{
    Sink *sink = (Sink *)userdata;
    size_t bytes = size * count;
    size_t written = 0;
    for (;;) {
        errno = 0;
        written += fwrite(data + written, 1, bytes - written, sink->file);
        if (written == bytes)
            break;
        // Wine's C library reports a large write that a full disk cut short as
        // EINVAL, with nothing written: the file's position says what went out
        // (the stream's buffer is empty after a direct write), and writing the
        // rest gives the reason.
        int err = errno ? errno : EIO;
        long long out = _telli64(_fileno(sink->file)) - sink->size;
        if (out <= (long long)written || out >= (long long)bytes) {
            if (!sink->error)
                sink->error = err;
            break;
        }
        written = (size_t)out;
        clearerr(sink->file);
    }
    sink->size += written;
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

// The connection and TLS session caches of the run, shared by its transfers.
static CURLSH *gShare;

void getHTTPStartup(void)
{
    CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
        LogFormat(true, "getHTTPFile - curl_global_init failed: %s", curl_easy_strerror(rc));
        return;
    }
    gShare = curl_share_init();
    if (gShare && curl_share_setopt(gShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK &&
        curl_share_setopt(gShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK)
        return;
    curl_share_cleanup(gShare);
    gShare = NULL;
    LogFormat(true, "getHTTPFile - no shared connection cache: every file gets a connection of its own");
}

void getHTTPCleanup(void)
{
    // Closes the connections still open.
    curl_share_cleanup(gShare);
    gShare = NULL;
    curl_global_cleanup();
}

int getHTTPFile(const char *url, const char *path)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        return 0;

    DownloadProgress progress = {0.0, curl};
    Sink sink = {NULL, 0, 0};

    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "deflate");
    // Off on purpose: deployments serve self-signed certificates on IP addresses.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    CURL_IGNORE_DEPRECATION(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, older_progress);)
    curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, xferinfo4);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_SHARE, gShare);
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
    sink.file = _fsopen(part, "wb", _SH_DENYRW);
    if (!sink.file) {
        int err = errno;
        LogFormat(true, "getHTTPFile - fopen failed 1: %d (%s : %s)", err, strerror(err), part);
        curl_easy_cleanup(curl);
        return 0;
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

    CURLcode rc = curl_easy_perform(curl);
    int closed = closeFile(sink.file);
    int closeError = errno;

    LogToFile(" ", true, true);
    LogTime("getHTTPFile - End", true);

    int ok = 1;
    if (rc != CURLE_OK) {
        LogFormat(true, "getHTTPFile - curl_easy_perform() failed: %s", curl_easy_strerror(rc));
        if (sink.error)
            LogFormat(true, "getHTTPFile - fwrite failed: %d (%s : %s)", sink.error, strerror(sink.error), part);
        ok = 0;
    }
    if (!closed) {
        // After a failed write the close fails too; that was reported above.
        if (!sink.error)
            LogFormat(true, "getHTTPFile - fclose failed: %d (%s : %s)", closeError, strerror(closeError), part);
        ok = 0;
    }
    if (ok) {
        // Only a 2xx answer carries the file; an error page or an unfollowed
        // redirect is never stored in its place.
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            const char *location = NULL;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
            if (location)
                LogFormat(true, "getHTTPFile - HTTP status %ld: redirect to %s not followed, nothing stored", status,
                          location);
            else
                LogFormat(true, "getHTTPFile - HTTP status %ld: not a success, nothing stored", status);
            ok = 0;
        }
    }
    curl_easy_cleanup(curl);

    if (ok && !MoveFileExA(part, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
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
