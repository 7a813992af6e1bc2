// LookupAccountSidW: the names of well-known, machine and domain SIDs, the two length conventions
// of its buffer protocol, 1332 for SIDs without a name, and the optional logon-SID names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

// The binary form of a SID with the NT or another small authority.
std::vector<unsigned char> sid(uint8_t authority, std::vector<uint32_t> subs) {
  std::vector<unsigned char> out{1, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t v : subs) {
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>(v >> (8 * k)));
  }
  return out;
}

winsim::Machine sidMachine(bool resolveLogonSids) {
  winsim::Machine m = testsupport::machineWithAlice();  // TESTHOST\alice, S-1-5-21-1-2-3-1001
  m.domainName = "CORP";
  m.domainSid = "S-1-5-21-9-9-9";
  m.workgroup.clear();
  m.accounts.push_back(winsim::Account{"bob", "CORP", "S-1-5-21-9-9-9-1104", "pw", {}, 0});
  m.groups.push_back(winsim::NamedSid{"Domain Users", "CORP", "S-1-5-21-9-9-9-513"});
  m.groups.push_back(winsim::NamedSid{"Nobody's", "", "S-1-5-21-01-2-3-700"});  // written with a leading zero
  m.resolveLogonSids = resolveLogonSids;
  return m;
}

class WinsimSid : public testing::Test {
 protected:
  void SetUp() override { winsim::install(sidMachine(false)); }
  void TearDown() override { testsupport::expectClean(); }
};

struct Named {
  std::u16string name, domain;
  SID_NAME_USE use;
};

// Looks a SID up with ample buffers; fails the test when the lookup fails.
Named lookUp(std::vector<unsigned char> s) {
  WCHAR name[64], domain[64];
  DWORD nameSize = 64, domainSize = 64;
  SID_NAME_USE use = SidTypeInvalid;
  SetLastError(kSentinel);
  if (!LookupAccountSidW(nullptr, s.data(), name, &nameSize, domain, &domainSize, &use)) {
    ADD_FAILURE() << "lookup failed with " << GetLastError();
    return {};
  }
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(nameSize, std::u16string(name).size()) << "lengths without the terminator on success";
  EXPECT_EQ(domainSize, std::u16string(domain).size());
  return {name, domain, use};
}

TEST_F(WinsimSid, NamesWellKnownMachineAndDomainSids) {
  const struct {
    const char* what;
    std::vector<unsigned char> sid;
    Named expected;
  } cases[] = {
      {"Everyone", sid(1, {0}), {u"Everyone", u"", SidTypeWellKnownGroup}},
      {"NULL SID", sid(0, {0}), {u"NULL SID", u"", SidTypeWellKnownGroup}},
      {"CREATOR OWNER", sid(3, {0}), {u"CREATOR OWNER", u"", SidTypeWellKnownGroup}},
      {"OWNER RIGHTS", sid(3, {4}), {u"OWNER RIGHTS", u"", SidTypeWellKnownGroup}},
      {"SYSTEM", sid(5, {18}), {u"SYSTEM", u"NT AUTHORITY", SidTypeWellKnownGroup}},
      {"Authenticated Users", sid(5, {11}), {u"Authenticated Users", u"NT AUTHORITY", SidTypeWellKnownGroup}},
      {"BUILTIN", sid(5, {32}), {u"BUILTIN", u"BUILTIN", SidTypeDomain}},
      {"Administrators", sid(5, {32, 544}), {u"Administrators", u"BUILTIN", SidTypeAlias}},
      {"NTLM Authentication", sid(5, {64, 10}), {u"NTLM Authentication", u"NT AUTHORITY", SidTypeWellKnownGroup}},
      {"Medium label", sid(16, {8192}), {u"Medium Mandatory Level", u"Mandatory Label", SidTypeLabel}},
      {"TrustedInstaller", sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}),
       {u"TrustedInstaller", u"NT SERVICE", SidTypeWellKnownGroup}},
      {"local account", sid(5, {21, 1, 2, 3, 1001}), {u"alice", u"TESTHOST", SidTypeUser}},
      {"domain account", sid(5, {21, 9, 9, 9, 1104}), {u"bob", u"CORP", SidTypeUser}},
      {"domain group", sid(5, {21, 9, 9, 9, 513}), {u"Domain Users", u"CORP", SidTypeGroup}},
      {"the domain itself", sid(5, {21, 9, 9, 9}), {u"CORP", u"CORP", SidTypeDomain}},
      {"group with no domain, written oddly", sid(5, {21, 1, 2, 3, 700}), {u"Nobody's", u"", SidTypeGroup}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Named got = lookUp(c.sid);
    EXPECT_EQ(got.name, c.expected.name);
    EXPECT_EQ(got.domain, c.expected.domain);
    EXPECT_EQ(got.use, c.expected.use);
  }
}

TEST_F(WinsimSid, TooSmallBuffersReportSizesWithTheTerminator) {
  std::vector<unsigned char> admins = sid(5, {32, 544});  // "Administrators" (14), "BUILTIN" (7)
  WCHAR name[32], domain[32];
  SID_NAME_USE use = SidTypeInvalid;
  const struct {
    const char* what;
    bool buffers;
    DWORD nameSize, domainSize;
  } tooSmall[] = {
      {"size query", false, 0, 0},
      {"name exactly its length", true, 14, 8},
      {"domain exactly its length", true, 15, 7},
      {"name size 0", true, 0, 32},
  };
  for (const auto& c : tooSmall) {
    SCOPED_TRACE(c.what);
    DWORD nameSize = c.nameSize, domainSize = c.domainSize;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupAccountSidW(nullptr, admins.data(), c.buffers ? name : nullptr, &nameSize,
                                   c.buffers ? domain : nullptr, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(nameSize, 15u);
    EXPECT_EQ(domainSize, 8u);
    EXPECT_EQ(use, SidTypeInvalid) << "the use is written only on success";
  }
  DWORD nameSize = 15, domainSize = 8;
  ASSERT_TRUE(LookupAccountSidW(nullptr, admins.data(), name, &nameSize, domain, &domainSize, &use));
  EXPECT_EQ(std::u16string(name), u"Administrators");
  EXPECT_EQ(std::u16string(domain), u"BUILTIN");
  EXPECT_EQ(nameSize, 14u);
  EXPECT_EQ(domainSize, 7u);
}

TEST_F(WinsimSid, EmptyDomainNeedsRoomForItsTerminator) {
  std::vector<unsigned char> everyone = sid(1, {0});
  WCHAR name[32], domain[4] = {u'x', u'x', u'x', 0};
  SID_NAME_USE use;
  DWORD nameSize = 32, domainSize = 0;
  EXPECT_FALSE(LookupAccountSidW(nullptr, everyone.data(), name, &nameSize, domain, &domainSize, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(nameSize, 9u);
  EXPECT_EQ(domainSize, 1u);
  ASSERT_TRUE(LookupAccountSidW(nullptr, everyone.data(), name, &nameSize, domain, &domainSize, &use));
  EXPECT_EQ(domainSize, 0u);
  EXPECT_EQ(domain[0], 0);
}

TEST_F(WinsimSid, SidsWithoutANameFailWith1332) {
  HANDLE token = nullptr;
  ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
  ASSERT_TRUE(CloseHandle(token));
  struct {
    const char* what;
    std::vector<unsigned char> sid;
  } cases[] = {
      {"deleted account", sid(5, {21, 1, 2, 3, 9999})},
      {"unknown domain", sid(5, {21, 4, 5, 6, 513})},
      {"logon SID of the last logon", sid(5, {5, 0, 1000})},
      {"logon SID never issued", sid(5, {5, 0, 77})},
      {"unknown authority", sid(9, {1})},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    WCHAR name[32], domain[32];
    DWORD nameSize = 32, domainSize = 32;
    SID_NAME_USE use = SidTypeInvalid;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupAccountSidW(nullptr, c.sid.data(), name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(nameSize, 32u);
    EXPECT_EQ(domainSize, 32u);
  }
}

TEST_F(WinsimSid, LogonSidsResolveWhenTheMachineSaysSo) {
  winsim::install(sidMachine(true));
  const Named got = lookUp(sid(5, {5, 0, 1000}));
  EXPECT_EQ(got.name, u"LogonSessionId_0_1000");
  EXPECT_EQ(got.domain, u"NT AUTHORITY");
  EXPECT_EQ(got.use, SidTypeLogonSession);
  EXPECT_EQ(lookUp(sid(5, {5, 3, 4242})).name, u"LogonSessionId_3_4242");

  WCHAR name[32], domain[32];
  DWORD nameSize = 32, domainSize = 32;
  SID_NAME_USE use;
  std::vector<unsigned char> notLogon = sid(5, {5, 0, 1000});
  notLogon[2] = 1;  // the same numbers under the authority 0x010000000005
  EXPECT_FALSE(LookupAccountSidW(nullptr, notLogon.data(), name, &nameSize, domain, &domainSize, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
}

TEST_F(WinsimSid, BadArgumentsFail) {
  std::vector<unsigned char> everyone = sid(1, {0});
  std::vector<unsigned char> revision2 = everyone;
  revision2[0] = 2;
  std::vector<unsigned char> tooMany(8 + 4 * 16, 0);
  tooMany[0] = 1;
  tooMany[1] = 16;
  WCHAR name[32], domain[32];
  DWORD nameSize = 32, domainSize = 32;
  SID_NAME_USE use;
  const struct {
    const char* what;
    const WCHAR* system;
    void* sid;
    WCHAR* name;
    DWORD* nameSize;
    SID_NAME_USE* use;
    DWORD error;
  } cases[] = {
      {"null SID", nullptr, nullptr, name, &nameSize, &use, 1337},
      {"revision 2", nullptr, revision2.data(), name, &nameSize, &use, 1337},
      {"16 sub-authorities", nullptr, tooMany.data(), name, &nameSize, &use, 1337},
      {"no size pointer", nullptr, everyone.data(), name, nullptr, &use, ERROR_NOACCESS},
      {"no use pointer", nullptr, everyone.data(), name, &nameSize, nullptr, ERROR_NOACCESS},
      {"null name buffer with a size", nullptr, everyone.data(), nullptr, &nameSize, &use, ERROR_NOACCESS},
      {"another machine", u"\\\\ELSEWHERE", everyone.data(), name, &nameSize, &use, 1722},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    nameSize = domainSize = 32;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupAccountSidW(c.system, c.sid, c.name, c.nameSize, domain, &domainSize, c.use));
    EXPECT_EQ(GetLastError(), c.error);
  }
  for (const char16_t* self : {u"TESTHOST", u"\\\\testhost", u""}) {
    nameSize = domainSize = 32;
    EXPECT_TRUE(LookupAccountSidW(self, everyone.data(), name, &nameSize, domain, &domainSize, &use));
  }
}

TEST_F(WinsimSid, InjectedFaultIsReturnedAsIs) {
  winsim::injectFault("LookupAccountSidW", 1789);
  std::vector<unsigned char> everyone = sid(1, {0});
  WCHAR name[32], domain[32];
  DWORD nameSize = 32, domainSize = 32;
  SID_NAME_USE use;
  EXPECT_FALSE(LookupAccountSidW(nullptr, everyone.data(), name, &nameSize, domain, &domainSize, &use));
  EXPECT_EQ(GetLastError(), 1789u);
  EXPECT_EQ(lookUp(everyone).name, u"Everyone");
}

}  // namespace
