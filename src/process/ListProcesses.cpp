#include "process/ListProcesses.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <tlhelp32.h>

#include "UnitTest.h"
#include "logging/Logging.h"
#include "process/GetCurrentUserAndDomain.h"
#include "process/GetUserFromProcess.h"
#include "process/ProcessCommandLine.h"

NtQueryInformationProcessFn gNtQueryInformationProcess;
NtWow64QueryInformationProcess64Fn gNtWow64QueryInformationProcess64;
NtWow64ReadVirtualMemory64Fn gNtWow64ReadVirtualMemory64;

// The pre-Vista all-access mask: the later 0x1FFFFF is refused by older systems.
static const DWORD examineAccess = 0x1F0FFF;
// Long enough for a client to release its files, short enough not to stall the update.
static const DWORD terminationWaitMs = 3000;
// A command line is converted into 32767 bytes of text and a terminator; at
// most 32766 bytes of UTF-16 (16383 units) are converted.
static const size_t commandLineSize = 32768;
static const ULONG convertedBytesMax = 32766;
static const size_t searchTextSize = 32767;

static const char equalsRule[] = "=====================================================";
static const char hyphenRule[] = "-------------------------------------------------------";
static_assert(sizeof equalsRule == 54 && sizeof hyphenRule == 56, "report rules");
static_assert(sizeof(PROCESSENTRY32) == 296, "the ANSI snapshot entry");

UNITTEST void printError(const char *subject)
{
    DWORD error = GetLastError();
    char text[256];
    LogFormat(false, "\nWARNING: %s failed with error %lu (%s)", subject, error,
              windowsErrorText(error, text, sizeof text));
    SetLastError(error);
}

UNITTEST int sm_EnableTokenPrivilege(const char *privilege)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        printError("sm_EnableTokenPrivilege - OpenProcessToken");
        return 0;
    }
    int result = 0;
    TOKEN_PRIVILEGES privileges = {};
    if (LookupPrivilegeValueA(NULL, privilege, &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // A privilege the account lacks still gives TRUE: only the last error tells.
        SetLastError(ERROR_SUCCESS);
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        if (GetLastError() == ERROR_SUCCESS)
            result = 1;
        else
            printError("sm_EnableTokenPrivilege - AdjustTokenPrivileges");
    }
    CloseHandle(token);
    return result;
}

UNITTEST HMODULE sm_LoadNTDLLFunctions(void)
{
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    if (!ntdll)
        return NULL;
    // Through a plain function pointer type: GetProcAddress's own type is a lie anyway.
    gNtQueryInformationProcess =
        (NtQueryInformationProcessFn)(void (*)(void))GetProcAddress(ntdll, "NtQueryInformationProcess");
    if (!gNtQueryInformationProcess) {
        FreeLibrary(ntdll);
        return NULL;
    }
    // Present only in the ntdll of a 32-bit process on 64-bit Windows.
    gNtWow64QueryInformationProcess64 = (NtWow64QueryInformationProcess64Fn)(void (*)(void))GetProcAddress(
        ntdll, "NtWow64QueryInformationProcess64");
    gNtWow64ReadVirtualMemory64 =
        (NtWow64ReadVirtualMemory64Fn)(void (*)(void))GetProcAddress(ntdll, "NtWow64ReadVirtualMemory64");
    return ntdll;
}

UNITTEST void sm_FreeNTDLLFunctions(HMODULE ntdll)
{
    if (ntdll)
        FreeLibrary(ntdll);
    gNtQueryInformationProcess = NULL;
    gNtWow64QueryInformationProcess64 = NULL;
    gNtWow64ReadVirtualMemory64 = NULL;
}

UNITTEST int waitForProcessEnd(HANDLE process, DWORD processId, DWORD milliseconds)
{
    DWORD waited = WaitForSingleObject(process, milliseconds);
    if (waited == WAIT_OBJECT_0)
        return 1;
    if (waited == WAIT_FAILED)
        printError("WaitForSingleObject");
    else
        LogFormat(false, "TerminateMyProcess - process %lu has not ended after %lu ms", processId,
                  milliseconds);
    return 0;
}

UNITTEST int terminateOpened(HANDLE process, DWORD processId, DWORD exitCode, bool canWait)
{
    // A process that was not terminated is not waited for.
    if (!TerminateProcess(process, exitCode)) {
        DWORD error = GetLastError();
        char text[256];
        LogFormat(true, "TerminateMyProcess - TerminateProcess failed for process %lu: %lu (%s)", processId, error,
                  windowsErrorText(error, text, sizeof text));
        return 0;
    }
    if (canWait)
        waitForProcessEnd(process, processId, terminationWaitMs);
    return 1;
}

UNITTEST int TerminateMyProcess(DWORD processId, DWORD exitCode)
{
    // SYNCHRONIZE for the wait: the update replaces the files the process held.
    // A process that grants termination alone is still terminated, unwaited.
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    bool canWait = process != NULL;
    if (!process)
        process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (!process)
        return 0;
    int terminated = terminateOpened(process, processId, exitCode, canWait);
    CloseHandle(process);
    return terminated;
}

// White space of the "C" locale; bytes of 128 and above never are.
static bool isWhite(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

UNITTEST char *trim(char *text)
{
    while (isWhite(*text))
        ++text;
    size_t n = strlen(text);
    while (n > 0 && isWhite(text[n - 1]))
        text[--n] = '\0';
    return text;
}

UNITTEST char *stoupper(const char *source, char *destination)
{
    size_t i = 0;
    do
        destination[i] = (char)toupper((unsigned char)source[i]);
    while (source[i++]);
    return destination;
}

UNITTEST const char *matchProcess(const SearchContext *context, ProcessFacts *process)
{
    if (!process->commandLine || process->ownerResult != S_OK)
        return NULL;
    if (strcmp(process->domain, context->domain) != 0 || strcmp(process->user, context->user) != 0)
        return NULL;
    char *line = trim(process->commandLine);
    static char upperLine[commandLineSize];
    if (strlen(line) >= sizeof upperLine)
        return NULL;
    stoupper(line, upperLine);
    if (!strstr(upperLine, context->upperSearch))
        return NULL;
    if (process->processId == context->ownId)
        return NULL;
    return line;
}

UNITTEST void noteMatch(SearchOutcome *outcome, int action, int terminateResult)
{
    if (action == 1) {
        if (terminateResult)
            outcome->terminated = true;
        else
            outcome->unopened = true;
    }
    outcome->found = true;
}

UNITTEST int searchResult(const SearchOutcome *outcome)
{
    if (outcome->unopened)
        return -1;
    return outcome->found ? 1 : 0;
}

static void reportMatch(const PROCESSENTRY32 *entry, const char *user, const char *domain,
                        const char *line)
{
    LogFormat(true, "\n%s", equalsRule);
    LogFormat(true, "PROCESS NAME FOUND:   %s", entry->szExeFile);
    LogToFile(hyphenRule, true, true);
    LogFormat(true, "  Process ID        = %lu", entry->th32ProcessID);
    LogFormat(true, "  User Name         = %s/%s", domain, user);
    LogFormat(true, "  Thread count      = %lu", entry->cntThreads);
    LogFormat(true, "  Parent process ID = %lu", entry->th32ParentProcessID);
    LogFormat(true, "  Command line: %s", line);
    LogToFile(equalsRule, true, true);
    LogToFile("GetProcessList - action-1 Start", true, true);
}

// Only a Java launcher runs the client: another program whose command line
// merely holds the search text (an editor with such a file name) is not one.
static bool isJavaLauncher(const char *exeFile)
{
    const char *name = strrchr(exeFile, '\\');
    name = name ? name + 1 : exeFile;
    return _stricmp(name, "javaw.exe") == 0 || _stricmp(name, "java.exe") == 0;
}

// Examines one process of the snapshot; false when the heap is exhausted and
// the walk must stop.
static bool examineProcess(const PROCESSENTRY32 *entry, const SearchContext *context, int action,
                           SearchOutcome *outcome)
{
    HANDLE process = OpenProcess(examineAccess, FALSE, entry->th32ProcessID);
    if (!process) {
        // System processes and those gone since the snapshot are no news.
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_PARAMETER)
            printError("OpenProcess");
        return true;
    }
    if (GetPriorityClass(process) == 0)
        printError("GetPriorityClass");

    char user[256] = "", domain[256] = "";
    HRESULT owner = GetUserFromProcess(entry->th32ProcessID, user, domain);

    static char commandLine[commandLineSize];
    memset(commandLine, 0, sizeof commandLine);
    WCHAR *copy = NULL;
    ULONG bytes = 0;
    CommandLineRead read = readCommandLine(process, &copy, &bytes);
    if (read == CMDLINE_NO_MEMORY) {
        CloseHandle(process);
        return false;
    }
    if (read == CMDLINE_READ) {
        // Longer command lines are cut; the zero-filled buffer ends the text.
        ULONG converted = bytes < convertedBytesMax ? bytes : convertedBytesMax;
        WideCharToMultiByte(CP_UTF8, 0, copy, (int)(converted / 2), commandLine, (int)commandLineSize - 1,
                            NULL, NULL);
    }

    ProcessFacts facts = {entry->th32ProcessID, owner, user, domain, read == CMDLINE_READ ? commandLine : NULL};
    const char *line = matchProcess(context, &facts);
    if (line) {
        reportMatch(entry, user, domain, line);
        if (isJavaLauncher(entry->szExeFile))
            noteMatch(outcome, action, action == 1 ? TerminateMyProcess(entry->th32ProcessID, 1) : 0);
        else
            LogFormat(true, "GetProcessList - %s is not a Java launcher: left running", entry->szExeFile);
    }
    if (copy)
        HeapFree(GetProcessHeap(), 0, copy);
    CloseHandle(process);
    return true;
}

UNITTEST int GetProcessList(const char *searchText, const char *user, const char *domain, int action)
{
    SearchOutcome outcome = {};
    static char upperSearch[searchTextSize];
    size_t length = strlen(searchText);
    if (length >= sizeof upperSearch) {
        LogFormat(true, "GetProcessList - search text too long (%zu characters, at most %zu)", length,
                  sizeof upperSearch - 1);
        return -2;
    }
    stoupper(searchText, upperSearch);
    SearchContext context = {upperSearch, user, domain, GetCurrentProcessId()};

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        printError("CreateToolhelp32Snapshot (of processes)");
        return -2;
    }
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot, &entry)) {
        printError("Process32First");
        CloseHandle(snapshot);
        return -2;
    }
    do {
        if (!examineProcess(&entry, &context, action, &outcome)) {
            CloseHandle(snapshot);
            return -2;
        }
    } while (Process32Next(snapshot, &entry));
    CloseHandle(snapshot);
    return searchResult(&outcome);
}

int SearchProcesses(const char *searchText, int action)
{
    LogFormat(true, "SearchProcesses - Looking for :  %s  (action: %d)", searchText, action);
    LogTime("SearchProcesses - Start ", true);

    char user[256] = "", domain[256] = "";
    DWORD userSize = sizeof user, domainSize = sizeof domain;
    if (!GetCurrentUserAndDomain(user, &userSize, domain, &domainSize))
        return -2;
    LogFormat(false, "GetCurrentUserAndDomain: [%s/%s]", domain, user);
    LogFormat(false, "cmdLine to Search:       [%s]", searchText);

    LogToFile("sm_EnableTokenPrivilege...", false, true);
    if (!sm_EnableTokenPrivilege("SeDebugPrivilege"))
        LogToFile("SE_DEBUG_NAME FAILED!!", false, true);

    LogToFile("sm_LoadNTDLLFunctions...", false, true);
    HMODULE ntdll = sm_LoadNTDLLFunctions();
    if (!ntdll) {
        LogToFile("sm_LoadNTDLLFunctions FAILED!!", false, true);
        LogTime("SearchProcesses - End ", true);
        return -2;
    }
    LogFormat(false, "GetProcessList... [%s, %s, %s, %d]", searchText, user, domain, action);
    int result = GetProcessList(searchText, user, domain, action);
    sm_FreeNTDLLFunctions(ntdll);
    return result;
}
