#include <gtest/gtest.h>
#include <regex>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "StreamCapture.h"
#include "TempFolder.h"
#include "logging/Logging.h"

namespace {

TEST(LogToFile, CreatesTheFileAndEndsLinesWithCrLf)
{
    TempFolder tmp;
    EXPECT_EQ(1, LogToFile("first", false, true));
    EXPECT_EQ(1, LogToFile("two\nlines", false, true));
    EXPECT_EQ("first\r\ntwo\r\nlines\r\n", tmp.logText());
}

TEST(LogToFile, AppendsAfterEarlierRuns)
{
    TempFolder tmp;
    writeFile(tmp.path() + "Kovrel.log", "old run\r\n");
    LogToFile("new run", false, true);
    EXPECT_EQ("old run\r\nnew run\r\n", tmp.logText());
}

TEST(LogToFile, WithoutNewlineTheNextLineContinues)
{
    TempFolder tmp;
    LogToFile("a", false, false);
    LogToFile("b", false, true);
    LogToFile("\nleading", false, true);
    EXPECT_EQ("ab\r\n\r\nleading\r\n", tmp.logText());
}

TEST(LogToFile, EchoWritesTheSameBytesToStandardOutput)
{
    TempFolder tmp;
    StreamCapture out(stdout, tmp.path() + "stdout.txt");
    LogToFile("shown\nhere", true, true);
    LogToFile("hidden", false, true);
    EXPECT_EQ("shown\r\nhere\r\n", out.finish());
    EXPECT_EQ("shown\r\nhere\r\nhidden\r\n", tmp.logText());
}

TEST(LogToFile, UnopenableFileIsReportedOnStandardError)
{
    TempFolder tmp;
    CreateDirectoryA((tmp.path() + "Kovrel.log").c_str(), NULL);
    StreamCapture out(stdout, tmp.path() + "stdout.txt");
    StreamCapture err(stderr, tmp.path() + "stderr.txt");
    EXPECT_EQ(0, LogToFile("lost", true, true));
    EXPECT_EQ("", out.finish());
    EXPECT_EQ(0u, err.finish().rfind("LogToFile - fopen failed: ", 0));
}

// Run by logging_full_disk, on a file system of 64 KiB: a line the disk has
// no room for is reported, and the next line does not run on from the part
// of it that fitted.
TEST(LogToFile, FullDiskIsReportedOnStandardError)
{
    const char *small = getenv("KOVREL_SMALL_DISK");
    if (!small)
        GTEST_SKIP() << "needs KOVREL_SMALL_DISK: run through tests/support/small-disk.sh";
    TempFolder tmp;
    std::string disk = "Z:" + std::regex_replace(small, std::regex("/"), "\\") + "\\";
    SetEnvironmentVariableA("TMP", disk.c_str());
    EXPECT_EQ(1, LogToFile("first", false, true));
    writeFile(disk + "filler", std::string(1 << 16, 'f'));
    StreamCapture err(stderr, tmp.path() + "stderr.txt");
    EXPECT_EQ(0, LogToFile(std::string(8000, 'x').c_str(), false, true));
    EXPECT_EQ(0u, err.finish().rfind("LogToFile - WriteFile failed: 112 (", 0));
    DeleteFileA((disk + "filler").c_str());
    EXPECT_EQ(1, LogToFile("next", false, true));
    EXPECT_TRUE(std::regex_match(readFile(disk + "Kovrel.log"), std::regex("first\r\nx*\r\nnext\r\n")));
}

TEST(LogToFile, TemporaryFolderTooLongForTheFileNameIsAnOpenFailure)
{
    TempFolder tmp;
    std::string longTmp = tmp.path() + std::string(250 - tmp.path().size(), 'x');
    SetEnvironmentVariableA("TMP", longTmp.c_str());
    StreamCapture err(stderr, tmp.path() + "stderr.txt");
    EXPECT_EQ(0, LogToFile("lost", false, true));
    EXPECT_EQ(0u, err.finish().rfind("LogToFile - fopen failed: ", 0));
}

TEST(LogToFile, OverLongTextIsCutAtTheLineBuffer)
{
    TempFolder tmp;
    std::string text(20000, 'x');
    LogToFile(text.c_str(), false, true);
    EXPECT_EQ(std::string(16382, 'x') + "\r\n", tmp.logText());
}

TEST(LogTime, StampsTheTextEvenWhenItIsLogmsgItself)
{
    TempFolder tmp;
    LogTime("Start", false);
    snprintf(logmsg, sizeof logmsg, "NowDownloaded: %.0lf of TotalToDownload: %.0lf", 5.0, 10.0);
    LogTime(logmsg, false);
    std::regex expected("Start - Time:  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\r\n"
                        "NowDownloaded: 5 of TotalToDownload: 10 - Time:  \\d{4}-\\d\\d-\\d\\d "
                        "\\d\\d:\\d\\d:\\d\\d\r\n");
    EXPECT_TRUE(std::regex_match(tmp.logText(), expected)) << tmp.logText();
}

TEST(LogTime, OverLongTextIsCutWithinLogmsg)
{
    TempFolder tmp;
    std::string text(sizeof logmsg + 100, 'y');
    LogTime(text.c_str(), false);
    EXPECT_EQ(std::string(sizeof logmsg - 2, 'y') + "\r\n", tmp.logText());
}

TEST(cleanErrorText, CutsAtControlCharactersAndDropsTrailingStops)
{
    struct {
        const char *text, *expected;
    } rows[] = {
        {"", ""},
        {"The system cannot find the file specified.\r\n", "The system cannot find the file specified"},
        {"Access is denied. \t\r\n", "Access is denied"},
        {"\r\nstarts with a line break", ""},
        {"\tstarts with a tab.", "\tstarts with a tab"},
        {"a\tb\nc", "a\tb"},
        {"...", ""},
        {"Acc\xE8s refus\xE9.\r\n", "Acc\xE8s refus\xE9"}, // accented letters stay
        {"\xC9l\xE9ment introuvable", "\xC9l\xE9ment introuvable"},
        {"x\x1Fy", "x"},
    };
    for (const auto &row : rows) {
        char text[128];
        snprintf(text, sizeof text, "%s", row.text);
        EXPECT_STREQ(row.expected, cleanErrorText(text)) << "[" << row.text << "]";
    }
}

} // namespace
