#include "java/GetJREPath.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "logging/Logging.h"
#include "rules/javaVersion.h"
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
static bool readQuietly(HKEY key, const char *name, char *value, size_t valueSize)
{
    wchar_t wideName[64], data[1024];
    DWORD type = REG_NONE, size = sizeof data;
    const wchar_t *end = NULL;
    if (toWide(name, wideName, 64) && RegQueryValueExW(key, wideName, NULL, &type, (BYTE *)data, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ))
        end = wmemchr(data, L'\0', size / sizeof *data);
    char text[UTF8_PATH_SIZE];
    if (!end || end - data >= MAX_PATH || !toUtf8(data, text, sizeof text) || strlen(text) >= valueSize)
        return false;
    memcpy(value, text, strlen(text) + 1);
    return true;
}

static bool readString(HKEY key, const char *name, char *value, size_t valueSize)
{
    if (readQuietly(key, name, value, valueSize))
        return true;
    LogToFile("GetRegeditValue - error RegQueryValueEx", true, true);
    return false;
}

// The lookup of one registry view; name heads its log lines.
static bool getJREPath(const char *name, REGSAM view, char *home, size_t homeSize, char *versionOut,
                       size_t versionOutSize)
{
    const REGSAM access = KEY_READ | view; // 0x20219 (32-bit view), 0x20119 (64-bit view)
    HKEY key;
    if (!openKey(jreKey, access, &key))
        return false;
    char version[16];
    bool ok = readString(key, "CurrentVersion", version, sizeof version);
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
    ok = readString(key, "JavaHome", found, homeSize < sizeof found ? homeSize : sizeof found);
    RegCloseKey(key);
    if (!ok)
        return false;

    memcpy(home, found, strlen(found) + 1);
    if (versionOut && versionOutSize > strlen(version))
        memcpy(versionOut, version, strlen(version) + 1);
    LogFormat(true, "%s: %s", name, home);
    return true;
}

bool GetJRE32BitsPath(char *home, size_t homeSize)
{
    return GetJRE32BitsPath(home, homeSize, NULL, 0);
}

bool GetJRE64BitsPath(char *home, size_t homeSize)
{
    return GetJRE64BitsPath(home, homeSize, NULL, 0);
}

bool GetJRE32BitsPath(char *home, size_t homeSize, char *version, size_t versionSize)
{
    return getJREPath("GetJRE32BitsPath", KEY_WOW64_32KEY, home, homeSize, version, versionSize);
}

bool GetJRE64BitsPath(char *home, size_t homeSize, char *version, size_t versionSize)
{
    return getJREPath("GetJRE64BitsPath", KEY_WOW64_64KEY, home, homeSize, version, versionSize);
}

// Where today's installers register a runtime, below HKLM\SOFTWARE: one row a
// place. A "CurrentVersion" place names the version in use, or else its
// newest version subkey counts; at the others every version subkey counts.
// The home is the value named, in the version's subkey and below it, suffix.
static const struct {
    const char *key;
    bool currentVersion;
    const char *suffix;
    const char *value;
} places[] = {
    {"JavaSoft\\JRE", true, "", "JavaHome"},
    {"JavaSoft\\JDK", true, "", "JavaHome"},
    {"Eclipse Adoptium\\JRE", false, "\\hotspot\\MSI", "Path"},
    {"Eclipse Adoptium\\JDK", false, "\\hotspot\\MSI", "Path"},
    {"AdoptOpenJDK\\JRE", false, "\\hotspot\\MSI", "Path"},
    {"AdoptOpenJDK\\JDK", false, "\\hotspot\\MSI", "Path"},
    {"Microsoft\\JDK", false, "\\hotspot\\MSI", "Path"},
    {"Azul Systems\\Zulu", false, "", "InstallationPath"},
};

// Newer first; names without a version last, in the registry's order.
static bool newer(const char *a, const char *b)
{
    JavaVersion x, y;
    bool readA = parseJavaVersion(versionInName(a), &x), readB = parseJavaVersion(versionInName(b), &y);
    return readA && (!readB || compareJavaVersions(&x, &y) > 0);
}

// The version subkeys of key that count, newest first when all count.
static size_t versionNames(HKEY key, bool currentOnly, char (*names)[64], size_t max)
{
    if (currentOnly && readQuietly(key, "CurrentVersion", names[0], sizeof names[0]))
        return 1;
    size_t count = 0;
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name;
        LONG rc = RegEnumKeyExA(key, i, name, &nameSize, NULL, NULL, NULL, NULL);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            break;
        // Insertion into the list kept in order; past max the oldest drop out.
        size_t at = count;
        while (at > 0 && newer(name, names[at - 1]))
            --at;
        if (at >= max)
            continue;
        if (count < max)
            ++count;
        memmove(names[at + 1], names[at], (count - 1 - at) * sizeof names[0]);
        memcpy(names[at], name, sizeof name);
    }
    return currentOnly && count > 1 ? 1 : count;
}

size_t FindRegisteredJava(RegisteredJava *found, size_t max)
{
    static const struct {
        int bits;
        REGSAM view;
    } views[] = {{32, KEY_WOW64_32KEY}, {64, KEY_WOW64_64KEY}};
    size_t count = 0;
    for (const auto &view : views) {
        for (const auto &place : places) {
            char path[MAX_PATH];
            snprintf(path, sizeof path, "SOFTWARE\\%s", place.key);
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view.view, &key) != ERROR_SUCCESS)
                continue;
            char names[16][64];
            size_t n = versionNames(key, place.currentVersion, names, 16);
            for (size_t i = 0; i < n && count < max; ++i) {
                RegisteredJava *java = &found[count];
                char sub[MAX_PATH];
                snprintf(sub, sizeof sub, "%s%s", names[i], place.suffix);
                HKEY versionKey;
                bool ok = RegOpenKeyExA(key, sub, 0, KEY_READ | view.view, &versionKey) == ERROR_SUCCESS;
                if (ok) {
                    ok = readQuietly(versionKey, place.value, java->home, sizeof java->home) && java->home[0];
                    RegCloseKey(versionKey);
                }
                if (!ok) {
                    LogFormat(true, "Java runtime at %s\\%s (%d-bit view): no %s, skipped", place.key, sub,
                              view.bits, place.value);
                    continue;
                }
                java->place = place.key;
                java->bits = view.bits;
                memcpy(java->version, names[i], sizeof java->version);
                ++count;
            }
            RegCloseKey(key);
        }
    }
    return count;
}
