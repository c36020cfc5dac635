// The rules, natively: tables of input and expected result.
#include <gtest/gtest.h>
#include <string>

#include "rules/baseURL.h"
#include "rules/manifestReader.h"
#include "rules/manifestRules.h"

namespace {

std::string shown(const char *text)
{
    return text ? std::string("\"") + text + "\"" : "null";
}

TEST(cutManifestLine, CutsAsStrtokWould)
{
    struct {
        std::string line;
        ManifestLineForm form;
        const char *kind, *value, *path;
    } rows[] = {
        {"md5:abc lib.jar\n", MANIFEST_ENTRY, "md5", "abc", "lib.jar"},
        {"sha1:abc lib.jar", MANIFEST_ENTRY, "sha1", "abc", "lib.jar"},
        {"sha256:abc lib.jar\n", MANIFEST_ENTRY, "sha256", "abc", "lib.jar"},
        {"SHA256:abc lib.jar\n", MANIFEST_OTHER_KIND, "SHA256", nullptr, nullptr},
        {"serial 5\n", MANIFEST_OTHER_KIND, "serial 5\n", nullptr, nullptr},
        {"id:1 a.jar extra\n", MANIFEST_ENTRY, "id", "1", "a.jar"},
        {"::md5::a:b   li\tb.jar\n", MANIFEST_ENTRY, "md5", ":a:b", "lib.jar"},
        {"md5:a\tb lib.jar\n", MANIFEST_ENTRY, "md5", "a\tb", "lib.jar"},
        {"md5:   abc  my lib.jar\n", MANIFEST_ENTRY, "md5", "abc", "my"},
        {"md5:abc \t\n", MANIFEST_NO_PATH, "md5", "abc", ""},
        {"md5:abc\n", MANIFEST_NO_PATH, "md5", "abc\n", nullptr},
        {"md5:", MANIFEST_NO_VALUE, "md5", nullptr, nullptr},
        {"md5", MANIFEST_NO_VALUE, "md5", nullptr, nullptr},
        {"MD5:abc lib.jar\n", MANIFEST_OTHER_KIND, "MD5", nullptr, nullptr},
        {" md5:abc lib.jar\n", MANIFEST_OTHER_KIND, " md5", nullptr, nullptr},
        {"\xef\xbb\xbfmd5:abc lib.jar\n", MANIFEST_OTHER_KIND, "\xef\xbb\xbfmd5", nullptr, nullptr},
        {":::", MANIFEST_NO_KIND, nullptr, nullptr, nullptr},
        {std::string("\0md5:a b\n", 9), MANIFEST_NO_KIND, nullptr, nullptr, nullptr},
        {std::string("md5:a b\0c\n", 10), MANIFEST_ENTRY, "md5", "a", "b"},
        {"JRE:  1.8\t.0 x\n", MANIFEST_JRE, "JRE", "1.8.0", nullptr},
        {"JRE:\n", MANIFEST_JRE, "JRE", "", nullptr},
        {"JRE:", MANIFEST_NO_VERSION, "JRE", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        char line[1024] = "";
        row.line.copy(line, sizeof line - 1);
        ManifestLine fields;
        std::string what = "row [" + row.line + "]";
        EXPECT_EQ(row.form, cutManifestLine(line, &fields)) << what;
        EXPECT_EQ(shown(row.kind), shown(fields.kind)) << what;
        EXPECT_EQ(shown(row.value), shown(fields.value)) << what;
        EXPECT_EQ(shown(row.path), shown(fields.path)) << what;
    }
}

TEST(pathRefusal, KeepsEveryPathInsideTheWorkFolderAndOffItsFiles)
{
    const char *leaves = "leaves the work folder", *device = "a device name",
               *own = "one of the launcher's own file names", *dot = "a trailing dot or blank (Windows drops it)",
               *java = "a name that cmd.exe runs for the Java command";
    struct {
        const char *path, *refusal;
    } rows[] = {
        {"Marvique.jar", nullptr}, {"ext/a.jar", nullptr}, {"./a..b.jar", nullptr}, {".hidden", nullptr},
        {"../a.jar", leaves}, {"ext\\...\\a", leaves}, {"\\\\srv\\a", leaves}, {"a.jar:x", leaves},
        {"CON", device}, {"con.jar", device}, {"Nul .txt", device}, {"aux..", device},
        {"ext/prn.x/a", device}, {"COM0", device}, {"lpt9.log", device}, {"conin$", device},
        {"CONOUT$.a.b", device}, {"COM\xb9", device}, {"lpt\xc2\xb2.jar", device},
        {"prn", device}, {"AUX.tar.gz", device}, {"CON.", device}, {"NUL ", device}, {"LPT1 .txt", device},
        {"COM1...", device}, {"COM\xc2\xb3", device}, {"lib/CON/a.jar", device},
        {"console.jar", nullptr}, {"com10", nullptr}, {"lpt", nullptr}, {"com\xb4", nullptr},
        {"xcon", nullptr}, {"con_1.jar", nullptr}, {"COM", nullptr}, {"CONX", nullptr}, {" CON", nullptr},
        {".con", nullptr}, {"nul1", nullptr},
        {"fcompare.ini", own}, {"FCompare.New", own}, {"fcompare.ini. .", own}, {"a.jar.part", own},
        {"x.PART", own}, {"x.part ", own}, {"ext/fcompare.ini", own}, {"fcompare.ini.old", nullptr},
        {"fcompare.serial", own}, {"FCOMPARE.SIG.", own}, {"fcompare.ini.sig", nullptr},
        {"a.partx", nullptr}, {"fcompare.nex", nullptr}, {"part", nullptr}, {"a.parts", nullptr},
        // Names Windows trims alias others; "." alone is the folder itself.
        {"Marvique.jar.", dot}, {"a.jar ", dot}, {"ext./a.jar", dot}, {"ext /a.jar", dot}, {"a.jar. .", dot},
        // What cmd.exe runs for "javaw.exe" from the work folder.
        {"javaw.exe", java}, {"JAVA.EXE", java}, {"javaw", java}, {"javaw.com", java}, {"javaw.Bat", java},
        {"java.cmd", java}, {"javaw.exe.exe", java}, {"javaw.exe.bat", java}, {"javaw.exe.", dot},
        {"ext/javaw.exe", nullptr}, {"javaw.jar", nullptr}, {"java.policy", nullptr}, {"javaws.exe", nullptr},
        {"javaw.exe.exe.exe", nullptr}, {"myjava.exe", nullptr},
    };
    for (const auto &row : rows)
        EXPECT_EQ(shown(row.refusal), shown(pathRefusal(row.path))) << "row " << row.path;
}

TEST(publishedNameProblem, NamesTheRuleEachNameBreaks)
{
    struct {
        std::string name;
        const char *problem; // the start of the text; null: publishable
    } rows[] = {
        {"Marvique.jar", nullptr},
        {"kovrel-lib_1.2+b~3.jar", nullptr},
        {std::string(103, 'n'), nullptr},
        {std::string(104, 'n'), "too long"},
        {"", "an empty name"},
        {"ext/a.jar", "a sub-folder"},
        {"..", "leaves the work folder"},
        {"a:b", "leaves the work folder"},
        {"nul.jar", "a device name"},
        {"a.part", "one of the launcher's own"},
        {"my lib.jar", "a blank"},
        {"a\tb", "a control character"},
        {"caf\xc3\xa9.jar", "a character outside ASCII"},
        {"a#1.jar", "a character that changes the URL"},
        {"100%.jar", "a character that changes the URL"},
        {"a|b", "a character that Windows"},
        {"a.jar.", "a trailing dot"},
    };
    for (const auto &row : rows) {
        const char *problem = publishedNameProblem(row.name.c_str());
        if (!row.problem)
            EXPECT_EQ(nullptr, problem) << "row " << row.name << ": " << problem;
        else
            EXPECT_EQ(0u, std::string(problem ? problem : "").rfind(row.problem, 0)) << "row " << row.name;
    }
}

TEST(pathFits, LeavesRoomForTheStagedName)
{
    struct {
        size_t pathLength, folderLength;
        bool fits;
    } rows[] = {{253, 0, true}, {254, 0, false}, {103, 150, true}, {104, 150, false},
                {1, 252, true}, {1, 253, false}, {1, 400, false}};
    for (const auto &row : rows)
        EXPECT_EQ(row.fits, pathFits(std::string(row.pathLength, 'p').c_str(), row.folderLength) != 0)
            << row.pathLength << " in " << row.folderLength;
}

TEST(digestTokenDigits, OnlyWholeHexDigestsOfTheirKind)
{
    const std::string md5(32, 'a'), sha1 = "86F7E437FAA5A7FCE15D1DDCB9EAEA2D5C1B9F3A", sha256(64, 'F');
    struct {
        const char *kind;
        std::string token;
        size_t digits;
    } rows[] = {{"md5", md5, 32}, {"sha1", sha1, 40}, {"md5", sha1, 0}, {"sha1", md5, 0},
                {"id", md5, 0}, {"MD5", md5, 0}, {"md5", md5 + "0", 0}, {"md5", md5.substr(1) + "g", 0},
                {"md5", "9b1c04", 0}, {"sha256", sha256, 64}, {"sha256", sha1, 0}, {"sha1", sha256, 0},
                {"sha256", sha256 + "0", 0}};
    for (const auto &row : rows)
        EXPECT_EQ(row.digits, digestTokenDigits(row.kind, row.token.c_str())) << row.kind << ":" << row.token;
}

TEST(baseURLSpan, FromTheFirstHttpToTheThirdSlash)
{
    struct {
        const char *link, *base; // base null: no "http", outputs untouched
    } rows[] = {{"kovrel://https://h:1/app/servlet/N?t?u", "https://h:1/"}, {"httphttp///x", "httphttp///"},
                {"a http:/x", "http:/x"}, {"kovrel://Http://h/", nullptr}, {"htt", nullptr}};
    for (const auto &row : rows) {
        size_t start = 99, length = 99;
        int found = baseURLSpan(row.link, &start, &length);
        EXPECT_EQ(shown(row.base), found ? shown(std::string(row.link + start, length).c_str()) : "null")
            << row.link;
        if (!found)
            EXPECT_TRUE(start == 99 && length == 99) << row.link;
    }
}

} // namespace

TEST(readManifest, ItemsProblemsAndRepeatsAsTheLauncherReadsThem)
{
    struct {
        std::string text;
        const char *items;    // "J" JRE line, "E" entry, "e" an entry whose path came before, with its line
        const char *problems; // "line:code" joined by blanks
        int zeroByte;
    } rows[] = {
        {"", "", "", 0},
        {"JRE:1.8\r\nmd5:a Marvique.jar\r\n", "J1 E2", "", 0},
        {"\xEF\xBB\xBFid:1 a.jar\n", "E1", "1:bom", 0},
        {"id:1 a.jar\nid:2 A.JAR\nid:3 b.jar\nid:4 a.jar\n", "E1 e2 E3 e4",
         "2:duplicate-path 4:duplicate-path", 0},
        {"id:1 ext/a.jar\nid:2 ./EXT\\a.jar\nid:3 ext//./a.jar\nid:4 ext/a.jar/\nid:5 ext/.a.jar\n",
         "E1 e2 e3 E4 E5", "2:duplicate-path 3:duplicate-path", 0},
        {"MD5:x a\n\nmd5:\nJRE:\nid:1  a.jar x\n", "J4 E5", "1:passed-over 3:passed-over 5:not-canonical", 0},
        {std::string("id:1 a\0.jar\nid:2 b.jar\n", 23), "E1 E2", "1:nul-byte", 1},
        {std::string("id:1 a.jar\n\x1Aid:2 b.jar\n\0", 24), "E1", "2:end-of-file-byte", 0},
        {"id:1 " + std::string(1100, 'p') + "\n", "E1", "1:long-line 1:passed-over", 0},
        // The freshness lines of a signed manifest hide nothing; a look-alike does.
        {"serial 5\nexpires 2030-01-01T00:00:00Z\nserials 5\nsha256:a b\n", "E4", "3:passed-over", 0},
        {std::string(1023, 'x') + "id:1 a.jar", "E1", "1:long-line 1:passed-over", 0},
    };
    for (const auto &row : rows) {
        Manifest m;
        ASSERT_EQ(1, readManifest(row.text.data(), row.text.size(), 1, &m)) << row.text;
        std::string items, problems;
        for (size_t i = 0; i < m.count; ++i)
            items += std::string(items.empty() ? "" : " ") +
                     (m.items[i].form == MANIFEST_JRE ? 'J' : m.items[i].firstOf == i ? 'E' : 'e') +
                     std::to_string(m.items[i].line);
        for (size_t i = 0; i < m.problemCount; ++i)
            problems += std::string(problems.empty() ? "" : " ") + std::to_string(m.problems[i].line) + ":" +
                        manifestProblemName(m.problems[i].code);
        EXPECT_EQ(row.items, items) << row.text.substr(0, 40);
        EXPECT_EQ(row.problems, problems) << row.text.substr(0, 40);
        EXPECT_EQ(row.zeroByte, m.zeroByte) << row.text.substr(0, 40);
        freeManifest(&m);
    }
}
