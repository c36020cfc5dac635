#include "process/GetCurrentUserAndDomain.h"

#include "process/GetUserFromProcess.h"

int GetCurrentUserAndDomain(char *user, DWORD *userSize, char *domain, DWORD *domainSize)
{
    // An impersonating thread acts for another account: its token comes first.
    HANDLE token = NULL;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN)
            return 0;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return 0;
    }

    int result = 0;
    TOKEN_USER *info = readTokenUser(token);
    if (info) {
        result = accountOfSid(info->User.Sid, user, *userSize, domain, *domainSize);
        HeapFree(GetProcessHeap(), 0, info);
    }
    CloseHandle(token);
    return result;
}
