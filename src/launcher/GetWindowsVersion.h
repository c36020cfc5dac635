// The operating system's version number, split for the log's "Windows:" line.
#pragma once

#include <windows.h>

void GetWindowsVersion(DWORD *major, DWORD *minor, DWORD *build);

#ifdef KOVREL_UNITTESTS
// Splits a version word as GetVersion returns it: major in bits 0-7, minor in
// bits 8-15, build in bits 16-31, written only when bit 31 is clear.
void splitVersionWord(DWORD word, DWORD *major, DWORD *minor, DWORD *build);
#endif
