#include "launcher/Link.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <shellapi.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "rules/linkRules.h"
#include "text/Utf8.h"

static int copyLink(const wchar_t *argument, wchar_t *wide, char *utf8)
{
    size_t units = wcslen(argument);
    if (units >= LINK_SIZE) {
        LogFormat(true, "Error: link too long (%u characters, at most %u)", (unsigned)units, (unsigned)LINK_SIZE - 1);
        return 0;
    }
    // Every character shows in the log as the client gets it; each unit takes
    // at most three bytes, so it always fits.
    memcpy(wide, argument, (units + 1) * sizeof *wide);
    toUtf8(argument, utf8, LINK_UTF8_SIZE);
    return 1;
}

int readLink(wchar_t *wide, char *utf8)
{
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) {
        DWORD error = GetLastError();
        char text[256];
        LogFormat(true, "Error reading the command line (CommandLineToArgvW): %lu (%s)", error,
                  windowsErrorText(error, text, sizeof text));
        return 0;
    }
    int ok = 0;
    // The ANSI form held one argument; a character that the code page turns
    // into a quote or a blank can make the wide form hold another number.
    if (count != 2)
        LogFormat(true, "Error: the wide command line holds %d arguments, not one", count - 1);
    else
        ok = copyLink(arguments[1], wide, utf8);
    LocalFree(arguments);
    return ok;
}

// Units of an environment block, its closing empty string included.
static size_t blockUnits(const wchar_t *env)
{
    const wchar_t *p = env;
    while (*p)
        p += wcslen(p) + 1;
    return (size_t)(p - env) + 1;
}

UNITTEST int escapeWideLink(const wchar_t *link, const wchar_t *env, wchar_t *safe, size_t safeSize)
{
    // Without the environment no variable can be ruled out: the check fails closed.
    if (!env) {
        LogFormat(true, "Error launching Java: the environment cannot be read, so the link is refused");
        return 0;
    }
    // The rules work on UTF-8, which holds every character; text that is not
    // valid UTF-16 could not come back unchanged.
    static char text[3 * LINK_SIZE];
    if (!WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, link, -1, text, sizeof text, NULL, NULL)) {
        LogFormat(true, "Error launching Java: the link holds %s",
                  GetLastError() == ERROR_INSUFFICIENT_BUFFER ? "too many characters"
                                                              : "a character that cannot be handed on unchanged");
        return 0;
    }
    int units = (int)blockUnits(env);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, env, units, NULL, 0, NULL, NULL);
    char *block = bytes > 0 ? (char *)malloc(bytes) : NULL;
    if (!block || !WideCharToMultiByte(CP_UTF8, 0, env, units, block, bytes, NULL, NULL)) {
        free(block);
        LogFormat(true, "Error launching Java: the environment cannot be read, so the link is refused");
        return 0;
    }
    static char escaped[4 * LINK_SIZE];
    const char *unsafe = escapeLink(text, block, escaped, sizeof escaped);
    free(block);
    int needed = unsafe ? 0 : MultiByteToWideChar(CP_UTF8, 0, escaped, -1, NULL, 0);
    if (!unsafe && (needed <= 0 || (size_t)needed > safeSize))
        unsafe = "too many characters";
    if (unsafe) {
        LogFormat(true, "Error launching Java: the link holds %s", unsafe);
        return 0;
    }
    MultiByteToWideChar(CP_UTF8, 0, escaped, -1, safe, needed);
    return 1;
}

int prepareLink(const wchar_t *link, wchar_t *safe, size_t safeSize)
{
    wchar_t *env = GetEnvironmentStringsW();
    int ok = escapeWideLink(link, env, safe, safeSize);
    if (env)
        FreeEnvironmentStringsW(env);
    return ok;
}
