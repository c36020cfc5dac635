#include <gtest/gtest.h>
#include <string>
#include <windows.h>

#include "policy/Policy.h"

namespace {

// Raw registry data as a value of the administrator key holds it.
struct Raw {
    const char *what;
    DWORD type;
    std::string data;
    unsigned expected; // with a fallback of 30
};

std::string dword(DWORD value) { return std::string((const char *)&value, sizeof value); }

TEST(Policy, SecondsValuesFallBackUnlessAUsableDword)
{
    const Raw rows[] = {
        {"one second", REG_DWORD, dword(1), 1},
        {"one hour", REG_DWORD, dword(3600), 3600},
        {"zero", REG_DWORD, dword(0), 30},
        {"over an hour", REG_DWORD, dword(3601), 30},
        {"huge", REG_DWORD, dword(0xFFFFFFFF), 30},
        {"a string", REG_SZ, std::string("5\0\0\0", 4), 30},
        {"a QWORD", REG_QWORD, dword(5) + dword(0), 30},
        {"short data", REG_DWORD, std::string("\5\0", 2), 30},
        {"no data", REG_DWORD, "", 30},
        {"missing", REG_NONE, "", 30},
        {"big-endian type", REG_DWORD_BIG_ENDIAN, dword(5), 30},
    };
    for (const Raw &row : rows)
        EXPECT_EQ(row.expected, policySeconds(row.type, row.data.data(), (DWORD)row.data.size(), 30)) << row.what;
}

class PolicyKey : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, POLICY_KEY); }
    void TearDown() override { SetUp(); }
    static void set(const char *name, DWORD type, const std::string &data)
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, POLICY_KEY, 0, NULL, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_32KEY, NULL, &key, NULL));
        RegSetValueExA(key, name, 0, type, (const BYTE *)data.data(), (DWORD)data.size());
        RegCloseKey(key);
    }
};

TEST_F(PolicyKey, MissingKeyKeepsTheDefaults)
{
    Policy policy = defaultPolicy();
    ReadPolicy(&policy);
    EXPECT_EQ(30u, policy.connectTimeoutSeconds);
    EXPECT_EQ(60u, policy.stallTimeoutSeconds);
    EXPECT_EQ(300u, policy.lockWaitSeconds);
}

TEST_F(PolicyKey, ValuesReplaceTheDefaultsOneByOne)
{
    set("ConnectTimeoutSeconds", REG_DWORD, dword(2));
    set("StallTimeoutSeconds", REG_SZ, std::string("3\0", 2));
    set("LockWaitSeconds", REG_DWORD, dword(4));
    Policy policy = defaultPolicy();
    ReadPolicy(&policy);
    EXPECT_EQ(2u, policy.connectTimeoutSeconds);
    EXPECT_EQ(60u, policy.stallTimeoutSeconds);
    EXPECT_EQ(4u, policy.lockWaitSeconds);
}

} // namespace
