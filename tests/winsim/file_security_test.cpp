// winsim's file security calls, as Windows answers them: AccessCheck, GetFileSecurityA and
// MapGenericMask, and GetNamedSecurityInfoW with GetAclInformation and GetAce.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

using testsupport::expectClean;

using namespace testsupport::sids;

namespace {

using testsupport::allow;
using testsupport::file;
using testsupport::machineWithFiles;
using testsupport::machineWithReport;

constexpr const char* kPath = testsupport::kReportPath;

using winsim::Ace;

class WinsimAccessCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::install(
        machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kSystem, 0x1F01FF), allow(kBob, 0x1F01FF),
                                                             allow(kEveryone, 0x1200A9)}),
                          file("C:\\data\\closed.txt", kBob, std::vector<Ace>{allow(kBob, 0x1F01FF)}),
                          file("C:\\data\\nogroup.txt", kBob, std::nullopt, ""),
                          file("C:\\data\\open.txt", kBob, std::nullopt)}));
    ASSERT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT,
                           &primary));
  }
  void TearDown() override {
    if (impersonation) CloseHandle(impersonation);
    RevertToSelf();
    CloseHandle(primary);
    expectClean();
  }
  void impersonate() {
    ASSERT_TRUE(ImpersonateLoggedOnUser(primary));
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &impersonation));
  }
  std::vector<uint8_t> descriptor(const char* path) {
    DWORD needed = 0;
    GetFileSecurityA(path, 7, nullptr, 0, &needed);
    std::vector<uint8_t> sd(needed);
    EXPECT_TRUE(GetFileSecurityA(path, 7, sd.data(), needed, &needed));
    return sd;
  }

  HANDLE primary = nullptr;
  HANDLE impersonation = nullptr;
  GENERIC_MAPPING mapping{0x20089, 0x116, 0x200A0, 0x1F01FF};
};

TEST_F(WinsimAccessCheck, GetFileSecurityHandsOutASelfRelativeDescriptorBySize) {
  DWORD needed = 0;
  SetLastError(0xBEEF);
  EXPECT_FALSE(GetFileSecurityA(kPath, 7, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), 122u);
  // 20 header + two 28-byte SIDs + ACL of 8 + 20 (SYSTEM) + 36 (bob) + 20 (Everyone).
  EXPECT_EQ(needed, 160u);
  std::vector<uint8_t> sd(needed);
  DWORD again = 0;
  EXPECT_FALSE(GetFileSecurityA(kPath, 7, sd.data(), needed - 1, &again));
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(again, 160u);
  SetLastError(0xBEEF);
  ASSERT_TRUE(GetFileSecurityA(kPath, 7, sd.data(), needed, &again));
  EXPECT_EQ(GetLastError(), 0xBEEFu) << "success leaves the last error alone";
  const uint8_t header[] = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 48, 0, 0, 0, 0, 0, 0, 0, 76, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(sd.begin(), sd.begin() + 20), std::vector<uint8_t>(header, header + 20));
  const uint8_t acl[] = {2, 0, 84, 0, 3, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(sd.begin() + 76, sd.begin() + 84), std::vector<uint8_t>(acl, acl + 8));
  const uint8_t everyone[] = {0, 0, 20, 0, 0xa9, 0, 0x12, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(sd.begin() + 140, sd.end()), std::vector<uint8_t>(everyone, everyone + 20));

  // No DACL: SE_DACL_PRESENT clear and no DACL offset.
  std::vector<uint8_t> open = descriptor("C:\\data\\open.txt");
  ASSERT_GE(open.size(), 20u);
  EXPECT_EQ(open[2], 0x00);
  EXPECT_EQ(open[3], 0x80);
  EXPECT_EQ(open[16] | open[17] | open[18] | open[19], 0);
  // Only the parts asked for: the owner alone.
  GetFileSecurityA(kPath, OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
  EXPECT_EQ(needed, 48u);
}

TEST_F(WinsimAccessCheck, GetFileSecurityIsItselfCheckedUnderImpersonation) {
  impersonate();
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityA("C:\\data\\closed.txt", 7, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_FALSE(GetFileSecurityA(kPath, 7, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), 122u) << "readable through Everyone";
  RevertToSelf();
  EXPECT_FALSE(GetFileSecurityA("C:\\data\\closed.txt", 7, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), 122u) << "the process itself reads every descriptor";
}

TEST_F(WinsimAccessCheck, MapGenericMaskReplacesGenericBits) {
  const struct {
    DWORD in, out;
  } cases[] = {{GENERIC_READ, 0x20089}, {GENERIC_READ | GENERIC_WRITE | 1, 0x2019F},
               {GENERIC_ALL | MAXIMUM_ALLOWED, 0x21F01FF}, {GENERIC_EXECUTE, 0x200A0}, {0x1, 0x1}};
  for (const auto& c : cases) {
    DWORD mask = c.in;
    MapGenericMask(&mask, &mapping);
    EXPECT_EQ(mask, c.out) << std::hex << c.in;
  }
}

TEST_F(WinsimAccessCheck, FailuresLeaveTheOutputsUntouched) {
  std::vector<uint8_t> sd = descriptor(kPath);
  std::vector<uint8_t> noGroup = descriptor("C:\\data\\nogroup.txt");
  impersonate();
  struct Case {
    const char* name;
    void* sd;
    HANDLE token;
    DWORD desired;
    bool privilegeBuffer;
    DWORD privilegeLength;
    DWORD error;
    DWORD lengthAfter;
  };
  const Case cases[] = {
      {"null token", sd.data(), nullptr, 0x20089, true, 20, 6, 20},
      {"unknown handle", sd.data(), reinterpret_cast<HANDLE>(0x7777), 0x20089, true, 20, 6, 20},
      {"primary token", sd.data(), primary, 0x20089, true, 20, 1309, 20},
      {"descriptor without a group", noGroup.data(), impersonation, 0x20089, true, 20, 1338, 20},
      {"generic bits left in the request", sd.data(), impersonation, GENERIC_READ, true, 20, 1360, 20},
      {"short privilege buffer", sd.data(), impersonation, 0x20089, true, 19, 122, 20},
      {"no privilege buffer", sd.data(), impersonation, 0x20089, false, 1, 998, 1},
      {"no privilege buffer and length 0", sd.data(), impersonation, 0x20089, false, 0, 122, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PRIVILEGE_SET privileges{};
    DWORD length = c.privilegeLength;
    DWORD granted = 0xDEAD;
    BOOL status = 7;
    SetLastError(0);
    EXPECT_FALSE(AccessCheck(c.sd, c.token, c.desired, &mapping, c.privilegeBuffer ? &privileges : nullptr, &length,
                             &granted, &status));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(length, c.lengthAfter);
    EXPECT_EQ(granted, 0xDEADu);
    EXPECT_EQ(status, 7);
  }
}

TEST_F(WinsimAccessCheck, ADenialIsACheckThatRan) {
  std::vector<uint8_t> closed = descriptor("C:\\data\\closed.txt");
  std::vector<uint8_t> sd = descriptor(kPath);
  impersonate();
  PRIVILEGE_SET privileges{};
  DWORD length = sizeof privileges;
  DWORD granted = 0xDEAD;
  BOOL status = 7;
  SetLastError(0);
  EXPECT_TRUE(AccessCheck(closed.data(), impersonation, 0x20089, &mapping, &privileges, &length, &granted, &status));
  EXPECT_EQ(status, FALSE);
  EXPECT_EQ(granted, 0u);
  EXPECT_EQ(GetLastError(), 5u);

  SetLastError(0xBEEF);
  EXPECT_TRUE(AccessCheck(sd.data(), impersonation, 0x20089, &mapping, &privileges, &length, &granted, &status));
  EXPECT_EQ(status, TRUE);
  EXPECT_EQ(granted, 0x20089u) << "the desired mask, not the entry's";
  EXPECT_EQ(GetLastError(), 0xBEEFu);
  EXPECT_EQ(privileges.PrivilegeCount, 0u);
}


TEST(WinsimNamedSecurity, HandsOverALocalDescriptorWithPointersIntoIt) {
  winsim::install(machineWithReport(kAlice, std::vector<Ace>{allow(kSystem, 0x1F01FF), allow(kEveryone, 0x1200A9)}));
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  PACL sacl = reinterpret_cast<PACL>(0x1);
  PSECURITY_DESCRIPTOR sd = nullptr;
  SetLastError(0xBEEF);
  ASSERT_EQ(GetNamedSecurityInfoW(u"c:\\DATA\\report.docx", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd),
            0u);
  EXPECT_EQ(GetLastError(), 0xBEEFu);
  EXPECT_EQ(winsim::liveAllocations().local, 1u);
  auto* base = static_cast<uint8_t*>(sd);
  EXPECT_EQ(static_cast<uint8_t*>(owner), base + 20);
  EXPECT_EQ(static_cast<uint8_t*>(group), base + 48);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(dacl), base + 64);
  EXPECT_EQ(sacl, nullptr);

  ACL_SIZE_INFORMATION size{};
  ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));
  EXPECT_EQ(size.AceCount, 2u);
  EXPECT_EQ(size.AclBytesInUse, 48u);
  EXPECT_EQ(size.AclBytesFree, 0u);
  ACL_REVISION_INFORMATION revision{};
  ASSERT_TRUE(GetAclInformation(dacl, &revision, sizeof revision, AclRevisionInformation));
  EXPECT_EQ(revision.AclRevision, 2u);
  SetLastError(0);
  EXPECT_FALSE(GetAclInformation(dacl, &size, sizeof size - 1, AclSizeInformation));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(GetAclInformation(dacl, &size, sizeof size, static_cast<ACL_INFORMATION_CLASS>(7)));
  EXPECT_EQ(GetLastError(), 87u);

  LPVOID ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 1, &ace));
  EXPECT_EQ(static_cast<uint8_t*>(ace), reinterpret_cast<uint8_t*>(dacl) + 8 + 20) << "a pointer into the ACL";
  EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, 0x1200A9u);
  LPVOID before = ace;
  EXPECT_FALSE(GetAce(dacl, 2, &ace));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(ace, before);
  EXPECT_EQ(LocalFree(sd), nullptr);
  expectClean();
}

TEST(WinsimNamedSecurity, NoDaclComesBackNullAndFailuresWriteNothing) {
  winsim::install(machineWithReport(kAlice, std::nullopt));
  PSID owner = nullptr, group = nullptr;
  PACL dacl = reinterpret_cast<PACL>(0x1);
  PACL sacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(u"C:\\data\\report.docx", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd),
            0u);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(sd)[2] & SE_DACL_PRESENT, 0);
  LocalFree(sd);

  sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x2);
  EXPECT_EQ(GetNamedSecurityInfoW(nullptr, SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd), 87u);
  EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\data\\gone.txt", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd), 2u);
  EXPECT_EQ(GetNamedSecurityInfoW(u"Q:\\data\\gone.txt", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd), 3u);
  EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\data\\report.docx\\x", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl,
                                  &sd),
            2u)
      << "a listed path is a known folder";
  EXPECT_EQ(GetNamedSecurityInfoW(u"C:\\da|ta", SE_FILE_OBJECT, 7, &owner, &group, &dacl, &sacl, &sd), 123u);
  EXPECT_EQ(sd, reinterpret_cast<PSECURITY_DESCRIPTOR>(0x2));
  expectClean();
}


}  // namespace
