// WinSecurity::getAccessList against winsim: which entries are listed and how, and every failure
// row (winsim's own calls: tests/winsim/file_security_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "security/WinSecurity.h"
#include "support.h"
#include "winsim/machine.h"

using testsupport::blockStrings;
using testsupport::errorStrings;
using testsupport::expectClean;

using namespace testsupport::sids;

namespace {

using testsupport::allow;
using testsupport::machineWithReport;

constexpr const char* kDeleted = "S-1-5-21-1-2-3-1999";  // names no account
constexpr const char* kAuthenticated = "S-1-5-11";
constexpr const char* kCreatorOwner = "S-1-3-0";
constexpr const char* kPath = testsupport::kReportPath;

using winsim::Ace;

Ace deny(const char* sid, uint32_t mask, uint8_t flags = 0) { return Ace{Ace::Deny, sid, mask, flags}; }

std::vector<std::string> recordOf(winsecurity::WinSecurity& s) {
  const char* block = s.getLastErrorMessage();
  return block ? blockStrings(block) : std::vector<std::string>{};
}

const std::string kNoneMapped = "No mapping between account names and security IDs was done.\r\n";

// ---------------------------------------------------------------------------------------------
// What is listed.

struct Listing {
  const char* name;
  std::optional<std::vector<Ace>> dacl;
  std::vector<std::string> expected;
};

TEST(AccessList, ListsEveryEntryWithAReadRight) {
  const Listing cases[] = {
      {"a typical file",
       std::vector<Ace>{allow(kSystem, 0x1F01FF, INHERITED_ACE), allow(kAdministrators, 0x1F01FF, INHERITED_ACE),
                        allow(kUsers, 0x1200A9, INHERITED_ACE), allow(kAuthenticated, 0x1301BF, INHERITED_ACE),
                        allow(kAlice, 0x1F01FF)},
       {"NT AUTHORITY\\SYSTEM", "BUILTIN\\Administrators", "BUILTIN\\Users", "NT AUTHORITY\\Authenticated Users",
        "TESTHOST\\alice"}},
      {"the world group has no domain", std::vector<Ace>{allow(kEveryone, 0x1200A9)}, {"Everyone"}},
      {"deny entries count as allow entries do", std::vector<Ace>{deny(kAlice, 0x1), allow(kUsers, 0x120089)},
       {"TESTHOST\\alice", "BUILTIN\\Users"}},
      {"the same account twice is listed twice", std::vector<Ace>{allow(kAlice, 0x120089), deny(kAlice, 0x1F01FF)},
       {"TESTHOST\\alice", "TESTHOST\\alice"}},
      {"SYNCHRONIZE alone counts", std::vector<Ace>{allow(kAlice, SYNCHRONIZE)}, {"TESTHOST\\alice"}},
      {"generic-only masks do not count",
       std::vector<Ace>{allow(kCreatorOwner, GENERIC_ALL, INHERIT_ONLY_ACE | 0x3),
                        allow(kUsers, GENERIC_READ | GENERIC_EXECUTE, INHERIT_ONLY_ACE | 0x3)},
       {}},
      {"inherit-only entries count", std::vector<Ace>{allow(kUsers, 0x1200A9, INHERIT_ONLY_ACE | 0x3)},
       {"BUILTIN\\Users"}},
      {"write rights alone do not count", std::vector<Ace>{allow(kAlice, 0x116), allow(kUsers, DELETE)}, {}},
      {"an empty DACL lists no one", std::vector<Ace>{}, {}},
  };
  for (const Listing& c : cases) {
    SCOPED_TRACE(c.name);
    winsim::install(machineWithReport(kAlice, c.dacl));
    winsecurity::WinSecurity s;
    char* block = nullptr;
    ASSERT_EQ(s.getAccessList(kPath, &block), 1);
    EXPECT_EQ(blockStrings(block), c.expected);
    if (c.expected.empty()) {
      const char empty[] = {8, 0, 0, 0, 0, 0, 0, 0};
      EXPECT_EQ(std::memcmp(block, empty, 8), 0) << "an 8-byte block with count 0";
    }
    EXPECT_EQ(s.getLastErrorMessage(), nullptr);
    s.freeMemblk(block);
    expectClean();
  }
}

// A file without a DACL grants everyone everything: it is listed as the world group, named as
// LookupAccountSidW names S-1-1-0, and no ACL call sees the null DACL.
TEST(AccessList, NoDaclListsTheWorldGroup) {
  winsim::install(machineWithReport(kAlice, std::nullopt));
  winsecurity::WinSecurity s;
  char* block = nullptr;
  ASSERT_EQ(s.getAccessList(kPath, &block), 1);
  EXPECT_EQ(blockStrings(block), std::vector<std::string>{"Everyone"});
  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  const std::vector<std::string> log = winsim::callLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "GetAclInformation"), 0);
  EXPECT_EQ(std::count(log.begin(), log.end(), "GetAce"), 0);
  s.freeMemblk(block);
  expectClean();
}

TEST(AccessList, NonAsciiNamesLeaveAsUtf8) {
  winsim::Machine m = machineWithReport(kAlice, std::vector<Ace>{allow("S-1-5-21-1-2-3-1201", 0x1200A9)});
  m.groups.push_back({"Équipe Ünïcode", "TESTHOST", "S-1-5-21-1-2-3-1201"});
  m.files.push_back(winsim::File{"C:\\données\\été.txt", kAlice, kUsers, std::vector<Ace>{allow(kEveryone, 0x1)}});
  winsim::install(m);
  winsecurity::WinSecurity s;
  char* block = nullptr;
  ASSERT_EQ(s.getAccessList(kPath, &block), 1);
  EXPECT_EQ(blockStrings(block), std::vector<std::string>{"TESTHOST\\Équipe Ünïcode"});
  s.freeMemblk(block);
  ASSERT_EQ(s.getAccessList("C:\\DONNÉES\\ÉTÉ.TXT", &block), 1) << "paths read as UTF-8, compared without case";
  EXPECT_EQ(blockStrings(block), std::vector<std::string>{"Everyone"});
  s.freeMemblk(block);
  expectClean();
}

// An unresolvable entry is skipped with a record; the walk goes on, and a later success keeps it.
TEST(AccessList, UnresolvableEntriesAreSkippedWithARecord) {
  winsim::install(machineWithReport(kAlice, std::vector<Ace>{allow(kDeleted, 0x1F01FF), allow(kUsers, 0x1200A9),
                                                             deny("S-1-5-21-9-9-9-500", 0x1),
                                                             allow(kSystem, 0x1F01FF)}));
  winsecurity::WinSecurity s;
  char* block = nullptr;
  ASSERT_EQ(s.getAccessList(kPath, &block), 1);
  EXPECT_EQ(blockStrings(block), (std::vector<std::string>{"BUILTIN\\Users", "NT AUTHORITY\\SYSTEM"}));
  EXPECT_EQ(recordOf(s), errorStrings("WinSecurity::getUsersForFile", "LookupAccountSid(group)", 1332,
                                      kNoneMapped.c_str()));
  EXPECT_EQ(s.getLastErrorNumber(), 1332);
  s.freeMemblk(block);
  expectClean();
}

// ---------------------------------------------------------------------------------------------
// Every failure row: result, record, the out-parameter, nothing left behind.

struct Failure {
  const char* name;
  const char* owner;
  const char* path;
  const char* faultCall;  // null: the machine alone causes it
  uint32_t faultError;
  int faultNth;
  int result;
  std::vector<std::string> listed;  // for result 1
  std::vector<std::string> record;
};

TEST(AccessListFailures, EachRecordsItsStepAndLeavesNothingBehind) {
  const std::vector<Ace> dacl{allow(kUsers, 0x1200A9), allow(kDeleted, 0x1F01FF), allow(kSystem, 0x1F01FF)};
  const Failure cases[] = {
      {"file missing in a known folder", kAlice, "C:\\data\\missing.txt", nullptr, 0, 0, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 2,
                    "The system cannot find the file specified.\r\n")},
      {"folder missing", kAlice, "C:\\nowhere\\missing.txt", nullptr, 0, 0, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 3,
                    "The system cannot find the path specified.\r\n")},
      {"empty path", kAlice, "", nullptr, 0, 0, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 3,
                    "The system cannot find the path specified.\r\n")},
      {"the returned code is the number", kAlice, kPath, "GetNamedSecurityInfoW", 5, 1, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 5, "Access is denied.\r\n")},
      {"owner unresolvable, every entry resolvable", kDeleted, kPath, nullptr, 0, 0, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "LookupAccountSid1", 1332, kNoneMapped.c_str())},
      {"owner lookup fails", kAlice, kPath, "LookupAccountSidW", 1789, 1, 0, {},
       errorStrings("WinSecurity::getUsersForFile", "LookupAccountSid1", 1789,
                    "The trust relationship between this workstation and the primary domain failed.\r\n")},
      {"ACL size query fails", kAlice, kPath, "GetAclInformation", 87, 1, 0, {},
       errorStrings("getUsersForFile", "GetAclInformation", 87, "The parameter is incorrect.\r\n")},
      {"ACL revision query fails", kAlice, kPath, "GetAclInformation", 1336, 2, 0, {},
       errorStrings("getUsersForFile", "GetAclInformation2", 1336,
                    "The access control list (ACL) structure is invalid.\r\n")},
      {"an entry cannot be read: the walk stops", kAlice, kPath, "GetAce", 87, 2, 1, {"BUILTIN\\Users"},
       errorStrings("WinSecurity::getUsersForFile", "GetAce", 87, "The parameter is incorrect.\r\n")},
      {"the first entry cannot be read", kAlice, kPath, "GetAce", 87, 1, 1, {},
       errorStrings("WinSecurity::getUsersForFile", "GetAce", 87, "The parameter is incorrect.\r\n")},
      {"an entry lookup fails: skipped", kAlice, kPath, "LookupAccountSidW", 1789, 4, 1, {"BUILTIN\\Users"},
       errorStrings("WinSecurity::getUsersForFile", "LookupAccountSid(group)", 1789,
                    "The trust relationship between this workstation and the primary domain failed.\r\n")},
      {"of several failed lookups the last is recorded", kAlice, kPath, "LookupAccountSidW", 1722, 2, 1,
       {"NT AUTHORITY\\SYSTEM"},
       errorStrings("WinSecurity::getUsersForFile", "LookupAccountSid(group)", 1332, kNoneMapped.c_str())},
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.name);
    winsim::install(machineWithReport(c.owner, dacl));
    if (c.faultCall) winsim::injectFault(c.faultCall, c.faultError, c.faultNth);
    winsecurity::WinSecurity s;
    char sentinel = 0;
    char* block = &sentinel;
    EXPECT_EQ(s.getAccessList(c.path, &block), c.result);
    if (c.result == 1) {
      EXPECT_EQ(blockStrings(block), c.listed);
      s.freeMemblk(block);
    } else {
      EXPECT_EQ(block, &sentinel) << "out-parameter untouched";
    }
    EXPECT_EQ(recordOf(s), c.record);
    EXPECT_EQ(s.getLastErrorNumber(), std::stoi(c.record[2]));
    expectClean();
  }
}

TEST(AccessListCalls, AskInTheOrderWindowsExpects) {
  winsim::install(machineWithReport(kAlice, std::vector<Ace>{allow(kUsers, 0x1200A9), allow(kSystem, 0x116)}));
  winsecurity::WinSecurity s;
  char* block = nullptr;
  ASSERT_EQ(s.getAccessList(kPath, &block), 1);
  s.freeMemblk(block);
  const std::vector<std::string> wanted{"GetNamedSecurityInfoW", "LookupAccountSidW", "GetAclInformation",
                                        "GetAclInformation", "GetAce", "LookupAccountSidW", "GetAce", "LocalFree"};
  std::vector<std::string> seen;
  for (const std::string& c : winsim::callLog())
    if (std::find(wanted.begin(), wanted.end(), c) != wanted.end()) seen.push_back(c);
  EXPECT_EQ(seen, wanted);
  EXPECT_TRUE(winsim::lastLogonArgs().user == std::nullopt) << "no logon for the access list";
}

}  // namespace
