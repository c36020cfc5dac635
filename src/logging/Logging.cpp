#include "logging/Logging.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <windows.h>

#include "rules/linkRules.h"
#include "text/Utf8.h"

char logmsg[16384];

// The log stays open for the run: opening it for every line cost more than
// the whole check of a large manifest. It is opened again when the
// temporary folder changes or, looked at once a second, the file was
// removed; it is shared for deletion so that nothing else is kept from
// removing it. Every line is handed to the system before LogToFile returns,
// so it is in the file for the next step and for anyone who reads the log,
// whatever becomes of the program.
static HANDLE gLog = INVALID_HANDLE_VALUE;
static wchar_t gLogPath[MAX_PATH];
static DWORD gLogLookedAt;
// The last write to gLog went out cut (a full disk): the next line starts on a
// line of its own, so that it is not read as the end of the cut one.
static bool gLogCut;

static bool logGone(void)
{
    BY_HANDLE_FILE_INFORMATION info;
    return !GetFileInformationByHandle(gLog, &info) || info.nNumberOfLinks == 0;
}

// The log file, open for appending; INVALID_HANDLE_VALUE with errno set when
// it cannot be had.
static HANDLE openLog(const wchar_t *path)
{
    DWORD now = GetTickCount();
    bool lookAgain = now - gLogLookedAt >= 1000;
    if (lookAgain)
        gLogLookedAt = now;
    if (gLog != INVALID_HANDLE_VALUE && (wcscmp(path, gLogPath) != 0 || (lookAgain && logGone()))) {
        CloseHandle(gLog);
        gLog = INVALID_HANDLE_VALUE;
    }
    if (gLog == INVALID_HANDLE_VALUE) {
        gLog = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD error = GetLastError();
        if (gLog == INVALID_HANDLE_VALUE)
            errno = error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? ENOENT
                    : error == ERROR_ACCESS_DENIED                                 ? EACCES
                                                                                   : EINVAL;
        else
            wcscpy_s(gLogPath, MAX_PATH, path);
        gLogCut = false;
    }
    return gLog;
}

int logFilePath(wchar_t *path, unsigned long *tempUnits)
{
    // By its wide name: the user's folder may hold what the ANSI code page cannot.
    DWORD n = GetTempPathW(MAX_PATH, path);
    if (tempUnits)
        *tempUnits = n;
    if (n == 0 || n >= MAX_PATH)
        return -1;
    // A temporary folder too long for the file name can only fail to open.
    if (n + wcslen(L"\\Kovrel.log") >= MAX_PATH)
        return 0;
    wcscpy_s(path + n, MAX_PATH - n, L"Kovrel.log");
    return 1;
}

int LogToFile(const char *text, bool echo, bool newline)
{
    wchar_t path[MAX_PATH];
    unsigned long n = 0;
    int found = logFilePath(path, &n);
    if (found < 0) {
        fprintf(stderr, "LogToFile - Error getting temporary directory (GetTempPath): %d (%s) %d\n", errno,
                strerror(errno), (int)n);
        return 0;
    }
    if (!found) {
        errno = ENAMETOOLONG;
        fprintf(stderr, "LogToFile - fopen failed: %d (%s)\n", errno, strerror(errno));
        return 0;
    }
    HANDLE f = openLog(path);
    if (f == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "LogToFile - fopen failed: %d (%s)\n", errno, strerror(errno));
        return 0;
    }

    // An over-long text is cut so that the line feed still fits. No password
    // of a link or URL reaches the log.
    static char line[16384];
    size_t len = redactPasswords(text, line, sizeof line - (newline ? 1 : 0));
    if (newline)
        line[len++] = '\n';
    line[len] = '\0';

    // The file in UTF-8, as the program holds its text, with CR LF line ends.
    static char out[2 * sizeof line];
    size_t outLen = 0;
    if (gLogCut) {
        out[outLen++] = '\r';
        out[outLen++] = '\n';
    }
    for (size_t i = 0; i < len; ++i) {
        if (line[i] == '\n')
            out[outLen++] = '\r';
        out[outLen++] = line[i];
    }
    DWORD written = 0;
    // A write that goes out short reports no error of its own: the disk is full.
    DWORD error = !WriteFile(f, out, (DWORD)outLen, &written, NULL) ? GetLastError()
                  : written < outLen                              ? ERROR_DISK_FULL
                                                                  : 0;
    if (written)
        gLogCut = error != 0;
    if (echo)
        writeText(stdout, line, len);
    if (!error)
        return 1;
    char why[256];
    fprintf(stderr, "LogToFile - WriteFile failed: %lu (%s), %lu of %lu bytes written\n", error,
            windowsErrorText(error, why, sizeof why), written, (unsigned long)outLen);
    return 0;
}

int LogTime(const char *text, bool echo)
{
    char stamp[20] = "";
    time_t now = time(NULL);
    const struct tm *local = localtime(&now);
    if (local)
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);

    // text may be logmsg itself: compose apart, then copy back.
    static char line[sizeof logmsg];
    snprintf(line, sizeof line, "%s - Time:  %s", text, stamp);
    memcpy(logmsg, line, sizeof logmsg);
    return LogToFile(logmsg, echo, true);
}

char *cleanErrorText(char *text)
{
    // Bytes of 128 and above are letters of a localised system, not control characters.
    size_t n = 0;
    while (text[n] && ((unsigned char)text[n] >= 32 || text[n] == '\t'))
        ++n;
    text[n] = '\0';
    while (n > 0 && (text[n - 1] == '.' || text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = '\0';
    return text;
}

const char *windowsErrorText(unsigned long error, char *out, size_t size)
{
    DWORD last = GetLastError();
    // Wide, then UTF-8 like every line of the log: a localised system's text
    // may hold letters beyond the ANSI code page.
    wchar_t text[1024];
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0x400, text,
                        sizeof text / sizeof *text, NULL) ||
        !toUtf8(text, out, size))
        out[0] = '\0';
    SetLastError(last);
    return cleanErrorText(out);
}

int LogFormat(bool echo, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(logmsg, sizeof logmsg, format, args);
    va_end(args);
    return LogToFile(logmsg, echo, true);
}
