// The home folder of an installed Java runtime, as the registry records it
// below HKLM\SOFTWARE\JavaSoft\Java Runtime Environment.
#pragma once

#include <stddef.h>

// Read the home of the runtime named by "CurrentVersion" in the 32-bit (64-bit)
// registry view into home. False, with home untouched, when there is none or
// it does not fit homeSize.
bool GetJRE32BitsPath(char *home, size_t homeSize);
bool GetJRE64BitsPath(char *home, size_t homeSize);
// The same, with the "CurrentVersion" the home was found under into version.
bool GetJRE32BitsPath(char *home, size_t homeSize, char *version, size_t versionSize);
bool GetJRE64BitsPath(char *home, size_t homeSize, char *version, size_t versionSize);

// A home that one of the other places of the registry names.
struct RegisteredJava {
    const char *place; // the key below HKLM\SOFTWARE
    int bits;          // the registry view it was found in: 32 or 64
    char version[64];  // the version the registry files it under
    char home[3 * 260]; // UTF-8
};

// The homes that today's installers register, place by place in the 32-bit
// view, then in the 64-bit view; several versions of one place newest first.
// A version registered without its home is logged and left out. Returns how
// many were written to found (at most max).
size_t FindRegisteredJava(RegisteredJava *found, size_t max);
