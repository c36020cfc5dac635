#include "update/replaceFile.h"

#include <windows.h>

#include "logging/Logging.h"
#include "text/Utf8.h"

static const DWORD retryStepMs = 100;

// What a file held open by another process gives, as long as it is held.
static bool transient(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

int replaceFile(const char *from, const char *to, const char *caller)
{
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (moveFile(from, to, flags))
        return 1;
    DWORD error = GetLastError();
    if (!transient(error))
        return 0;
    char text[256];
    LogFormat(true, "%s - MoveFileEx: %lu (%s : %s), retrying for up to %d ms", caller, error,
              windowsErrorText(error, text, sizeof text), to, REPLACE_RETRY_MS);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < REPLACE_RETRY_MS) {
        Sleep(retryStepMs);
        if (moveFile(from, to, flags))
            return 1;
        error = GetLastError();
        if (!transient(error))
            break;
    }
    SetLastError(error);
    return 0;
}
