#include "launcher/GetWindowsVersion.h"

#include "UnitTest.h"

UNITTEST void splitVersionWord(DWORD word, DWORD *major, DWORD *minor, DWORD *build)
{
    *major = word & 0xFF;
    *minor = (word >> 8) & 0xFF;
    if (!(word & 0x80000000))
        *build = word >> 16;
}

void GetWindowsVersion(DWORD *major, DWORD *minor, DWORD *build)
{
    splitVersionWord(GetVersion(), major, minor, build);
}
