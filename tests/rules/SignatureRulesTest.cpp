// The text of signed manifests: tables of input and expected result.
#include <gtest/gtest.h>
#include <string>

#include "rules/manifestSignature.h"

namespace {

// A P-256 key and a signature made by OpenSSL, in the forms that are published.
const char spki[] = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEESw/g7tdUe632w+1t9HWE2c+O3XcZruxfxlDGabh5G7WfHo4xnhJrYCSNUWFYOnPu"
                    "NhHmvIlVuenfSLWCopo7Q==";
const char signature[] = "MEYCIQC7QG5j/KJHhza7wzylq5j2nO2VdpOt3M/Z/x0fHRm1tgIhALOmlyKekTun++PMKZngUeYyBXBpE6bKrkax/6qkk84O";

std::string hex(const unsigned char *data, size_t n)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02x", data[i]);
        out += two;
    }
    return out;
}

TEST(parsePublicKeyEntry, IdColonAndAP256Key)
{
    const std::string key = spki, other = "MCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE=";
    struct {
        std::string entry;
        const char *why; // null: taken
    } rows[] = {
        {"k1:" + key, nullptr},
        {"publisher-2026.a_b:" + key, nullptr},
        {std::string(64, 'i') + ":" + key, nullptr},
        {std::string(65, 'i') + ":" + key, "the key id is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {":" + key, "the key id is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"k 1:" + key, "the key id is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {key, "no ':' between the key id and the key"},
        {"k1:" + key.substr(0, key.size() - 4), "not an ECDSA P-256 public key (SubjectPublicKeyInfo, uncompressed point)"},
        {"k1:" + key + " ", "the key is not base64"},
        {"k1:" + other, "not an ECDSA P-256 public key (SubjectPublicKeyInfo, uncompressed point)"},
    };
    for (const auto &row : rows) {
        ManifestPublicKey parsed;
        const char *why = nullptr;
        int ok = parsePublicKeyEntry(row.entry.data(), row.entry.size(), &parsed, &why);
        EXPECT_EQ(row.why ? row.why : "taken", ok ? "taken" : std::string(why)) << row.entry;
    }
    ManifestPublicKey parsed;
    std::string entry = "k1:" + key;
    ASSERT_EQ(1, parsePublicKeyEntry(entry.data(), entry.size(), &parsed, nullptr));
    EXPECT_STREQ("k1", parsed.id);
    EXPECT_EQ("112c3f83bb5d51eeb7db0fb5b7d1d613673e3b75dc66bbb17f194319a6e1e46e", hex(parsed.point, 32));
}

TEST(derSignatureToRS, StrictDerOfTwoIntegers)
{
    const std::string r32 = "02200102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";
    struct {
        std::string der; // hex
        bool taken;
    } rows[] = {
        // Taken only in canonical form, which the fuzz target checks by
        // re-encoding; these are what a re-encoding cannot tell.
        {"3044" + r32 + r32, true},
        {"3007020200ff020101", true},                       // a leading zero before a high bit
        {"3006020100020101", false},                        // zero
        {"302502210100" + r32.substr(6) + "020101", false}, // more than 256 bits
        {"3007020101020102", false},                        // length beyond the data
    };
    for (const auto &row : rows) {
        std::string bytes;
        for (size_t i = 0; i + 1 < row.der.size(); i += 2)
            bytes += (char)std::stoi(row.der.substr(i, 2), nullptr, 16);
        unsigned char rs[64];
        EXPECT_EQ(row.taken, derSignatureToRS((const unsigned char *)bytes.data(), bytes.size(), rs) != 0) << row.der;
    }
}

TEST(nextSignatureLine, OneSignatureALineBlankLinesSkipped)
{
    const std::string good = std::string("first ") + signature;
    const std::string text = "\r\n" + good + "\r\n\nsecond " + signature + "x\n" + "no-signature\n" +
                             "bad id " + signature + "\n" + "short MEYCIQC7\n" + good;
    struct {
        unsigned number;
        const char *id, *malformed;
    } expected[] = {
        {2, "first", nullptr},
        {4, "second", "the signature is not base64"},
        {5, "no-signature", "not \"<key id> <base64 signature>\""},
        {6, "bad", "the signature is not base64"},
        {7, "short", "not a DER ECDSA P-256 signature"},
        {8, "first", nullptr},
    };
    size_t at = 0;
    unsigned number = 0;
    SignatureLine line;
    for (const auto &row : expected) {
        ASSERT_EQ(1, nextSignatureLine(text.data(), text.size(), &at, &number, &line)) << row.number;
        EXPECT_EQ(row.number, line.number);
        EXPECT_STREQ(row.id, line.id) << row.number;
        EXPECT_EQ(row.malformed ? row.malformed : "usable", std::string(line.malformed ? line.malformed : "usable"))
            << row.number;
    }
    EXPECT_EQ(0, nextSignatureLine(text.data(), text.size(), &at, &number, &line));
}

TEST(parseSerialAndExpiry, DecimalsUpTo2To63AndRealUtcTimes)
{
    struct {
        const char *text;
        bool taken;
        uint64_t value;
    } serials[] = {{"0", true, 0}, {"5", true, 5}, {"0007", true, 7}, {"9223372036854775808", true, 1ull << 63},
                   {"9223372036854775809", false, 0}, {"18446744073709551616", false, 0}, {"", false, 0},
                   {"-1", false, 0}, {"+1", false, 0}, {"1 ", false, 0}, {"1e3", false, 0}};
    for (const auto &row : serials) {
        uint64_t value = 0;
        EXPECT_EQ(row.taken, parseSerial(row.text, strlen(row.text), &value) != 0) << row.text;
        EXPECT_EQ(row.value, value) << row.text;
    }
    struct {
        const char *text;
        bool taken;
        int64_t seconds;
    } times[] = {{"1970-01-01T00:00:00Z", true, 0},
                 {"2000-02-29T12:34:56Z", true, 951827696},
                 {"2038-01-19T03:14:08Z", true, 2147483648},
                 {"9999-12-31T23:59:59Z", true, 253402300799},
                 {"2100-02-29T00:00:00Z", false, 0}, {"2001-02-29T00:00:00Z", false, 0},
                 {"1969-12-31T23:59:59Z", false, 0}, {"2030-13-01T00:00:00Z", false, 0},
                 {"2030-04-31T00:00:00Z", false, 0}, {"2030-01-01T24:00:00Z", false, 0},
                 {"2030-01-01T00:00:60Z", false, 0}, {"2030-01-01 00:00:00Z", false, 0},
                 {"2030-01-01T00:00:00", false, 0}, {"2030-01-01T00:00:00+00:00", false, 0},
                 {"2030-1-01T00:00:00Z", false, 0}, {"2030-01-01T00:00:0xZ", false, 0}};
    for (const auto &row : times) {
        int64_t seconds = 0;
        EXPECT_EQ(row.taken, parseExpiry(row.text, strlen(row.text), &seconds) != 0) << row.text;
        EXPECT_EQ(row.seconds, seconds) << row.text;
    }
}

TEST(freshnessRefusal, ExpiryAheadAndNoRollback)
{
    const int64_t now = 1900000000; // 2030-03-17
    struct {
        std::string manifest;
        int hasLast;
        uint64_t last;
        const char *refusal; // null: fresh
    } rows[] = {
        {"serial 5\nexpires 2030-04-01T00:00:00Z\nsha256:a b\n", 0, 0, nullptr},
        {"serial 5\r\nexpires 2030-04-01T00:00:00Z\r\n", 1, 5, nullptr},
        {"expires\t 2030-04-01T00:00:00Z\nserial 6\n", 1, 5, nullptr},
        {"serial 4\nexpires 2030-04-01T00:00:00Z\n", 1, 5, "rollback: serial 4 is below 5, accepted before"},
        {"expires 2030-04-01T00:00:00Z\n", 1, 1, "rollback: serial 0 is below 1, accepted before"},
        {"expires 2030-04-01T00:00:00Z\n", 1, 0, nullptr},
        {"serial 5\nexpires 2030-03-17T17:46:40Z\n", 0, 0, "expired at 2030-03-17T17:46:40Z"},
        {"serial 5\n", 0, 0, "no expires line"},
        {"serial 5\nsha256:a b\nserial 6\nexpires 2030-04-01T00:00:00Z\n", 0, 0, "line 3: a second serial line"},
        {"expires 2030-04-01T00:00:00Z\nexpires 2030-04-02T00:00:00Z\n", 0, 0, "line 2: a second expires line"},
        {"serial five\nexpires 2030-04-01T00:00:00Z\n", 0, 0, "line 1: serial is not a decimal number up to 2^63"},
        {"serial\nexpires 2030-04-01T00:00:00Z\n", 0, 0, "line 1: serial is not a decimal number up to 2^63"},
        {"expires 2030-04-01\n", 0, 0, "line 1: expires is not a time as YYYY-MM-DDTHH:MM:SSZ"},
        {"Serial 4\nserial: 3\nexpires 2030-04-01T00:00:00Z\n", 1, 5, "rollback: serial 0 is below 5, accepted before"},
        {"serial 4\n\x1aserial 9\nexpires 2030-04-01T00:00:00Z\n", 0, 0, "no expires line"},
    };
    for (const auto &row : rows) {
        ManifestFreshness f;
        readFreshness(row.manifest.data(), row.manifest.size(), &f);
        char text[200];
        const char *refusal = freshnessRefusal(&f, now, row.hasLast, row.last, text, sizeof text);
        EXPECT_EQ(row.refusal ? row.refusal : "fresh", std::string(refusal ? refusal : "fresh")) << row.manifest;
    }
}

} // namespace
