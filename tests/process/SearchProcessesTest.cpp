// The search under Wine, against stand-in clients started with exact command lines.
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <stdexcept>
#include <string.h>
#include <string>
#include <vector>
#include <windows.h>
#include <winternl.h>

#include "StreamCapture.h"
#include "TempFolder.h"
#include "process/GetCurrentUserAndDomain.h"
#include "process/ListProcesses.h"
#include "process/ProcessCommandLine.h"

namespace {

const char searchText[] = "javaw.exe  -jar Marvique.jar";
const std::string link = "kovrel://https://127.0.0.1:8443/app/servlet/Launch?t?u";
const std::string equals(53, '='), hyphens(55, '-');

struct Report {
    DWORD id = 0, parent = 0;
    std::string name, user, commandLine;
};

// The ten-line match reports of a log, each checked for its fixed lines.
std::vector<Report> reports(const std::vector<std::string> &log)
{
    std::vector<Report> found;
    for (size_t i = 1; i + 9 < log.size(); ++i) {
        if (log[i] != equals || !log[i - 1].empty() || log[i + 1].rfind("PROCESS NAME FOUND:   ", 0) != 0)
            continue;
        Report r;
        r.name = log[i + 1].substr(22);
        EXPECT_EQ(hyphens, log[i + 2]);
        EXPECT_EQ(1, sscanf(log[i + 3].c_str(), "  Process ID        = %lu", &r.id)) << log[i + 3];
        EXPECT_EQ(0u, log[i + 4].rfind("  User Name         = ", 0)) << log[i + 4];
        r.user = log[i + 4].substr(22);
        EXPECT_TRUE(std::regex_match(log[i + 5], std::regex("  Thread count      = [1-9][0-9]*"))) << log[i + 5];
        EXPECT_EQ(1, sscanf(log[i + 6].c_str(), "  Parent process ID = %lu", &r.parent)) << log[i + 6];
        EXPECT_EQ(0u, log[i + 7].rfind("  Command line: ", 0)) << log[i + 7];
        r.commandLine = log[i + 7].substr(16);
        EXPECT_EQ(equals, log[i + 8]);
        EXPECT_EQ("GetProcessList - action-1 Start", log[i + 9]);
        found.push_back(r);
    }
    return found;
}

std::string windowsPath(const char *unixPath)
{
    return unixPath && unixPath[0] == '/' ? std::string("Z:") + unixPath : std::string(unixPath ? unixPath : "");
}

bool waitUntil(const std::function<bool()> &condition)
{
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        Sleep(20);
    }
    return false;
}

bool isHeld(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return false;
}

class SearchProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string standin = windowsPath(getenv("KOVREL_STANDIN"));
        ASSERT_TRUE(CopyFileA(standin.c_str(), (tmp.path() + "javaw.exe").c_str(), FALSE)) << standin;
        ASSERT_TRUE(CopyFileA(standin.c_str(), (tmp.path() + "java.exe").c_str(), FALSE)) << standin;
        DWORD userSize = sizeof user, domainSize = sizeof domain;
        ASSERT_EQ(1, GetCurrentUserAndDomain(user, &userSize, domain, &domainSize));
    }

    // No stand-in outlives its test.
    void TearDown() override
    {
        for (const PROCESS_INFORMATION &p : started) {
            if (WaitForSingleObject(p.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(p.hProcess, 99);
                WaitForSingleObject(p.hProcess, 5000);
            }
            CloseHandle(p.hThread);
            CloseHandle(p.hProcess);
        }
        EXPECT_EQ(nullptr, gNtQueryInformationProcess) << "set only during a search";
    }

    // Starts a stand-in client (exe: "javaw.exe" or "java.exe") with exactly
    // commandLine, optionally holding a file open; returns when it runs.
    DWORD start(const char *exe, const std::string &commandLine, const std::string &hold = "")
    {
        std::string record = tmp.path() + "standin" + std::to_string(started.size()) + ".txt";
        SetEnvironmentVariableA("KOVREL_STANDIN_SECONDS", "60");
        SetEnvironmentVariableA("KOVREL_STANDIN_RECORD", record.c_str());
        SetEnvironmentVariableA("KOVREL_STANDIN_HOLD", hold.empty() ? NULL : hold.c_str());
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        BOOL ok = CreateProcessA((tmp.path() + exe).c_str(), line.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
        SetEnvironmentVariableA("KOVREL_STANDIN_SECONDS", NULL);
        SetEnvironmentVariableA("KOVREL_STANDIN_RECORD", NULL);
        SetEnvironmentVariableA("KOVREL_STANDIN_HOLD", NULL);
        EXPECT_TRUE(ok) << GetLastError();
        if (!ok)
            return 0;
        started.push_back(pi);
        EXPECT_TRUE(waitUntil([&] { return readFile(record).find("argc: ") != std::string::npos; }));
        EXPECT_EQ(0u, readFile(record).find("cmdline: " + commandLine + "\n")) << "started as given";
        if (!hold.empty()) {
            EXPECT_TRUE(waitUntil([&] { return isHeld(hold); }));
        }
        return pi.dwProcessId;
    }

    const PROCESS_INFORMATION &process(DWORD id)
    {
        for (const PROCESS_INFORMATION &p : started)
            if (p.dwProcessId == id)
                return p;
        throw std::runtime_error("not started");
    }
    bool running(DWORD id) { return WaitForSingleObject(process(id).hProcess, 0) == WAIT_TIMEOUT; }
    DWORD exitCode(DWORD id)
    {
        WaitForSingleObject(process(id).hProcess, 5000);
        DWORD code = 0;
        GetExitCodeProcess(process(id).hProcess, &code);
        return code;
    }

    // Runs the search, keeping what it wrote to the console.
    int search(const char *text, int action)
    {
        StreamCapture out(stdout, tmp.path() + "stdout.txt");
        int result = ::SearchProcesses(text, action);
        console = out.finish();
        log = logLines(tmp.logText());
        return result;
    }

    // The search's opening lines, then only reports and log-only warnings;
    // the console shows exactly the lines that are not log-only.
    void expectLogOf(const char *text, int action)
    {
        std::string account = std::string(domain) + "/" + user;
        ASSERT_GE(log.size(), 7u);
        EXPECT_EQ(std::string("SearchProcesses - Looking for :  ") + text + "  (action: " + std::to_string(action) + ")",
                  log[0]);
        EXPECT_TRUE(std::regex_match(
            log[1], std::regex("SearchProcesses - Start  - Time:  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")))
            << log[1];
        EXPECT_EQ("GetCurrentUserAndDomain: [" + account + "]", log[2]);
        EXPECT_EQ(std::string("cmdLine to Search:       [") + text + "]", log[3]);
        EXPECT_EQ("sm_EnableTokenPrivilege...", log[4]);
        EXPECT_EQ("sm_LoadNTDLLFunctions...", log[5]);
        EXPECT_EQ(std::string("GetProcessList... [") + text + ", " + user + ", " + domain + ", " +
                      std::to_string(action) + "]",
                  log[6]);

        std::string echoed = log[0] + "\r\n" + log[1] + "\r\n";
        for (size_t i = 7; i < log.size(); ++i) {
            if (log[i].empty() && i + 1 < log.size() && log[i + 1].rfind("WARNING: ", 0) == 0) {
                ++i;
                continue;
            }
            echoed += log[i] + "\r\n";
        }
        EXPECT_EQ(echoed, console);
        EXPECT_EQ(reports(log).size() * 11, logLines(echoed).size() - 2) << "nothing but reports after the start";
    }

    TempFolder tmp;
    char user[256] = "", domain[256] = "";
    std::vector<PROCESS_INFORMATION> started;
    std::string console;
    std::vector<std::string> log;
};

TEST_F(SearchProcesses, TerminatesARunningClientSoItsJarCanBeReplaced)
{
    std::string jar = tmp.path() + "Marvique.jar", update = tmp.path() + "Marvique.jar.new";
    writeFile(jar, "old");
    writeFile(update, "new");
    DWORD client = start("javaw.exe", std::string(searchText) + " " + link, jar);
    ASSERT_FALSE(MoveFileExA(update.c_str(), jar.c_str(), MOVEFILE_REPLACE_EXISTING)) << "held by the client";

    EXPECT_EQ(1, search(searchText, 1));
    EXPECT_TRUE(MoveFileExA(update.c_str(), jar.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    EXPECT_EQ("new", readFile(jar));
    EXPECT_EQ(1u, exitCode(client));

    expectLogOf(searchText, 1);
    std::vector<Report> found = reports(log);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(client, found[0].id);
    EXPECT_EQ("javaw.exe", found[0].name);
    EXPECT_EQ(std::string(domain) + "/" + user, found[0].user);
    EXPECT_EQ(GetCurrentProcessId(), found[0].parent);
    EXPECT_EQ(std::string(searchText) + " " + link, found[0].commandLine);
}

TEST_F(SearchProcesses, TerminatesEveryMatchAndNothingElse)
{
    const std::string tail = std::string(searchText).substr(9) + " " + link; // two spaces, -jar ...
    std::set<DWORD> matches = {
        start("javaw.exe", "javaw.exe" + tail),
        start("javaw.exe", "JAVAW.EXE" + tail),
        start("javaw.exe", "   javaw.exe" + tail),
        start("javaw.exe", "javaw.exe" + tail + "\n"),
    };
    DWORD oneSpace = start("javaw.exe", "javaw.exe -jar Marvique.jar " + link);
    DWORD debugClient = start("java.exe", "java.exe" + tail);

    EXPECT_EQ(1, search(searchText, 1));
    expectLogOf(searchText, 1);
    std::set<DWORD> reported;
    std::multiset<std::string> commandLines;
    for (const Report &r : reports(log)) {
        reported.insert(r.id);
        commandLines.insert(r.commandLine);
    }
    EXPECT_EQ(matches, reported);
    EXPECT_EQ((std::multiset<std::string>{"javaw.exe" + tail, "javaw.exe" + tail, "javaw.exe" + tail,
                                          "JAVAW.EXE" + tail}),
              commandLines)
        << "trimmed, not capitalised";
    for (DWORD id : matches)
        EXPECT_EQ(1u, exitCode(id)) << id;
    EXPECT_TRUE(running(oneSpace));
    EXPECT_TRUE(running(debugClient));

    // In debug mode the search looks for java.exe.
    EXPECT_EQ(1, search("java.exe  -jar Marvique.jar", 1));
    EXPECT_EQ(1u, exitCode(debugClient));
    EXPECT_TRUE(running(oneSpace));
}

TEST_F(SearchProcesses, ReportsWithoutTerminatingForOtherActions)
{
    DWORD client = start("javaw.exe", std::string(searchText) + " " + link);
    EXPECT_EQ(1, search(searchText, 0));
    expectLogOf(searchText, 0);
    std::vector<Report> found = reports(log);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(client, found[0].id);
    Sleep(200);
    EXPECT_TRUE(running(client));
}

TEST_F(SearchProcesses, FindsNothingWithoutAClient)
{
    EXPECT_EQ(0, search(searchText, 1));
    expectLogOf(searchText, 1);
    EXPECT_TRUE(reports(log).empty());
}

// Puts the search text into this process's own command line, as the system reads it.
class OwnCommandLine {
public:
    explicit OwnCommandLine(const std::wstring &text) : text_(text)
    {
        HMODULE ntdll = sm_LoadNTDLLFunctions();
        PROCESS_BASIC_INFORMATION info = {};
        gNtQueryInformationProcess(GetCurrentProcess(), 0, &info, sizeof info, NULL);
        sm_FreeNTDLLFunctions(ntdll);
        line_ = &info.PebBaseAddress->ProcessParameters->CommandLine;
        saved_ = *line_;
        line_->Buffer = &text_[0];
        line_->Length = line_->MaximumLength = (USHORT)(text_.size() * 2);
    }
    ~OwnCommandLine() { *line_ = saved_; }

private:
    std::wstring text_;
    UNICODE_STRING *line_, saved_;
};

TEST_F(SearchProcesses, NeverMatchesTheProcessRunningIt)
{
    OwnCommandLine own(L"process_test.exe javaw.exe  -jar Marvique.jar kovrel://self");
    HMODULE ntdll = sm_LoadNTDLLFunctions();
    WCHAR *copy = nullptr;
    ULONG bytes = 0;
    EXPECT_EQ(CMDLINE_READ, readCommandLine(GetCurrentProcess(), &copy, &bytes));
    EXPECT_EQ(L"process_test.exe javaw.exe  -jar Marvique.jar kovrel://self", std::wstring(copy, bytes / 2))
        << "the search sees the text in this process";
    HeapFree(GetProcessHeap(), 0, copy);
    sm_FreeNTDLLFunctions(ntdll);

    EXPECT_EQ(0, search(searchText, 1));
    EXPECT_TRUE(reports(log).empty());

    DWORD client = start("javaw.exe", std::string(searchText) + " " + link);
    EXPECT_EQ(1, search(searchText, 1));
    std::vector<Report> found = reports(log);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(client, found[0].id);
}

TEST_F(SearchProcesses, WaitsBoundedForTheEnd)
{
    DWORD client = start("javaw.exe", "javaw.exe -jar other.jar");
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, client);
    ASSERT_NE(nullptr, h);
    DWORD before = GetTickCount();
    EXPECT_EQ(0, waitForProcessEnd(h, client, 300));
    EXPECT_GE(GetTickCount() - before, 250u);
    EXPECT_EQ("TerminateMyProcess - process " + std::to_string(client) + " has not ended after 300 ms\r\n",
              tmp.logText());

    EXPECT_NE(0, TerminateMyProcess(client, 7));
    EXPECT_EQ(1, waitForProcessEnd(h, client, 0)) << "ended when the termination returned";
    CloseHandle(h);
    EXPECT_EQ(7u, exitCode(client));
}

TEST_F(SearchProcesses, LeavesOtherProgramsRunningWhateverTheirCommandLine)
{
    // An editor with a file of that name: reported, neither terminated nor counted.
    std::string standin = windowsPath(getenv("KOVREL_STANDIN"));
    ASSERT_TRUE(CopyFileA(standin.c_str(), (tmp.path() + "editor.exe").c_str(), FALSE));
    DWORD editor = start("editor.exe", std::string("editor.exe ") + searchText + ".txt");
    EXPECT_EQ(0, search(searchText, 1));
    std::vector<Report> found = reports(log);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(editor, found[0].id);
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "GetProcessList - editor.exe is not a Java launcher: left running"));
    Sleep(200);
    EXPECT_TRUE(running(editor));
}

TEST_F(SearchProcesses, AFailedTerminationIsReportedAndNotWaitedFor)
{
    DWORD client = start("javaw.exe", std::string(searchText) + " " + link);
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, client); // no right to terminate
    ASSERT_NE(nullptr, h);
    DWORD before = GetTickCount();
    EXPECT_EQ(0, terminateOpened(h, client, 1, true));
    EXPECT_LT(GetTickCount() - before, 1000u);
    CloseHandle(h);
    EXPECT_EQ("TerminateMyProcess - TerminateProcess failed for process " + std::to_string(client) +
                  ": 5 (Access denied)\r\n",
              tmp.logText());
    EXPECT_TRUE(running(client));
}

} // namespace
