#include "process/GetCurrentUserAndDomain.h"

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
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenUser, NULL, 0, &length) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        HANDLE heap = GetProcessHeap();
        TOKEN_USER *info = (TOKEN_USER *)HeapAlloc(heap, 0, length);
        if (info) {
            SID_NAME_USE kind;
            if (GetTokenInformation(token, TokenUser, info, length, &length) &&
                LookupAccountSidA(NULL, info->User.Sid, user, userSize, domain, domainSize, &kind))
                result = 1;
            HeapFree(heap, 0, info);
        }
    }
    CloseHandle(token);
    return result;
}
