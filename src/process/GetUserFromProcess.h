// The Windows account that owns a process.
#pragma once

#include <windows.h>

// Fills user and domain (256 characters each) with the owner of the process
// processId. Returns S_OK, or E_FAIL; when the process or its token cannot be
// opened the buffers are left as they were, after any later failure both are
// empty.
HRESULT GetUserFromProcess(DWORD processId, char *user, char *domain);

// The TokenUser information of token (TOKEN_QUERY access), in a block of the
// process heap that the caller frees with HeapFree; null on any failure,
// including a size query that does not fail as it must.
TOKEN_USER *readTokenUser(HANDLE token);

// The account of sid, in UTF-8, into user and domain (userSize and domainSize
// bytes). 0 with the last error set when it has no name or does not fit.
int accountOfSid(PSID sid, char *user, size_t userSize, char *domain, size_t domainSize);

#ifdef KOVREL_UNITTESTS
// Fills user and domain (256 characters each) with the account of token, which
// needs TOKEN_QUERY access. Returns 1, or 0 with both buffers empty. An account
// lookup that fails for another reason than a SID without a name is logged.
int GetLogonFromToken(HANDLE token, char *user, char *domain);
#endif
