// Watches and drives the visible top-level windows of a process, found by its
// executable's name, as a person would see them:
//   window_probe watch NAME SECONDS   every 50 ms, one JSON line per visible
//                                     window: {"t": ms, "class", "title",
//                                     "texts", "progress": [pos, low, high],
//                                     "buttons": [{"text", "visible", "enabled"}]};
//                                     until the process, once seen, is gone;
//                                     first a line {"ready": 1}
//   window_probe press NAME PREFIX SECONDS
//                                     presses the first visible, enabled button
//                                     whose text starts with PREFIX; exit 0
//                                     when pressed, 1 when none came in time
//   window_probe late NAME PREFIX SECONDS
//                                     the same for a button that may be hidden
//                                     or disabled by now: a click that was
//                                     still queued when the program withdrew it
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

static const wchar_t *exeName;
static DWORD processes[64];
static int processCount;

// The ids of the running processes named exeName.
static void findProcesses(void)
{
    processCount = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap, &entry); more && processCount < 64; more = Process32NextW(snap, &entry))
        if (_wcsicmp(entry.szExeFile, exeName) == 0)
            processes[processCount++] = entry.th32ProcessID;
    CloseHandle(snap);
}

static bool ours(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    for (int i = 0; i < processCount; ++i)
        if (processes[i] == pid)
            return true;
    return false;
}

// text as a JSON string, in UTF-8.
static void printString(const wchar_t *text)
{
    putchar('"');
    for (const wchar_t *p = text; *p; ++p) {
        if (*p == L'"' || *p == L'\\')
            printf("\\%c", (char)*p);
        else if (*p < 0x20)
            printf("\\u%04x", (unsigned)*p);
        else {
            char bytes[8];
            int n = WideCharToMultiByte(CP_UTF8, 0, p, 1, bytes, sizeof bytes, NULL, NULL);
            fwrite(bytes, 1, n, stdout);
        }
    }
    putchar('"');
}

// A window's class and text (another process's: WM_GETTEXT is marshalled,
// GetWindowText is not); true when its class is cls.
static bool readControl(HWND hwnd, const wchar_t *cls, wchar_t (&text)[512])
{
    wchar_t name[64];
    GetClassNameW(hwnd, name, 64);
    text[0] = L'\0';
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 512, (LPARAM)text, SMTO_ABORTIFHUNG, 1000, NULL);
    text[511] = L'\0';
    return _wcsicmp(name, cls) == 0;
}

static BOOL CALLBACK reportButton(HWND child, LPARAM param)
{
    bool *firstButton = (bool *)param;
    wchar_t text[512];
    if (readControl(child, L"Button", text)) {
        printf(firstButton[0] ? "" : ", ");
        firstButton[0] = false;
        printf("{\"text\": ");
        printString(text);
        printf(", \"visible\": %d, \"enabled\": %d, \"id\": %d}", IsWindowVisible(child) ? 1 : 0,
               IsWindowEnabled(child) ? 1 : 0, GetDlgCtrlID(child));
    }
    return TRUE;
}

static BOOL CALLBACK reportText(HWND child, LPARAM param)
{
    bool *first = (bool *)param;
    wchar_t text[512];
    if (!readControl(child, L"Static", text))
        return TRUE;
    printf(*first ? "" : ", ");
    *first = false;
    printString(text);
    return TRUE;
}

static DWORD started;

static BOOL CALLBACK reportWindow(HWND hwnd, LPARAM seen)
{
    if (!IsWindowVisible(hwnd) || !ours(hwnd))
        return TRUE;
    ++*(int *)seen;
    wchar_t cls[64], title[512];
    GetClassNameW(hwnd, cls, 64);
    readControl(hwnd, cls, title);
    printf("{\"t\": %lu, \"class\": ", GetTickCount() - started);
    printString(cls);
    printf(", \"title\": ");
    printString(title);
    printf(", \"texts\": [");
    bool first = true;
    EnumChildWindows(hwnd, reportText, (LPARAM)&first);
    printf("], \"progress\": ");
    HWND bar = FindWindowExW(hwnd, NULL, PROGRESS_CLASSW, NULL);
    if (bar) {
        DWORD_PTR pos = 0, low = 0, high = 0;
        SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &pos);
        SendMessageTimeoutW(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 1000, &low);
        SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 1000, &high);
        printf("[%d, %d, %d]", (int)pos, (int)low, (int)high);
    } else {
        printf("null");
    }
    printf(", \"buttons\": [");
    first = true;
    EnumChildWindows(hwnd, reportButton, (LPARAM)&first);
    printf("]}\n");
    return TRUE;
}

struct Press {
    const wchar_t *prefix;
    bool late; // hidden or disabled buttons too
    bool pressed;
};

static BOOL CALLBACK pressIn(HWND child, LPARAM param)
{
    Press *press = (Press *)param;
    wchar_t text[512];
    bool usable = press->late || (IsWindowVisible(child) && IsWindowEnabled(child));
    if (!readControl(child, L"Button", text) || !usable || wcsncmp(text, press->prefix, wcslen(press->prefix)) != 0)
        return TRUE;
    // What a click sends: BN_CLICKED to the parent.
    PostMessageW(GetParent(child), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(child), BN_CLICKED), (LPARAM)child);
    press->pressed = true;
    return FALSE;
}

static BOOL CALLBACK pressWindow(HWND hwnd, LPARAM param)
{
    Press *press = (Press *)param;
    if (IsWindowVisible(hwnd) && ours(hwnd))
        EnumChildWindows(hwnd, pressIn, param);
    return !press->pressed;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: window_probe watch NAME SECONDS | press|late NAME PREFIX SECONDS\n");
        return 2;
    }
    exeName = argv[2];
    started = GetTickCount();
    if (wcscmp(argv[1], L"watch") == 0) {
        DWORD limit = (DWORD)(_wtof(argv[3]) * 1000);
        bool seen = false;
        printf("{\"ready\": 1}\n");
        fflush(stdout);
        while (GetTickCount() - started < limit) {
            findProcesses();
            if (processCount)
                seen = true;
            else if (seen)
                break;
            int windows = 0;
            EnumWindows(reportWindow, (LPARAM)&windows);
            fflush(stdout);
            Sleep(50);
        }
        return 0;
    }
    bool late = wcscmp(argv[1], L"late") == 0;
    if ((late || wcscmp(argv[1], L"press") == 0) && argc == 5) {
        Press press = {argv[3], late, false};
        DWORD limit = (DWORD)(_wtof(argv[4]) * 1000);
        do {
            findProcesses();
            EnumWindows(pressWindow, (LPARAM)&press);
            if (press.pressed)
                return 0;
            Sleep(50);
        } while (GetTickCount() - started < limit);
        return 1;
    }
    fprintf(stderr, "window_probe: unknown command\n");
    return 2;
}
