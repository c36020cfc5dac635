#include "policy/Policy.h"

#include <string.h>
#include <windows.h>

Policy defaultPolicy(void)
{
    return Policy{30, 60, 300};
}

Policy gPolicy = defaultPolicy();

unsigned policySeconds(unsigned long type, const void *data, unsigned long size, unsigned fallback)
{
    if (type != REG_DWORD || size != sizeof(DWORD) || !data)
        return fallback;
    DWORD value;
    memcpy(&value, data, sizeof value);
    return value >= 1 && value <= POLICY_MAX_SECONDS ? (unsigned)value : fallback;
}

static void readSeconds(HKEY key, const char *name, unsigned *field)
{
    BYTE data[8];
    DWORD type = REG_NONE, size = sizeof data;
    if (RegQueryValueExA(key, name, NULL, &type, data, &size) != ERROR_SUCCESS)
        return;
    *field = policySeconds(type, data, size, *field);
}

void ReadPolicy(Policy *policy)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, POLICY_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    readSeconds(key, "ConnectTimeoutSeconds", &policy->connectTimeoutSeconds);
    readSeconds(key, "StallTimeoutSeconds", &policy->stallTimeoutSeconds);
    readSeconds(key, "LockWaitSeconds", &policy->lockWaitSeconds);
    RegCloseKey(key);
}
