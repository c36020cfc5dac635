// The search's steps and decisions on data: what Wine cannot stage.
#include <gtest/gtest.h>
#include <map>
#include <string.h>
#include <string>
#include <windows.h>

#include "StreamCapture.h"
#include "TempFolder.h"
#include "logging/Logging.h"
#include "process/ListProcesses.h"
#include "process/ProcessCommandLine.h"

namespace {

TEST(trim, CutsOuterWhiteSpaceOnly)
{
    struct {
        const char *text, *expected;
    } rows[] = {
        {"", ""},
        {"   ", ""},
        {"abc", "abc"},
        {"  javaw.exe  -jar X.jar link\r\n", "javaw.exe  -jar X.jar link"},
        {"\t\n\v\f\r x \t\n\v\f\r", "x"},
        {"a  b", "a  b"},
        {"\xA0x\xA0", "\xA0x\xA0"}, // bytes of 128 and above are never white space
        {"\x85", "\x85"},
    };
    for (const auto &row : rows) {
        char text[64];
        snprintf(text, sizeof text, "%s", row.text);
        char *result = trim(text);
        EXPECT_STREQ(row.expected, result) << "[" << row.text << "]";
        EXPECT_EQ(strlen(result), strlen(row.expected)) << "cut with zero bytes";
        EXPECT_TRUE(result >= text && result <= text + strlen(row.text)) << "points into the text";
    }
}

TEST(stoupper, CapitalsAsciiLettersOnly)
{
    struct {
        const char *text, *expected;
    } rows[] = {
        {"", ""},
        {"javaw.exe  -jar Marvique.jar", "JAVAW.EXE  -JAR MARVIQUE.JAR"},
        {"az AZ 09 @[`{~", "AZ AZ 09 @[`{~"},
        {"\xE9t\xE9 \xFF", "\xE9T\xE9 \xFF"},
    };
    for (const auto &row : rows) {
        char out[64];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(out, stoupper(row.text, out));
        EXPECT_STREQ(row.expected, out) << row.text;
    }
}

TEST(printError, LogsTheCleanedSystemTextOnlyAndKeepsTheError)
{
    TempFolder tmp;
    StreamCapture out(stdout, tmp.path() + "stdout.txt");
    SetLastError(ERROR_FILE_NOT_FOUND);
    printError("OpenProcess");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    SetLastError(0x20000042); // an application's own code: no system text
    printError("GetPriorityClass");
    EXPECT_EQ("", out.finish());

    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, ERROR_FILE_NOT_FOUND,
                   0x400, text, sizeof text, NULL);
    ASSERT_NE('\0', text[0]);
    EXPECT_EQ(std::string("\r\nWARNING: OpenProcess failed with error 2 (") + cleanErrorText(text) + ")\r\n"
                  "\r\nWARNING: GetPriorityClass failed with error 536870978 ()\r\n",
              tmp.logText());
}

TEST(sm_LoadNTDLLFunctions, SetsThePointersUntilFreed)
{
    HMODULE ntdll = sm_LoadNTDLLFunctions();
    ASSERT_NE(nullptr, ntdll);
    EXPECT_NE(nullptr, gNtQueryInformationProcess);
    sm_FreeNTDLLFunctions(ntdll);
    EXPECT_EQ(nullptr, gNtQueryInformationProcess);
    EXPECT_EQ(nullptr, gNtWow64QueryInformationProcess64);
    EXPECT_EQ(nullptr, gNtWow64ReadVirtualMemory64);
}

TEST(sm_EnableTokenPrivilege, EnablesDebugAndRefusesAnUnknownName)
{
    TempFolder tmp;
    EXPECT_EQ(1, sm_EnableTokenPrivilege("SeDebugPrivilege"));
    EXPECT_EQ(0, sm_EnableTokenPrivilege("SeNoSuchPrivilege"));
    EXPECT_EQ("", tmp.logText()) << "an unknown name is no warning";
}

TEST(GetProcessList, RefusesASearchTextBeyondItsBuffer)
{
    TempFolder tmp;
    std::string text(32767, 'x');
    EXPECT_EQ(-2, GetProcessList(text.c_str(), "u", "D", 0));
    EXPECT_EQ("GetProcessList - search text too long (32767 characters, at most 32766)\r\n", tmp.logText());
}

// The account, command-line, self and termination rules over processes given as data.
TEST(matchProcess, DecidesFromOwnerCommandLineAndIdentity)
{
    const DWORD own = 100;
    struct {
        const char *what;
        DWORD id;
        HRESULT owner;
        const char *user, *domain, *commandLine; // null command line: not read
        const char *expected;                    // null: skipped
    } rows[] = {
        {"same account", 8, S_OK, "jsmith", "HOST", "javaw.exe  -jar Marvique.jar k://x",
         "javaw.exe  -jar Marvique.jar k://x"},
        {"capitals, outer white space", 8, S_OK, "jsmith", "HOST", " \tJAVAW.EXE  -JAR marvique.JAR k\r\n",
         "JAVAW.EXE  -JAR marvique.JAR k"},
        {"one space", 8, S_OK, "jsmith", "HOST", "javaw.exe -jar Marvique.jar k", nullptr},
        {"java.exe", 8, S_OK, "jsmith", "HOST", "java.exe  -jar Marvique.jar k", nullptr},
        {"another user", 8, S_OK, "asmith", "HOST", "javaw.exe  -jar Marvique.jar k", nullptr},
        {"another domain", 8, S_OK, "jsmith", "OTHER", "javaw.exe  -jar Marvique.jar k", nullptr},
        {"names compared exactly", 8, S_OK, "JSMITH", "host", "javaw.exe  -jar Marvique.jar k", nullptr},
        {"account without a name", 8, E_FAIL, "", "", "javaw.exe  -jar Marvique.jar k", nullptr},
        {"owner lookup failed", 8, E_FAIL, "", "", "javaw.exe  -jar Marvique.jar k", nullptr},
        {"command line not read", 8, S_OK, "jsmith", "HOST", nullptr, nullptr},
        {"the launcher itself", own, S_OK, "jsmith", "HOST", "kovrel.exe javaw.exe  -jar Marvique.jar", nullptr},
    };
    char upper[64];
    SearchContext context = {stoupper("javaw.exe  -jar Marvique.jar", upper), "jsmith", "HOST", own};
    for (const auto &row : rows) {
        char line[128];
        if (row.commandLine)
            snprintf(line, sizeof line, "%s", row.commandLine);
        ProcessFacts facts = {row.id, row.owner, row.user, row.domain, row.commandLine ? line : nullptr};
        const char *result = matchProcess(&context, &facts);
        if (row.expected)
            EXPECT_STREQ(row.expected, result) << row.what;
        else
            EXPECT_EQ(nullptr, result) << row.what;
    }

    // An empty search text matches every readable process of the account but the launcher.
    char line[] = "anything";
    ProcessFacts other = {8, S_OK, "jsmith", "HOST", line};
    ProcessFacts self = {own, S_OK, "jsmith", "HOST", line};
    SearchContext everything = {"", "jsmith", "HOST", own};
    EXPECT_STREQ("anything", matchProcess(&everything, &other));
    EXPECT_EQ(nullptr, matchProcess(&everything, &self));
}

TEST(searchResult, FollowsTheMatchesOfOneWalk)
{
    // Each match: the action, and whether it opened for termination.
    struct Match {
        int action, opened;
    };
    struct {
        const char *what;
        std::vector<Match> matches;
        int expected;
    } rows[] = {
        {"no match", {}, 0},
        {"terminated", {{1, 1}}, 1},
        {"two terminated", {{1, 1}, {1, 1}}, 1},
        {"not opened", {{1, 0}}, -1},
        {"not opened, then terminated", {{1, 0}, {1, 1}}, -1},
        {"terminated, then not opened", {{1, 1}, {1, 0}}, -1},
        {"reported only", {{0, 0}, {2, 0}}, 1},
        {"reported only, with a negative action", {{-1, 0}}, 1},
    };
    for (const auto &row : rows) {
        SearchOutcome outcome = {};
        for (const Match &m : row.matches)
            noteMatch(&outcome, m.action, m.opened);
        EXPECT_EQ(row.expected, searchResult(&outcome)) << row.what;
        EXPECT_EQ(!row.matches.empty(), outcome.found) << row.what;
    }
}

// A 64-bit process's memory, served by stand-ins of the WoW64 query and read.
struct Image64 {
    bool queryFails = false;
    ULONG64 peb = 0;
    std::map<ULONG64, std::string> regions;
} gImage;

const LONG statusSuccess = 0, statusAccessDenied = (LONG)0xC0000022,
           statusInfoLengthMismatch = (LONG)0xC0000004, statusInvalidInfoClass = (LONG)0xC0000003;

void put(std::string &bytes, size_t offset, ULONG64 value, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        bytes[offset + i] = (char)(value >> (8 * i));
}

std::string utf16(const std::string &text)
{
    std::string bytes;
    for (char c : text)
        bytes += std::string{c, '\0'};
    return bytes;
}

LONG NTAPI standInQuery64(HANDLE, ULONG infoClass, PVOID info, ULONG length, PULONG returned)
{
    if (gImage.queryFails)
        return statusAccessDenied;
    if (infoClass != 0 || length < 48)
        return statusInfoLengthMismatch;
    std::string block(48, '\0');
    put(block, 8, gImage.peb, 8); // PROCESS_BASIC_INFORMATION64: PebBaseAddress
    memcpy(info, block.data(), block.size());
    if (returned)
        *returned = 48;
    return statusSuccess;
}

LONG NTAPI standInRead64(HANDLE, ULONG64 address, PVOID buffer, ULONG64 size, PULONG64 done)
{
    for (const auto &region : gImage.regions) {
        if (address >= region.first && address + size <= region.first + region.second.size()) {
            memcpy(buffer, region.second.data() + (address - region.first), (size_t)size);
            *done = size;
            return statusSuccess;
        }
    }
    *done = 0;
    return (LONG)0x8000000D; // STATUS_PARTIAL_COPY
}

TEST(readCommandLine64, FollowsThe64BitLayouts)
{
    // Addresses beyond 4 GB, as in a real 64-bit process.
    const ULONG64 peb = 0x000000A123456000ull, params = 0x000001F000001000ull, text = 0x000001F000002000ull;
    const std::string line = "javaw.exe  -jar Marvique.jar kovrel://x";
    struct {
        const char *what;
        bool queryFails;
        ULONG64 pebAddress, paramsPointer;
        size_t length;
        bool textMapped;
        CommandLineRead expected;
    } rows[] = {
        {"readable", false, peb, params, line.size() * 2, true, CMDLINE_READ},
        {"query fails", true, peb, params, line.size() * 2, true, CMDLINE_UNREAD},
        {"no PEB", false, 0, params, line.size() * 2, true, CMDLINE_UNREAD},
        {"no parameters", false, peb, 0, line.size() * 2, true, CMDLINE_UNREAD},
        {"parameters unmapped", false, peb, params + 0x10000, line.size() * 2, true, CMDLINE_UNREAD},
        {"empty command line", false, peb, params, 0, true, CMDLINE_EMPTY},
        {"text unmapped", false, peb, params, line.size() * 2, false, CMDLINE_UNREAD},
        {"text shorter than its length", false, peb, params, line.size() * 2 + 2, true, CMDLINE_UNREAD},
    };
    for (const auto &row : rows) {
        gImage = Image64();
        gImage.queryFails = row.queryFails;
        gImage.peb = row.pebAddress;
        std::string pebBytes(0x40, '\0');
        put(pebBytes, 0x20, row.paramsPointer, 8);
        std::string paramBytes(0x80, '\0');
        put(paramBytes, 0x70, row.length, 2);
        put(paramBytes, 0x72, row.length + 2, 2);
        put(paramBytes, 0x78, text, 8);
        gImage.regions[peb] = pebBytes;
        gImage.regions[params] = paramBytes;
        if (row.textMapped)
            gImage.regions[text] = utf16(line);

        WCHAR *copy = nullptr;
        ULONG bytes = 0;
        EXPECT_EQ(row.expected, readCommandLine64(GetCurrentProcess(), standInQuery64, standInRead64, &copy, &bytes))
            << row.what;
        if (row.expected == CMDLINE_READ) {
            ASSERT_NE(nullptr, copy);
            EXPECT_EQ(line.size() * 2, bytes);
            EXPECT_EQ(utf16(line), std::string((const char *)copy, bytes));
            HeapFree(GetProcessHeap(), 0, copy);
        } else {
            EXPECT_EQ(nullptr, copy) << row.what;
        }
    }
}

// The command-line information class: the counted string, then its text, in the caller's block.
std::string gInfoText;
bool gInfoAnswers;

LONG NTAPI standInQuery(HANDLE, ULONG infoClass, PVOID info, ULONG length, PULONG returned)
{
    if (infoClass == 0)
        return statusAccessDenied; // the 32-bit route fails
    if (infoClass != 60 || !gInfoAnswers)
        return statusInvalidInfoClass;
    std::string text = utf16(gInfoText);
    ULONG needed = (ULONG)(8 + text.size());
    if (returned)
        *returned = needed;
    if (length < needed)
        return statusInfoLengthMismatch;
    std::string block(needed, '\0');
    put(block, 0, text.size(), 2);
    put(block, 2, text.size(), 2);
    put(block, 4, (ULONG)(ULONG_PTR)info + 8, 4);
    memcpy(block.data() + 8, text.data(), text.size());
    memcpy(info, block.data(), block.size());
    return statusSuccess;
}

// Sets the ntdll pointers for one test; clears them after.
struct NtdllStandIns {
    NtdllStandIns(NtQueryInformationProcessFn query, NtWow64QueryInformationProcess64Fn query64,
                  NtWow64ReadVirtualMemory64Fn read64)
    {
        gNtQueryInformationProcess = query;
        gNtWow64QueryInformationProcess64 = query64;
        gNtWow64ReadVirtualMemory64 = read64;
    }
    ~NtdllStandIns() { sm_FreeNTDLLFunctions(NULL); }
};

std::string readLine(HANDLE process, CommandLineRead expected)
{
    WCHAR *copy = nullptr;
    ULONG bytes = 0;
    EXPECT_EQ(expected, readCommandLine(process, &copy, &bytes));
    if (!copy)
        return "";
    std::string narrow;
    for (ULONG i = 0; i < bytes / 2; ++i)
        narrow += (char)copy[i];
    HeapFree(GetProcessHeap(), 0, copy);
    return narrow;
}

TEST(readCommandLine, TakesTheBetterRouteFirstAndFallsBackByResult)
{
    const ULONG64 peb = 0x000000A123456000ull, params = 0x000001F000001000ull, text = 0x000001F000002000ull;
    gImage = Image64();
    gImage.peb = peb;
    std::string pebBytes(0x40, '\0'), paramBytes(0x80, '\0');
    put(pebBytes, 0x20, params, 8);
    put(paramBytes, 0x70, utf16("from wow64").size(), 2);
    put(paramBytes, 0x78, text, 8);
    gImage.regions = {{peb, pebBytes}, {params, paramBytes}, {text, utf16("from wow64")}};
    gInfoText = "from class 60";
    HANDLE self = GetCurrentProcess();

    {
        NtdllStandIns ntdll(standInQuery, standInQuery64, standInRead64);
        gInfoAnswers = true;
        EXPECT_EQ("from class 60", readLine(self, CMDLINE_READ));
        gInfoAnswers = false; // as on Windows before 8.1, and under Wine
        EXPECT_EQ("from wow64", readLine(self, CMDLINE_READ));
    }
    {
        // Where the WoW64 query is missing (as under Wine), nothing is left to try.
        NtdllStandIns ntdll(standInQuery, nullptr, standInRead64);
        EXPECT_EQ("", readLine(self, CMDLINE_UNREAD));
    }
    {
        NtdllStandIns ntdll(nullptr, nullptr, nullptr);
        EXPECT_EQ("", readLine(self, CMDLINE_UNREAD));
    }

    // The real ntdll reads this 32-bit process through the 32-bit layouts.
    HMODULE ntdll = sm_LoadNTDLLFunctions();
    ASSERT_NE(nullptr, ntdll);
    std::string own = readLine(self, CMDLINE_READ);
    sm_FreeNTDLLFunctions(ntdll);
    WCHAR *expected = GetCommandLineW();
    EXPECT_EQ(wcslen(expected), own.size());
    EXPECT_NE(std::string::npos, own.find("process_test")) << own;
}

} // namespace
