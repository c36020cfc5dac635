#include "logging/Logging.h"

#include <errno.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <windows.h>

#include "rules/linkRules.h"

char logmsg[16384];

int LogToFile(const char *text, bool echo, bool newline)
{
    char path[MAX_PATH];
    DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n >= sizeof path) {
        fprintf(stderr, "LogToFile - Error getting temporary directory (GetTempPath): %d (%s) %d\n",
                errno, strerror(errno), (int)n);
        return 0;
    }
    // A temporary folder too long for the file name can only fail to open.
    if (snprintf(path + n, sizeof path - n, "\\Kovrel.log") >= (int)(sizeof path - n)) {
        errno = ENAMETOOLONG;
        fprintf(stderr, "LogToFile - fopen failed: %d (%s)\n", errno, strerror(errno));
        return 0;
    }
    FILE *f = fopen(path, "a");
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

    fputs(line, f);
    // One write for the line: on a character device (a console, the null
    // device) the stream would hand it over byte by byte. The descriptor's
    // text mode still turns each line feed into CR LF.
    if (echo)
        _write(_fileno(stdout), line, (unsigned)len);
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
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0x400, out,
                        (DWORD)size, NULL))
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
