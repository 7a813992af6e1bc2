// WinSecurity::getGroupList: which of a token's groups are listed, how their names are formed, and
// what every failure of the logon, token and lookup calls leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "security/WinSecurity.h"
#include "support.h"

using testsupport::blockStrings;
using testsupport::errorStrings;
using winsecurity::WinSecurity;

namespace {

const std::string kCorp = "S-1-5-21-1004336348-1177238915-682003330";

winsim::GroupMembership group(const std::string& sid, uint32_t attributes = 0x7) { return {sid, attributes}; }

// A member of CORP whose token holds every kind of entry a listing meets.
winsim::Machine corpMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "FILESRV01";
  m.domainName = "CORP";
  m.domainSid = kCorp;
  m.groups = {{"Domain Users", "CORP", kCorp + "-513"},
              {"Engineering", "CORP", kCorp + "-1200"},
              {"Team Alpha", "", kCorp + "-1300"}};
  winsim::Account alice;
  alice.name = "alice";
  alice.domain = "CORP";
  alice.sid = kCorp + "-1104";
  alice.password = "Secret1!";
  alice.groups = {
      group(kCorp + "-513"),               // 1 CORP\Domain Users
      group("S-1-1-0"),                    // 2 Everyone: no domain
      group("S-1-5-32-545"),               // 3 BUILTIN\Users
      group("S-1-5-32-544", 0x10),         //   deny-only: not listed
      group("S-1-5-32-551", 0x3),          //   present but not enabled: not listed
      group(kCorp + "-1200", 0x20000007),  // 4 domain-local group
      group("S-1-1-0"),                    // 5 listed twice
      group("S-1-5-21-9-9-9-4242"),        // 6 no name: skipped silently
      group(kCorp + "-1300"),              // 7 a domain group named without a domain
      group("S-1-16-8192", 0x60),          //   integrity label: not listed
      group("S-1-5-4"),                    // 8 NT AUTHORITY\INTERACTIVE
  };                                       // 9 the logon SID that LogonUserW adds: no name
  m.accounts.push_back(alice);

  winsim::Account bob;  // nothing reportable: deny-only, disabled and unnamed groups only
  bob.name = "bob";
  bob.domain = "CORP";
  bob.sid = kCorp + "-1105";
  bob.password = "pw";
  bob.groups = {group("S-1-5-32-544", 0x10), group("S-1-5-32-545", 0x3), group("S-1-5-21-9-9-9-4242")};
  m.accounts.push_back(bob);
  return m;
}

const std::vector<std::string> kAliceGroups = {"CORP\\Domain Users", "Everyone",   "BUILTIN\\Users",
                                               "CORP\\Engineering",  "Everyone",   "Team Alpha",
                                               "NT AUTHORITY\\INTERACTIVE"};

std::vector<std::string> without(std::vector<std::string> v, size_t index) {
  v.erase(v.begin() + static_cast<std::ptrdiff_t>(index));
  return v;
}

class GroupListTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::install(corpMachine()); }
  void TearDown() override { RevertToSelf(); }

  // A sentinel that must survive a failed listing.
  char sentinel_ = 0;
  char* out_ = &sentinel_;

  void release(WinSecurity& s) {
    if (out_ != &sentinel_) s.freeMemblk(out_);
    out_ = &sentinel_;
  }
};

}  // namespace

TEST_F(GroupListTest, ListsEnabledNamedGroupsInTokenOrder) {
  WinSecurity s("alice", "Secret1!", "CORP");
  ASSERT_EQ(s.getGroupList(&out_), 1);
  EXPECT_EQ(blockStrings(out_), kAliceGroups);
  // The size query's 122 is the last number stored; nothing failed, so nothing is recorded.
  EXPECT_EQ(s.getLastErrorNumber(), 122);
  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  release(s);
  testsupport::expectClean();

  // Every call logs on afresh; the object is reusable.
  ASSERT_EQ(s.getGroupList(&out_), 1);
  EXPECT_EQ(blockStrings(out_), kAliceGroups);
  release(s);
  testsupport::expectClean();
}

TEST_F(GroupListTest, IdentityIsBracketedAndOnlyEnabledGroupsAreLookedUp) {
  WinSecurity s("alice", "Secret1!", nullptr);
  ASSERT_EQ(s.getGroupList(&out_), 1);
  release(s);
  std::vector<std::string> expected = {"LogonUserW",          "ImpersonateLoggedOnUser", "CloseHandle",
                                       "OpenThreadToken",     "GetTokenInformation",     "GlobalAlloc",
                                       "GetTokenInformation"};
  // Eight enabled groups and the logon SID; the deny-only, disabled and label entries are skipped.
  expected.insert(expected.end(), 9, "LookupAccountSidW");
  expected.insert(expected.end(), {"GlobalFree", "RevertToSelf", "CloseHandle"});
  EXPECT_EQ(testsupport::securityCalls(), expected);
}

TEST_F(GroupListTest, CurrentWindowsNamesTheLogonSid) {
  winsim::Machine m = corpMachine();
  m.resolveLogonSids = true;
  winsim::install(m);
  WinSecurity s("alice", "Secret1!", "CORP");
  ASSERT_EQ(s.getGroupList(&out_), 1);
  const std::vector<std::string> listed = blockStrings(out_);
  ASSERT_EQ(listed.size(), kAliceGroups.size() + 1);
  EXPECT_TRUE(std::equal(kAliceGroups.begin(), kAliceGroups.end(), listed.begin()));
  EXPECT_EQ(listed.back().rfind("NT AUTHORITY\\LogonSessionId_0_", 0), 0u) << listed.back();
  release(s);
  testsupport::expectClean();
}

TEST_F(GroupListTest, AccountWithoutReportableGroupsGivesAnEmptyBlock) {
  WinSecurity s("bob", "pw", "CORP");
  ASSERT_EQ(s.getGroupList(&out_), 1);
  EXPECT_EQ(std::string(out_, 8), std::string("\x08\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  release(s);
  testsupport::expectClean();
}

TEST_F(GroupListTest, NamesLeaveAsUtf8) {
  winsim::Machine m = corpMachine();
  m.groups.push_back({"Gr\xC3\xBCn \xF0\x9F\x9A\x80", "M\xC3\x9CNCHEN", kCorp + "-1400"});
  m.accounts[1].groups = {group(kCorp + "-1400")};
  winsim::install(m);
  WinSecurity s("bob", "pw", "CORP");
  ASSERT_EQ(s.getGroupList(&out_), 1);
  EXPECT_EQ(blockStrings(out_), std::vector<std::string>{"M\xC3\x9CNCHEN\\Gr\xC3\xBCn \xF0\x9F\x9A\x80"});
  release(s);
  testsupport::expectClean();
}

// Each of the two 256-character buffers must hold its string and the terminator: 255 characters
// fit, 256 make that lookup fail with 122, which is recorded while the listing goes on.
TEST_F(GroupListTest, NameOrDomainTooLongForItsBufferIsRecordedAndSkipped) {
  struct Case {
    size_t nameLength, domainLength;
    bool fits;
  };
  const Case cases[] = {
      {255, 4, true}, {256, 4, false}, {4, 255, true}, {4, 256, false},
      {255, 255, true}, {255, 0, true}, {256, 0, false}, {256, 256, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "name " << c.nameLength << ", domain " << c.domainLength);
    const std::string name(c.nameLength, 'n');
    const std::string domain(c.domainLength, 'd');
    winsim::Machine m = corpMachine();
    m.groups.push_back({name, domain, kCorp + "-1500"});
    m.accounts[1].groups = {group(kCorp + "-1500"), group("S-1-5-32-545")};
    winsim::install(m);
    WinSecurity s("bob", "pw", "CORP");
    ASSERT_EQ(s.getGroupList(&out_), 1);
    EXPECT_EQ(s.getLastErrorNumber(), 122);
    if (c.fits) {
      EXPECT_EQ(blockStrings(out_),
                (std::vector<std::string>{domain.empty() ? name : domain + "\\" + name, "BUILTIN\\Users"}));
      EXPECT_EQ(s.getLastErrorMessage(), nullptr);
    } else {
      EXPECT_EQ(blockStrings(out_), std::vector<std::string>{"BUILTIN\\Users"});
      EXPECT_EQ(blockStrings(s.getLastErrorMessage()),
                errorStrings("WinSecurity::getGroupsForUser", "LookupAccountSid", 122,
                             "The data area passed to a system call is too small.\r\n"));
    }
    release(s);
    testsupport::expectClean();
  }
}

TEST_F(GroupListTest, FailuresAndWhatTheyLeave) {
  struct Fault {
    const char* call;
    uint32_t error;
    int nth;
  };
  struct Case {
    const char* what;
    std::vector<Fault> faults;
    int result;
    std::vector<std::string> listed;  // with result 1
    std::vector<std::string> block;   // empty: nothing recorded
    int number;                       // the last error number afterwards
  };
  const Case cases[] = {
      {"logon refused", {{"LogonUserW", 1311, 1}}, 0, {},
       errorStrings("WinSecurity::logOnVelUser", "LogonUser", 1311,
                    "There are currently no logon servers available to service the logon request.\r\n"),
       1311},
      // The groups are then read from the primary logon token; the listing still succeeds.
      {"impersonation refused", {{"ImpersonateLoggedOnUser", 5, 1}}, 1, kAliceGroups,
       errorStrings("WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", 5, "Access is denied.\r\n"),
       122},  // the size query's number came later
      // No token is left to read, so the size query fails and replaces the first record.
      {"thread token refused", {{"OpenThreadToken", 5, 1}}, 0, {},
       errorStrings("WinSecurity::getGroupsForUser", "GetTokenInformation", 6, "The handle is invalid.\r\n"), 6},
      {"size query fails", {{"GetTokenInformation", 5, 1}}, 0, {},
       errorStrings("WinSecurity::getGroupsForUser", "GetTokenInformation", 5, "Access is denied.\r\n"), 5},
      {"read fails", {{"GetTokenInformation", 1450, 2}}, 0, {},
       errorStrings("WinSecurity::getGroupsForUser", "GetTokenInformation2", 1450,
                    "Insufficient system resources exist to complete the requested service.\r\n"),
       1450},
      // Without a buffer the read meets the size protocol again.
      {"no buffer", {{"GlobalAlloc", 8, 1}}, 0, {},
       errorStrings("WinSecurity::getGroupsForUser", "GetTokenInformation2", 122,
                    "The data area passed to a system call is too small.\r\n"),
       122},
      {"one lookup fails", {{"LookupAccountSidW", 1789, 1}}, 1, without(kAliceGroups, 0),
       errorStrings("WinSecurity::getGroupsForUser", "LookupAccountSid", 1789,
                    "The trust relationship between this workstation and the primary domain failed.\r\n"),
       1789},
      {"the last failed lookup is the one recorded",
       {{"LookupAccountSidW", 1789, 1}, {"LookupAccountSidW", 1722, 8}}, 1,
       without(without(kAliceGroups, 6), 0),
       errorStrings("WinSecurity::getGroupsForUser", "LookupAccountSid", 1722, "The RPC server is unavailable.\r\n"),
       1722},
      {"an unnamed group is skipped silently", {{"LookupAccountSidW", 1332, 3}}, 1, without(kAliceGroups, 2), {}, 122},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    winsim::install(corpMachine());
    for (const Fault& f : c.faults) winsim::injectFault(f.call, f.error, f.nth);
    {
      WinSecurity s("alice", "Secret1!", "CORP");
      ASSERT_EQ(s.getGroupList(&out_), c.result);
      if (c.result == 1) {
        EXPECT_EQ(blockStrings(out_), c.listed);
      } else {
        EXPECT_EQ(out_, &sentinel_) << "out-parameter written on failure";
      }
      if (c.block.empty()) {
        EXPECT_EQ(s.getLastErrorMessage(), nullptr);
      } else {
        EXPECT_EQ(blockStrings(s.getLastErrorMessage()), c.block);
      }
      EXPECT_EQ(s.getLastErrorNumber(), c.number);
      release(s);
      testsupport::expectClean();
    }
    testsupport::expectClean();
  }
}

TEST_F(GroupListTest, WrongPasswordStopsBeforeAnyTokenQuery) {
  WinSecurity s("alice", "wrong", "CORP");
  EXPECT_EQ(s.getGroupList(&out_), 0);
  EXPECT_EQ(out_, &sentinel_);
  EXPECT_EQ(blockStrings(s.getLastErrorMessage()),
            errorStrings("WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n"));
  const std::vector<std::string> calls = testsupport::securityCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetTokenInformation"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "RevertToSelf"), 0);
  testsupport::expectClean();
}

TEST_F(GroupListTest, WithoutUserNameNoLogonAndTheTokenQueryFails) {
  WinSecurity s;
  EXPECT_EQ(s.getGroupList(&out_), 0);
  EXPECT_EQ(out_, &sentinel_);
  EXPECT_EQ(blockStrings(s.getLastErrorMessage()),
            errorStrings("WinSecurity::getGroupsForUser", "GetTokenInformation", 6, "The handle is invalid.\r\n"));
  const std::vector<std::string> calls = testsupport::securityCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "LogonUserW"), 0);
  testsupport::expectClean();
}
