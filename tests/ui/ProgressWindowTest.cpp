#include <gtest/gtest.h>
#include <string>
#include <wchar.h>
#include <windows.h>

#include "ui/ProgressWindow.h"
#include "ui/uiText.h"

namespace {

TEST(ProgressWindow, BarCountsFilesAndFillsTheCurrentOneByItsBytes)
{
    const struct {
        const char *what;
        unsigned n, m;
        long long expected, received;
        int range, position;
    } rows[] = {
        {"the manifest, length unknown", 0, 0, 0, 500, 1000, 0},
        {"the manifest, half", 0, 0, 800, 400, 1000, 500},
        {"first of four, not started", 1, 4, 0, 0, 4000, 0},
        {"first of four, length unknown", 1, 4, 0, 123456, 4000, 0},
        {"third of four, a quarter", 3, 4, 400, 100, 4000, 2250},
        {"last of four, complete", 4, 4, 400, 400, 4000, 4000},
        {"more bytes than announced", 2, 2, 100, 250, 2000, 2000},
        {"a file past the count", 9, 4, 0, 0, 4000, 4000},
        {"side by side: one ended, three running at half", 2, 4, 1000, 1500, 4000, 2500},
        {"side by side, past the count", 4, 4, 1000, 3000, 4000, 4000},
        {"a huge manifest stays in range", 5, 4000000, 10, 5, 2147483000, 4500},
        {"the last of a huge manifest, complete", 4000000, 4000000, 10, 10, 2147483000, 2147483000},
    };
    for (const auto &row : rows) {
        int range = -1, position = -1;
        progressBar(row.n, row.m, row.expected, row.received, &range, &position);
        EXPECT_EQ(row.range, range) << row.what;
        EXPECT_EQ(row.position, position) << row.what;
        EXPECT_LE(position, range) << row.what;
    }
}

TEST(ProgressWindow, SizesInTheLargestFittingUnit)
{
    const struct {
        long long bytes;
        const wchar_t *text;
    } rows[] = {
        {0, L"0 B"},          {1023, L"1023 B"},      {1024, L"1.0 KB"},
        {1536, L"1.5 KB"},    {5 << 20, L"5.0 MB"},   {3LL << 30, L"3.0 GB"},
        {5LL << 40, L"5120.0 GB"},
    };
    for (const auto &row : rows) {
        wchar_t out[32];
        progressSize(row.bytes, out, 32);
        EXPECT_STREQ(row.text, out) << row.bytes;
    }
}

// The string table as the resource compiler wrote it into this program.
std::wstring tableText(UINT id, WORD language)
{
    HRSRC found = FindResourceExW(NULL, (LPCWSTR)RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    const WCHAR *p = found ? (const WCHAR *)LockResource(LoadResource(NULL, found)) : NULL;
    if (!p)
        return L"";
    for (UINT i = 0; i < id % 16; ++i)
        p += 1 + *p;
    return std::wstring(p + 1, *p);
}

// The conversions of a format, in order: what the window hands it must fit both languages.
std::wstring conversions(const std::wstring &format)
{
    std::wstring out;
    for (size_t i = 0; i + 1 < format.size(); ++i)
        if (format[i] == L'%') {
            size_t j = i + 1;
            while (j < format.size() && wcschr(L"lh", format[j]))
                ++j;
            out += format.substr(i, j - i + 1) + L" ";
            i = j;
        }
    return out;
}

TEST(ProgressWindow, EveryTextInEnglishAndSpanishWithTheSameConversions)
{
    const UINT ids[] = {IDS_CONNECTING, IDS_CHECKING,      IDS_DOWNLOADING,    IDS_STARTING,     IDS_CANCELLING,
                        IDS_SERVER,     IDS_RATE,          IDS_CANCEL,         IDS_START,        IDS_SECONDS,
                        IDS_MINUTES,    IDS_NO_SERVER,     IDS_REFUSED_SERVER, IDS_REFUSED_LINK, IDS_LOCK_TIMEOUT,
                        IDS_PASS_FAILED, IDS_UNUSABLE_SETTING, IDS_JAVA_NEEDED, IDS_JAVA_NEWER};
    const WORD english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), spanish = MAKELANGID(LANG_SPANISH, SUBLANG_NEUTRAL);
    for (UINT id : ids) {
        std::wstring en = tableText(id, english), es = tableText(id, spanish);
        EXPECT_FALSE(en.empty()) << id;
        EXPECT_FALSE(es.empty()) << id;
        EXPECT_EQ(conversions(en), conversions(es)) << id;
    }
    EXPECT_EQ(L"Cancel", tableText(IDS_CANCEL, english));
    EXPECT_EQ(0u, tableText(IDS_START, english).rfind(L"Start", 0));
    EXPECT_EQ(L"No se pudo instalar", tableText(IDS_NO_SERVER, spanish).substr(0, 19));
}

// Without a display (the unit tests have none), the window's thread finds no
// window to make: the transfers' sink still answers, and the error box returns.
TEST(ProgressWindow, WithoutADisplayTheRunGoesOn)
{
    ProgressWindow *window = progressStart(true, "host");
    ASSERT_NE(nullptr, window);
    const TransferSink *sink = progressSink(window);
    FetchProgress fetch = {"lib/kovrel-lib.jar", 1, 2, 0, 500, 100, 50, 50};
    sink->fetch(sink->context, &fetch);
    EXPECT_EQ(0, sink->bytes(sink->context, 100, 50));
    EXPECT_EQ(0, sink->stopped(sink->context));
    progressError(window, ERROR_NO_SERVER, "host");
    progressFinish(&window);
    EXPECT_EQ(nullptr, window);
}

} // namespace
