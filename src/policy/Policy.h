// The administrator settings: values under HKLM\SOFTWARE\Policies\Kovrel,
// read once at the start of a run and handed to the rest as plain values.
// The key is shared by the 32-bit and 64-bit registry views.
#pragma once

#define POLICY_KEY "SOFTWARE\\Policies\\Kovrel"

// Longest wait or limit an administrator may set; larger values are taken as
// mistakes and the default applies.
#define POLICY_MAX_SECONDS 3600u

struct Policy {
    unsigned connectTimeoutSeconds; // ConnectTimeoutSeconds: connection set-up
    unsigned stallTimeoutSeconds;   // StallTimeoutSeconds: window in which 1 KiB must arrive
    unsigned lockWaitSeconds;       // LockWaitSeconds: wait for another launcher of the folder
};

// The settings in force: the defaults until ReadPolicy replaces them.
extern Policy gPolicy;

// The defaults, as a build sets them.
Policy defaultPolicy(void);

// Reads the administrator key over policy; a value that is missing or
// unusable leaves the field as it was.
void ReadPolicy(Policy *policy);

// A seconds value from raw registry data: a REG_DWORD of 1 to
// POLICY_MAX_SECONDS; anything else (missing, zero, huge, another type or
// size) gives fallback.
unsigned policySeconds(unsigned long type, const void *data, unsigned long size, unsigned fallback);
