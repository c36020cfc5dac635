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

int LogToFile(const char *text, bool echo, bool newline)
{
    // By its wide name: the user's folder may hold what the ANSI code page cannot.
    wchar_t path[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, path);
    if (n == 0 || n >= MAX_PATH) {
        fprintf(stderr, "LogToFile - Error getting temporary directory (GetTempPath): %d (%s) %d\n",
                errno, strerror(errno), (int)n);
        return 0;
    }
    // A temporary folder too long for the file name can only fail to open.
    if (n + wcslen(L"\\Kovrel.log") >= MAX_PATH) {
        errno = ENAMETOOLONG;
        fprintf(stderr, "LogToFile - fopen failed: %d (%s)\n", errno, strerror(errno));
        return 0;
    }
    wcscpy(path + n, L"\\Kovrel.log");
    FILE *f = _wfopen(path, L"a");
    if (!f) {
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

    // The file in UTF-8, as the program holds its text.
    fputs(line, f);
    if (echo)
        writeText(stdout, line, len);
    fclose(f);
    return 1;
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
