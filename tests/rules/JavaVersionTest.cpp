// Java versions and where a runtime states its own: tables.
#include <gtest/gtest.h>
#include <string>

#include "rules/javaVersion.h"

namespace {

TEST(javaVersionAtLeast, ComparesAsJavaNumbersVersions)
{
    struct {
        const char *version, *minimum;
        int expected;
    } rows[] = {
        {"1.8.0_392", "1.8.0", 1},   {"1.8.0_392", "8", 1},        {"1.8.0_392", "11", 0},
        {"1.8.0_392", "1.8.0_400", 0}, {"1.8.0_392-b08", "8.0.392", 1}, {"1.8", "1.8.0", 1},
        {"17.0.9", "11", 1},         {"17.0.9", "17.0.10", 0},     {"17.0.10", "17.0.9", 1},
        {"17", "17.0.0", 1},         {"17.0.9+9", "17.0.9", 1},    {"21-ea", "17", 1},
        {"9", "1.8.0_999", 1},       {"10", "9.0.4", 1},           {"11.0.21.9", "11.0.21", 1},
        {"1", "1.0", 1},             {"1.10.1", "10", 1},          {"17..0", "17.1", 0},
        {"zulu-17", "8", -1},        {"", "8", -1},                {"1234567890", "8", -1},
        {"17", "", 1},               {"17", "abc", 1},             {"999999999", "8", 1},
        {"1.2.3.4.5.6.7", "2.3.4.5.6", 1}, {"2.3.4.5.6.7", "2.3.4.5.6.8", 1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.expected, javaVersionAtLeast(row.version, row.minimum))
            << row.version << " against " << row.minimum;
}

TEST(releaseJavaVersion, TakesTheQuotedValueOfItsLine)
{
    struct {
        std::string release;
        const char *expected; // null: none
    } rows[] = {
        {"IMPLEMENTOR=\"Eclipse Adoptium\"\nJAVA_VERSION=\"17.0.9\"\nOS_NAME=\"Windows\"\n", "17.0.9"},
        {"JAVA_VERSION=\"1.8.0_392\"\r\n", "1.8.0_392"},
        {"JAVA_VERSION=21.0.1", "21.0.1"},
        {"JAVA_VERSION_DATE=\"2023-10-17\"\nJAVA_VERSION=\"21\"\n", "21"},
        {"IMPLEMENTOR_VERSION=\"17\"\n", nullptr},
        {" JAVA_VERSION=\"17\"\n", nullptr},
        {"JAVA_VERSION=\"\"\n", nullptr},
        {"JAVA_VERSION=\"" + std::string(40, '1') + "\"\n", nullptr},
        {std::string("JAVA_VERSION=\"1\0\"\n", 18), nullptr},
        {"", nullptr},
    };
    for (const auto &row : rows) {
        char out[32] = "untouched";
        int found = releaseJavaVersion(row.release.data(), row.release.size(), out, sizeof out);
        EXPECT_EQ(row.expected != nullptr, found != 0) << row.release;
        EXPECT_STREQ(row.expected ? row.expected : "untouched", out) << row.release;
    }
}

TEST(versionInName, StartsAtTheFirstDigit)
{
    EXPECT_STREQ("17", versionInName("zulu-17"));
    EXPECT_STREQ("17.0.9.9", versionInName("17.0.9.9"));
    EXPECT_EQ(nullptr, versionInName("zulu"));
}

} // namespace
