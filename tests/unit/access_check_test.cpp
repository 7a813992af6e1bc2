// WinSecurity::accessCheck against winsim: the access check's decisions, every failure row and the
// ANSI reading of the path (winsim's own calls: tests/winsim/file_security_test.cpp).
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
using testsupport::file;
using testsupport::machineWithFiles;

constexpr const char* kOwnerRights = "S-1-3-4";
constexpr const char* kPath = testsupport::kReportPath;

constexpr uint32_t kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

using winsim::Ace;

Ace deny(const char* sid, uint32_t mask, uint8_t flags = 0) { return Ace{Ace::Deny, sid, mask, flags}; }

std::vector<std::string> record(const char* context, const char* call, int number, const char* text) {
  return errorStrings(context, call, number, text);
}

std::vector<std::string> recordOf(winsecurity::WinSecurity& s) {
  const char* block = s.getLastErrorMessage();
  return block ? blockStrings(block) : std::vector<std::string>{};
}

int calls(const std::string& name) {
  const std::vector<std::string> log = winsim::callLog();
  return static_cast<int>(std::count(log.begin(), log.end(), name));
}

// ---------------------------------------------------------------------------------------------
// The decisions, through the library as command 5 makes them.

struct Decision {
  const char* name;
  const char* owner;
  std::optional<std::vector<Ace>> dacl;
  std::vector<winsim::GroupMembership> aliceGroups;
  int expected;
  bool descriptorRefused;  // alice may not even read the descriptor: "GetFileSecurity" 5
};

const std::vector<winsim::GroupMembership> kPlain{{kEveryone}, {kUsers}};
const std::vector<winsim::GroupMembership> kUsersDenyOnly{{kEveryone}, {kUsers, SE_GROUP_USE_FOR_DENY_ONLY}};
const std::vector<winsim::GroupMembership> kUsersDisabled{{kEveryone}, {kUsers, SE_GROUP_MANDATORY}};

TEST(AccessCheckDecisions, FollowTheDaclAsWindowsDoes) {
  const Decision cases[] = {
      {"allow Everyone read", kBob, std::vector<Ace>{allow(kEveryone, 0x120089)}, kPlain, 1, false},
      {"allow Everyone full control", kBob, std::vector<Ace>{allow(kEveryone, 0x1F01FF)}, kPlain, 1, false},
      {"allow the user read and execute", kBob, std::vector<Ace>{allow(kAlice, 0x1200A9)}, kPlain, 1, false},
      {"read without SYNCHRONIZE is enough", kBob, std::vector<Ace>{allow(kEveryone, 0x20089)}, kPlain, 1, false},
      {"read but no write", kBob, std::vector<Ace>{allow(kAlice, 0x120089)}, kPlain, 1, false},
      {"write but no read", kBob, std::vector<Ace>{allow(kAlice, 0x120116)}, kPlain, 0, false},
      {"part of the read rights", kBob, std::vector<Ace>{allow(kEveryone, 0x20008)}, kPlain, 0, false},
      {"rights accumulate over entries", kBob,
       std::vector<Ace>{allow(kEveryone, 0x20008), allow(kUsers, 0x81)}, kPlain, 1, false},
      {"deny before allow", kBob, std::vector<Ace>{deny(kEveryone, 0x1), allow(kEveryone, 0x1F01FF)}, kPlain, 0,
       false},
      {"allow before deny", kBob, std::vector<Ace>{allow(kEveryone, 0x1F01FF), deny(kEveryone, 0x1)}, kPlain, 1,
       false},
      {"deny of a right not asked for", kBob,
       std::vector<Ace>{deny(kEveryone, FILE_WRITE_DATA), allow(kEveryone, 0x1F01FF)}, kPlain, 1, false},
      {"deny for another account", kBob, std::vector<Ace>{deny(kBob, 0x1F01FF), allow(kEveryone, 0x1200A9)},
       kPlain, 1, false},
      {"inherit-only entry, user owns the file", kAlice,
       std::vector<Ace>{allow(kEveryone, 0x1F01FF, INHERIT_ONLY_ACE)}, kPlain, 0, false},
      {"inherit-only entry, another owner", kBob, std::vector<Ace>{allow(kEveryone, 0x1F01FF, INHERIT_ONLY_ACE)},
       kPlain, 0, true},
      {"inherited entry applies", kBob,
       std::vector<Ace>{allow(kEveryone, 0x1200A9, INHERITED_ACE | OBJECT_INHERIT_ACE)}, kPlain, 1, false},
      {"owner's implicit READ_CONTROL completes the rights", kAlice, std::vector<Ace>{allow(kAlice, 0x89)}, kPlain,
       1, false},
      {"without ownership the same entry is short of READ_CONTROL", kBob, std::vector<Ace>{allow(kAlice, 0x89)},
       kPlain, 0, true},
      {"OWNER RIGHTS entries replace the owner's implicit rights", kAlice,
       std::vector<Ace>{allow(kOwnerRights, 0x89)}, kPlain, 0, false},
      {"OWNER RIGHTS entries grant to the owner", kAlice, std::vector<Ace>{allow(kOwnerRights, 0x20089)}, kPlain,
       1, false},
      {"no DACL grants everything", kBob, std::nullopt, kPlain, 1, false},
      {"empty DACL, user owns the file", kAlice, std::vector<Ace>{}, kPlain, 0, false},
      {"empty DACL, another owner", kBob, std::vector<Ace>{}, kPlain, 0, true},
      {"group membership grants", kBob, std::vector<Ace>{allow(kUsers, 0x1200A9)}, kPlain, 1, false},
      {"a group the user is not in", kBob, std::vector<Ace>{allow(kAdministrators, 0x1F01FF),
                                                            allow(kSystem, 0x1F01FF)},
       kPlain, 0, true},
      {"deny-only group matches no allow entry", kAlice, std::vector<Ace>{allow(kUsers, 0x1F01FF)}, kUsersDenyOnly,
       0, false},
      {"deny-only group matches a deny entry", kAlice,
       std::vector<Ace>{deny(kUsers, 0x1), allow(kEveryone, 0x1F01FF)}, kUsersDenyOnly, 0, false},
      {"disabled group matches no allow entry", kAlice, std::vector<Ace>{allow(kUsers, 0x1F01FF)}, kUsersDisabled,
       0, false},
      {"disabled group matches no deny entry", kAlice,
       std::vector<Ace>{deny(kUsers, 0x1), allow(kEveryone, 0x1F01FF)}, kUsersDisabled, 1, false},
      {"generic bits in an entry are compared as stored", kAlice, std::vector<Ace>{allow(kEveryone, GENERIC_READ)},
       kPlain, 0, false},
  };
  for (const Decision& c : cases) {
    SCOPED_TRACE(c.name);
    winsim::install(machineWithFiles({file(kPath, c.owner, c.dacl)}, c.aliceGroups));
    winsecurity::WinSecurity s("alice", "Secret1!", nullptr);
    EXPECT_EQ(s.accessCheck(kPath), c.expected);
    if (c.descriptorRefused) {
      EXPECT_EQ(recordOf(s), record("WinSecurity::checkURI", "GetFileSecurity", 5, "Access is denied.\r\n"));
      EXPECT_EQ(calls("AccessCheck"), 0);
    } else {
      // A refusal and a grant alike record nothing.
      EXPECT_EQ(s.getLastErrorMessage(), nullptr);
      EXPECT_EQ(calls("AccessCheck"), 1);
    }
    expectClean();
  }
}

TEST(AccessCheckDecisions, PathsCompareWithoutRegardToCase) {
  winsim::install(machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)})}));
  winsecurity::WinSecurity s("alice", "Secret1!", nullptr);
  EXPECT_EQ(s.accessCheck("c:\\DATA\\Report.DOCX"), 1);
  expectClean();
}

TEST(AccessCheckDecisions, TheObjectCanBeAskedAgain) {
  winsim::install(machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)}),
                                    file("C:\\data\\secret.txt", kBob, std::vector<Ace>{allow(kBob, 0x1F01FF)})}));
  winsecurity::WinSecurity s("alice", "Secret1!", nullptr);
  EXPECT_EQ(s.accessCheck(kPath), 1);
  EXPECT_EQ(s.accessCheck("C:\\data\\secret.txt"), 0);
  EXPECT_EQ(s.accessCheck(kPath), 1);
  EXPECT_EQ(calls("LogonUserW"), 3);
  // The record of the refused descriptor read stays until the next failure.
  EXPECT_EQ(recordOf(s), record("WinSecurity::checkURI", "GetFileSecurity", 5, "Access is denied.\r\n"));
  expectClean();
}

// ---------------------------------------------------------------------------------------------
// Every failure row, each with its record and nothing left behind.

struct Failure {
  const char* name;
  const char* user;  // null: an object without credentials
  const char* password;
  const char* path;
  const char* faultCall;  // null: the machine alone causes the failure
  uint32_t faultError;
  int faultNth;
  std::vector<std::string> expected;  // empty: no record
};

TEST(AccessCheckFailures, EachRecordsItsStepAndLeavesNothingBehind) {
  const Failure cases[] = {
      {"wrong password", "alice", "wrong", kPath, nullptr, 0, 0,
       record("WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")},
      {"logon refused by a fault", "alice", "Secret1!", kPath, "LogonUserW", 1909, 1,
       record("WinSecurity::logOnVelUser", "LogonUser", 1909,
              "The referenced account is currently locked out and may not be logged on to.\r\n")},
      {"impersonation refused: the primary token reaches the check", "alice", "Secret1!", kPath,
       "ImpersonateLoggedOnUser", 5, 1,
       record("WinSecurity::checkURI", "AccessCheck", 1309,
              "An attempt has been made to operate on an impersonation token by a thread that is not currently "
              "impersonating a client.\r\n")},
      {"thread token not opened: no token reaches the check", "alice", "Secret1!", kPath, "OpenThreadToken", 1008, 1,
       record("WinSecurity::checkURI", "AccessCheck", 6, "The handle is invalid.\r\n")},
      {"no user name: the null token reaches the check", nullptr, nullptr, kPath, nullptr, 0, 0,
       record("WinSecurity::checkURI", "AccessCheck", 6, "The handle is invalid.\r\n")},
      {"file missing in a known folder", "alice", "Secret1!", "C:\\data\\missing.txt", nullptr, 0, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 2, "The system cannot find the file specified.\r\n")},
      {"folder missing", "alice", "Secret1!", "C:\\nowhere\\missing.txt", nullptr, 0, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 3, "The system cannot find the path specified.\r\n")},
      {"empty path", "alice", "Secret1!", "", nullptr, 0, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 3, "The system cannot find the path specified.\r\n")},
      {"descriptor read fails", "alice", "Secret1!", kPath, "GetFileSecurityA", 1450, 2,
       record("WinSecurity::checkURI", "GetFileSecurity", 1450,
              "Insufficient system resources exist to complete the requested service.\r\n")},
      {"a failed size query shows as the second call's short buffer", "alice", "Secret1!", kPath,
       "GetFileSecurityA", 1450, 1,
       record("WinSecurity::checkURI", "GetFileSecurity", 122,
              "The data area passed to a system call is too small.\r\n")},
      {"a failed allocation shows as the second call's failure", "alice", "Secret1!", kPath, "GlobalAlloc", 8, 1,
       record("WinSecurity::checkURI", "GetFileSecurity", 998, "Invalid access to memory location.\r\n")},
      {"the check itself fails", "alice", "Secret1!", kPath, "AccessCheck", 1346, 1,
       record("WinSecurity::checkURI", "AccessCheck", 1346,
              "Either a required impersonation level was not provided, or the provided impersonation level is "
              "invalid.\r\n")},
      {"descriptor without a group", "alice", "Secret1!", "C:\\data\\nogroup.txt", nullptr, 0, 0,
       record("WinSecurity::checkURI", "AccessCheck", 1338, "The security descriptor structure is invalid.\r\n")},
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.name);
    winsim::install(
        machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)}),
                          file("C:\\data\\nogroup.txt", kAlice, std::vector<Ace>{allow(kEveryone, 0x1200A9)}, "")}));
    if (c.faultCall) winsim::injectFault(c.faultCall, c.faultError, c.faultNth);
    winsecurity::WinSecurity s(c.user, c.password, nullptr);
    EXPECT_EQ(s.accessCheck(c.path), 0);
    EXPECT_EQ(recordOf(s), c.expected);
    EXPECT_EQ(s.getLastErrorNumber(), std::stoi(c.expected[2]));
    expectClean();
  }
}

TEST(AccessCheckFailures, AFailedLogonReadsNoDescriptor) {
  winsim::install(machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)})}));
  winsecurity::WinSecurity s("alice", "wrong", nullptr);
  EXPECT_EQ(s.accessCheck(kPath), 0);
  EXPECT_EQ(calls("GetFileSecurityA"), 0);
  EXPECT_EQ(calls("RevertToSelf"), 0);
  expectClean();
}

// Without a path no file is named, so nothing can be granted: the answer is 0 (the impersonation's
// 1 would claim a read right on nothing), no descriptor is read and the user is logged off.
TEST(AccessCheckFailures, NullPathGrantsNothing) {
  winsim::install(machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)})}));
  winsecurity::WinSecurity s("alice", "Secret1!", nullptr);
  EXPECT_EQ(s.accessCheck(nullptr), 0);
  EXPECT_EQ(s.getLastErrorMessage(), nullptr);
  EXPECT_EQ(calls("GetFileSecurityA"), 0);
  EXPECT_EQ(calls("RevertToSelf"), 1);
  expectClean();
}

TEST(AccessCheckCalls, FollowTheSizeProtocolAndTheReadMapping) {
  winsim::install(machineWithFiles({file(kPath, kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)})}));
  winsecurity::WinSecurity s("alice", "Secret1!", nullptr);
  ASSERT_EQ(s.accessCheck(kPath), 1);
  std::vector<std::string> log = winsim::callLog();
  const std::vector<std::string> wanted{"GetFileSecurityA", "GlobalAlloc", "GetFileSecurityA", "MapGenericMask",
                                        "AccessCheck", "GlobalFree"};
  std::vector<std::string> seen;
  for (const std::string& c : log)
    if (std::find(wanted.begin(), wanted.end(), c) != wanted.end()) seen.push_back(c);
  EXPECT_EQ(seen, wanted);
}

// The access check reads its path in the ANSI code page (Windows-1252), the access list in UTF-8:
// the same bytes name two different files.
TEST(AccessCheckEncoding, TheSameBytesNameAnotherFileThanInTheAccessList) {
  const char* bytes = "C:\\data\\caf\xC3\xA9.txt";  // "café.txt" in UTF-8
  winsim::install(machineWithFiles({
      // The UTF-8 reading: café.txt, readable by everyone.
      file("C:\\data\\caf\xC3\xA9.txt", kBob, std::vector<Ace>{allow(kEveryone, 0x1200A9)}),
      // The Windows-1252 reading: cafÃ©.txt, alice's own with an empty DACL.
      file("C:\\data\\caf\xC3\x83\xC2\xA9.txt", kAlice, std::vector<Ace>{}),
  }));
  winsecurity::WinSecurity checker("alice", "Secret1!", nullptr);
  EXPECT_EQ(checker.accessCheck(bytes), 0);
  EXPECT_EQ(checker.getLastErrorMessage(), nullptr) << "a refusal, not a missing file";
  // The Windows-1252 byte for é names café.txt here.
  EXPECT_EQ(checker.accessCheck("C:\\data\\caf\xE9.txt"), 1);

  winsecurity::WinSecurity lister;
  char* block = nullptr;
  ASSERT_EQ(lister.getAccessList(bytes, &block), 1);
  EXPECT_EQ(blockStrings(block), std::vector<std::string>{"Everyone"});
  lister.freeMemblk(block);
  expectClean();
}

}  // namespace
