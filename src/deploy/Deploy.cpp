#include "deploy/Deploy.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "KovrelVersion.h"
#include "logging/Logging.h"

#define SCHEME_KEY "Software\\Classes\\kovrel"

// What /register writes below HKEY_CURRENT_USER, in the order it is written.
static const struct {
    const char *key;
    const char *name; // NULL: the key's default value
} schemeValues[] = {
    {SCHEME_KEY, NULL},
    {SCHEME_KEY, "URL Protocol"},
    {SCHEME_KEY "\\DefaultIcon", NULL},
    {SCHEME_KEY "\\shell\\open\\command", NULL},
};

// The keys it creates, deepest first, as they must be removed.
static const char *const schemeKeys[] = {
    SCHEME_KEY "\\shell\\open\\command", SCHEME_KEY "\\shell\\open", SCHEME_KEY "\\shell",
    SCHEME_KEY "\\DefaultIcon", SCHEME_KEY,
};

static int failed(const char *what, long error)
{
    char text[256];
    fprintf(stderr, "%s: %s (%ld)\n", what, windowsErrorText((unsigned long)error, text, sizeof text), error);
    return 1;
}

static bool ownPath(char *path, DWORD size)
{
    DWORD n = GetModuleFileNameA(NULL, path, size);
    return n > 0 && n < size;
}

static LONG writeValue(const char *key, const char *name, const char *data)
{
    HKEY h;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExA(h, name, 0, REG_SZ, (const BYTE *)data, (DWORD)strlen(data) + 1);
    RegCloseKey(h);
    return rc;
}

// Removes the values /register writes, then those of its keys that are left
// empty: whatever else stands below the scheme's key stays. Counts in *removed.
static LONG removeScheme(int *removed)
{
    for (const auto &value : schemeValues) {
        HKEY h;
        LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, value.key, 0, KEY_SET_VALUE, &h);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegDeleteValueA(h, value.name);
        RegCloseKey(h);
        if (rc == ERROR_SUCCESS)
            ++*removed;
        else if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
    }
    for (const char *key : schemeKeys) {
        HKEY h;
        LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &h);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        DWORD subkeys = 0, values = 0;
        rc = RegQueryInfoKeyA(h, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (subkeys || values)
            continue;
        if ((rc = RegDeleteKeyA(HKEY_CURRENT_USER, key)) != ERROR_SUCCESS)
            return rc;
        ++*removed;
    }
    return ERROR_SUCCESS;
}

static int registerScheme(void)
{
    char exe[MAX_PATH];
    if (!ownPath(exe, sizeof exe))
        return failed("Could not register kovrel:// links: the path of kovrel.exe is unknown", (long)GetLastError());
    // Both parts quoted, so that a link is always one argument and can add none.
    // The buffers hold a path of MAX_PATH with the quotes and "%1".
    char icon[MAX_PATH + 8], command[MAX_PATH + 8];
    snprintf(icon, sizeof icon, "\"%s\",0", exe);
    snprintf(command, sizeof command, "\"%s\" \"%%1\"", exe);
    const char *data[] = {"URL:Kovrel Protocol", "", icon, command};
    static_assert(sizeof data / sizeof *data == sizeof schemeValues / sizeof *schemeValues, "one per value");
    for (size_t i = 0; i < sizeof data / sizeof *data; ++i) {
        LONG rc = writeValue(schemeValues[i].key, schemeValues[i].name, data[i]);
        if (rc != ERROR_SUCCESS) {
            // Half a registration would show the scheme but start nothing.
            int removed = 0;
            removeScheme(&removed);
            return failed("Could not register kovrel:// links for this user", rc);
        }
    }
    printf("Registered kovrel:// links for this user: %s\n", command);
    return 0;
}

static int unregisterScheme(void)
{
    int removed = 0;
    LONG rc = removeScheme(&removed);
    if (rc != ERROR_SUCCESS)
        return failed("Could not remove the kovrel:// registration of this user", rc);
    puts(removed ? "Removed the kovrel:// registration of this user"
                 : "No kovrel:// registration of this user to remove");
    return 0;
}

// Prints what the executable's own VERSIONINFO resource says.
static int printVersion(void)
{
    char exe[MAX_PATH];
    char info[4096];
    DWORD handle = 0;
    DWORD size = ownPath(exe, sizeof exe) ? GetFileVersionInfoSizeA(exe, &handle) : 0;
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA(exe, 0, sizeof info, info))
        return failed("Could not read the version information of kovrel.exe", (long)GetLastError());

    static const char *const fields[] = {"ProductName", "FileVersion", "ProductVersion"};
    const char *values[3];
    for (int i = 0; i < 3; ++i) {
        char query[64];
        snprintf(query, sizeof query, "\\StringFileInfo\\" KOVREL_VERSION_BLOCK "\\%s", fields[i]);
        void *value = NULL;
        UINT len = 0;
        values[i] = VerQueryValueA(info, query, &value, &len) && value ? (const char *)value : "";
    }
    printf("%s\nFile version:    %s\nProduct version: %s\n", values[0], values[1], values[2]);
    return 0;
}

bool runDeploySwitch(const char *arg, int *exitCode)
{
    static const struct {
        const char *name;
        int (*run)(void);
    } switches[] = {
        {"/register", registerScheme},
        {"/unregister", unregisterScheme},
        {"/version", printVersion},
    };
    for (const auto &s : switches) {
        if (_stricmp(arg, s.name) == 0) {
            *exitCode = s.run();
            return true;
        }
    }
    return false;
}
