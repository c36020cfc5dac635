#include "process/GetUserFromProcess.h"

#include <stdio.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "text/Utf8.h"

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

int accountOfSid(PSID sid, char *user, size_t userSize, char *domain, size_t domainSize)
{
    // Wide, then UTF-8: two names beyond the ANSI code page would otherwise
    // both read as question marks, and pass for one account.
    wchar_t wideUser[nameSize], wideDomain[nameSize];
    DWORD userUnits = nameSize, domainUnits = nameSize;
    SID_NAME_USE kind;
    if (!LookupAccountSidW(NULL, sid, wideUser, &userUnits, wideDomain, &domainUnits, &kind))
        return 0;
    char ownUser[3 * nameSize], ownDomain[3 * nameSize];
    if (!toUtf8(wideUser, ownUser, sizeof ownUser) || !toUtf8(wideDomain, ownDomain, sizeof ownDomain) ||
        strlen(ownUser) >= userSize || strlen(ownDomain) >= domainSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(user, ownUser, strlen(ownUser) + 1);
    memcpy(domain, ownDomain, strlen(ownDomain) + 1);
    return 1;
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

    int result = accountOfSid(info->User.Sid, user, nameSize, domain, nameSize);
    // A SID without a name is common (services, logon sessions); anything else is news.
    if (!result && GetLastError() != ERROR_NONE_MAPPED)
        LogFormat(true, "LookupAccountSid Error %lu", GetLastError());
    HeapFree(GetProcessHeap(), 0, info);
    return result;
}
