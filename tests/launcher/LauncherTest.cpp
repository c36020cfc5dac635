#include <gtest/gtest.h>
#include <regex>
#include <string.h>
#include <windows.h>

#include "TempFolder.h"
#include "java/JavaLaunch.h"
#include "launcher/GetWindowsVersion.h"
#include "launcher/Link.h"
#include "launcher/Usage.h"
#include "launcher/WorkFolder.h"
#include "launcher/WorkFolderLock.h"
#include "launcher/kovreldocs_update.h"

namespace {

TEST(findURL, CutsTheBaseUrlOutOfTheLink)
{
    struct {
        const char *link;
        const char *base; // null: no "http"
    } rows[] = {
        {"kovrel://https://h:1/app/servlet/Name?t?u", "https://h:1/"},
        {"kovrel://http://10.0.0.1:8080/a/servlet/b?t?u", "http://10.0.0.1:8080/"},
        {"kovrel://https://h:1", "https://h:1"},
        {"kovrel://https://h:1/", "https://h:1/"},
        {"xyz:https://h:1/a", "https://h:1/"},
        {"https://h/a/b/c", "https://h/"},
        {"kovrel://HTTPS://h:1/a", nullptr},
        {"/?x", nullptr},
        {"", nullptr},
        {"http", "http"},
    };
    for (const auto &row : rows) {
        char text[256];
        snprintf(text, sizeof text, "%s", row.link);
        char *base = findURL(text);
        if (!row.base) {
            EXPECT_EQ(nullptr, base) << row.link;
            EXPECT_STREQ(row.link, text) << "left unchanged";
        } else {
            ASSERT_NE(nullptr, base) << row.link;
            EXPECT_STREQ(row.base, base) << row.link;
            EXPECT_EQ(text + (strstr(row.link, "http") - row.link), base) << "points into the text";
        }
    }
}

TEST(GetWindowsVersion, SplitsTheVersionWord)
{
    struct {
        DWORD word, major, minor, build;
    } rows[] = {
        {0x1DB10106, 6, 1, 7601},
        {0x23F00206, 6, 2, 9200},
        {0x4A610A0A, 10, 10, 19041},
        {0x80000A05, 5, 10, 12345}, // bit 31 set: build keeps the caller's value
    };
    for (const auto &row : rows) {
        DWORD major = 0, minor = 0, build = 12345;
        splitVersionWord(row.word, &major, &minor, &build);
        EXPECT_EQ(row.major, major) << std::hex << row.word;
        EXPECT_EQ(row.minor, minor) << std::hex << row.word;
        EXPECT_EQ(row.build, build) << std::hex << row.word;
    }
}

TEST(InfoEXE, DescribesTheExecutable)
{
    TempFolder tmp;
    std::string exe = tmp.path() + "app.exe";
    writeFile(exe, std::string(1234, 'z'));
    HANDLE h = CreateFileA(exe.c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
    SYSTEMTIME st = {2016, 5, 3, 4, 9, 3, 7, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    SetFileTime(h, NULL, NULL, &ft);
    CloseHandle(h);

    char out[1024];
    InfoEXE(exe.c_str(), out, sizeof out);
    EXPECT_EQ("Created: 2016-05-04 09:03:07\nSize:    1234 bytes\n\n"
              "cURL:    version 7.88.1, SSL Schannel (enabled)",
              std::string(out));
}

TEST(InfoEXE, MissingFileShowsZeros)
{
    char out[1024];
    memset(out, 'u', sizeof out);
    InfoEXE("C:\\no\\such\\kovrel", out, sizeof out);
    EXPECT_EQ(0u, std::string(out).rfind("Created: 0000-00-00 00:00:00\nSize:    0 bytes\n\ncURL:    ", 0)) << out;
}

TEST(InfoEXE, SmallBufferIsNeverOverrun)
{
    char out[40];
    memset(out, 'u', sizeof out);
    InfoEXE("C:\\no\\such\\kovrel", out, 30);
    EXPECT_EQ(29u, strlen(out));
    EXPECT_EQ('u', out[30]);
}

TEST(createTMPDir, CreatesTheWorkFolderOnce)
{
    TempFolder tmp;
    char path[MAX_PATH];
    EXPECT_EQ(1, createTMPDir(path));
    EXPECT_EQ(tmp.path() + "KovrelDocs\\librun", std::string(path));
    EXPECT_EQ(1, dirExists(path));
    EXPECT_EQ(1, createTMPDir(path));
    std::string expected = "tmpLibRun:   " + tmp.path() + "KovrelDocs\\librun\r\n";
    EXPECT_EQ(expected + expected, tmp.logText());
}

TEST(createTMPDir, SomethingElseInTheWay)
{
    TempFolder tmp;
    char path[MAX_PATH];
    CreateDirectoryA((tmp.path() + "KovrelDocs").c_str(), NULL);
    writeFile(tmp.path() + "KovrelDocs\\librun", "file");
    EXPECT_EQ(2, createTMPDir(path));

    TempFolder other;
    writeFile(other.path() + "KovrelDocs", "file");
    EXPECT_EQ(0, createTMPDir(path));
    EXPECT_EQ(other.path() + "KovrelDocs\\librun", std::string(path));
}

TEST(createTMPDir, TemporaryFolderTooLongIsRefused)
{
    TempFolder tmp;
    // 224 characters leave room for "KovrelDocs\librun\fcompare.new.part"; 225 do not.
    std::string fits = tmp.path() + std::string(223 - tmp.path().size(), 'f') + "\\";
    std::string tooLong = tmp.path() + std::string(224 - tmp.path().size(), 'l') + "\\";
    char path[MAX_PATH];

    SetEnvironmentVariableA("TMP", fits.c_str());
    CreateDirectoryA(fits.c_str(), NULL);
    EXPECT_EQ(1, createTMPDir(path));
    EXPECT_EQ(fits.size() + 17, strlen(path));

    SetEnvironmentVariableA("TMP", tooLong.c_str());
    CreateDirectoryA(tooLong.c_str(), NULL);
    strcpy(path, "untouched");
    EXPECT_EQ(0, createTMPDir(path));
    EXPECT_STREQ("untouched", path);
    EXPECT_NE(std::string::npos, readFile(tooLong + "Kovrel.log").find("createTMPDir - temporary directory too long (225 characters): " + tooLong))
        << readFile(tooLong + "Kovrel.log");
    SetEnvironmentVariableA("TMP", tmp.path().c_str());
}

TEST(makeDirTree, CreatesEveryMissingFolderAndRestoresThePath)
{
    TempFolder tmp;
    std::string target = tmp.path() + "a\\b\\c";
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s", target.c_str());
    makeDirTree(path);
    EXPECT_EQ(target, std::string(path));
    EXPECT_EQ(1, dirExists(path));

    snprintf(path, sizeof path, "%s", (tmp.path() + "d\\e\\").c_str());
    makeDirTree(path);
    EXPECT_EQ(1, dirExists((tmp.path() + "d\\e").c_str()));
}

TEST(launchJava, StartsNothingOutsideTheWorkFolder)
{
    TempFolder tmp;
    std::string missing = tmp.path() + "KovrelDocs\\librun";
    EXPECT_EQ(0, launchJava("javaw.exe", L"kovrel://https://h:1/a", missing.c_str()));
    EXPECT_EQ("Changing to LIBRUN folder: " + missing + "\r\nError changing to LIBRUN folder: 2 (No such file or directory)\r\n",
              tmp.logText());
}

TEST(escapeWideLink, HandsOnEveryCharacterOrRefusesWithALine)
{
    const wchar_t env[] = L"Path=C:\\windows\0";
    const char *refused = "Error launching Java: the link holds ";
    struct {
        const wchar_t *link, *env;
        size_t safeSize;
        const wchar_t *safe; // null: refused with the line
        std::string line;
    } rows[] = {
        {L"k://h/?t?\u00e9\u4e2d\U0001F600^&", env, 64, L"k://h/?t?\u00e9\u4e2d\U0001F600^^^&", ""},
        {L"k://h/%path%", env, 64, nullptr, refused + std::string("the name of a variable between two '%'")},
        {L"k://h/\xD800x", env, 64, nullptr, refused + std::string("a character that cannot be handed on unchanged")},
        {L"k://h/a", nullptr, 64, nullptr, "Error launching Java: the environment cannot be read, so the link is refused"},
        {L"k://h/\u4e2d&", env, 9, nullptr, refused + std::string("too many characters")},
        {L"k://h/\u4e2d&", env, 10, L"k://h/\u4e2d^&", ""},
    };
    for (const auto &row : rows) {
        TempFolder tmp;
        wchar_t safe[64] = L"untouched";
        EXPECT_EQ(row.safe != nullptr, escapeWideLink(row.link, row.env, safe, row.safeSize)) << row.line;
        EXPECT_TRUE(std::wstring(row.safe ? row.safe : L"untouched") == safe) << row.line;
        EXPECT_EQ(row.line.empty() ? "" : row.line + "\r\n", tmp.logText());
    }
}

// Another launcher of the same folder (spelt in capitals), played by a thread
// that takes the mutex, holds it for holdMs and then releases it, or ends without.
struct OtherLauncher {
    char name[64];
    int holdMs;
    bool release;
    HANDLE held;
};

DWORD WINAPI holdFolder(void *p)
{
    OtherLauncher *other = (OtherLauncher *)p;
    HANDLE mutex = CreateMutexA(NULL, FALSE, other->name);
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(other->held);
    Sleep(other->holdMs);
    if (other->release)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

TEST(lockWorkFolder, WaitsForAnotherLauncherBoundedAndTakesOverAnAbandonedFolder)
{
    const std::string waiting = "lockWorkFolder - another launcher works in the folder: waiting for it, at most 1 seconds\r\n";
    struct {
        int holdMs; // -1: no other launcher
        bool release;
        int result;
        std::string log;
        bool stop;     // the stop event set before the wait (Cancel pressed)
        bool timedOut; // as lockWorkFolder says
    } rows[] = {
        {300, true, 1, waiting + "lockWorkFolder - the other launcher is done: the folder is free\r\n", false, false},
        {1500, true, 0,
         waiting + "lockWorkFolder - another launcher still works in the folder after 1 seconds: nothing is started\r\n",
         false, true},
        {0, false, 1, "lockWorkFolder - a launcher ended without releasing the folder: taken over\r\n", false, false},
        {1500, true, 0, waiting + "lockWorkFolder - the wait for the other launcher was given up\r\n", true, false},
    };
    for (const auto &row : rows) {
        TempFolder tmp;
        std::string upper = tmp.path();
        for (char &c : upper)
            c = (char)toupper((unsigned char)c);
        OtherLauncher other = {"", row.holdMs, row.release, CreateEventA(NULL, TRUE, FALSE, NULL)};
        workFolderLockName(upper.c_str(), other.name, sizeof other.name);
        // Open meanwhile, as in a launcher that waits: a mutex with no handle left is gone, not abandoned.
        HANDLE waiter = CreateMutexA(NULL, FALSE, other.name);
        HANDLE thread = row.holdMs < 0 ? NULL : CreateThread(NULL, 0, holdFolder, &other, 0, NULL);
        if (thread)
            WaitForSingleObject(row.release ? other.held : thread, INFINITE);
        HANDLE held = NULL, stop = CreateEventA(NULL, TRUE, row.stop, NULL);
        bool timedOut = false;
        EXPECT_EQ(row.result, lockWorkFolder(tmp.path().c_str(), 1, &held, &timedOut, stop)) << row.holdMs;
        EXPECT_EQ(row.timedOut, timedOut) << row.holdMs;
        CloseHandle(stop);
        EXPECT_EQ(row.log, tmp.logText()) << row.holdMs;
        unlockWorkFolder(&held);
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        CloseHandle(other.held);
        CloseHandle(waiter);
    }
}

} // namespace
