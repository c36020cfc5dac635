#include "process/ProcessCommandLine.h"

#include <stddef.h>
#include <string.h>

#include "UnitTest.h"

// Information classes of NtQueryInformationProcess.
static const ULONG ProcessBasicInformation = 0;
static const ULONG ProcessCommandLineInformation = 60; // Windows 8.1 and later

// The parts of the 32-bit layouts that are read from another process.
struct ProcessBasicInformation32 {
    LONG ExitStatus;
    ULONG PebBaseAddress;
    ULONG AffinityMask;
    LONG BasePriority;
    ULONG UniqueProcessId;
    ULONG InheritedFromUniqueProcessId;
};
static_assert(offsetof(ProcessBasicInformation32, PebBaseAddress) == 4, "32-bit PBI layout");
static_assert(sizeof(ProcessBasicInformation32) == 24, "32-bit PBI layout");

struct Peb32 {
    BYTE Reserved[16];
    ULONG ProcessParameters;
    BYTE Rest[452];
};
static_assert(offsetof(Peb32, ProcessParameters) == 16, "32-bit PEB layout");
static_assert(sizeof(Peb32) == 472, "32-bit PEB copy");

struct UnicodeString32 {
    USHORT Length; // in bytes, no terminator
    USHORT MaximumLength;
    ULONG Buffer;
};
static_assert(sizeof(UnicodeString32) == 8, "32-bit UNICODE_STRING layout");

struct ProcessParameters32 {
    BYTE Reserved[64];
    UnicodeString32 CommandLine;
};
static_assert(offsetof(ProcessParameters32, CommandLine.Length) == 64, "32-bit parameters layout");
static_assert(offsetof(ProcessParameters32, CommandLine.Buffer) == 68, "32-bit parameters layout");
static_assert(sizeof(ProcessParameters32) == 72, "32-bit parameters copy");

// The same for 64-bit processes, read through the WoW64 functions.
struct ProcessBasicInformation64 {
    LONG ExitStatus;
    ULONG Padding1;
    ULONG64 PebBaseAddress;
    ULONG64 AffinityMask;
    LONG BasePriority;
    ULONG Padding2;
    ULONG64 UniqueProcessId;
    ULONG64 InheritedFromUniqueProcessId;
};
static_assert(offsetof(ProcessBasicInformation64, PebBaseAddress) == 8, "64-bit PBI layout");
static_assert(sizeof(ProcessBasicInformation64) == 48, "64-bit PBI layout");

struct Peb64 {
    BYTE Reserved[0x20];
    ULONG64 ProcessParameters;
};
static_assert(offsetof(Peb64, ProcessParameters) == 0x20, "64-bit PEB layout");

struct UnicodeString64 {
    USHORT Length;
    USHORT MaximumLength;
    ULONG Padding;
    ULONG64 Buffer;
};
static_assert(offsetof(UnicodeString64, Buffer) == 8, "64-bit UNICODE_STRING layout");

struct ProcessParameters64 {
    BYTE Reserved[0x70];
    UnicodeString64 CommandLine;
};
static_assert(offsetof(ProcessParameters64, CommandLine) == 0x70, "64-bit parameters layout");

static bool readMemory32(HANDLE process, ULONG address, void *buffer, SIZE_T size)
{
    SIZE_T done = 0;
    return ReadProcessMemory(process, (LPCVOID)(ULONG_PTR)address, buffer, size, &done) && done == size;
}

static bool readMemory64(NtWow64ReadVirtualMemory64Fn read, HANDLE process, ULONG64 address,
                         void *buffer, ULONG size)
{
    ULONG64 done = 0;
    return read(process, address, buffer, size, &done) >= 0 && done == size;
}

UNITTEST CommandLineRead readCommandLine32(HANDLE process, NtQueryInformationProcessFn query, WCHAR **text,
                                  ULONG *bytes)
{
    HANDLE heap = GetProcessHeap();
    ULONG infoSize = sizeof(ProcessBasicInformation32);
    void *info = HeapAlloc(heap, HEAP_ZERO_MEMORY, infoSize);
    if (!info)
        return CMDLINE_NO_MEMORY;
    ULONG returned = 0;
    LONG status = query(process, ProcessBasicInformation, info, infoSize, &returned);
    if (status >= 0 && returned > infoSize) {
        HeapFree(heap, 0, info);
        infoSize = returned;
        info = HeapAlloc(heap, HEAP_ZERO_MEMORY, infoSize);
        if (!info)
            return CMDLINE_NO_MEMORY;
        status = query(process, ProcessBasicInformation, info, infoSize, &returned);
    }

    CommandLineRead result = CMDLINE_UNREAD;
    ULONG pebAddress = ((const ProcessBasicInformation32 *)info)->PebBaseAddress;
    Peb32 peb;
    ProcessParameters32 params;
    if (status >= 0 && pebAddress && readMemory32(process, pebAddress, &peb, sizeof peb) &&
        readMemory32(process, peb.ProcessParameters, &params, sizeof params)) {
        ULONG length = params.CommandLine.Length;
        if (length == 0) {
            result = CMDLINE_EMPTY;
        } else {
            WCHAR *copy = (WCHAR *)HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
            if (copy && readMemory32(process, params.CommandLine.Buffer, copy, length)) {
                *text = copy;
                *bytes = length;
                result = CMDLINE_READ;
            } else if (copy) {
                HeapFree(heap, 0, copy);
            }
        }
    }
    HeapFree(heap, 0, info);
    return result;
}

UNITTEST CommandLineRead readCommandLineInfo(HANDLE process, NtQueryInformationProcessFn query, WCHAR **text,
                                    ULONG *bytes)
{
    // The size query fails, telling the room that the counted string and its text need.
    ULONG needed = 0;
    query(process, ProcessCommandLineInformation, NULL, 0, &needed);
    if (needed < sizeof(UnicodeString32))
        return CMDLINE_UNREAD;
    HANDLE heap = GetProcessHeap();
    BYTE *info = (BYTE *)HeapAlloc(heap, HEAP_ZERO_MEMORY, needed);
    if (!info)
        return CMDLINE_UNREAD;

    CommandLineRead result = CMDLINE_UNREAD;
    ULONG returned = 0;
    if (query(process, ProcessCommandLineInformation, info, needed, &returned) >= 0) {
        const UnicodeString32 *line = (const UnicodeString32 *)info;
        // The text lies behind the counted string, in the same block.
        ULONG offset = line->Buffer - (ULONG)(ULONG_PTR)info;
        ULONG length = line->Length;
        if (length == 0) {
            result = CMDLINE_EMPTY;
        } else if (line->Buffer >= (ULONG)(ULONG_PTR)info && offset <= needed &&
                   length <= needed - offset) {
            WCHAR *copy = (WCHAR *)HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
            if (copy) {
                memcpy(copy, info + offset, length);
                *text = copy;
                *bytes = length;
                result = CMDLINE_READ;
            }
        }
    }
    HeapFree(heap, 0, info);
    return result;
}

UNITTEST CommandLineRead readCommandLine64(HANDLE process, NtWow64QueryInformationProcess64Fn query,
                                  NtWow64ReadVirtualMemory64Fn read, WCHAR **text, ULONG *bytes)
{
    ProcessBasicInformation64 info = {};
    ULONG returned = 0;
    if (query(process, ProcessBasicInformation, &info, sizeof info, &returned) < 0 || !info.PebBaseAddress)
        return CMDLINE_UNREAD;
    Peb64 peb;
    ProcessParameters64 params;
    if (!readMemory64(read, process, info.PebBaseAddress, &peb, sizeof peb) || !peb.ProcessParameters ||
        !readMemory64(read, process, peb.ProcessParameters, &params, sizeof params))
        return CMDLINE_UNREAD;
    ULONG length = params.CommandLine.Length;
    if (length == 0)
        return CMDLINE_EMPTY;
    HANDLE heap = GetProcessHeap();
    WCHAR *copy = (WCHAR *)HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
    if (!copy)
        return CMDLINE_UNREAD;
    if (!readMemory64(read, process, params.CommandLine.Buffer, copy, length)) {
        HeapFree(heap, 0, copy);
        return CMDLINE_UNREAD;
    }
    *text = copy;
    *bytes = length;
    return CMDLINE_READ;
}

// A 64-bit process seen from this 32-bit one: its structures have the 64-bit
// layouts, and reading them as 32-bit ones would give nonsense, not a failure.
static bool isWiderProcess(HANDLE process)
{
    BOOL self = FALSE, target = FALSE;
    return IsWow64Process(GetCurrentProcess(), &self) && self && IsWow64Process(process, &target) &&
           !target;
}

CommandLineRead readCommandLine(HANDLE process, WCHAR **text, ULONG *bytes)
{
    CommandLineRead result = CMDLINE_UNREAD;
    if (gNtQueryInformationProcess && !isWiderProcess(process))
        result = readCommandLine32(process, gNtQueryInformationProcess, text, bytes);
    if (result == CMDLINE_UNREAD && gNtQueryInformationProcess)
        result = readCommandLineInfo(process, gNtQueryInformationProcess, text, bytes);
    if (result == CMDLINE_UNREAD && gNtWow64QueryInformationProcess64 && gNtWow64ReadVirtualMemory64)
        result = readCommandLine64(process, gNtWow64QueryInformationProcess64,
                                   gNtWow64ReadVirtualMemory64, text, bytes);
    return result;
}
