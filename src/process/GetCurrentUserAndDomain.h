// The Windows account that runs the launcher.
#pragma once

#include <windows.h>

// Fills user and domain with the account of the calling thread (its
// impersonation token when it has one, else the process token). Each size is
// the buffer's capacity in characters on entry and what the account lookup
// leaves there on return. Returns 1 on success, 0 on failure; logs nothing.
int GetCurrentUserAndDomain(char *user, DWORD *userSize, char *domain, DWORD *domainSize);
