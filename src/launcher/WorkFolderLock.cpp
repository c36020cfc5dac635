#include "launcher/WorkFolderLock.h"

#include <stdio.h>
#include <windows.h>

#include "UnitTest.h"
#include "logging/Logging.h"

UNITTEST void workFolderLockName(const char *workFolder, char *out, size_t outSize)
{
    char longPath[MAX_PATH];
    DWORD n = GetLongPathNameA(workFolder, longPath, sizeof longPath);
    const char *path = n > 0 && n < sizeof longPath ? longPath : workFolder;
    unsigned long long hash = 14695981039346656037ull; // FNV-1a
    for (const unsigned char *p = (const unsigned char *)path; *p; ++p) {
        unsigned char c = *p >= 'a' && *p <= 'z' ? (unsigned char)(*p - 'a' + 'A') : *p;
        hash = (hash ^ c) * 1099511628211ull;
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
