// The workstation and LSA calls of winsim that the machine's identity stands on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

using testsupport::memberMachine;
using testsupport::workgroupMachine;

// winsim's workstation and LSA, checked as Wine's conformance tests check Windows: exact statuses,
// layouts, and a sentinel last error that these calls must not touch.
class WinsimIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winsim::install(memberMachine());
    SetLastError(0xBEEF);
  }
  void TearDown() override { EXPECT_EQ(GetLastError(), 0xBEEFu) << "last error changed"; }
};

TEST_F(WinsimIdentityTest, WorkstationLevel100IsOneAllocation) {
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), 0u);
  ASSERT_NE(buffer, nullptr);
  const auto* info = reinterpret_cast<const WKSTA_INFO_100*>(buffer);
  EXPECT_EQ(info->wki100_platform_id, 500u);
  EXPECT_EQ(std::u16string(info->wki100_computername), u"FILESRV01");
  EXPECT_EQ(std::u16string(info->wki100_langroup), u"CORP");
  EXPECT_EQ(winsim::liveAllocations().netApi, 1u);
  EXPECT_EQ(NetApiBufferFree(buffer), 0u);
  EXPECT_EQ(NetApiBufferFree(nullptr), 0u);
  EXPECT_EQ(winsim::liveAllocations().total(), 0u);

  winsim::install(workgroupMachine());
  ASSERT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), 0u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const WKSTA_INFO_100*>(buffer)->wki100_langroup), u"WORKGROUP");
  NetApiBufferFree(buffer);
}

TEST_F(WinsimIdentityTest, WorkstationRefusesOtherLevelsAndOtherServers) {
  struct Case {
    const char16_t* server;
    DWORD level;
    NET_API_STATUS status;
  };
  const Case cases[] = {
      {u"", 100, 0},           {u"FILESRV01", 100, 0}, {u"\\\\filesrv01", 100, 0},
      {nullptr, 99, 124},      {nullptr, 101, 124},    {nullptr, 0, 124},
      {u"\\\\OTHER", 100, 53}, {u"OTHER", 100, 53},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.level);
    std::u16string server = c.server ? c.server : u"";
    LPBYTE buffer = reinterpret_cast<LPBYTE>(&server);  // left as it was on failure
    EXPECT_EQ(NetWkstaGetInfo(c.server ? server.data() : nullptr, c.level, &buffer), c.status);
    if (c.status == 0) {
      NetApiBufferFree(buffer);
    } else {
      EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(&server));
    }
  }
  EXPECT_EQ(winsim::liveAllocations().total(), 0u);
  winsim::injectFault("NetWkstaGetInfo", 2138);
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetWkstaGetInfo(nullptr, 100, &buffer), 2138u);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(WinsimIdentityTest, PrimaryDomainOfMemberAndWorkgroup) {
  struct Case {
    winsim::Machine machine;
    std::u16string name;
    bool hasSid;
  };
  const Case cases[] = {{memberMachine(), u"CORP", true}, {workgroupMachine(), u"WORKGROUP", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.machine.computerName);
    winsim::install(c.machine);
    LSA_OBJECT_ATTRIBUTES attributes;
    std::memset(&attributes, 0, sizeof attributes);
    LSA_HANDLE policy = nullptr;
    ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), 0);
    EXPECT_EQ(winsim::openHandles(), 1u);
    PVOID buffer = nullptr;
    ASSERT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer), 0);
    const auto* info = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(buffer);
    EXPECT_EQ(std::u16string(info->Name.Buffer, info->Name.Length / 2), c.name);
    EXPECT_EQ(info->Name.MaximumLength, info->Name.Length + 2);
    if (c.hasSid) {
      // S-1-5-21-1004336348-1177238915-682003330
      const uint8_t expected[] = {1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0xDC, 0xF4, 0xDC, 0x3B,
                                  0x83, 0x3D, 0x2B, 0x46, 0x82, 0x8B, 0xA6, 0x28};
      ASSERT_NE(info->Sid, nullptr);
      EXPECT_EQ(std::memcmp(info->Sid, expected, sizeof expected), 0);
    } else {
      EXPECT_EQ(info->Sid, nullptr);
    }
    EXPECT_EQ(winsim::liveAllocations().lsa, 1u);
    EXPECT_EQ(LsaFreeMemory(buffer), 0);
    EXPECT_EQ(LsaClose(policy), 0);
    testsupport::expectClean();
  }
}

TEST_F(WinsimIdentityTest, PolicyHandlesAndTheirMisuse) {
  const NTSTATUS invalidHandle = static_cast<NTSTATUS>(0xC0000008);
  LSA_OBJECT_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof attributes);
  LSA_HANDLE policy = nullptr;
  PVOID buffer = nullptr;

  // Junk and closed handles.
  int junk = 0;
  EXPECT_EQ(LsaClose(&junk), invalidHandle);
  EXPECT_EQ(LsaQueryInformationPolicy(&junk, PolicyPrimaryDomainInformation, &buffer), invalidHandle);
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), 0);
  EXPECT_FALSE(CloseHandle(policy)) << "an LSA handle is not a kernel handle";
  EXPECT_EQ(GetLastError(), 6u);
  SetLastError(0xBEEF);
  EXPECT_EQ(winsim::openHandles(), 1u);
  EXPECT_EQ(LsaClose(policy), 0);
  EXPECT_EQ(LsaClose(policy), invalidHandle);
  EXPECT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer), invalidHandle);

  // The query needs view access and knows only the primary domain class.
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, 0, &policy), 0);
  EXPECT_EQ(LsaQueryInformationPolicy(policy, PolicyPrimaryDomainInformation, &buffer),
            static_cast<NTSTATUS>(0xC0000022));
  EXPECT_EQ(LsaClose(policy), 0);
  ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), 0);
  EXPECT_EQ(LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &buffer),
            static_cast<NTSTATUS>(0xC0000003));
  EXPECT_EQ(LsaClose(policy), 0);
  EXPECT_EQ(buffer, nullptr);

  // Another system is not reachable; this one is, by name.
  char16_t other[] = u"\\\\OTHER";
  char16_t self[] = u"\\\\FILESRV01";
  LSA_UNICODE_STRING name{static_cast<USHORT>(sizeof other - 2), static_cast<USHORT>(sizeof other), other};
  EXPECT_EQ(LsaOpenPolicy(&name, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy),
            static_cast<NTSTATUS>(0xC0020017));
  name = LSA_UNICODE_STRING{static_cast<USHORT>(sizeof self - 2), static_cast<USHORT>(sizeof self), self};
  ASSERT_EQ(LsaOpenPolicy(&name, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy), 0);
  EXPECT_EQ(LsaClose(policy), 0);

  EXPECT_EQ(LsaFreeMemory(nullptr), 0);
  EXPECT_EQ(LsaFreeMemory(&junk), static_cast<NTSTATUS>(0xC0000001));

  // An injected fault is the status returned.
  winsim::injectFault("LsaOpenPolicy", 0xC000009A);
  policy = nullptr;
  EXPECT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy),
            static_cast<NTSTATUS>(0xC000009A));
  EXPECT_EQ(policy, nullptr);
  testsupport::expectClean();
}

TEST_F(WinsimIdentityTest, StatusToWin32Numbers) {
  const struct {
    uint32_t status;
    ULONG win32;
  } cases[] = {
      {0x00000000, 0},    {0x00000103, 997},  {0x00000107, 1301}, {0x80000005, 234},  {0xC0000001, 31},
      {0xC0000002, 1},    {0xC0000003, 87},   {0xC0000008, 6},    {0xC000000D, 87},   {0xC0000017, 8},
      {0xC0000022, 5},    {0xC0000034, 2},    {0xC000005E, 1311}, {0xC0000060, 1313}, {0xC0000061, 1314},
      {0xC0000064, 1317}, {0xC000006A, 86},   {0xC000006D, 1326}, {0xC000006E, 1327}, {0xC000006F, 1328},
      {0xC0000070, 1329}, {0xC0000071, 1330}, {0xC0000072, 1331}, {0xC0000073, 1332}, {0xC000009A, 1450},
      {0xC00000BB, 50},   {0xC00000DC, 1352}, {0xC00000DF, 1355}, {0xC00000E6, 1360}, {0xC000015B, 1385},
      {0xC000018D, 1789}, {0xC0000193, 1793}, {0xC0000199, 1808}, {0xC0000224, 1907}, {0xC0000234, 1909},
      {0xC0020017, 1722}, {0xDEADBEEF, 317},  {0xC0000004, 317},  {0x00000001, 317},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.status);
    EXPECT_EQ(LsaNtStatusToWinError(static_cast<NTSTATUS>(c.status)), c.win32);
  }
}
