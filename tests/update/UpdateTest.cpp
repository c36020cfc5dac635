#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "Fakes.h"
#include "TempFolder.h"
#include "update/fileDigest.h"
#include "update/getHTTPFile.h"
#include "rules/manifestReader.h"
#include "rules/manifestRules.h"
#include "update/workFileVersion.h"

namespace {

using Calls = std::vector<std::string>;

// A private temporary folder with an empty work folder, fresh fakes, debug mode off.
struct Scene {
    TempFolder tmp;
    std::string work = tmp.path() + "librun";
    std::string applets = "https://h:1/XNL/applets/";
    const char *javaExe = "javaw.exe";
    const Downloads downloads = {30, 60, "", 4, 0, 0, NULL, false, NULL, NULL};

    Scene()
    {
        CreateDirectoryA(work.c_str(), NULL);
        resetFakes();
    }
    std::string at(const std::string &name) const { return work + "\\" + name; }
    std::string log() const { return tmp.logText(); }
    UpdatePass newPass() const
    {
        UpdatePass pass = {};
        pass.workFolder = work.c_str();
        pass.appletsURL = applets.c_str();
        pass.javaExe = javaExe;
        pass.downloads = &downloads;
        return pass;
    }
    int line(const std::string &text) const
    {
        char buf[1024] = "";
        memcpy(buf, text.data(), text.size());
        UpdatePass pass = newPass();
        int result = workFileVersionLine(&pass, buf);
        endUpdatePass(&pass);
        return result;
    }
    int pass() const
    {
        UpdatePass pass = newPass();
        return workFileVersion(&pass, at("fcompare.new").c_str());
    }
    std::string get(const std::string &path) const { return "get " + applets + path; }
    void serve(const std::string &path, const std::string &body) { fakeServer[applets + path] = body; }
};

const std::string search = "search javaw.exe  -jar Marvique.jar|1";

TEST(strip, RemovesTabsAndLineFeedsOnly)
{
    struct {
        const char *in, *out;
    } rows[] = {{"a\tb\nc\n", "abc"}, {"\t\n\t", ""}, {"a b\rc:", "a b\rc:"}, {"", ""}};
    for (const auto &row : rows) {
        char buf[16];
        snprintf(buf, sizeof buf, "%s", row.in);
        EXPECT_EQ(buf, strip(buf));
        EXPECT_STREQ(row.out, buf) << "row " << row.in;
    }
}

TEST(workFileVersionLine, PassesOverLinesOfNoKnownFormSilently)
{
    const std::string rows[] = {
        "MD5:abc lib.jar\n", "md5 abc lib.jar\n", " md5:abc lib.jar\n", "md5 :abc lib.jar\n",
        "sha512:abc lib.jar\n", "md5:abc\n", "md5:abc", "md5:\n", "md5:", "md5:abc \n",
        "md5:abc \t\n", ":::", ":::\n", "\n", "", std::string("\0md5:abc lib.jar\n", 17), "JRE:",
    };
    for (const auto &row : rows) {
        Scene s;
        s.serve("lib.jar", "body");
        EXPECT_EQ(1, s.line(row)) << "row [" << row << "]";
        EXPECT_EQ(Calls{}, fakeCalls) << "row [" << row << "]";
        EXPECT_EQ("", s.log()) << "row [" << row << "]";
    }
}

TEST(workFileVersionLine, JreLineLogsItsVersionOnly)
{
    struct {
        const char *line, *version;
    } rows[] = {{"JRE:1.8.0\n", "1.8.0"}, {"JRE:  1.8.0 x\n", "1.8.0"}, {"JRE:\n", ""},
                {"JRE:1.8\t.0\n", "1.8.0"}, {"::JRE:9", "9"}};
    for (const auto &row : rows) {
        Scene s;
        EXPECT_EQ(1, s.line(row.line)) << "row " << row.line;
        EXPECT_EQ(Calls{}, fakeCalls) << "row " << row.line;
        EXPECT_EQ(std::string("\r\nMinimum Java JRE: [") + row.version + "]\r\n", s.log())
            << "row " << row.line;
    }
}

TEST(workFileVersionLine, CutsThePathForTheUrlAndTheLocalFile)
{
    struct {
        const char *line, *path;
    } rows[] = {
        {"id:1 a.jar\n", "a.jar"},
        {"md5:abc lib.jar\n", "lib.jar"},
        {"sha1:abc lib.jar", "lib.jar"},
        {"md5:abc lib.jar extra\n", "lib.jar"},
        {"md5:abc my lib.jar\n", "my"},
        {"md5:   abc   lib.jar\n", "lib.jar"},
        {"::md5:a:b lib.jar\n", "lib.jar"},
        {"md5:abc \tli\tb.ja\tr\n", "lib.jar"},
        {"md5:abc ./a..b.jar\n", "./a..b.jar"},
        {"md5:abc .hidden\n", ".hidden"},
    };
    for (const auto &row : rows) {
        Scene s;
        s.serve(row.path, "body");
        EXPECT_EQ(1, s.line(row.line)) << "row " << row.line;
        EXPECT_EQ((Calls{s.get(row.path), search}), fakeCalls) << "row " << row.line;
        EXPECT_EQ("body", readFile(s.at(row.path))) << "row " << row.line;
        EXPECT_NE(std::string::npos, s.log().find(std::string("\r\nChecking file: ") + row.path + "\r\n"))
            << "row " << row.line;
    }
}

TEST(workFileVersionLine, UpToDateWhenTheEntryStandsInTheInstalledManifest)
{
    struct {
        const char *installed, *line;
        char local; // 'f' file, 'd' folder, '-' nothing
        bool upToDate;
    } rows[] = {
        {"md5:abc lib.jar\n", "md5:abc lib.jar\n", 'f', true},
        {"md5:abc lib.jar\r\n", "md5:abc lib.jar\n", 'f', true},
        {"md5:abc lib.jar", "md5:abc lib.jar\n", 'f', true},
        {"a\nmd5:abc lib.jar\nb\n", "md5:abc lib.jar\n", 'f', true},
        {"a\r\nb\r\nmd5:abc lib.jar", "md5:abc lib.jar\n", 'f', true},
        {"\tmd5:abc lib.jar\t\n", "md5:abc lib.jar\n", 'f', true},
        {"\xEF\xBB\xBFmd5:abc lib.jar\n", "md5:abc lib.jar\n", 'f', true},
        {"md5:abc lib.jar\n", "md5:abc lib.jar\n", 'd', true},
        {"md5:abc lib.jar\n", "md5:abc lib.jar\n", '-', false},
        {"sha1:abc lib.jar\n", "md5:abc lib.jar\n", 'f', false},
        {"md5:abd lib.jar\n", "md5:abc lib.jar\n", 'f', false},
        {"MD5:abc lib.jar\n", "md5:abc lib.jar\n", 'f', false},
        {"md5:abc lib.jar.old\n", "md5:abc lib.jar\n", 'f', false},
        {"", "md5:abc lib.jar\n", 'f', false},
        // Cut and stripped forms compare in their canonical form.
        {"md5:abc lib.jar\n", "md5:  abc lib.jar\n", 'f', true},
        {"md5:abc lib.jar\n", "::md5:abc lib.jar\n", 'f', true},
        {"md5:abc lib.jar\n", "md5:abc li\tb.jar\n", 'f', true},
        {"md5:abc lib.jar\n", "md5:abc lib.jar extra\n", 'f', true},
        {"md5:a:b lib.jar\n", "md5:a:b lib.jar\n", 'f', true},
        // Non-canonical lines never match themselves.
        {"md5:abc  lib.jar\n", "md5:abc  lib.jar\n", 'f', false},
        {"md5:abc lib.jar x\n", "md5:abc lib.jar x\n", 'f', false},
        {"md5:a\tb lib.jar\n", "md5:a\tb lib.jar\n", 'f', false},
    };
    for (const auto &row : rows) {
        Scene s;
        writeFile(s.at("fcompare.ini"), row.installed);
        if (row.local == 'f')
            writeFile(s.at("lib.jar"), "old");
        else if (row.local == 'd')
            CreateDirectoryA(s.at("lib.jar").c_str(), NULL);
        s.serve("lib.jar", "new");
        std::string what = std::string("row ") + row.installed + " / " + row.line;
        EXPECT_EQ(1, s.line(row.line)) << what;
        EXPECT_EQ(row.upToDate ? Calls{} : (Calls{s.get("lib.jar"), search}), fakeCalls) << what;
        EXPECT_EQ(row.upToDate, s.log().find("File already exists and same version... [lib.jar]\r\n") !=
                                    std::string::npos)
            << what;
    }
}

TEST(workFileVersionLine, RefusesPathsThatLeaveTheWorkFolderOrAliasAnotherFile)
{
    const std::string leaves = "path outside the work folder refused: ", device = "path refused, a device name: ",
                      own = "path refused, one of the launcher's own file names: ",
                      dot = "path refused, a trailing dot or blank (Windows drops it): ",
                      java = "path refused, a name that cmd.exe runs for the Java command: ",
                      folder = "path names a folder, refused: ";
    const struct {
        const char *path;
        const std::string &line;
    } rows[] = {
        {"../a.jar", leaves}, {"..\\a.jar", leaves}, {"ext/../../a.jar", leaves}, {"ext\\..\\a.jar", leaves},
        {"..", leaves}, {"a/..", leaves}, {"ext/.../a.jar", leaves}, {"/etc/a.jar", leaves}, {"\\a.jar", leaves},
        {"\\\\srv\\share\\a.jar", leaves}, {"C:\\a.jar", leaves}, {"c:a.jar", leaves}, {"a.jar:x", leaves},
        {"..\\..\\..\\AppData\\Roaming\\Microsoft\\Windows\\Start", leaves},
        {"COM1", device}, {"com1.jar", device}, {"ext/AUX", device}, {"lpt1.", device}, {"PRN", device},
        {"nul\\a.jar", device}, {"fcompare.new", own}, {"FCOMPARE.INI", own}, {"Marvique.jar.part", own},
        {"ext/a.part", own}, {"Marvique.jar.", dot}, {"ext./a.jar", dot}, {"javaw.exe", java},
        {"JAVAW.CMD", java}, {"javaw.exe.exe", java}, {"java", java},
        // Of another version, where a folder "sub" stands.
        {"sub", folder}, {"sub/.", folder}, {"sub/", folder},
    };
    for (const auto &row : rows) {
        Scene s;
        CreateDirectoryA(s.at("sub").c_str(), NULL);
        writeFile(s.at("fcompare.ini"), std::string("md5:y ") + row.path + "\n");
        s.serve(row.path, "evil");
        EXPECT_EQ(0, s.line(std::string("md5:x ") + row.path + "\n")) << "row " << row.path;
        EXPECT_EQ(Calls{}, fakeCalls) << "row " << row.path;
        EXPECT_EQ(std::string("\r\nChecking file: ") + row.path + "\r\nworkFileVersionLine - " + row.line +
                      row.path + "\r\n",
                  s.log())
            << "row " << row.path;
    }
}

TEST(workFileVersionLine, RefusesPathsAndUrlsThatDoNotFitWhole)
{
    struct {
        char buffer; // 'p' local path (259 characters), 'u' file URL (4095)
        size_t over;
    } rows[] = {{'p', 0}, {'p', 1}, {'u', 0}, {'u', 1}};
    for (const auto &row : rows) {
        Scene s;
        std::string name = "lib.jar";
        if (row.buffer == 'p')
            name = std::string(259 - s.at("").size() + row.over, 'n');
        else
            s.applets = "https://h:1/" + std::string(4095 - name.size() + row.over - 13, 'u') + "/";
        s.serve(name, "body");
        std::string what = std::string("row ") + row.buffer + " over by " + std::to_string(row.over);
        EXPECT_EQ(row.over ? 0 : 1, s.line("md5:a " + name + "\n")) << what;
        EXPECT_EQ(row.over ? Calls{} : (Calls{s.get(name), search}), fakeCalls) << what;
        EXPECT_EQ(row.over != 0, s.log().find(" too long (over ") != std::string::npos) << what;
    }
}

TEST(workFileVersionLine, RequiredDigestsRefuseEveryEntryWithoutOne)
{
    const std::string md5(32, 'a'), sha1(40, 'b');
    struct {
        std::string line;
        int result;
    } rows[] = {
        {"md5:" + md5 + " lib.jar\n", 1}, {"sha1:" + sha1 + " lib.jar\n", 1}, {"id:7 lib.jar\n", 0},
        {"md5:" + md5.substr(1) + " lib.jar\n", 0}, {"sha1:" + md5 + " lib.jar\n", 0},
    };
    for (const auto &row : rows) {
        Scene s;
        s.serve("lib.jar", "body");
        UpdatePass pass = s.newPass();
        pass.verifyDigests = 2;
        char buf[1024];
        snprintf(buf, sizeof buf, "%s", row.line.c_str());
        EXPECT_EQ(row.result, workFileVersionLine(&pass, buf)) << row.line;
        EXPECT_EQ(row.result ? (Calls{s.get("lib.jar"), search}) : Calls{}, fakeCalls) << row.line;
        EXPECT_EQ(row.result == 0, s.log().find("which VerifyDigests requires, refused") != std::string::npos)
            << row.line;
        endUpdatePass(&pass);
    }
}

TEST(workFileVersion, SignedManifestsTakeOnlySha256EntriesAndVerifyEveryOne)
{
    const std::string sha256(64, 'c'), md5(32, 'a');
    const std::string both = "JRE:1.8.0\nsha256:" + sha256 + " Marvique.jar\nsha256:" + sha256 + " lib.jar\n";
    using Kinds = std::vector<std::string>;
    struct {
        std::string manifest;
        bool signedManifest;
        int verifyDigests, result;
        Kinds kinds;         // of each download
        std::string refused; // the entry of the refusal line; empty: none
    } rows[] = {
        {both, true, 0, 1, {"sha256", "sha256"}, ""},
        {"sha256:" + sha256 + " Marvique.jar\nmd5:" + md5 + " lib.jar\n", true, 0, 0, {}, "md5:" + md5 + " lib.jar"},
        {"sha256:" + sha256 + " Marvique.jar\nsha256:abc lib.jar\n", true, 0, 0, {}, "sha256:abc lib.jar"},
        {"sha256:" + sha256 + " Marvique.jar\nid:7 lib.jar\n", true, 2, 0, {}, "id:7 lib.jar"},
        {both, false, 0, 1, {"-", "-"}, ""},
        {both, false, 1, 1, {"sha256", "sha256"}, ""},
    };
    for (const auto &row : rows) {
        Scene s;
        s.serve("Marvique.jar", "client");
        s.serve("lib.jar", "lib");
        writeFile(s.at("fcompare.new"), row.manifest);
        UpdatePass pass = s.newPass();
        pass.signedManifest = row.signedManifest;
        pass.verifyDigests = row.verifyDigests;
        EXPECT_EQ(row.result, workFileVersion(&pass, s.at("fcompare.new").c_str())) << row.manifest;
        EXPECT_EQ(row.kinds, fakeDigestKinds) << row.manifest;
        std::string line = "workFileVersion - not a sha256 entry, which signed manifests require, refused: ";
        size_t at = s.log().find(line);
        EXPECT_EQ(row.refused.empty() ? std::string::npos : s.log().find(line + row.refused + "\r\n"), at)
            << row.manifest;
    }
}

// A file staged by a run that did not verify it is taken by a verifying run
// only when it has the manifest's digest.
TEST(workFileVersion, AVerifyingPassChecksWhatAnEarlierRunStaged)
{
    const std::string manifest = "sha256:3e23e8160039594a33894f6564e1b1348bbd7a0088d42c4acb73eeaed59c009d b.jar\n"
                                 "sha256:2e7d2c03a9507ae265ecf5b5356885a53393a2029d241394997265a1a25aefc6 c.jar\n";
    struct {
        const char *staged; // c.jar's body in the unverified run
        bool signedManifest;
        int verifyDigests;
        bool fetchedAgain;
    } rows[] = {{"c", true, 0, false}, {"altered", true, 0, true}, {"altered", false, 1, true},
                {"altered", false, 0, false}};
    for (const auto &row : rows) {
        Scene s;
        std::string what = std::string(row.staged) + " " + std::to_string(row.signedManifest) +
                           std::to_string(row.verifyDigests);
        s.serve("c.jar", row.staged);
        writeFile(s.at("fcompare.new"), manifest);
        EXPECT_EQ(0, s.pass()) << what; // b.jar missing: c.jar stays staged
        s.serve("b.jar", "b");
        s.serve("c.jar", "c");
        fakeCalls.clear();
        writeFile(s.at("fcompare.new"), manifest);
        UpdatePass pass = s.newPass();
        pass.signedManifest = row.signedManifest;
        pass.verifyDigests = row.verifyDigests;
        EXPECT_EQ(1, workFileVersion(&pass, s.at("fcompare.new").c_str())) << what;
        EXPECT_EQ(row.fetchedAgain ? (Calls{s.get("b.jar"), s.get("c.jar"), search}) : (Calls{s.get("b.jar"), search}),
                  fakeCalls)
            << what;
        EXPECT_EQ(row.fetchedAgain || row.staged == std::string("c") ? "c" : row.staged, readFile(s.at("c.jar")))
            << what;
    }
}

// A manifest of over half a million short lines, all of them files to
// fetch: what the fetch keeps of each file does not fit 32 bits, and the pass
// fails before it writes any of it.
TEST(workFileVersionLine, MoreFilesThanThePassCanHoldFailTheLine)
{
    Scene s;
    char kind[] = "md5", value[] = "a", path[] = "other.jar";
    ManifestItem other = {};
    other.form = MANIFEST_ENTRY;
    other.fields = {kind, value, path};
    UpdatePass pass = s.newPass();
    // With the line's own entry, one more than 2^32 / 7946, the bytes of a URL,
    // a staged path and a name.
    pass.neededCount = pass.neededRoom = 540520;
    pass.needed = (const ManifestItem **)malloc(pass.neededRoom * sizeof *pass.needed);
    ASSERT_TRUE(pass.needed);
    for (size_t i = 0; i < pass.neededCount; ++i)
        pass.needed[i] = &other;
    char line[] = "md5:a lib.jar";
    EXPECT_EQ(0, workFileVersionLine(&pass, line));
    endUpdatePass(&pass);
    EXPECT_EQ(Calls{}, fakeCalls);
    EXPECT_NE(std::string::npos, s.log().find("workFileVersion - out of memory for the files to fetch"));
    EXPECT_FALSE(fileExists(s.at("lib.jar")));
}

TEST(checkFileEqual, AnEntryLongerThanAnyManifestLineIsNotFound)
{
    Scene s;
    writeFile(s.at("lib.jar"), "old");
    std::string value(1100, 'v');
    writeFile(s.at("fcompare.ini"), "md5:" + value + " lib.jar\n");
    UpdatePass pass = s.newPass();
    EXPECT_EQ(0, checkFileEqual(&pass, "lib.jar", value.c_str(), "md5"));
    EXPECT_EQ(0u, s.log().find("checkFileEqual - entry text too long (over 1023 characters): md5:vvv"));
}

TEST(workFileVersion, FirstRunFetchesEverythingThenNothingWhateverTheLineEnds)
{
    const char *rows[][2] = {{"\n", "\n"}, {"\r\n", "\r\n"}, {"\n", "\r\n"}, {"\r\n", "\n"}};
    for (const auto &row : rows) {
        Scene s;
        auto manifest = [](const std::string &end) {
            return "JRE:1.8.0" + end + "md5:a1 Marvique.jar" + end + "id:7 lib.jar" + end;
        };
        s.serve("Marvique.jar", "client");
        s.serve("lib.jar", "library");
        std::string what = std::string("row ") + (row[0][0] == '\r' ? "CRLF" : "LF") + " then " +
                           (row[1][0] == '\r' ? "CRLF" : "LF");

        writeFile(s.at("fcompare.new"), manifest(row[0]));
        EXPECT_EQ(1, s.pass()) << what;
        EXPECT_EQ((Calls{s.get("Marvique.jar"), s.get("lib.jar"), search}), fakeCalls) << what;
        EXPECT_EQ("client", readFile(s.at("Marvique.jar"))) << what;
        EXPECT_EQ(manifest(row[0]), readFile(s.at("fcompare.ini"))) << what;
        EXPECT_FALSE(fileExists(s.at("fcompare.new"))) << what;

        fakeCalls.clear();
        writeFile(s.at("fcompare.new"), manifest(row[1]));
        EXPECT_EQ(1, s.pass()) << what;
        EXPECT_EQ(Calls{}, fakeCalls) << what;
        EXPECT_EQ(manifest(row[1]), readFile(s.at("fcompare.ini"))) << what;
        EXPECT_FALSE(fileExists(s.at("fcompare.new"))) << what;
    }
}

TEST(workFileVersion, AFailedFileKeepsTheOldVersionWhole)
{
    Scene s;
    const std::string old = "md5:a1 Marvique.jar\nid:7 lib.jar\nsha1:s1 x.jar\n";
    const std::string now = "md5:a2 Marvique.jar\nid:8 lib.jar\nsha1:s2 x.jar\n";
    writeFile(s.at("fcompare.ini"), old);
    writeFile(s.at("fcompare.new"), now);
    for (const char *name : {"Marvique.jar", "lib.jar", "x.jar"})
        writeFile(s.at(name), "old");
    s.serve("Marvique.jar", "new");
    s.serve("x.jar", "new");

    EXPECT_EQ(0, s.pass());
    EXPECT_EQ((Calls{s.get("Marvique.jar"), s.get("lib.jar"), s.get("x.jar")}), fakeCalls);
    for (const char *name : {"Marvique.jar", "lib.jar", "x.jar"})
        EXPECT_EQ("old", readFile(s.at(name))) << name;
    EXPECT_EQ(old, readFile(s.at("fcompare.ini")));
    EXPECT_EQ(now, readFile(s.at("fcompare.new")));
    EXPECT_NE(std::string::npos, s.log().find("\r\nError downloading file!!: " + s.applets + "lib.jar\r\n"));
}

TEST(workFileVersion, PromotesOnlyWhenNoLineFailed)
{
    struct {
        std::string manifest;
        int result;
        std::vector<std::string> fetched;
        bool switched; // the switch was tried, after the search
    } rows[] = {
        // No file named: an error page or a captive portal's answer.
        {"", PASS_NOT_A_MANIFEST, {}, false},
        {"<html>\n<body>Not found</body>\n</html>\n", PASS_NOT_A_MANIFEST, {}, false},
        {"JRE:1.8\nMD5:0123 Marvique.jar\n", PASS_NOT_A_MANIFEST, {}, false},
        {"md5:a lib.jar\nmd5:b lib.jar\nmd5:c LIB.JAR\n", 1, {"lib.jar"}, true}, // one file, fetched once
        {"\xEF\xBB\xBFmd5:a lib.jar\n", 1, {"lib.jar"}, true},             // Notepad's byte order mark
        {std::string("\xFF\xFEm\0d\0", 6), 0, {}, false},                      // UTF-16: not text
        {std::string(1023, 'x') + "md5:a lib.jar\n", 1, {"lib.jar"}, true},
        {"md5:a lib.jar " + std::string(1100, 'z') + "\n", 1, {"lib.jar"}, true},
        // No sub-folder is made: the switch fails and puts lib.jar's old state back.
        {"md5:a ext/a.jar\nmd5:a lib.jar\n", 0, {"ext/a.jar", "lib.jar"}, true},
        // A refused entry: nothing is fetched.
        {"md5:x ../evil.bat\nmd5:a lib.jar\n", 0, {}, false},
    };
    for (const auto &row : rows) {
        Scene s;
        s.serve("lib.jar", "body");
        s.serve("ext/a.jar", "body");
        s.serve("../evil.bat", "evil");
        writeFile(s.at("fcompare.new"), row.manifest);
        std::string what = "row " + row.manifest.substr(0, 40);
        EXPECT_EQ(row.result, s.pass()) << what;
        Calls expected;
        for (const auto &path : row.fetched)
            expected.push_back(s.get(path));
        if (row.switched)
            expected.push_back(search);
        EXPECT_EQ(expected, fakeCalls) << what;
        EXPECT_EQ(row.result == 1, fileExists(s.at("lib.jar"))) << what;
        EXPECT_EQ(row.result == 1, fileExists(s.at("fcompare.ini"))) << what;
        EXPECT_EQ(row.result != 1, fileExists(s.at("fcompare.new"))) << what;
        EXPECT_FALSE(fileExists(s.tmp.path() + "evil.bat")) << what;
    }
}

TEST(workFileVersion, SearchesForTheDebugClientAndGoesOnWhateverTheSearchSays)
{
    Scene s;
    s.javaExe = "java.exe";
    fakeSearchResult = -2;
    writeFile(s.at("fcompare.ini"), "md5:a1 Marvique.jar\r\nid:7 lib.jar\r\n");
    writeFile(s.at("fcompare.new"), "md5:a1 Marvique.jar\r\nid:8 lib.jar\r\n");
    writeFile(s.at("Marvique.jar"), "old");
    writeFile(s.at("lib.jar"), "old");
    s.serve("lib.jar", "new");
    EXPECT_EQ(1, s.pass());
    EXPECT_EQ((Calls{s.get("lib.jar"), "search java.exe  -jar Marvique.jar|1"}), fakeCalls);
    EXPECT_NE(std::string::npos, s.log().find("\r\nSearchProcesses: -2\r\n"));
    EXPECT_EQ("new", readFile(s.at("lib.jar")));
}

TEST(workFileVersion, SearchesOnceBeforeTheSwitchAndKeepsWhatWasStaged)
{
    for (int found : {1, 0, -2}) {
        Scene s;
        fakeSearchResult = found;
        writeFile(s.at("fcompare.ini"), "md5:1 a.jar\n");
        writeFile(s.at("a.jar"), "a");
        s.serve("c.jar", "c");
        std::string what = "row " + std::to_string(found);
        // The first pass fails on b.jar and switches nothing; the second
        // fetches b.jar alone, c.jar having been staged whole.
        for (bool served : {false, true}) {
            if (served)
                s.serve("b.jar", "b");
            fakeCalls.clear();
            writeFile(s.tmp.path() + "Kovrel.log", "");
            writeFile(s.at("fcompare.new"), "md5:1 a.jar\nmd5:1 b.jar\nmd5:1 c.jar\n");
            EXPECT_EQ(served ? 1 : 0, s.pass()) << what;
            EXPECT_EQ(served ? (Calls{s.get("b.jar"), search}) : (Calls{s.get("b.jar"), s.get("c.jar")}), fakeCalls)
                << what;
            EXPECT_EQ(served, fileExists(s.at("c.jar"))) << what;
            std::string log = s.log();
            EXPECT_EQ(served, log.find("\r\nSearchProcesses: " + std::to_string(found) + "\r\n") != std::string::npos)
                << what << "\n" << log;
        }
        EXPECT_FALSE(fileExists(s.at("staging.part"))) << what;
    }
}

// The staged files of a pass that failed, by content.
std::map<std::string, std::string> stagedFiles(const Scene &s)
{
    std::map<std::string, std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(s.at("staging.part\\*").c_str(), &found);
    for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files[readFile(s.at("staging.part\\") + found.cFileName)] = s.at("staging.part\\") + found.cFileName;
    FindClose(h);
    return files;
}

// Version 1 of a.jar and b.jar installed; a pass to version 2, which adds
// c.jar, fails on c.jar and leaves the new a.jar and b.jar staged. Returns
// version 2's manifest.
static std::string stageTwoOfThree(Scene &s)
{
    writeFile(s.at("fcompare.ini"), "id:1 a.jar\nid:1 b.jar\n");
    writeFile(s.at("a.jar"), "old a");
    writeFile(s.at("b.jar"), "old b");
    s.serve("a.jar", "new a");
    s.serve("b.jar", "new b");
    const std::string next = "id:2 a.jar\nid:2 b.jar\nid:2 c.jar\n";
    writeFile(s.at("fcompare.new"), next);
    EXPECT_EQ(0, s.pass()); // c.jar is not served
    return next;
}

TEST(workFileVersion, ASwitchCutShortIsFinishedByTheNextRun)
{
    for (bool manifestMoved : {false, true}) {
        Scene s;
        std::string what = manifestMoved ? "row manifest moved" : "row manifest not moved";
        const std::string next = stageTwoOfThree(s);
        auto staged = stagedFiles(s);
        ASSERT_EQ(2u, staged.size()) << what;
        // As the run left them that ended in the switch, after a.jar and b.jar
        // (or after the manifest too), before c.jar: the journal's last line cut.
        std::string journal = s.at("staging.part\\switch.journal"), text;
        for (const char *name : {"a", "b"}) {
            std::string file = staged["new " + std::string(name)], target = s.at(std::string(name) + ".jar");
            MoveFileA(target.c_str(), (file + ".old").c_str());
            MoveFileA(file.c_str(), target.c_str());
            text += "1 " + file.substr(file.size() - 16) + " " + target + "\n";
        }
        writeFile(journal, text + "0 0123");
        if (manifestMoved)
            MoveFileExA(s.at("fcompare.new").c_str(), s.at("fcompare.ini").c_str(), MOVEFILE_REPLACE_EXISTING);

        if (!manifestMoved) {
            // A file that cannot be put back keeps the journal and what it
            // kept aside, and no pass changes anything, until a run can.
            HANDLE held = CreateFileA(s.at("b.jar").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
            finishCutSwitch(s.work.c_str());
            EXPECT_TRUE(fileExists(journal)) << what;
            EXPECT_EQ(0, s.pass()) << what;
            CloseHandle(held);
            EXPECT_EQ("new a", readFile(s.at("a.jar"))) << what;
            EXPECT_NE(std::string::npos, s.log().find("a switch cut short is not put back yet")) << what;
        }
        finishCutSwitch(s.work.c_str());
        for (const char *name : {"a", "b"}) {
            std::string file = staged["new " + std::string(name)];
            EXPECT_EQ((manifestMoved ? "new " : "old ") + std::string(name), readFile(s.at(std::string(name) + ".jar")))
                << what;
            EXPECT_EQ(!manifestMoved, fileExists(file)) << what; // for the next run
            EXPECT_FALSE(fileExists(file + ".old")) << what;
        }
        EXPECT_FALSE(fileExists(journal)) << what;
        EXPECT_NE(std::string::npos, s.log().find(manifestMoved ? "after its manifest moved in" : "its files are put back"))
            << what;
        if (!manifestMoved) {
            // What is staged is of no version once a pass needs nothing.
            writeFile(s.at("fcompare.new"), "id:1 a.jar\nid:1 b.jar\n");
            EXPECT_EQ(1, s.pass()) << what;
            EXPECT_FALSE(fileExists(s.at("staging.part"))) << what;
        }
    }
}

// An old file that an earlier switch to the same entry kept aside and could
// not remove (a read-only one, say), held while this switch starts: it is
// never taken for the file this switch keeps aside, and so never put back.
TEST(workFileVersion, AnAsideOfAnEarlierSwitchIsNeverPutBack)
{
    Scene s;
    const std::string next = stageTwoOfThree(s);
    std::string stale = stagedFiles(s)["new a"] + ".old";
    writeFile(stale, "older a");
    HANDLE held = CreateFileA(stale.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    s.serve("c.jar", "new c");
    EXPECT_EQ(0, s.pass());
    CloseHandle(held);
    finishCutSwitch(s.work.c_str());
    EXPECT_EQ("old a", readFile(s.at("a.jar")));
    EXPECT_EQ("old b", readFile(s.at("b.jar")));
    EXPECT_FALSE(fileExists(s.at("c.jar")));
    EXPECT_NE(std::string::npos, s.log().find("kept aside by an earlier switch, not removed"));
    writeFile(s.at("fcompare.new"), next);
    EXPECT_EQ(1, s.pass());
    EXPECT_EQ("new a", readFile(s.at("a.jar")));
    EXPECT_EQ(next, readFile(s.at("fcompare.ini")));
}

TEST(workFileVersion, LogsEachEntryInOrder)
{
    struct {
        const char *name;
        const char *installed; // null: none
        bool local, served;
        const char *lines; // after "Checking file: lib.jar"; %I installed path, %U file URL
    } rows[] = {
        {"missing", nullptr, false, true, "File not found or different, downloading...\r\n%F%S"},
        {"up to date", "md5:a lib.jar\n", true, true,
         "File already exists and same version... [lib.jar]\r\n"},
        {"no installed manifest", nullptr, true, true,
         "checkFileEqual - fopen failed: 2 (No such file or directory : %I)\r\n"
         "File not found or different, downloading...\r\n%F%S"},
        {"download fails", nullptr, false, false,
         "File not found or different, downloading...\r\n%FError downloading file!!: %U\r\n"},
    };
    for (const auto &row : rows) {
        Scene s;
        if (row.installed)
            writeFile(s.at("fcompare.ini"), row.installed);
        if (row.local)
            writeFile(s.at("lib.jar"), "old");
        if (row.served)
            s.serve("lib.jar", "new");
        writeFile(s.at("fcompare.new"), "md5:a lib.jar\n");
        s.pass();
        std::string expected = row.lines;
        auto fill = [&expected](const std::string &mark, const std::string &text) {
            size_t at = expected.find(mark);
            if (at != std::string::npos)
                expected.replace(at, mark.size(), text);
        };
        fill("%I", s.at("fcompare.ini"));
        fill("%U", s.applets + "lib.jar");
        fill("%F", "\r\nworkFileVersion - fetching 1 of 1 files, 4 at a time\r\n");
        fill("%S", "\r\nworkFileVersion - switching to the 1 files fetched\r\nSearchProcesses: 0\r\n"
                   "workFileVersion - switch: 1 files moved into place\r\n");
        EXPECT_EQ("\r\nProcessing file: " + s.at("fcompare.new") + "\r\n\r\nChecking file: lib.jar\r\n" +
                      expected,
                  s.log())
            << "row " << row.name;
    }
}

TEST(workFileVersion, ReportsWhatKeepsItFromReadingOrPromoting)
{
    {
        Scene s;
        EXPECT_EQ(0, s.pass());
        EXPECT_EQ("workFileVersion - fopen failed: 2 (No such file or directory: " + s.at("fcompare.new") +
                      ")\r\n",
                  s.log());
    }
    {
        // The installed manifest cannot be replaced: the files switched are
        // put back, since the installed one names the old version.
        Scene s;
        CreateDirectoryA(s.at("fcompare.ini").c_str(), NULL);
        writeFile(s.at("fcompare.ini\\keep"), "");
        writeFile(s.at("fcompare.new"), "JRE:1.8\nid:1 lib.jar\n");
        writeFile(s.at("lib.jar"), "old");
        s.serve("lib.jar", "body");
        EXPECT_EQ(0, s.pass());
        EXPECT_EQ("old", readFile(s.at("lib.jar")));
        EXPECT_TRUE(fileExists(s.at("fcompare.new")));
        EXPECT_NE(std::string::npos, s.log().find("\r\nworkFileVersion - rename failed: "));
    }
    {
        // A work folder with no room for "\fcompare.ini" cannot promote.
        Scene s;
        std::string manifest = s.tmp.path() + "m.new";
        writeFile(manifest, "id:1 a\n");
        s.serve("a", "body");
        std::string work = s.tmp.path() + std::string(252 - s.tmp.path().size(), 'w');
        CreateDirectoryA(work.c_str(), NULL);
        UpdatePass pass = s.newPass();
        pass.workFolder = work.c_str();
        EXPECT_EQ(0, workFileVersion(&pass, manifest.c_str()));
        EXPECT_NE(std::string::npos, s.log().find("\r\nworkFileVersion - path too long (over 259 characters): "));
    }
}

} // namespace

TEST(fileDigest, SystemDigestsOfAFile)
{
    TempFolder tmp;
    std::string path = tmp.path() + "abc.bin";
    writeFile(path, "abc");
    char hex[41];
    ASSERT_EQ(1, fileDigest(path.c_str(), "md5", hex, sizeof hex));
    EXPECT_STREQ("900150983cd24fb0d6963f7d28e17f72", hex);
    ASSERT_EQ(1, fileDigest(path.c_str(), "sha1", hex, sizeof hex));
    EXPECT_STREQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex);
    EXPECT_EQ(0, fileDigest((tmp.path() + "missing").c_str(), "md5", hex, sizeof hex));
}

namespace {

// The pass hands the newest readable "JRE" version on; a run without a new
// manifest reads the installed one's the same way.
TEST(workFileVersion, KeepsTheNewestMinimumJavaVersion)
{
    struct {
        const char *manifest, *minimum;
    } rows[] = {
        {"JRE:1.8.0\nid:1 Marvique.jar\n", "1.8.0"},
        {"JRE:11\nJRE:1.8.0_392\nid:1 Marvique.jar\n", "11"},
        {"JRE:1.8\nJRE:17.0.9\nJRE:17\nid:1 Marvique.jar\n", "17.0.9"},
        {"JRE:\nJRE:abc\nid:1 Marvique.jar\n", ""},
        {"id:1 Marvique.jar\n", ""},
    };
    for (const auto &row : rows) {
        Scene scene;
        scene.serve("Marvique.jar", "PK");
        FILE *f = fopen(scene.at("fcompare.new").c_str(), "wb");
        fputs(row.manifest, f);
        fclose(f);
        UpdatePass pass = scene.newPass();
        EXPECT_EQ(1, workFileVersion(&pass, scene.at("fcompare.new").c_str())) << row.manifest;
        EXPECT_STREQ(row.minimum, pass.minimumJava) << row.manifest;
        char installed[64] = "untouched";
        installedMinimumJava(scene.work.c_str(), installed);
        EXPECT_STREQ(row.minimum, installed) << row.manifest;
    }
    Scene none;
    char installed[64] = "untouched";
    installedMinimumJava(none.work.c_str(), installed);
    EXPECT_STREQ("", installed);
}

} // namespace
