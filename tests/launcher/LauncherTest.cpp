#include <gtest/gtest.h>
#include <regex>
#include <string.h>
#include <windows.h>

#include "TempFolder.h"
#include "launcher/GetWindowsVersion.h"
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

TEST(escapeLink, EscapesWhatCmdActsOnAndRefusesWhatItCannotPass)
{
    // An environment block: NAME=value strings, ended by an empty one.
    const std::string env = std::string("Path=C:\\windows\0KOVREL_PROBE=&calc.exe\0=C:=C:\\w\0", 47) + '\0';
    const char *link = "kovrel://https://h:1/app/servlet/Name?t?u";
    struct {
        std::string link;
        const char *escaped; // null: refused
        const char *reason;
    } rows[] = {
        {link, link, nullptr},
        {"k://https://h:1/a?t?u&calc.exe", "k://https://h:1/a?t?u^&calc.exe", nullptr},
        {"a|b<c>d^e(f)g&&h", "a^|b^<c^>d^^e^(f^)g^&^&h", nullptr},
        {"a^&b", "a^^^&b", nullptr},
        {"a%20b%41c%2F%", "a%20b%41c%2F%", nullptr},
        {"%NOSUCH%x%~0%*%%", "%NOSUCH%x%~0%*%%", nullptr},
        {"!PATH!", "!PATH!", nullptr},
        {"%PATH:x", "%PATH:x", nullptr}, // no '%' closes it
        {"a\"b", nullptr, "a double quote"},
        {"a\tb", nullptr, "a control character"},
        {"a\nb", nullptr, "a control character"},
        {"a\x7f" "b", nullptr, "a control character"},
        {"a b", nullptr, "a blank"},
    };
    const char *variable = "the name of a variable between two '%'";
    const char *expanding[] = {
        "%PATH%", "%path%", "x%Path%y", "%KOVREL_PROBE%", "%PA^TH%", "%^PATH%", "^%PATH^%",
        "%PATH:%", "%PATH:~0,3%", "%PATH:C=D%", "%PATH:a=b%%", "%20%PATH%", "%PATH%20", "%CD%", "%date%",
        "%TIME%", "%RANDOM%", "%ERRORLEVEL%", "%CMDCMDLINE%", "%CMDEXTVERSION%", "%=C:%", "%=ExitCode%",
        "%__CD__%",
    };
    for (const auto &row : rows) {
        char out[64];
        const char *reason = escapeLink(row.link.c_str(), env.c_str(), out, sizeof out);
        if (row.escaped) {
            EXPECT_EQ(nullptr, reason) << row.link;
            EXPECT_STREQ(row.escaped, out) << row.link;
        } else {
            EXPECT_STREQ(row.reason, reason) << row.link;
        }
    }
    for (const char *text : expanding) {
        char out[64];
        EXPECT_STREQ(variable, escapeLink(text, env.c_str(), out, sizeof out)) << text;
    }
}

TEST(escapeLink, RefusesWhatDoesNotFitWithoutOverrun)
{
    char out[8];
    memset(out, 'u', sizeof out);
    EXPECT_STREQ("too many characters", escapeLink("abc&", "", out, 5)); // "abc^&" needs 6
    EXPECT_EQ(nullptr, escapeLink("abc&", "", out, 6));
    EXPECT_STREQ("too many characters", escapeLink("abcdefgh", "", out, 8));
    EXPECT_STREQ("abcdefg", (escapeLink("abcdefg", "", out, 8), out));
}

TEST(launchJava, StartsNothingOutsideTheWorkFolder)
{
    TempFolder tmp;
    std::string missing = tmp.path() + "KovrelDocs\\librun";
    EXPECT_EQ(0, launchJava("javaw.exe", "kovrel://https://h:1/a", missing.c_str()));
    EXPECT_EQ("Changing to LIBRUN folder: " + missing + "\r\nError changing to LIBRUN folder: 2 (No such file or directory)\r\n",
              tmp.logText());
}

} // namespace
