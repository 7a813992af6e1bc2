// Commands 2, 7 and 8 end to end: morvik over pipes, against a winsim machine file in the native
// build and against what Wine's platform answers under Wine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using Strings = std::vector<std::string>;

// A member of CORP; alice's token holds a deny-only and a disabled group that the listing leaves
// out, a group named twice, a domain group without a domain, and the logon SID winsim adds last.
const char* const kCorpMachine = R"({
  "computerName": "FILESRV01",
  "domain": { "name": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330" },
  "accounts": [
    { "name": "alice", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-1104",
      "password": "Secret1!",
      "groups": [ "S-1-5-21-1004336348-1177238915-682003330-513",
                  "S-1-1-0",
                  { "sid": "S-1-5-32-544", "attributes": "0x10" },
                  "S-1-5-32-545",
                  { "sid": "S-1-5-21-1004336348-1177238915-682003330-1200", "attributes": "0x20000007" },
                  { "sid": "S-1-5-32-551", "attributes": 3 },
                  "S-1-5-21-1004336348-1177238915-682003330-1300",
                  "S-1-1-0",
                  "S-1-5-4" ] }
  ],
  "groups": [
    { "name": "Domain Users", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-513" },
    { "name": "Engineering", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-1200" },
    { "name": "Team Alpha", "domain": "", "sid": "S-1-5-21-1004336348-1177238915-682003330-1300" }
  ]
})";

const char* const kWorkgroupMachine = R"({ "computerName": "TESTHOST", "workgroup": "OFFICE" })";

const char* const kWorkstationDownMachine = R"({
  "computerName": "FILESRV01",
  "domain": { "name": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330" },
  "faults": [ { "call": "NetWkstaGetInfo", "error": 2138, "nth": 1 },
              { "call": "NetWkstaGetInfo", "error": 5, "nth": 2 } ]
})";

const e2e::Params kAlice = {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}};

// Runs the requests in one morvik session and returns its replies, one per request.
std::vector<e2e::Reply> serve(const std::vector<std::string>& requests, const std::string& machine = "") {
  std::string input;
  for (const std::string& r : requests) input += r;
  const e2e::Run run = e2e::runMorvik(input, machine);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<e2e::Reply> replies = e2e::parseReplies(run.out);
  EXPECT_EQ(replies.size(), requests.size());
  for (const e2e::Reply& r : replies) {
    EXPECT_EQ(r.messageType, 2);
    EXPECT_EQ(r.command, 1);
    EXPECT_EQ(r.senderId, 2);
    EXPECT_EQ(r.receiverId, 1);
  }
  return replies;
}

// What one reply should carry: the result and the payload's strings (none: no payload at all).
struct Expected {
  int32_t result;
  std::optional<Strings> payload;
};

void expectReplies(const std::vector<e2e::Reply>& replies, const std::vector<Expected>& expected) {
  ASSERT_EQ(replies.size(), expected.size());
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "reply " << i);
    EXPECT_EQ(replies[i].result, expected[i].result);
    if (expected[i].payload) {
      EXPECT_EQ(e2e::strings(replies[i].body), *expected[i].payload);
    } else {
      EXPECT_EQ(replies[i].bodyLength, 0);
      EXPECT_TRUE(replies[i].body.empty());
    }
  }
}


// Under Wine the machine file does not apply: Wine is the platform. Its workstation names the
// host, and its LSA reports no primary domain SID, so every Wine machine is in a workgroup.
const Expected kWineComputer = {1, Strings{e2e::wineComputerName()}};
const Expected kWineNoDomain = {0, std::nullopt};

// Wine's LogonUserW accepts any credentials and hands out a token that nothing else accepts: the
// impersonation fails with 6, and so does the token query that follows on the same handle; that
// last record is the one the reply carries.
const Expected kWineStubToken = {
    0, Strings{"WinSecurity::getGroupsForUser", "GetTokenInformation", "6", "Invalid handle.\r\n"}};

}  // namespace

TEST(IdentityCommands, GroupListOfADomainUserInTokenOrder) {
  const e2e::Params wrongPassword = {{"user", "alice"}, {"password", "wrong"}, {"domain", "CORP"}};
  const e2e::Params noUser = {{"password", "Secret1!"}};
  const auto replies =
      serve({e2e::request(2, kAlice), e2e::request(2, wrongPassword), e2e::request(2, noUser)}, kCorpMachine);
  if (e2e::underWine()) return expectReplies(replies, {kWineStubToken, kWineStubToken, kWineStubToken});
  const Expected logonFailure = {
      0, Strings{"WinSecurity::logOnVelUser", "LogonUser", "1326", "The user name or password is incorrect.\r\n"}};
  expectReplies(replies, {{1, Strings{"CORP\\Domain Users", "Everyone", "BUILTIN\\Users", "CORP\\Engineering",
                                      "Team Alpha", "Everyone", "NT AUTHORITY\\INTERACTIVE"}},
                          logonFailure,
                          // No "user" key: an empty account name, which the system refuses the same way.
                          logonFailure});
}

TEST(IdentityCommands, ComputerAndDomainOfADomainMember) {
  // The parameters of the last request are ignored.
  const auto replies = serve({e2e::request(7), e2e::request(8), e2e::request(8, kAlice)}, kCorpMachine);
  if (e2e::underWine()) return expectReplies(replies, {kWineComputer, kWineNoDomain, kWineNoDomain});
  expectReplies(replies, {{1, Strings{"FILESRV01"}}, {1, Strings{"CORP"}}, {1, Strings{"CORP"}}});
}

TEST(IdentityCommands, WorkgroupMachineHasNoDomain) {
  const auto replies = serve({e2e::request(8), e2e::request(7)}, kWorkgroupMachine);
  if (e2e::underWine()) return expectReplies(replies, {kWineNoDomain, kWineComputer});
  expectReplies(replies, {{0, std::nullopt}, {1, Strings{"TESTHOST"}}});
}

TEST(IdentityCommands, FailedWorkstationQueryAnswersMinusOneWithTheRecord) {
  const auto replies = serve({e2e::request(8), e2e::request(7), e2e::request(7)}, kWorkstationDownMachine);
  if (e2e::underWine()) return expectReplies(replies, {kWineNoDomain, kWineComputer, kWineComputer});
  expectReplies(replies,
                {// 2138 (workstation service not started) has no system text.
                 {-1, Strings{"WinSecurity::getMachineInfo", "NetWkstaGetInfo()", "2138"}},
                 {-1, Strings{"WinSecurity::getMachineInfo", "NetWkstaGetInfo()", "5", "Access is denied.\r\n"}},
                 {1, Strings{"FILESRV01"}}});
}
