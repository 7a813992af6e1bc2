// One whole conversation with morvik: every command once, an unknown command, a terminate message
// and a request after it, in one process, with every reply checked byte for byte. Natively against
// a domain member machine; under Wine against what Wine's platform answers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "e2e/harness.h"

using e2e::le;

namespace {

using e2e::Params;

struct Exchange {
  const char* name;
  int32_t command;
  Params params;
  int32_t result;
  std::vector<std::string> body;  // the strings of the reply body; empty: no body at all
  bool bodyIsList = false;        // a list whose strings may be none (count 0) rather than no body
};

// A reply as it must appear on the wire, with its 8 reserved header bytes zero: they carry no
// defined value and are masked before comparing.
std::string replyBytes(const Exchange& e, int32_t senderId, int32_t receiverId) {
  std::string body;
  if (!e.body.empty() || e.bodyIsList) {
    body = le(static_cast<int32_t>(e.body.size()));
    for (const std::string& s : e.body) body += le(static_cast<int32_t>(s.size())) + s;
  }
  return le(2) + le(1) + le(e.result) + le(static_cast<int32_t>(body.size())) + le(senderId) + le(receiverId) +
         std::string(8, '\0') + body;
}

int32_t int32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t k = 4; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
  return static_cast<int32_t>(v);
}

// Sends every exchange (sender id 100 + i, receiver id 200 + i) with command 11 halfway, then a
// terminate message and one request after it; expects exactly the replies of the exchanges.
void runSession(const std::vector<Exchange>& exchanges, const std::string& machine) {
  std::string input;
  for (size_t i = 0; i < exchanges.size(); ++i) {
    if (i == exchanges.size() / 2) input += e2e::request(11, {{"filepath", "C:\\"}}, 1, 300, 301);
    input += e2e::request(exchanges[i].command, exchanges[i].params, 1, static_cast<int32_t>(100 + i),
                          static_cast<int32_t>(200 + i));
  }
  input += e2e::request(0, {}, 3, 302, 303);
  input += e2e::request(6, {{"filepath", "C:\\"}}, 1, 304, 305);

  const e2e::Run run = e2e::runMorvik(input, machine);
  EXPECT_EQ(run.status, 0) << run.err;
  std::string out = run.out;
  // Reply by reply, so that a difference names its command.
  size_t at = 0;
  for (size_t i = 0; i < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    SCOPED_TRACE(e.name);
    ASSERT_GE(out.size(), at + 32) << "reply missing; standard error: " << run.err;
    const int32_t length = int32At(out, at + 12);
    ASSERT_GE(length, 0);
    ASSERT_GE(out.size(), at + 32 + static_cast<size_t>(length)) << "reply cut short";
    const e2e::Reply got = e2e::parseReplies(out.substr(at, 32 + static_cast<size_t>(length))).at(0);
    // Readable first, then exact.
    EXPECT_EQ(got.result, e.result);
    if (!e.body.empty() || e.bodyIsList)
      EXPECT_EQ(e2e::strings(got.body), e.body);
    else
      EXPECT_EQ(got.bodyLength, 0) << "unexpected body";
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at + 24), 8, '\0');
    const std::string want = replyBytes(e, static_cast<int32_t>(200 + i), static_cast<int32_t>(100 + i));
    EXPECT_EQ(out.substr(at, 32 + static_cast<size_t>(length)), want) << "reply bytes differ";
    at += 32 + static_cast<size_t>(length);
  }
  EXPECT_EQ(at, out.size()) << "more replies than requests that deserve one: the unknown command or the "
                               "request after the terminate message was answered";
}

const char* const kDomainSid = "S-1-5-21-1004336348-1177238915-682003330";

const std::string kMachine = std::string(R"({
  "computerName": "FILESRV01",
  "domain": { "name": "CORP", "sid": ")") + kDomainSid + R"(" },
  "accounts": [
    { "name": "alice", "domain": "CORP", "sid": ")" + kDomainSid + R"(-1104", "password": "Secret1!",
      "groups": [ ")" + kDomainSid + R"(-513", "S-1-1-0", { "sid": "S-1-5-32-544", "attributes": "0x10" } ] }
  ],
  "groups": [ { "name": "Domain Users", "domain": "CORP", "sid": ")" + kDomainSid + R"(-513" } ],
  "files": [
    { "path": "C:\\data\\report.docx", "owner": ")" + kDomainSid + R"(-1104", "group": ")" + kDomainSid + R"(-513",
      "dacl": [ { "type": "allow", "sid": "S-1-1-0", "mask": "0x1200a9" },
                { "type": "allow", "sid": ")" + kDomainSid + R"(-1104", "mask": "0x1f01ff" } ] }
  ],
  "volumes": [
    { "root": "C:\\", "fileSystem": "NTFS", "driveType": "fixed" },
    { "root": "Z:\\", "fileSystem": "NTFS", "driveType": "remote" }
  ],
  "shares": [ { "path": "\\\\fs01\\docs", "user": "alice", "password": "Secret1!" } ]
})";

const Params kAlice = {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}};

Params with(Params p, const std::string& key, const std::string& value) {
  p.emplace_back(key, value);
  return p;
}

TEST(Session, EveryCommandOnADomainMember) {
  if (e2e::underWine()) GTEST_SKIP() << "the winsim machine; see UnderWine";
  runSession(
      {
          {"1 validate user", 1, kAlice, 1, {}},
          // The deny-only Administrators entry is not enabled and the logon SID has no name.
          {"2 group list", 2, kAlice, 1, {"CORP\\Domain Users", "Everyone"}, true},
          {"3 connect", 3, with(kAlice, "filepath", "\\\\fs01\\docs"), 1, {}},
          {"4 access list", 4, {{"filepath", "C:\\data\\report.docx"}}, 1, {"Everyone", "CORP\\alice"}, true},
          {"5 access check", 5, with(kAlice, "filepath", "C:\\data\\report.docx"), 1, {}},
          {"6 NTFS", 6, {{"filepath", "C:\\"}}, 1, {}},
          {"7 computer name", 7, {}, 1, {"FILESRV01"}, true},
          {"8 domain name", 8, {}, 1, {"CORP"}, true},
          {"9 disconnect", 9, {{"filepath", "\\\\fs01\\docs"}}, 1, {}},
          {"10 mapped drive", 10, {{"filepath", "Z:\\"}}, 1, {}},
      },
      kMachine);
}


// Wine logs anyone on with the fake token 0xdeadbeef, which every later token call refuses with 6;
// it has no network provider and its LSA reports no primary domain SID (a workgroup).
TEST(Session, EveryCommandUnderWine) {
  if (!e2e::underWine()) GTEST_SKIP() << "expectations for Wine's platform";
  const std::string invalidHandle = "Invalid handle.\r\n";
  runSession(
      {
          {"1 validate user",
           1,
           kAlice,
           0,
           {"WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", "6", invalidHandle}},
          {"2 group list",
           2,
           kAlice,
           0,
           {"WinSecurity::getGroupsForUser", "GetTokenInformation", "6", invalidHandle}},
          // Wine has no network provider: the WNet calls return 1222.
          {"3 connect",
           3,
           with(kAlice, "filepath", "\\\\fs01\\docs"),
           0,
           {"NetConnection::connect", "WNetAddConnection2", "1222", "No network.\r\n"}},
          {"4 access list",
           4,
           {{"filepath", "C:\\no such folder\\x.txt"}},
           0,
           {"WinSecurity::getUsersForFile", "GetNamedSecurityInfo", "3", "Path not found.\r\n"}},
          {"5 access check",
           5,
           with(kAlice, "filepath", "C:\\windows\\win.ini"),
           0,
           {"WinSecurity::checkURI", "AccessCheck", "6", invalidHandle}},
          {"6 NTFS", 6, {{"filepath", "C:\\"}}, 1, {}},
          {"7 computer name", 7, {}, 1, {e2e::wineComputerName()}, true},
          {"8 domain name", 8, {}, 0, {}},
          {"9 disconnect",
           9,
           {{"filepath", "\\\\fs01\\docs"}},
           0,
           {"NetConnection::disconnect", "WNetCancelConnection2W", "1222", "No network.\r\n"}},
          {"10 mapped drive", 10, {{"filepath", "C:\\"}}, 0, {}},
      },
      "");
}

}  // namespace
