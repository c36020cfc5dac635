#include "text/Utf8.h"

#include <errno.h>
#include <io.h>
#include <share.h>
#include <string.h>
#include <windows.h>

int toWide(const char *utf8, wchar_t *wide, size_t units)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, (int)units);
    if (n <= 0 && units)
        wide[0] = L'\0';
    return n > 0;
}

int toUtf8(const wchar_t *wide, char *utf8, size_t size)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, (int)size, NULL, NULL);
    if (n <= 0 && size)
        utf8[0] = '\0';
    return n > 0;
}

int manifestNameToUtf8(const char *name, char *utf8, size_t size)
{
    static wchar_t wide[32768];
    const int units = sizeof wide / sizeof *wide;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, units) <= 0 &&
        MultiByteToWideChar(CP_ACP, 0, name, -1, wide, units) <= 0) {
        if (size)
            utf8[0] = '\0';
        return 0;
    }
    return toUtf8(wide, utf8, size);
}

size_t wideUnits(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, NULL, 0);
    return n > 0 ? (size_t)n - 1 : (size_t)-1;
}

// A path's wide form; false, with errno and the last error set, when it has none.
static bool widePath(const char *path, wchar_t *wide)
{
    if (toWide(path, wide, MAX_PATH))
        return true;
    errno = EINVAL;
    SetLastError(ERROR_INVALID_NAME);
    return false;
}

static bool wideMode(const char *mode, wchar_t *wide)
{
    return toWide(mode, wide, 8);
}

FILE *openFile(const char *path, const char *mode)
{
    wchar_t name[MAX_PATH], how[8];
    return widePath(path, name) && wideMode(mode, how) ? _wfopen(name, how) : NULL;
}

FILE *openFileShared(const char *path, const char *mode, int share)
{
    wchar_t name[MAX_PATH], how[8];
    return widePath(path, name) && wideMode(mode, how) ? _wfsopen(name, how, share) : NULL;
}

int statFile(const char *path, struct _stat *st)
{
    wchar_t name[MAX_PATH];
    return widePath(path, name) ? _wstat(name, st) : -1;
}

int makeFolder(const char *path)
{
    wchar_t name[MAX_PATH];
    return widePath(path, name) ? _wmkdir(name) : -1;
}

int removeFile(const char *path)
{
    wchar_t name[MAX_PATH];
    return widePath(path, name) ? _wremove(name) : -1;
}

int closeFile(FILE *f)
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

int moveFile(const char *from, const char *to, unsigned long flags)
{
    wchar_t source[MAX_PATH], target[MAX_PATH];
    return widePath(from, source) && widePath(to, target) && MoveFileExW(source, target, flags);
}

void writeText(FILE *stream, const char *text, size_t len)
{
    // What the stream's handle is, looked at again only when it changes.
    enum Kind { CONSOLE, DEVICE, FILE_OR_PIPE };
    static HANDLE known[2];
    static Kind kinds[2];
    int which = stream == stderr;
    HANDLE h = GetStdHandle(which ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode, written;
    if (h != known[which]) {
        known[which] = h;
        kinds[which] = GetConsoleMode(h, &mode) ? CONSOLE : GetFileType(h) == FILE_TYPE_CHAR ? DEVICE : FILE_OR_PIPE;
    }
    static wchar_t wide[16384];
    int units;
    if (kinds[which] == CONSOLE &&
        (units = len ? MultiByteToWideChar(CP_UTF8, 0, text, (int)len, wide, sizeof wide / sizeof *wide) : 0) > 0) {
        fflush(stream);
        WriteConsoleW(h, wide, (DWORD)units, &written, NULL);
    } else if (kinds[which] == DEVICE) {
        // Straight to the handle, a block at a time: on a character device
        // (the null device) the stream would hand the text over byte by byte,
        // and the C library's own write asks the system whether the handle is
        // a console before every call. Each line feed becomes CR LF, as in
        // the descriptor's text mode.
        fflush(stream);
        static char block[4096];
        size_t used = 0;
        for (size_t i = 0; i < len; ++i) {
            if (used + 2 > sizeof block) {
                WriteFile(h, block, (DWORD)used, &written, NULL);
                used = 0;
            }
            if (text[i] == '\n')
                block[used++] = '\r';
            block[used++] = text[i];
        }
        if (used)
            WriteFile(h, block, (DWORD)used, &written, NULL);
    } else {
        fwrite(text, 1, len, stream);
    }
}
