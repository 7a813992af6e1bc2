// The machine's identity: WinSecurity::getComputerName and getDomainName against winsim (the
// workstation and LSA calls they stand on: tests/winsim/machine_identity_test.cpp).
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

using testsupport::memberMachine;
using testsupport::workgroupMachine;

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
