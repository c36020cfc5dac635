#include "process/GetUserFromProcess.h"

#include <stdio.h>

#include "UnitTest.h"
#include "logging/Logging.h"

UNITTEST int GetLogonFromToken(HANDLE token, char *user, char *domain);

// A name has at most 255 characters; each caller's buffer holds this many.
static const DWORD nameSize = 256;

HRESULT GetUserFromProcess(DWORD processId, char *user, char *domain)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process)
        return E_FAIL;
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        CloseHandle(process);
        return E_FAIL;
    }
    int found = GetLogonFromToken(token, user, domain);
    CloseHandle(token);
    CloseHandle(process);
    return found ? S_OK : E_FAIL;
}

TOKEN_USER *readTokenUser(HANDLE token)
{
    DWORD length = 0;
    if (GetTokenInformation(token, TokenUser, NULL, 0, &length) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return NULL;
    HANDLE heap = GetProcessHeap();
    TOKEN_USER *info = (TOKEN_USER *)HeapAlloc(heap, 0, length);
    if (info && !GetTokenInformation(token, TokenUser, info, length, &length)) {
        HeapFree(heap, 0, info);
        info = NULL;
    }
    return info;
}

UNITTEST int GetLogonFromToken(HANDLE token, char *user, char *domain)
{
    user[0] = '\0';
    domain[0] = '\0';
    if (!token)
        return 0;

    TOKEN_USER *info = readTokenUser(token);
    if (!info)
        return 0;

    int result = 0;
    char ownUser[nameSize], ownDomain[nameSize];
    DWORD userSize = nameSize, domainSize = nameSize;
    SID_NAME_USE kind;
    if (LookupAccountSidA(NULL, info->User.Sid, ownUser, &userSize, ownDomain, &domainSize, &kind)) {
        snprintf(user, nameSize, "%s", ownUser);
        snprintf(domain, nameSize, "%s", ownDomain);
        result = 1;
    } else if (GetLastError() != ERROR_NONE_MAPPED) {
        // A SID without a name is common (services, logon sessions); anything else is news.
        LogFormat(true, "LookupAccountSid Error %lu", GetLastError());
    }
    HeapFree(GetProcessHeap(), 0, info);
    return result;
}
