// The machine's identity: WinSecurity::getComputerName and getDomainName, and the workstation and
// LSA calls of winsim they stand on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "security/WinSecurity.h"
#include "support.h"

using testsupport::blockStrings;
using testsupport::errorStrings;
using winsecurity::WinSecurity;

namespace {

const std::string kCorpSid = "S-1-5-21-1004336348-1177238915-682003330";

winsim::Machine memberMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "FILESRV01";
  m.domainName = "CORP";
  m.domainSid = kCorpSid;
  return m;
}

winsim::Machine workgroupMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "TESTHOST";
  m.workgroup = "WORKGROUP";
  return m;
}

enum class Query { Computer, Domain };

class MachineIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::install(memberMachine()); }

  char sentinel_ = 0;
  char* out_ = &sentinel_;

  int run(WinSecurity& s, Query q) { return q == Query::Computer ? s.getComputerName(&out_) : s.getDomainName(&out_); }
  void release(WinSecurity& s) {
    if (out_ != &sentinel_) s.freeMemblk(out_);
    out_ = &sentinel_;
  }
};

}  // namespace

TEST_F(MachineIdentityTest, DomainMemberNamesItsDomainAndItself) {
  WinSecurity s;
  ASSERT_EQ(s.getDomainName(&out_), 1);
  EXPECT_EQ(blockStrings(out_), std::vector<std::string>{"CORP"});
  release(s);
  // The domain information is released before its policy handle is closed.
  EXPECT_EQ(testsupport::securityCalls(),
            (std::vector<std::string>{"LsaOpenPolicy", "LsaQueryInformationPolicy", "LsaFreeMemory", "LsaClose",
                                      "NetWkstaGetInfo", "NetApiBufferFree"}));
  testsupport::expectClean();

  winsim::clearCallLog();
  ASSERT_EQ(s.getComputerName(&out_), 1);
  EXPECT_EQ(blockStrings(out_), std::vector<std::string>{"FILESRV01"});
  release(s);
  EXPECT_EQ(testsupport::securityCalls(), (std::vector<std::string>{"NetWkstaGetInfo", "NetApiBufferFree"}));

  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  EXPECT_EQ(s.getLastErrorNumber(), 0);
  testsupport::expectClean();
}

TEST_F(MachineIdentityTest, WorkgroupMachineHasNoDomain) {
  winsim::install(workgroupMachine());
  WinSecurity s;
  EXPECT_EQ(s.getDomainName(&out_), 0);
  EXPECT_EQ(out_, &sentinel_);
  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  EXPECT_EQ(s.getLastErrorNumber(), 0);
  const std::vector<std::string> calls = testsupport::securityCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "NetWkstaGetInfo"), 0) << "workstation queried";
  testsupport::expectClean();

  ASSERT_EQ(s.getComputerName(&out_), 1);
  EXPECT_EQ(blockStrings(out_), std::vector<std::string>{"TESTHOST"});
  release(s);
  testsupport::expectClean();
}

TEST_F(MachineIdentityTest, NamesLeaveInTheAnsiCodePage) {
  struct Case {
    const char* computer;  // UTF-8, as the machine describes it
    const char* domain;
    const char* computerOut;  // Windows-1252
    const char* domainOut;
  };
  const Case cases[] = {
      {"CAF\xC3\x89", "M\xC3\x9CNCHEN", "CAF\xC9", "M\xDCNCHEN"},
      // Outside Windows-1252: the default character.
      {"\xCE\xA9MEGA", "\xE2\x82\xAC" "CORP", "?MEGA", "\x80" "CORP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.computerOut);
    winsim::Machine m = memberMachine();
    m.computerName = c.computer;
    m.domainName = c.domain;
    winsim::install(m);
    WinSecurity s;
    ASSERT_EQ(s.getComputerName(&out_), 1);
    EXPECT_EQ(blockStrings(out_), std::vector<std::string>{c.computerOut});
    release(s);
    ASSERT_EQ(s.getDomainName(&out_), 1);
    EXPECT_EQ(blockStrings(out_), std::vector<std::string>{c.domainOut});
    release(s);
    testsupport::expectClean();
  }
}

// The conversion buffer is 256 bytes: a name of up to 255 bytes arrives whole; a longer one does
// not convert, and the block is empty rather than holding a cut or unterminated name.
TEST_F(MachineIdentityTest, EmptyOrOverlongNameGivesAnEmptyBlock) {
  struct Case {
    std::string name;
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"", {}},
      {std::string(255, 'N'), {std::string(255, 'N')}},
      {std::string(256, 'N'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.size());
    winsim::Machine m = memberMachine();
    m.computerName = c.name;
    winsim::install(m);
    WinSecurity s;
    ASSERT_EQ(s.getComputerName(&out_), 1);
    EXPECT_EQ(blockStrings(out_), c.listed);
    if (c.listed.empty()) {
      EXPECT_EQ(winsecurity::wire::getInt32(out_), 8);
    }
    EXPECT_EQ(s.getLastErrorMessage(), nullptr);
    release(s);
    testsupport::expectClean();
  }
}

TEST_F(MachineIdentityTest, FailuresAndWhatTheyLeave) {
  struct Fault {
    const char* call;
    uint32_t error;
  };
  struct Case {
    const char* what;
    bool member;
    Query query;
    std::vector<Fault> faults;
    int result;
    std::vector<std::string> listed;  // with result 1
    std::vector<std::string> block;
  };
  const auto wkstaFailed = [](int number, const char* text) {
    return errorStrings("WinSecurity::getMachineInfo", "NetWkstaGetInfo()", number, text);
  };
  const Case cases[] = {
      // 2138 (workstation service not started) has no system text: three strings.
      {"computer: workstation not started", true, Query::Computer, {{"NetWkstaGetInfo", 2138}}, -1, {},
       wkstaFailed(2138, nullptr)},
      {"computer: workstation refuses", true, Query::Computer, {{"NetWkstaGetInfo", 5}}, -1, {},
       wkstaFailed(5, "Access is denied.\r\n")},
      {"domain: workstation refuses", true, Query::Domain, {{"NetWkstaGetInfo", 53}}, -1, {},
       wkstaFailed(53, "The network path was not found.\r\n")},
      // An LSA failure is recorded, and the domain is still read from the workstation.
      {"domain: policy refused", true, Query::Domain, {{"LsaOpenPolicy", 0xC0000022}}, 1, {"CORP"},
       errorStrings("isWorkgroup", "LsaOpenPolicy", 5, "Access is denied.\r\n")},
      {"domain: policy query fails", true, Query::Domain, {{"LsaQueryInformationPolicy", 0xC0000017}}, 1, {"CORP"},
       errorStrings("isWorkgroup", "LsaQueryInformationPolicy", 8,
                    "Not enough memory resources are available to process this command.\r\n")},
      // On a workgroup machine that makes the workgroup's name come back as the domain.
      {"workgroup: policy refused", false, Query::Domain, {{"LsaOpenPolicy", 0xC000009A}}, 1, {"WORKGROUP"},
       errorStrings("isWorkgroup", "LsaOpenPolicy", 1450,
                    "Insufficient system resources exist to complete the requested service.\r\n")},
      {"workgroup: status without a Win32 number", false, Query::Domain,
       {{"LsaQueryInformationPolicy", 0xDEADBEEF}}, 1, {"WORKGROUP"},
       errorStrings("isWorkgroup", "LsaQueryInformationPolicy", 317,
                    "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n")},
      // The workstation's failure replaces the LSA's record.
      {"domain: both fail", true, Query::Domain, {{"LsaOpenPolicy", 0xC0000022}, {"NetWkstaGetInfo", 2138}}, -1, {},
       wkstaFailed(2138, nullptr)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    winsim::install(c.member ? memberMachine() : workgroupMachine());
    for (const Fault& f : c.faults) winsim::injectFault(f.call, f.error);
    {
      WinSecurity s;
      ASSERT_EQ(run(s, c.query), c.result);
      if (c.result == 1) {
        EXPECT_EQ(blockStrings(out_), c.listed);
      } else {
        EXPECT_EQ(out_, &sentinel_) << "out-parameter written on failure";
      }
      EXPECT_EQ(blockStrings(s.getLastErrorMessage()), c.block);
      EXPECT_EQ(std::to_string(s.getLastErrorNumber()), c.block[2]);
      release(s);
      testsupport::expectClean();
    }
    testsupport::expectClean();
  }
}

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
