// Starts a program with an exact command line and prints its process id.
//   start_detached.exe <program> <command line>
// The child is detached from the starter's console: under Wine a child of a
// program started from a Unix shell otherwise ends when that program ends.
#include <stdio.h>
#include <string>
#include <windows.h>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: start_detached <program> <command line>\n");
        return 2;
    }
    std::string commandLine = argv[2];
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(argv[1], &commandLine[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si,
                        &pi)) {
        fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 1;
    }
    printf("%lu\n", pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
