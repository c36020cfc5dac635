#include "deploy/Deploy.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "KovrelVersion.h"
#include "logging/Logging.h"

// Everything that holds a path goes through the wide API: a folder outside the
// ANSI code page must be written and read back as it is.
#define SCHEME_KEY L"Software\\Classes\\kovrel"
#define COMMAND_KEY SCHEME_KEY L"\\shell\\open\\command"

// What /register writes below HKEY_CURRENT_USER, in the order it is written.
static const struct {
    const wchar_t *key;
    const wchar_t *name; // NULL: the key's default value
} schemeValues[] = {
    {SCHEME_KEY, NULL},
    {SCHEME_KEY, L"URL Protocol"},
    {SCHEME_KEY L"\\DefaultIcon", NULL},
    {COMMAND_KEY, NULL},
};

// The keys it creates, deepest first, as they must be removed.
static const wchar_t *const schemeKeys[] = {
    COMMAND_KEY, SCHEME_KEY L"\\shell\\open", SCHEME_KEY L"\\shell", SCHEME_KEY L"\\DefaultIcon", SCHEME_KEY,
};

// A command read back: one /register writes is at most MAX_PATH + 7 long.
#define COMMAND_UNITS (2 * MAX_PATH)
// Such a command in UTF-8 (up to 3 bytes a unit), with the words around it.
#define TEXT_SIZE (3 * COMMAND_UNITS + 256)

static int failed(const char *what, long error)
{
    char text[256];
    fprintf(stderr, "%s: %s (%ld)\n", what, windowsErrorText((unsigned long)error, text, sizeof text), error);
    return 1;
}

// Prints a line of UTF-8 text: as wide characters to a console, whose code
// page may not hold the path, and as the bytes themselves to a file or pipe.
static void say(FILE *stream, const char *text)
{
    static wchar_t wide[TEXT_SIZE];
    HANDLE h = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode, written;
    int units;
    if (GetConsoleMode(h, &mode) && (units = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, TEXT_SIZE)) > 0) {
        fflush(stream);
        WriteConsoleW(h, wide, (DWORD)units - 1, &written, NULL);
        WriteConsoleW(h, L"\r\n", 2, &written, NULL);
    } else {
        fprintf(stream, "%s\n", text);
    }
}

// wide as UTF-8 into out; "?" when it does not fit.
static void utf8(const wchar_t *wide, char *out, int size)
{
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, size, NULL, NULL) <= 0)
        snprintf(out, (size_t)size, "?");
}

static bool ownPath(wchar_t *path, DWORD units)
{
    DWORD n = GetModuleFileNameW(NULL, path, units);
    return n > 0 && n < units;
}

static LONG writeValue(const wchar_t *key, const wchar_t *name, const wchar_t *data)
{
    HKEY h;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, NULL, 0, KEY_SET_VALUE, NULL, &h, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(h, name, 0, REG_SZ, (const BYTE *)data, (DWORD)((wcslen(data) + 1) * sizeof *data));
    RegCloseKey(h);
    return rc;
}

// Removes the values /register writes, then those of its keys that are left
// empty: whatever else stands below the scheme's key stays.
static LONG removeScheme(void)
{
    for (const auto &value : schemeValues) {
        HKEY h;
        LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, value.key, 0, KEY_SET_VALUE, &h);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegDeleteValueW(h, value.name);
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return rc;
    }
    for (const wchar_t *key : schemeKeys) {
        HKEY h;
        LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &h);
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        DWORD subkeys = 0, values = 0;
        rc = RegQueryInfoKeyW(h, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS)
            return rc;
        if (subkeys || values)
            continue;
        if ((rc = RegDeleteKeyW(HKEY_CURRENT_USER, key)) != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

enum Owner { OWNER_NONE, OWNER_THIS, OWNER_OTHER };

// Whose the registered open command is: nobody's (no command, or an empty
// one), this kovrel.exe's, or another program's. Its program is the text in
// its leading quotes, or up to the first blank when it has none; the path is
// compared ignoring case, as Windows names are. The command goes to text.
static LONG commandOwner(const wchar_t *exe, Owner *owner, char *text, int textSize)
{
    static wchar_t command[COMMAND_UNITS];
    HKEY h;
    LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, COMMAND_KEY, 0, KEY_QUERY_VALUE, &h);
    if (rc == ERROR_FILE_NOT_FOUND) {
        *owner = OWNER_NONE;
        return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD type = REG_NONE, size = sizeof command - sizeof *command;
    rc = RegQueryValueExW(h, NULL, NULL, &type, (BYTE *)command, &size);
    RegCloseKey(h);
    command[rc == ERROR_SUCCESS ? size / sizeof *command : 0] = L'\0';
    if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && !command[0])) {
        *owner = OWNER_NONE;
        return ERROR_SUCCESS;
    }
    // Longer than any command /register writes, or no text: not this one's.
    if (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)) {
        snprintf(text, (size_t)textSize, "(a value of type %lu, %lu bytes)", type, size);
        *owner = OWNER_OTHER;
        return ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    utf8(command, text, textSize);
    const wchar_t *program = command[0] == L'"' ? command + 1 : command;
    size_t length = wcscspn(program, command[0] == L'"' ? L"\"" : L" \t");
    bool same = CompareStringOrdinal(program, (int)length, exe, -1, TRUE) == CSTR_EQUAL;
    *owner = same ? OWNER_THIS : OWNER_OTHER;
    return ERROR_SUCCESS;
}

static int registerScheme(void)
{
    wchar_t exe[MAX_PATH];
    char text[TEXT_SIZE], line[TEXT_SIZE + 128];
    if (!ownPath(exe, MAX_PATH))
        return failed("Could not register kovrel:// links: the path of kovrel.exe is unknown", (long)GetLastError());
    // The shell puts the link where "%1" stands and reads %L, %*, %2 and more
    // the same way; some starters expand %NAME% too. No quoting keeps a "%" in
    // the path as it is, so such a path is never written.
    if (wcschr(exe, L'%')) {
        utf8(exe, text, sizeof text);
        snprintf(line, sizeof line, "Could not register kovrel:// links: the path of kovrel.exe holds \"%%\", which "
                 "the shell would take for an argument or a variable: %s", text);
        say(stderr, line);
        return 1;
    }
    // Both parts quoted, so that a link is always one argument and can add none.
    // The buffers hold a path of MAX_PATH with the quotes and "%1".
    wchar_t icon[MAX_PATH + 8], command[MAX_PATH + 8];
    swprintf(icon, sizeof icon / sizeof *icon, L"\"%ls\",0", exe);
    swprintf(command, sizeof command / sizeof *command, L"\"%ls\" \"%%1\"", exe);
    const wchar_t *data[] = {L"URL:Kovrel Protocol", L"", icon, command};
    static_assert(sizeof data / sizeof *data == sizeof schemeValues / sizeof *schemeValues, "one per value");
    for (size_t i = 0; i < sizeof data / sizeof *data; ++i) {
        LONG rc = writeValue(schemeValues[i].key, schemeValues[i].name, data[i]);
        if (rc != ERROR_SUCCESS) {
            // Half a registration would show the scheme but start nothing.
            removeScheme();
            return failed("Could not register kovrel:// links for this user", rc);
        }
    }
    utf8(command, text, sizeof text);
    snprintf(line, sizeof line, "Registered kovrel:// links for this user: %s", text);
    say(stdout, line);
    return 0;
}

// Removes the registration only when its command opens this kovrel.exe: the
// scheme may be another program's, or another copy's, which is not this one's
// to take away.
static int unregisterScheme(void)
{
    wchar_t exe[MAX_PATH];
    char text[TEXT_SIZE], line[TEXT_SIZE + 128];
    Owner owner = OWNER_NONE;
    if (!ownPath(exe, MAX_PATH))
        return failed("Could not remove the kovrel:// registration of this user: the path of kovrel.exe is unknown",
                      (long)GetLastError());
    LONG rc = commandOwner(exe, &owner, text, sizeof text);
    if (rc == ERROR_SUCCESS && owner == OWNER_THIS)
        rc = removeScheme();
    if (rc != ERROR_SUCCESS)
        return failed("Could not remove the kovrel:// registration of this user", rc);
    if (owner == OWNER_OTHER) {
        snprintf(line, sizeof line, "Left the kovrel:// registration of this user as it is: it opens a program "
                 "other than this kovrel.exe: %s", text);
        say(stderr, line);
        return 1;
    }
    puts(owner == OWNER_THIS ? "Removed the kovrel:// registration of this user"
                             : "No kovrel:// registration of this user to remove");
    return 0;
}

// Prints what the executable's own VERSIONINFO resource says.
static int printVersion(void)
{
    wchar_t exe[MAX_PATH];
    char info[4096];
    DWORD handle = 0;
    DWORD size = ownPath(exe, MAX_PATH) ? GetFileVersionInfoSizeW(exe, &handle) : 0;
    if (size == 0 || size > sizeof info || !GetFileVersionInfoW(exe, 0, sizeof info, info))
        return failed("Could not read the version information of kovrel.exe", (long)GetLastError());

    static const wchar_t *const queries[] = {
        L"\\StringFileInfo\\" KOVREL_VERSION_BLOCK L"\\ProductName",
        L"\\StringFileInfo\\" KOVREL_VERSION_BLOCK L"\\FileVersion",
        L"\\StringFileInfo\\" KOVREL_VERSION_BLOCK L"\\ProductVersion",
    };
    char values[3][128];
    for (int i = 0; i < 3; ++i) {
        void *value = NULL;
        UINT len = 0;
        values[i][0] = '\0';
        if (VerQueryValueW(info, queries[i], &value, &len) && value)
            utf8((const wchar_t *)value, values[i], sizeof values[i]);
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
