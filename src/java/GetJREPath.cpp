#include "java/GetJREPath.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "logging/Logging.h"
#include "text/Utf8.h"

static const char jreKey[] = "SOFTWARE\\JavaSoft\\Java Runtime Environment";

static bool openKey(const char *path, REGSAM access, HKEY *key)
{
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key) != ERROR_SUCCESS) {
        LogToFile("GetRegeditValue - error RegOpenKeyEx", true, true);
        return false;
    }
    return true;
}

// Reads a string value into value, in UTF-8, only when it is a terminated
// string that fits valueSize bytes and a Windows path: anything else would be
// cut or overrun. Wide, so that a home outside the ANSI code page is read as
// it is.
static bool readString(HKEY key, const wchar_t *name, char *value, size_t valueSize)
{
    wchar_t data[1024];
    DWORD type = REG_NONE, size = sizeof data;
    const wchar_t *end = NULL;
    if (RegQueryValueExW(key, name, NULL, &type, (BYTE *)data, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ))
        end = wmemchr(data, L'\0', size / sizeof *data);
    char text[UTF8_PATH_SIZE];
    if (!end || end - data >= MAX_PATH || !toUtf8(data, text, sizeof text) || strlen(text) >= valueSize) {
        LogToFile("GetRegeditValue - error RegQueryValueEx", true, true);
        return false;
    }
    memcpy(value, text, strlen(text) + 1);
    return true;
}

// The lookup of one registry view; name heads its log lines.
static bool getJREPath(const char *name, REGSAM view, char *home, size_t homeSize)
{
    const REGSAM access = KEY_READ | view; // 0x20219 (32-bit view), 0x20119 (64-bit view)
    HKEY key;
    if (!openKey(jreKey, access, &key))
        return false;
    char version[16];
    bool ok = readString(key, L"CurrentVersion", version, sizeof version);
    RegCloseKey(key);
    if (!ok)
        return false;

    // Key, backslash and at most 15 characters of version: always fits.
    char subkey[MAX_PATH];
    snprintf(subkey, sizeof subkey, "%s\\%s", jreKey, version);
    LogFormat(true, "%s - tmpKey: %s, %s", name, subkey, version);
    if (!openKey(subkey, access, &key))
        return false;
    char found[UTF8_PATH_SIZE];
    ok = readString(key, L"JavaHome", found, homeSize < sizeof found ? homeSize : sizeof found);
    RegCloseKey(key);
    if (!ok)
        return false;

    memcpy(home, found, strlen(found) + 1);
    LogFormat(true, "%s: %s", name, home);
    return true;
}

bool GetJRE32BitsPath(char *home, size_t homeSize)
{
    return getJREPath("GetJRE32BitsPath", KEY_WOW64_32KEY, home, homeSize);
}

bool GetJRE64BitsPath(char *home, size_t homeSize)
{
    return getJREPath("GetJRE64BitsPath", KEY_WOW64_64KEY, home, homeSize);
}
