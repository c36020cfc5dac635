// The account of the launcher and of a process, as Wine reports them.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include "TempFolder.h"
#include "process/GetCurrentUserAndDomain.h"
#include "process/GetUserFromProcess.h"

namespace {

struct Account {
    char user[256] = "", domain[256] = "";
};

// Wine gives the Unix user and the computer name as the account.
Account wineAccount()
{
    Account a;
    DWORD size = sizeof a.user;
    GetUserNameA(a.user, &size);
    size = sizeof a.domain;
    GetComputerNameA(a.domain, &size);
    return a;
}

Account currentAccount()
{
    Account a;
    DWORD userSize = sizeof a.user, domainSize = sizeof a.domain;
    EXPECT_EQ(1, GetCurrentUserAndDomain(a.user, &userSize, a.domain, &domainSize));
    return a;
}

TEST(GetCurrentUserAndDomain, ReadsTheLauncherAccount)
{
    Account expected = wineAccount();
    ASSERT_NE('\0', expected.user[0]);
    Account a = currentAccount();
    EXPECT_STREQ(expected.user, a.user);
    EXPECT_STREQ(expected.domain, a.domain);

    // A thread with a token of its own is asked through that token.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = NULL;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    Account impersonating = currentAccount();
    RevertToSelf();
    if (token)
        CloseHandle(token);
    EXPECT_STREQ(expected.user, impersonating.user);
    EXPECT_STREQ(expected.domain, impersonating.domain);
}

TEST(GetUserFromProcess, GivesTheLauncherOwnAccountForItsOwnId)
{
    TempFolder tmp;
    Account expected = currentAccount(), a;
    EXPECT_EQ(S_OK, GetUserFromProcess(GetCurrentProcessId(), a.user, a.domain));
    EXPECT_STREQ(expected.user, a.user);
    EXPECT_STREQ(expected.domain, a.domain);
    EXPECT_EQ("", tmp.logText());
}

TEST(GetUserFromProcess, LeavesTheBuffersOfAMissingProcessUntouched)
{
    TempFolder tmp;
    // Process ids are multiples of four: this one never exists.
    const DWORD missing = 0x7FFFFFF1;
    ASSERT_EQ(NULL, OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, missing));
    char user[256] = "keep user", domain[256] = "keep domain";
    EXPECT_EQ(E_FAIL, GetUserFromProcess(missing, user, domain));
    EXPECT_STREQ("keep user", user);
    EXPECT_STREQ("keep domain", domain);
    EXPECT_EQ("", tmp.logText());
}

TEST(GetLogonFromToken, EmptiesTheNamesOnFailure)
{
    char user[256] = "stale", domain[256] = "stale";
    EXPECT_EQ(0, GetLogonFromToken(NULL, user, domain));
    EXPECT_STREQ("", user);
    EXPECT_STREQ("", domain);

    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(1, GetLogonFromToken(token, user, domain));
    CloseHandle(token);
    Account expected = wineAccount();
    EXPECT_STREQ(expected.user, user);
    EXPECT_STREQ(expected.domain, domain);
}

} // namespace
