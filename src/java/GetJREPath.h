// The home folder of an installed Java runtime, as the registry records it
// below HKLM\SOFTWARE\JavaSoft\Java Runtime Environment.
#pragma once

#include <stddef.h>

// Read the home of the runtime named by "CurrentVersion" in the 32-bit (64-bit)
// registry view into home. False, with home untouched, when there is none or
// it does not fit homeSize.
bool GetJRE32BitsPath(char *home, size_t homeSize);
bool GetJRE64BitsPath(char *home, size_t homeSize);
