#include <chrono>
#include <gtest/gtest.h>
#include <string.h>
#include <string>

#include "rules/linkRules.h"

namespace {

// An environment block: NAME=value strings, ended by an empty one. "ÉTÉ" is a
// name beyond ASCII.
const std::string env =
    std::string("Path=C:\\windows\0KOVREL_PROBE=&calc.exe\0=C:=C:\\w\0\xC3\x89T\xC3\x89=1\0", 56) + '\0';
const char *variable = "the name of a variable between two '%'";

TEST(escapeLink, EscapesWhatCmdActsOnAndRefusesWhatItCannotPass)
{
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
        {"u\xC3\xA9\xE4\xB8\xAD%41%%ete%", "u\xC3\xA9\xE4\xB8\xAD%41%%ete%", nullptr},
        {"a\"b", nullptr, "a double quote"},
        {"a\tb", nullptr, "a control character"},
        {"a\nb", nullptr, "a control character"},
        {"a\x7f" "b", nullptr, "a control character"},
        {"a b", nullptr, "a blank"},
    };
    const char *expanding[] = {
        "%PATH%", "%path%", "x%Path%y", "%KOVREL_PROBE%", "%PA^TH%", "%^PATH%", "^%PATH^%",
        "%PATH:%", "%PATH:~0,3%", "%PATH:C=D%", "%PATH:a=b%%", "%20%PATH%", "%PATH%20", "%CD%", "%date%",
        "%TIME%", "%RANDOM%", "%ERRORLEVEL%", "%CMDCMDLINE%", "%CMDEXTVERSION%", "%=C:%", "%=ExitCode%",
        "%__CD__%", "%PROMPT%", "%prompt:$=x%", "%Firmware_Type%", "%X%PATH%", "%a:b%PATH%",
        // Dotless i and long s have ASCII capitals; beyond ASCII, the system decides.
        "%cmdcmdl\xC4\xB1ne%", "%highe\xC5\xBFtnumanodenumber%", "%\xC3\xA9t\xC3\xA9%", "%\xE4\xB8\xAD%",
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
    char out[64];
    EXPECT_EQ(nullptr, escapeLink("%\xE4\xB8\xAD%", "", out, sizeof out)) << "no name beyond ASCII";
}

TEST(escapeLink, TakesLinearTimeWithLongNamesAndManyPercents)
{
    std::string name(8000, 'N');
    std::string block = name + "=x" + '\0' + std::string(8000, '%') + "=y" + '\0' + '\0';
    std::string link = "kovrel://h/" + std::string(2000, '%') + name.substr(0, 1000) + "%";
    static char out[16384];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(nullptr, escapeLink(link.c_str(), block.c_str(), out, sizeof out));
    EXPECT_STREQ(variable, escapeLink(("%" + name + "%").c_str(), block.c_str(), out, sizeof out));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
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

TEST(redactPasswords, MasksThePasswordOfEveryUrl)
{
    const char *rows[][2] = {
        {"Parameters:  kovrel://https://user:secret@h:1/a?t?u", "Parameters:  kovrel://https://user:***@h:1/a?t?u"},
        {"URL: https://u:p@h/x, filename: C:\\a@b", "URL: https://u:***@h/x, filename: C:\\a@b"},
        {"https://u:p:q@r@h", "https://u:***@h"},
        {"a https://u:a b@h c", "a https://u:***@h c"},
        {"x://a:b@c://d:e@f/", "x://a:***@c://d:***@f/"},
        {"https://user@h/ https://u:@h/ https://h:1/a@b:c https://h?u:p@x a:b@c ://", nullptr},
    };
    for (const auto &row : rows) {
        const char *shown = row[1] ? row[1] : row[0];
        char out[128];
        EXPECT_EQ(strlen(shown), redactPasswords(row[0], out, sizeof out)) << row[0];
        EXPECT_STREQ(shown, out) << row[0];
    }
    for (size_t size = 1; size < 24; ++size) {
        char out[24];
        size_t n = redactPasswords("https://u:secret@h/x", out, size);
        EXPECT_EQ(std::string("https://u:***@h/x").substr(0, size - 1), std::string(out, n)) << "cut at " << size;
    }
}

} // namespace
