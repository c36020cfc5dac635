// Finding, reporting and terminating running copies of the client that belong
// to the launcher's own Windows account.
#pragma once

#include <windows.h>

// Looks for processes of the launcher's account whose command line holds
// searchText (ASCII case ignored); action 1 terminates each one that runs
// javaw.exe or java.exe (others are reported and left running).
// Returns 1 (found; all terminated with action 1), 0 (none), -1 (a match could
// not be opened for termination, or not be terminated) or -2 (the search could
// not be made).
int SearchProcesses(const char *searchText, int action);

// What the search decides one process by, apart from the system calls that
// feed it, and what it makes of the matches.
struct ProcessFacts {
    DWORD processId;
    HRESULT ownerResult; // of GetUserFromProcess
    const char *user;    // owner's names, empty when not determined
    const char *domain;
    char *commandLine;   // converted command line, null when not read; trimmed in place
};
struct SearchContext {
    const char *upperSearch; // search text in capitals
    const char *user;        // the launcher's account
    const char *domain;
    DWORD ownId;             // the launcher's process id
};
struct SearchOutcome {
    bool found;      // a match was seen
    bool terminated; // a termination request was made for a match
    bool unopened;   // a match could not be opened for termination, or not terminated
};

#ifdef KOVREL_UNITTESTS
// The steps of the search.

// The walk over every process; needs gNtQueryInformationProcess set.
int GetProcessList(const char *searchText, const char *user, const char *domain, int action);

// Logs (only) the warning for the calling thread's last error after subject
// failed; the last error is kept.
void printError(const char *subject);

// Enables privilege on the launcher's process token: 1 done, 0 not.
int sm_EnableTokenPrivilege(const char *privilege);

// Loads ntdll.dll and resolves its process functions (see ProcessCommandLine.h).
// Returns the module, or null with nothing loaded and the pointers null.
HMODULE sm_LoadNTDLLFunctions(void);
void sm_FreeNTDLLFunctions(HMODULE ntdll);

// Requests the termination of processId with exitCode and waits, bounded, for
// it to end. Returns 0 when the process could not be opened for termination or
// the request failed (logged).
int TerminateMyProcess(DWORD processId, DWORD exitCode);

// The request and the wait on an open handle; with canWait the handle has
// SYNCHRONIZE. 0 when TerminateProcess failed (logged; nothing is waited for).
int terminateOpened(HANDLE process, DWORD processId, DWORD exitCode, bool canWait);

// Waits up to milliseconds for process to end; logs when it has not. 1: ended.
int waitForProcessEnd(HANDLE process, DWORD processId, DWORD milliseconds);

// Cuts trailing white space in place; returns the first non-white character.
char *trim(char *text);

// Copies source to destination (terminator included) in ASCII capitals.
char *stoupper(const char *source, char *destination);

// Returns the trimmed command line of a match, null for a process to skip.
const char *matchProcess(const SearchContext *context, ProcessFacts *process);

// Notes one match; terminateResult is TerminateMyProcess's (used with action 1).
void noteMatch(SearchOutcome *outcome, int action, int terminateResult);
int searchResult(const SearchOutcome *outcome);
#endif
