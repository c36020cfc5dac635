// Reading the command line of another process out of its memory, with the
// layouts of 32-bit processes and, from a 32-bit program on 64-bit Windows,
// of 64-bit ones.
#pragma once

#include <windows.h>

// The functions of ntdll.dll that reach into other processes. They are
// resolved at run time; the WoW64 ones exist only in the ntdll of a 32-bit
// process on 64-bit Windows. Statuses are NTSTATUS: negative means failure.
typedef LONG(NTAPI *NtQueryInformationProcessFn)(HANDLE process, ULONG infoClass, PVOID info,
                                                 ULONG infoLength, PULONG returnLength);
typedef LONG(NTAPI *NtWow64QueryInformationProcess64Fn)(HANDLE process, ULONG infoClass, PVOID info,
                                                        ULONG infoLength, PULONG returnLength);
typedef LONG(NTAPI *NtWow64ReadVirtualMemory64Fn)(HANDLE process, ULONG64 address, PVOID buffer,
                                                  ULONG64 size, PULONG64 bytesRead);

// Set only while a process search runs, null otherwise (and where absent).
extern NtQueryInformationProcessFn gNtQueryInformationProcess;
extern NtWow64QueryInformationProcess64Fn gNtWow64QueryInformationProcess64;
extern NtWow64ReadVirtualMemory64Fn gNtWow64ReadVirtualMemory64;

enum CommandLineRead {
    CMDLINE_READ,      // *text: a heap block of *bytes bytes of UTF-16, not terminated
    CMDLINE_EMPTY,     // the process has an empty command line
    CMDLINE_UNREAD,    // the command line could not be read
    CMDLINE_NO_MEMORY, // the process heap is exhausted: no process can be read
};

// Reads the command line of process (opened with query and read access)
// through the first route that answers: the 32-bit layouts for a 32-bit
// process, then the command-line information class, then the 64-bit layouts
// through the WoW64 functions, each where present. On CMDLINE_READ the caller
// frees *text with HeapFree.
CommandLineRead readCommandLine(HANDLE process, WCHAR **text, ULONG *bytes);

#ifdef KOVREL_UNITTESTS
// The routes, each on its own.
CommandLineRead readCommandLine32(HANDLE process, NtQueryInformationProcessFn query, WCHAR **text,
                                  ULONG *bytes);
CommandLineRead readCommandLineInfo(HANDLE process, NtQueryInformationProcessFn query, WCHAR **text,
                                    ULONG *bytes);
CommandLineRead readCommandLine64(HANDLE process, NtWow64QueryInformationProcess64Fn query,
                                  NtWow64ReadVirtualMemory64Fn read, WCHAR **text, ULONG *bytes);
#endif
