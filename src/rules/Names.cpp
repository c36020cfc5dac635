#include "rules/Rules.h"

#include <string.h>

static char upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// text[0..length) equals word (ASCII capitals) whatever its case.
static bool sameWord(const char *text, size_t length, const char *word)
{
    if (strlen(word) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (upper(text[i]) != word[i])
            return false;
    return true;
}

// A digit as Windows reads it after COM or LPT: 0-9, or the superscripts
// 1-3 as one byte of the ANSI code page or as UTF-8. Returns its bytes, 0 if none.
static size_t portDigit(const unsigned char *p, size_t length)
{
    if (length >= 1 && p[0] >= '0' && p[0] <= '9')
        return 1;
    if (length >= 1 && (p[0] == 0xB9 || p[0] == 0xB2 || p[0] == 0xB3))
        return 1;
    if (length >= 2 && p[0] == 0xC2 && (p[1] == 0xB9 || p[1] == 0xB2 || p[1] == 0xB3))
        return 2;
    return 0;
}

bool isDeviceName(const char *name, size_t length)
{
    // Windows looks at the name before its first dot, without trailing blanks.
    size_t n = 0;
    while (n < length && name[n] != '.' && name[n] != ':')
        ++n;
    while (n > 0 && name[n - 1] == ' ')
        --n;
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : devices)
        if (sameWord(name, n, device))
            return true;
    if (n >= 4 && (sameWord(name, 3, "COM") || sameWord(name, 3, "LPT")))
        return portDigit((const unsigned char *)name + 3, n - 3) == n - 3;
    return false;
}

bool isOwnName(const char *name, size_t length)
{
    // Windows drops trailing dots and blanks from a name.
    while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
        --length;
    return sameWord(name, length, "FCOMPARE.INI") || sameWord(name, length, "FCOMPARE.NEW") ||
           (length >= 5 && sameWord(name + length - 5, 5, ".PART"));
}
