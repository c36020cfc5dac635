#include "launcher/WorkFolderLock.h"

#include <stdio.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "text/Utf8.h"

UNITTEST void workFolderLockName(const char *workFolder, char *out, size_t outSize)
{
    // The wide long path: what the ANSI code page cannot hold still counts.
    // An ASCII character counts as one byte, so such a path keeps the name it
    // had when paths were hashed in ANSI.
    wchar_t wide[MAX_PATH], longPath[MAX_PATH];
    toWide(workFolder, wide, MAX_PATH);
    DWORD n = GetLongPathNameW(wide, longPath, MAX_PATH);
    const wchar_t *path = n > 0 && n < MAX_PATH ? longPath : wide;
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const wchar_t *p = path; *p; ++p) {
        wchar_t c = *p >= L'a' && *p <= L'z' ? (wchar_t)(*p - L'a' + L'A') : *p;
        hash = (hash ^ (c & 0xFF)) * 1099511628211ull;
        if (c > 0x7F)
            hash = (hash ^ (c >> 8)) * 1099511628211ull;
    }
    snprintf(out, outSize, "Local\\Kovrel-%08lx%08lx", (unsigned long)(hash >> 32), (unsigned long)hash);
}

static void logError(const char *call)
{
    DWORD error = GetLastError();
    char text[256];
    LogFormat(true, "lockWorkFolder - %s failed: %lu (%s)", call, error, windowsErrorText(error, text, sizeof text));
}

int lockWorkFolder(const char *workFolder, unsigned waitSeconds, HANDLE *held)
{
    char name[64];
    workFolderLockName(workFolder, name, sizeof name);
    HANDLE mutex = CreateMutexA(NULL, FALSE, name);
    if (!mutex) {
        logError("CreateMutex");
        return 0;
    }
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        LogFormat(true, "lockWorkFolder - another launcher works in the folder: waiting for it, at most %u seconds",
                  waitSeconds);
        waited = WaitForSingleObject(mutex, waitSeconds * 1000);
        if (waited == WAIT_OBJECT_0)
            LogFormat(true, "lockWorkFolder - the other launcher is done: the folder is free");
    }
    if (waited == WAIT_ABANDONED) {
        LogFormat(true, "lockWorkFolder - a launcher ended without releasing the folder: taken over");
        waited = WAIT_OBJECT_0;
    }
    if (waited != WAIT_OBJECT_0) {
        if (waited == WAIT_TIMEOUT)
            LogFormat(true, "lockWorkFolder - another launcher still works in the folder after %u seconds: "
                            "nothing is started", waitSeconds);
        else
            logError("WaitForSingleObject");
        CloseHandle(mutex);
        return 0;
    }
    *held = mutex;
    return 1;
}

void unlockWorkFolder(HANDLE *held)
{
    if (!*held)
        return;
    ReleaseMutex(*held);
    CloseHandle(*held);
    *held = NULL;
}
