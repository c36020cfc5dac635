// getHTTPFile against the project's test server. Run through
//   python3 tests/support/server.py --run -- wine download_test.exe
// which hands the server's addresses and files over in KOVREL_* variables.

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <stdlib.h>
#include <string>
#include <vector>
#include <windows.h>

#include "TempFolder.h"
#include "logging/Logging.h"
#include "policy/Policy.h"
#include "rules/manifestReader.h"
#include "update/getHTTPFile.h"

namespace {

const char STAMP[] = " - Time:  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";

// The limits of an administrator key without values, and no shared caches.
const Downloads defaults = {30, 60, "", 4, (curl_off_t)1024 << 20, (curl_off_t)4096 << 20, NULL, false, NULL, NULL};

std::string env(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

// A Unix path of the server's side as Wine shows it.
std::string winPath(std::string unix)
{
    std::replace(unix.begin(), unix.end(), '/', '\\');
    return "Z:" + unix;
}

std::vector<std::string> listFolder(const std::string &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = fd.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> progressLines(const std::string &log)
{
    std::vector<std::string> result;
    for (const std::string &line : logLines(log))
        if (line.rfind("NowDownloaded: ", 0) == 0)
            result.push_back(line);
    return result;
}

// A port on loopback that nothing listens on.
int closedPort()
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&addr, sizeof addr);
    int len = sizeof addr;
    getsockname(s, (sockaddr *)&addr, &len);
    closesocket(s);
    return ntohs(addr.sin_port);
}

// Every byte value, line ends of both kinds and a zero: stored as sent.
std::string manifestBytes()
{
    std::string text = "JRE:1.8.0\r\nid:42 Marvique.jar\nmd5:0a1b lib\\x.jar\r\n";
    for (int i = 0; i < 256; ++i)
        text += (char)i;
    return text;
}

std::string randomBytes(size_t size)
{
    std::string data(size, '\0');
    unsigned x = 2463534242u;
    for (char &c : data) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = (char)x;
    }
    return data;
}

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        http = env("KOVREL_HTTP_BASE");
        https = env("KOVREL_HTTPS_BASE");
        ASSERT_FALSE(http.empty() || https.empty())
            << "run through: python3 tests/support/server.py --run -- wine download_test.exe";
        applets = winPath(env("KOVREL_APPLETS")) + "\\";
        behaviourFile = winPath(env("KOVREL_BEHAVIOUR"));
        requestsFile = winPath(env("KOVREL_REQUESTS"));
        writeFile(behaviourFile, "");
        writeFile(requestsFile, "");
        dir = tmp.path() + "dl\\";
        CreateDirectoryA(dir.c_str(), NULL);
        target = dir + "fcompare.new";
    }

    void put(const std::string &name, const std::string &content) { writeFile(applets + name, content); }
    void behave(const std::string &lines) { writeFile(behaviourFile, lines); }
    std::string requests() const { return readFile(requestsFile); }
    std::string log() const { return tmp.logText(); }

    // The lines that frame one call, in order: start, URL and an empty line,
    // then (after any progress lines) a blank and the end.
    void expectFrame(const std::string &url, const std::string &path)
    {
        std::vector<std::string> all = logLines(log());
        ASSERT_GE(all.size(), 5u) << log();
        EXPECT_TRUE(std::regex_match(all[0], std::regex(std::string("getHTTPFile - Start") + STAMP))) << all[0];
        EXPECT_EQ("getHTTPFile - URL: " + url + ", filename: " + path, all[1]);
        EXPECT_EQ("", all[2]);
        size_t i = 3;
        while (i < all.size() && all[i].rfind("NowDownloaded: ", 0) == 0)
            ++i;
        ASSERT_LT(i + 1, all.size()) << log();
        EXPECT_EQ(" ", all[i]);
        EXPECT_TRUE(std::regex_match(all[i + 1], std::regex(std::string("getHTTPFile - End") + STAMP))) << all[i + 1];
    }

    TempFolder tmp;
    std::string http, https, applets, behaviourFile, requestsFile, dir, target;
};

TEST(reportProgress, HalfSecondThrottleOnTransferTime)
{
    TempFolder tmp;
    // Binary fractions, so that the 0.5 boundary is exact.
    struct {
        double t;
        long long e, n;
        const char *line; // expected progress text, or null for none
        double last;      // lastReportTime afterwards
    } rows[] = {
        {0.0, 0, 0, nullptr, 0.0},            // nothing announced: counters equal, clock moves, no line
        {0.125, 0, 0, nullptr, 0.125},        // the same, still moving
        {0.25, 1000, 0, nullptr, 0.125},      // 0.125 s since: held back
        {0.5, 1000, 100, nullptr, 0.125},     // 0.375 s since: held back
        {0.625, 1000, 200, "200 of TotalToDownload: 1000", 0.625}, // exactly 0.5 s
        {1.0, 1000, 300, nullptr, 0.625},
        {1.125, 1000, 400, "400 of TotalToDownload: 1000", 1.125},
        {1.25, 1000, 1000, "1000 of TotalToDownload: 1000", 1.25}, // whole body: at once
        {1.375, 1000, 1000, "1000 of TotalToDownload: 1000", 1.375}, // and again
        {3.0, 0, 700, nullptr, 3.0},          // no length (chunked): the clock moves, no line
        {3.25, 0, 900, nullptr, 3.0},
        {4.0, 5000000000LL, 3000000000LL, "3000000000 of TotalToDownload: 5000000000", 4.0},
    };
    DownloadProgress progress = {0.0, nullptr};
    size_t logged = 0;
    for (const auto &row : rows) {
        reportProgress(&progress, row.t, row.e, row.n);
        std::vector<std::string> now = progressLines(tmp.logText());
        if (row.line) {
            ASSERT_EQ(logged + 1, now.size()) << "t=" << row.t;
            EXPECT_TRUE(std::regex_match(now.back(), std::regex(std::string("NowDownloaded: ") + row.line + STAMP)))
                << now.back();
            logged = now.size();
        } else {
            EXPECT_EQ(logged, now.size()) << "t=" << row.t;
        }
        EXPECT_EQ(row.last, progress.lastReportTime) << "t=" << row.t;
    }
}

TEST(bodyLimit, FreeMiBThenTwoHundredTimesTheCodedBytesAndTheManifestMaximum)
{
    const long long MiB = 1 << 20, none = 0, manifest = MANIFEST_MAX_BYTES;
    struct {
        long long decoded, coded, maximum;
        BodyLimit expected;
    } rows[] = {
        {MiB, 0, none, BODY_WITHIN},                   // the first MiB, whatever arrived
        {MiB + 1, 0, none, BODY_OVER_EXPANSION},
        {MiB + 1, 5243, none, BODY_WITHIN},            // 200 * 5243 > MiB + 1
        {200 * 6000, 6000, none, BODY_WITHIN},         // exactly 200 times
        {200 * 6000 + 1, 6000, none, BODY_OVER_EXPANSION},
        {1LL << 40, 1LL << 40, none, BODY_WITHIN},     // a huge uncoded file
        {1LL << 62, (1LL << 62) / 200 + 1, none, BODY_WITHIN}, // no overflow
        {16 * MiB, 16 * MiB, manifest, BODY_WITHIN},
        {16 * MiB + 1, 16 * MiB + 1, manifest, BODY_OVER_MAXIMUM},
        {16 * MiB + 1, 0, manifest, BODY_OVER_MAXIMUM}, // the maximum is named first
        {2 * MiB, 0, manifest, BODY_OVER_EXPANSION},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, bodyLimit(row.decoded, row.coded, row.maximum))
            << row.decoded << " decoded, " << row.coded << " coded, maximum " << row.maximum;
}

TEST(stallCheck, LessThanOneKiBInAnyWindowOfTheLimit)
{
    // Observations (s, bytes received so far) against a limit of 2 s: only the last one stalls, if any.
    struct {
        std::vector<std::pair<double, long long>> seen;
        int stalled;
    } rows[] = {
        {{{0, 0}, {1.9, 0}, {2, 0}}, 1},                  // nothing at all
        {{{0, 0}, {1, 1023}, {2, 1023}}, 1},              // 1023 bytes in the first window
        {{{0, 0}, {1, 1024}, {2.5, 1500}, {3, 1500}}, 1}, // 1 KiB, then a window with 476 bytes
        {{{0, 0}, {1, 600}, {2, 1200}, {3, 1800}, {4, 2400}}, 0},
        {{{0, 0}, {1, 400}, {2, 800}}, 1},
        {{{0, 0}, {1.5, 5000}, {3, 5000}, {3.5, 5000}}, 1}, // a burst, then a pause
    };
    for (const auto &row : rows) {
        StallWatch watch = {};
        for (size_t i = 0; i < row.seen.size(); ++i)
            EXPECT_EQ(i + 1 == row.seen.size() ? row.stalled : 0,
                      stallCheck(&watch, row.seen[i].first, row.seen[i].second, 2.0))
                << "row ending " << row.seen.back().second << ", observation " << i;
    }
    // A byte at a time: never more observations than the ring holds.
    StallWatch watch = {};
    for (int i = 0; i <= 5000; ++i)
        ASSERT_EQ(0, stallCheck(&watch, i / 1000.0, i, 2.0)) << i;
    EXPECT_LE(watch.size, (unsigned)STALL_MIN_BYTES);
}

TEST(parseContentRange, TheWholeValueInOrderOnly)
{
    long long first = 0, last = 0, total = 0;
    EXPECT_TRUE(parseContentRange("bytes 500-999/1000", &first, &last, &total));
    EXPECT_EQ((std::vector<long long>{500, 999, 1000}), (std::vector<long long>{first, last, total}));
    for (const char *refused : {"bytes 500-999/1000 more", "bytes 999-500/1000", "bytes 500-1000/1000", "bytes */1000",
                                "bytes 500-/1000", "bytes 0-1/99999999999999999999"})
        EXPECT_FALSE(parseContentRange(refused, &first, &last, &total)) << refused;
}

TEST_F(Download, ManifestByteForByteOverHttp)
{
    put("fcompare.ini", manifestBytes());
    std::string url = http + "XNL/applets/fcompare.ini";
    EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str()));
    EXPECT_EQ(manifestBytes(), readFile(target));
    EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(dir));
    expectFrame(url, target);
    std::string size = std::to_string(manifestBytes().size());
    std::vector<std::string> progress = progressLines(log());
    ASSERT_FALSE(progress.empty()) << log();
    EXPECT_TRUE(std::regex_match(progress.back(),
                                 std::regex("NowDownloaded: " + size + " of TotalToDownload: " + size + STAMP)));

    // One GET of the exact path, offering deflate, with nothing else to say.
    std::string host = http.substr(7, http.size() - 8);
    EXPECT_EQ("http GET /XNL/applets/fcompare.ini\nHost: " + host + "\nAccept: */*\nAccept-Encoding: deflate\n\n",
              requests());
}

TEST_F(Download, ManifestOverHttpsWithSelfSignedCertificateReplacesTheEarlierCopy)
{
    put("fcompare.ini", manifestBytes());
    writeFile(target, "earlier copy\r\n");
    std::string url = https + "XNL/applets/fcompare.ini";
    EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str())) << log();
    EXPECT_EQ(manifestBytes(), readFile(target));
    EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(dir));
    expectFrame(url, target);
    EXPECT_EQ(0u, requests().rfind("https GET /XNL/applets/fcompare.ini\n", 0)) << requests();
    EXPECT_NE(std::string::npos, requests().find("\nAccept-Encoding: deflate\n"));
    EXPECT_EQ(std::string::npos, requests().find("Authorization")) << requests();
    EXPECT_EQ(std::string::npos, requests().find("Cookie")) << requests();
}

TEST_F(Download, DeflateCodedBodyIsStoredDecoded)
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "id:" + std::to_string(i) + " file" + std::to_string(i % 7) + ".jar\r\n";
    put("packed.ini", text);
    behave("packed.ini deflate\n");
    for (const std::string &base : {http, https}) {
        std::string url = base + "XNL/applets/packed.ini";
        EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str())) << log();
        EXPECT_EQ(text, readFile(target)) << url;
    }
    // The body travelled coded: its announced size is far below the text's.
    std::vector<std::string> progress = progressLines(log());
    ASSERT_FALSE(progress.empty());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(progress.back(), m, std::regex("TotalToDownload: (\\d+)")));
    EXPECT_LT(std::stoul(m[1]), text.size() / 4) << progress.back();
}

TEST_F(Download, ChunkedBodyWithoutLengthLogsNoProgress)
{
    std::string data = randomBytes(300000);
    put("chunked.bin", data);
    behave("chunked.bin chunked\n");
    std::string url = http + "XNL/applets/chunked.bin";
    EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str())) << log();
    EXPECT_TRUE(data == readFile(target));
    EXPECT_EQ(0u, progressLines(log()).size()) << log();
    expectFrame(url, target);
}

TEST_F(Download, LargeFileOverBothSchemes)
{
    std::string data = randomBytes(4 << 20);
    put("large.bin", data);
    for (const std::string &base : {http, https}) {
        std::string url = base + "XNL/applets/large.bin";
        EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str())) << log();
        EXPECT_TRUE(data == readFile(target)) << url;
        EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(dir));
    }
}

TEST_F(Download, SlowBodyLogsProgressAtMostEveryHalfSecond)
{
    const int size = 200000;
    put("slow.bin", randomBytes(size));
    behave("slow.bin slow seconds=3 pieces=16\n");
    std::string url = http + "XNL/applets/slow.bin";
    DWORD start = GetTickCount();
    EXPECT_EQ(1, getHTTPFile(&defaults, url.c_str(), target.c_str())) << log();
    double seconds = (GetTickCount() - start) / 1000.0;
    EXPECT_GE(seconds, 2.9);
    EXPECT_EQ(std::string::size_type(size), readFile(target).size());

    std::vector<std::string> progress = progressLines(log());
    std::string full = "NowDownloaded: " + std::to_string(size) + " of TotalToDownload: " + std::to_string(size);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(0u, progress.back().rfind(full, 0)) << progress.back();
    // Before the full-size line(s): growing counts, at least a few of them, and
    // no more than one per half second of the transfer.
    size_t partial = 0;
    long long last = -1;
    std::map<std::string, int> perSecond;
    for (const std::string &line : progress) {
        if (line.rfind(full, 0) == 0)
            continue;
        ++partial;
        long long n = std::stoll(line.substr(15));
        EXPECT_GE(n, last) << line;
        last = n;
        perSecond[line.substr(line.size() - 19)]++;
    }
    EXPECT_GE(partial, 3u) << log();
    EXPECT_LE(partial, size_t(seconds / 0.5) + 1) << log();
    for (const auto &second : perSecond)
        EXPECT_LE(second.second, 2) << "lines stamped " << second.first << "\n" << log();
    expectFrame(url, target);
}

// Every failure: result 0, its line, the earlier copy untouched, nothing left behind.
TEST_F(Download, FailuresKeepTheEarlierCopy)
{
    put("cut.bin", randomBytes(500000));
    behave("broken.ini 500\npart.ini 206\nempty.ini 204\n"
           "moved.ini redirect location=/XNL/applets/elsewhere.ini\n"
           "cut.bin cut\n");
    std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/XNL/applets/fcompare.ini";
    struct {
        std::string url;
        std::string line; // regex of the failure line, right after the end line
    } rows[] = {
        {http + "XNL/applets/missing.ini", "getHTTPFile - HTTP status 404: not a success, nothing stored"},
        {https + "XNL/applets/missing.ini", "getHTTPFile - HTTP status 404: not a success, nothing stored"},
        {http + "XNL/applets/broken.ini", "getHTTPFile - HTTP status 500: not a success, nothing stored"},
        {http + "XNL/applets/part.ini", "getHTTPFile - HTTP status 206: not a success, nothing stored"},
        {http + "XNL/applets/empty.ini", "getHTTPFile - HTTP status 204: not a success, nothing stored"},
        {http + "XNL/applets/moved.ini",
         "getHTTPFile - HTTP status 302: redirect to " + http + "XNL/applets/elsewhere.ini not followed, nothing stored"},
        {http + "XNL/applets/cut.bin", "getHTTPFile - curl_easy_perform\\(\\) failed: Transferred a partial file"},
        {https + "XNL/applets/cut.bin", "getHTTPFile - curl_easy_perform\\(\\) failed: .+"},
        {refused, "getHTTPFile - curl_easy_perform\\(\\) failed: Couldn't connect to server"},
        {"http://[127.0.0.1/XNL/applets/fcompare.ini",
         "getHTTPFile - curl_easy_perform\\(\\) failed: URL using bad/illegal format or missing URL"},
        {"htp://127.0.0.1/XNL/applets/fcompare.ini",
         "getHTTPFile - curl_easy_perform\\(\\) failed: Unsupported protocol"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.url);
        writeFile(tmp.path() + "Kovrel.log", "");
        writeFile(target, "earlier copy\r\n");
        EXPECT_EQ(0, getHTTPFile(&defaults, row.url.c_str(), target.c_str()));
        EXPECT_EQ("earlier copy\r\n", readFile(target));
        EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(dir));
        expectFrame(row.url, target);
        std::vector<std::string> all = logLines(log());
        ASSERT_FALSE(all.empty());
        EXPECT_TRUE(std::regex_match(all.back(), std::regex(row.line))) << log();
    }
    EXPECT_EQ(std::string::npos, requests().find("elsewhere.ini")) << "redirect followed:\n" << requests();
}

// With the machine's store asked, the self-signed certificate fails whatever
// the first answer was: a later transfer that would reuse its connection from
// the run's cache is not let through as checked before.
TEST_F(Download, UntrustedConnectionServesNoLaterTransfer)
{
    put("fcompare.ini", manifestBytes());
    behave("busy.ini 503\n");
    Policy policy = defaultPolicy();
    policy.verifyServerCertificate = 1;
    Downloads downloads = {};
    getHTTPStartup(&downloads, &policy);
    for (const char *name : {"busy.ini", "fcompare.ini"}) {
        std::string url = https + "XNL/applets/" + name;
        EXPECT_EQ(0, getHTTPFile(&downloads, url.c_str(), target.c_str())) << log();
    }
    getHTTPCleanup(&downloads);
    EXPECT_EQ(std::vector<std::string>{}, listFolder(dir));
}

TEST_F(Download, MissingFolderFailsBeforeAnyTransfer)
{
    put("fcompare.ini", "id:1 a.jar\n");
    std::string url = http + "XNL/applets/fcompare.ini";
    std::string path = dir + "nosuch\\fcompare.new";
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), path.c_str()));
    std::vector<std::string> all = logLines(log());
    ASSERT_EQ(4u, all.size()) << log();
    EXPECT_EQ("getHTTPFile - URL: " + url + ", filename: " + path, all[1]);
    EXPECT_EQ("getHTTPFile - fopen failed 1: 2 (No such file or directory : " + path + ".part)", all[3]);
    EXPECT_EQ(std::vector<std::string>{}, listFolder(dir));
    EXPECT_EQ("", requests());
}

// Run by the ctest entry download_full_disk, which mounts the small disk.
// A pass keeps 64 MiB of the volume free: on the small file system a known
// length is refused before a byte is written, and an unknown one is stopped.
TEST_F(Download, FullDiskGuardOfAPass)
{
    if (env("KOVREL_SMALL_DISK").empty())
        GTEST_SKIP() << "needs KOVREL_SMALL_DISK: run through tests/support/small-disk.sh";
    std::string disk = winPath(env("KOVREL_SMALL_DISK")) + "\\";
    put("known.bin", std::string(1000, 'k'));
    put("unknown.bin", std::string(1000, 'u'));
    behave("unknown.bin chunked\n");
    const char *lines[] = {"getHTTPFile - 1000 bytes to come, ", "getHTTPFile - 0 bytes stored, "};
    const char *names[] = {"known.bin", "unknown.bin"};
    for (int i = 0; i < 2; ++i) {
        std::string url = http + "XNL/applets/" + names[i], path = disk + names[i];
        FetchJob job = {url.c_str(), path.c_str(), NULL, NULL, 0, 0, 0, NULL};
        EXPECT_EQ(0, fetchFiles(&defaults, &job, 1)) << names[i];
        EXPECT_EQ(std::vector<std::string>{}, listFolder(disk)) << names[i];
        EXPECT_NE(std::string::npos, log().find(lines[i])) << log();
    }
}

// Run by download_disk_reserve, on a file system of 80 MiB: the transfers of
// a pass keep the 64 MiB free together, each counting what the others announced.
TEST_F(Download, DiskReserveOfTheTransfersTogether)
{
    if (env("KOVREL_SMALL_DISK").empty())
        GTEST_SKIP() << "needs KOVREL_SMALL_DISK: run through tests/support/small-disk.sh";
    std::string disk = winPath(env("KOVREL_SMALL_DISK")) + "\\";
    ULARGE_INTEGER available;
    ASSERT_TRUE(GetDiskFreeSpaceExA(disk.c_str(), &available, NULL, NULL));
    // Room above the reserve for one of the files, not for both.
    ASSERT_GT(available.QuadPart, 67ull << 20);
    writeFile(disk + "filler", std::string((size_t)(available.QuadPart - (67ull << 20)), 'f'));
    put("a.bin", std::string(2 << 20, 'a'));
    put("b.bin", std::string(2 << 20, 'b'));
    behave("a.bin slow seconds=1 pieces=8\nb.bin slow seconds=1 pieces=8\n");
    std::string urls[] = {http + "XNL/applets/a.bin", http + "XNL/applets/b.bin"};
    std::string paths[] = {disk + "a.bin", disk + "b.bin"};
    FetchJob jobs[2] = {{urls[0].c_str(), paths[0].c_str(), NULL, NULL, 0, 0, 0, NULL},
                        {urls[1].c_str(), paths[1].c_str(), NULL, NULL, 0, 0, 0, NULL}};
    EXPECT_EQ(0, fetchFiles(&defaults, jobs, 2));
    EXPECT_EQ(1, jobs[0].ok + jobs[1].ok);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(jobs[i].ok == 1, fileExists(paths[i])) << paths[i];
    // What the other has stored by then is on the disk, no longer announced.
    EXPECT_TRUE(std::regex_search(log(), std::regex("getHTTPFile - 2097152 bytes to come, and [0-9]+ for the files "
                                                    "being fetched, [0-9]+ free on the volume: .*not fetched")))
        << log();
}

TEST_F(Download, FullDiskFailsAndKeepsTheEarlierCopy)
{
    if (env("KOVREL_SMALL_DISK").empty())
        GTEST_SKIP() << "needs KOVREL_SMALL_DISK: run through tests/support/small-disk.sh";
    std::string disk = winPath(env("KOVREL_SMALL_DISK")) + "\\";
    std::string path = disk + "fcompare.new";
    writeFile(path, "earlier copy\r\n");
    put("large.bin", randomBytes(1 << 20));
    std::string url = http + "XNL/applets/large.bin";
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), path.c_str()));
    EXPECT_EQ("earlier copy\r\n", readFile(path));
    EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(disk));
    std::string text = log();
    EXPECT_NE(std::string::npos,
              text.find("getHTTPFile - curl_easy_perform() failed: Failed writing received data to disk/application\r\n"
                        "getHTTPFile - fwrite failed: 28 (No space left on device : " + path + ".part)\r\n"))
        << text;
    EXPECT_EQ(std::string::npos, text.find("fclose failed")) << text;

    // A body small enough to stay in the stream's buffer fails only at the close.
    writeFile(disk + "filler", std::string(1 << 16, 'f'));
    put("small.ini", "id:1 a.jar\n");
    url = http + "XNL/applets/small.ini";
    writeFile(tmp.path() + "Kovrel.log", "");
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), path.c_str()));
    EXPECT_EQ("earlier copy\r\n", readFile(path));
    EXPECT_EQ((std::vector<std::string>{"fcompare.new", "filler"}), listFolder(disk));
    std::vector<std::string> all = logLines(log());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ("getHTTPFile - fclose failed: 28 (No space left on device : " + path + ".part)", all.back()) << log();
}

TEST_F(Download, TargetHeldOpenIsNotReplaced)
{
    put("Marvique.jar", randomBytes(10000));
    writeFile(target, "running client's copy");
    // As a running client holds its jar: reading, shared for reading only.
    HANDLE held = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::string url = http + "XNL/applets/Marvique.jar";
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), target.c_str()));
    CloseHandle(held);
    EXPECT_EQ("running client's copy", readFile(target));
    EXPECT_EQ(std::vector<std::string>{"fcompare.new"}, listFolder(dir));
    expectFrame(url, target);
    std::vector<std::string> all = logLines(log());
    EXPECT_TRUE(std::regex_match(all.back(), std::regex("getHTTPFile - MoveFileEx failed, file not replaced: 5 \\(.+ : " +
                                                        std::regex_replace(target, std::regex("\\\\"), "\\\\") + "\\)")))
        << all.back();
}

TEST_F(Download, StagingFileInUseByAnotherDownloadIsLeftToIt)
{
    put("fcompare.ini", "id:1 a.jar\n");
    writeFile(target, "earlier copy\r\n");
    std::string part = target + ".part";
    HANDLE other = CreateFileA(part.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    std::string url = http + "XNL/applets/fcompare.ini";
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), target.c_str()));
    CloseHandle(other);
    EXPECT_EQ("earlier copy\r\n", readFile(target));
    std::vector<std::string> all = logLines(log());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ("getHTTPFile - fopen failed 1: 13 (Permission denied : " + part + ")", all.back());
    EXPECT_EQ("", requests());
}

TEST_F(Download, TemporaryNameBeyondMaxPathIsRefused)
{
    put("fcompare.ini", "id:1 a.jar\n");
    // 256 characters fit a Windows path; with ".part" they would not.
    std::string path = dir + std::string(MAX_PATH - 4 - dir.size(), 'n');
    ASSERT_EQ(256u, path.size());
    std::string url = http + "XNL/applets/fcompare.ini";
    EXPECT_EQ(0, getHTTPFile(&defaults, url.c_str(), path.c_str()));
    std::vector<std::string> all = logLines(log());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ("getHTTPFile - temporary file name too long (261 characters, at most 259): " + path + ".part", all.back());
    EXPECT_EQ(std::vector<std::string>{}, listFolder(dir));
    EXPECT_EQ("", requests());
}

} // namespace
