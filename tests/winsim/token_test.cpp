// Logon, impersonation and token groups: LogonUserW's matching rules, ImpersonateLoggedOnUser /
// OpenThreadToken / RevertToSelf, and GetTokenInformation(TokenGroups)'s size protocol and layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD kLogonSidAttributes = 0xC0000007;

winsim::Machine tokenMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "TESTHOST";
  m.workgroup.clear();
  m.domainName = "CORP";
  m.domainSid = "S-1-5-21-9-9-9";
  auto account = [&m](const char* name, const char* domain, const char* sid, const char* password,
                      std::vector<winsim::GroupMembership> groups, uint32_t logonError) {
    m.accounts.push_back(winsim::Account{name, domain, sid, password, std::move(groups), logonError});
  };
  account("alice", "", "S-1-5-21-1-2-3-1001", "Secret1!", {{"S-1-1-0"}, {"S-1-5-32-545"}}, 0);
  account("bob", "CORP", "S-1-5-21-9-9-9-1104", "pw", {{"S-1-5-21-9-9-9-513"}, {"S-1-5-32-544", 0x10}}, 0);
  account("carol", "TESTHOST", "S-1-5-21-1-2-3-1002", "pw", {}, 1331);
  account("dave", "CORP", "S-1-5-21-9-9-9-1105", "pw", {}, 1909);
  account("erin", "", "S-1-5-21-1-2-3-1003", "", {}, 0);
  return m;
}

class WinsimToken : public testing::Test {
 protected:
  void SetUp() override { winsim::install(tokenMachine()); }
  void TearDown() override { testsupport::expectClean(); }
};

// The groups of a token as (SID string, attributes), read with the two-call size protocol.
std::vector<std::pair<std::string, DWORD>> tokenGroups(HANDLE token) {
  std::vector<std::pair<std::string, DWORD>> out;
  DWORD size = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
    ADD_FAILURE() << "GetTokenInformation failed with " << GetLastError();
    return out;
  }
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const auto* sid = static_cast<const unsigned char*>(groups->Groups[i].Sid);
    std::string text = "S-1-" + std::to_string(sid[7]);
    for (int k = 0; k < sid[1]; ++k) {
      uint32_t v;
      std::memcpy(&v, sid + 8 + 4 * k, 4);
      text += "-" + std::to_string(v);
    }
    out.emplace_back(text, groups->Groups[i].Attributes);
  }
  return out;
}

struct LogonCase {
  const char16_t* user;
  const char16_t* domain;  // null: no domain argument
  const char16_t* password;
  DWORD error;             // 0: success
  const char* firstGroup;  // on success: the first group, which tells whose token it is
};

TEST_F(WinsimToken, LogonMatchesNameDomainAndPassword) {
  const LogonCase cases[] = {
      {u"alice", nullptr, u"Secret1!", 0, "S-1-1-0"},
      {u"alice", u"", u"Secret1!", 0, "S-1-1-0"},
      {u"alice", u".", u"Secret1!", 0, "S-1-1-0"},
      {u"ALICE", u"testhost", u"Secret1!", 0, "S-1-1-0"},
      {u"bob", u"corp", u"pw", 0, "S-1-5-21-9-9-9-513"},
      {u"bob", nullptr, u"pw", 0, "S-1-5-21-9-9-9-513"},
      {u"erin", nullptr, u"", 0, nullptr},
      {u"erin", nullptr, nullptr, 0, nullptr},  // no password: the empty one
      {u"alice", u"CORP", u"Secret1!", ERROR_LOGON_FAILURE, nullptr},
      {u"bob", u".", u"pw", ERROR_LOGON_FAILURE, nullptr},  // not a local account
      {u"bob", u"OTHER", u"pw", ERROR_LOGON_FAILURE, nullptr},
      {u"alice", nullptr, u"secret1!", ERROR_LOGON_FAILURE, nullptr},  // passwords are case-sensitive
      {u"alice", nullptr, nullptr, ERROR_LOGON_FAILURE, nullptr},
      {u"alice", nullptr, u"", ERROR_LOGON_FAILURE, nullptr},
      {u"nobody", nullptr, u"pw", ERROR_LOGON_FAILURE, nullptr},
      {u"", nullptr, u"", ERROR_LOGON_FAILURE, nullptr},
      {u"alice@TESTHOST", nullptr, u"Secret1!", ERROR_LOGON_FAILURE, nullptr},
      {u"carol", nullptr, u"pw", 1331, nullptr},                   // refused only with the right password
      {u"carol", nullptr, u"wrong", ERROR_LOGON_FAILURE, nullptr},
      {u"dave", u"CORP", u"pw", 1909, nullptr},                    // lockout shows whatever the password
      {u"dave", u"CORP", u"wrong", 1909, nullptr},
      {u"dave", u"OTHER", u"wrong", ERROR_LOGON_FAILURE, nullptr},
  };
  for (const LogonCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "user " << testing::PrintToString(std::u16string(c.user)) << " domain "
                                    << (c.domain ? testing::PrintToString(std::u16string(c.domain)) : "null"));
    HANDLE token = reinterpret_cast<HANDLE>(1);
    SetLastError(kSentinel);
    const BOOL ok = LogonUserW(c.user, c.domain, c.password, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(token, nullptr);
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_NE(token, nullptr);
    const auto groups = tokenGroups(token);
    ASSERT_FALSE(groups.empty());
    if (c.firstGroup) {
      EXPECT_EQ(groups.front().first, c.firstGroup);
    }
    EXPECT_TRUE(CloseHandle(token));
  }
}

TEST_F(WinsimToken, LogonRefusesOtherLogonTypesAndProviders) {
  HANDLE token = nullptr;
  EXPECT_FALSE(LogonUserW(u"alice", nullptr, u"Secret1!", 3, LOGON32_PROVIDER_DEFAULT, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, 1, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(token, nullptr);
}

TEST_F(WinsimToken, TokenHoldsTheAccountGroupsThenANewLogonSid) {
  HANDLE first = nullptr, second = nullptr;
  ASSERT_TRUE(LogonUserW(u"bob", u"CORP", u"pw", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &first));
  ASSERT_TRUE(LogonUserW(u"bob", u"CORP", u"pw", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &second));
  using Groups = std::vector<std::pair<std::string, DWORD>>;
  EXPECT_EQ(tokenGroups(first),
            (Groups{{"S-1-5-21-9-9-9-513", 7}, {"S-1-5-32-544", 0x10}, {"S-1-5-5-0-1000", kLogonSidAttributes}}));
  EXPECT_EQ(tokenGroups(second).back(), (std::pair<std::string, DWORD>{"S-1-5-5-0-1001", kLogonSidAttributes}))
      << "every logon gets its own logon SID";
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));

  winsim::install(tokenMachine());
  ASSERT_TRUE(LogonUserW(u"bob", u"CORP", u"pw", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &first));
  EXPECT_EQ(tokenGroups(first).back().first, "S-1-5-5-0-1000") << "a new machine numbers logons afresh";
  EXPECT_TRUE(CloseHandle(first));
}

TEST_F(WinsimToken, GroupsFollowTheSizeProtocolAndLayout) {
  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
  // Everyone (12 bytes), Users (16), the logon SID (20) behind a header of 8 + 16 per group.
  const DWORD expectedSize = 8 + 16 * 3 + 12 + 16 + 20;

  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, expectedSize);

  std::vector<unsigned char> buffer(expectedSize + 16, 0xCC);
  size = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenGroups, buffer.data(), expectedSize - 1, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, expectedSize) << "a buffer short by one byte still learns the size";

  SetLastError(kSentinel);
  size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size()), &size));
  EXPECT_EQ(size, expectedSize);
  EXPECT_EQ(GetLastError(), kSentinel);

  const unsigned char* base = buffer.data();
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(base);
  ASSERT_EQ(groups->GroupCount, 3u);
  EXPECT_EQ(offsetof(TOKEN_GROUPS, Groups), 8u);
  EXPECT_EQ(sizeof(SID_AND_ATTRIBUTES), 16u);
  const unsigned char expectedSids[] = {
      1, 1, 0, 0, 0, 0, 0, 1, 0,    0,    0, 0,                                 // S-1-1-0
      1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0,    0, 0, 0x21, 0x02, 0, 0,               // S-1-5-32-545
      1, 3, 0, 0, 0, 0, 0, 5, 5,    0,    0, 0, 0,    0,    0, 0, 0xE8, 3, 0, 0  // S-1-5-5-0-1000
  };
  EXPECT_EQ(std::memcmp(base + 56, expectedSids, sizeof expectedSids), 0) << "the SIDs follow the array, in order";
  const size_t offsets[] = {56, 68, 84};
  const DWORD attributes[] = {7, 7, kLogonSidAttributes};
  for (DWORD i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(groups->Groups[i].Sid, base + offsets[i]) << "the SID pointers point into the same buffer";
    EXPECT_EQ(groups->Groups[i].Attributes, attributes[i]);
  }
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(WinsimToken, GroupsRefuseBadHandlesAndOtherClasses) {
  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
  HANDLE closed = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &closed));
  ASSERT_TRUE(CloseHandle(closed));
  unsigned char buffer[256];
  const struct {
    const char* name;
    HANDLE handle;
    int infoClass;
    bool returnLength;
    DWORD error;
  } cases[] = {
      {"null handle", nullptr, TokenGroups, true, ERROR_INVALID_HANDLE},
      {"closed handle", closed, TokenGroups, true, ERROR_INVALID_HANDLE},
      {"pseudo handle", GetCurrentThread(), TokenGroups, true, ERROR_INVALID_HANDLE},
      {"a class winsim does not simulate", token, TokenUser, true, 120},
      {"no such class", token, 0, true, ERROR_INVALID_PARAMETER},
      {"no return length", token, TokenGroups, false, ERROR_NOACCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD size = 12345;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetTokenInformation(c.handle, static_cast<TOKEN_INFORMATION_CLASS>(c.infoClass), buffer, sizeof buffer,
                                     c.returnLength ? &size : nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(size, 12345u) << "the size is not written on these failures";
  }
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(WinsimToken, ImpersonationLastsUntilRevert) {
  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
  HANDLE thread = reinterpret_cast<HANDLE>(1);
  SetLastError(kSentinel);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_EQ(thread, nullptr);

  SetLastError(kSentinel);
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_TRUE(winsim::threadImpersonating());
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &thread));
  EXPECT_NE(thread, token) << "a handle of its own";
  EXPECT_EQ(winsim::openHandles(), 2u);
  EXPECT_EQ(tokenGroups(thread), tokenGroups(token)) << "the thread holds a duplicate of the logon token";

  EXPECT_TRUE(CloseHandle(token)) << "closing the logon token does not end the impersonation";
  EXPECT_TRUE(winsim::threadImpersonating());
  EXPECT_TRUE(RevertToSelf());
  EXPECT_FALSE(winsim::threadImpersonating());
  EXPECT_TRUE(RevertToSelf()) << "reverting when not impersonating is fine";
  EXPECT_EQ(tokenGroups(thread).size(), 3u) << "an open thread-token handle outlives the impersonation";
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST_F(WinsimToken, ImpersonationNeedsATokenHandle) {
  HANDLE closed = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &closed));
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE h : {static_cast<HANDLE>(nullptr), closed, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdeadbeef))}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ImpersonateLoggedOnUser(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(winsim::threadImpersonating());
  }
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_ALL_ACCESS, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(WinsimToken, InjectedFaultsLeaveNothingBehind) {
  const struct {
    const char* call;
    DWORD error;
  } faults[] = {{"LogonUserW", 1311},           {"ImpersonateLoggedOnUser", ERROR_ACCESS_DENIED},
                {"OpenThreadToken", 1347},      {"GetTokenInformation", ERROR_ACCESS_DENIED},
                {"RevertToSelf", ERROR_ACCESS_DENIED}};
  for (const auto& f : faults) {
    SCOPED_TRACE(f.call);
    winsim::injectFault(f.call, f.error);
    HANDLE token = nullptr;
    BOOL ok = LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
    DWORD failedWith = ok ? 0 : GetLastError();
    if (ok) {
      ok = ImpersonateLoggedOnUser(token);
      if (!ok) failedWith = GetLastError();
    }
    HANDLE thread = nullptr;
    if (ok) {
      ok = OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &thread);
      if (!ok) failedWith = GetLastError();
    }
    if (ok) {
      DWORD size = 0;
      GetTokenInformation(thread, TokenGroups, nullptr, 0, &size);  // the size query is the call that fails
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) failedWith = GetLastError();
    }
    if (!RevertToSelf()) {
      failedWith = GetLastError();
      EXPECT_TRUE(winsim::threadImpersonating()) << "a failed revert leaves the thread impersonating";
      EXPECT_TRUE(RevertToSelf());
    }
    EXPECT_EQ(failedWith, f.error);
    if (thread) {
      EXPECT_TRUE(CloseHandle(thread));
    }
    if (token) {
      EXPECT_TRUE(CloseHandle(token));
    }
    testsupport::expectClean();
  }
}

}  // namespace
