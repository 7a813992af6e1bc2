// Fault sweep: every platform call a command makes, made to fail in turn.
//
// Each scenario is a short conversation with the request loop (in-process, over memory streams).
// It is run once clean to learn the calls it makes; then, for every position in that call log, it
// is run again with a fault injected at exactly that call (the nth call of that function), with an
// error number Windows could plausibly give there. After every run:
//  - each request got exactly one whole reply, and a failure's body is a well-formed string list;
//  - the thread is not impersonating;
//  - no token or LSA handle is open and no platform allocation is live.
//
// Two kinds of fault leave something behind by nature, and are judged by what the library did:
//  - a failed RevertToSelf: the platform refused to end the impersonation, so the thread stays
//    impersonating. The library must have asked (the refused call is in the log) and must still
//    have closed its token;
//  - a failed release (CloseHandle, LocalFree, GlobalFree, NetApiBufferFree, LsaFreeMemory,
//    LsaClose): the platform kept the handle or block it refused to release; exactly that one may
//    remain, and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support.h"

using testsupport::le;


namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

const char kDomainSid[] = "S-1-5-21-1004336348-1177238915-682003330";
std::string domainSid(const char* rid) { return std::string(kDomainSid) + "-" + rid; }

// A domain member with the accounts, files, volumes and share the commands need to take their
// longest paths: groups to name, ACLs to walk, a volume of each kind, a share that checks
// credentials.
winsim::Machine domainMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "FILESRV01";
  m.domainName = "CORP";
  m.domainSid = kDomainSid;
  auto account = [&](const char* name, const char* rid, const char* password, std::vector<std::string> groups,
                     uint32_t logonError = 0) {
    winsim::Account a;
    a.name = name;
    a.domain = "CORP";
    a.sid = domainSid(rid);
    a.password = password;
    for (const auto& g : groups) a.groups.push_back({g});
    a.logonError = logonError;
    m.accounts.push_back(a);
  };
  account("alice", "1104", "Secret1!", {domainSid("513"), domainSid("1201"), "S-1-1-0", "S-1-5-32-545", "S-1-5-11"});
  account("bob", "1105", "Hunter2?", {domainSid("513"), domainSid("1202"), "S-1-1-0", "S-1-5-32-545"});
  account("carol", "1106", "pw", {}, 1331);
  m.groups = {{"Domain Users", "CORP", domainSid("513")},
              {"Finance", "CORP", domainSid("1201")},
              {"Engineering", "CORP", domainSid("1202")}};
  using winsim::Ace;
  winsim::File budget;
  budget.path = "C:\\data\\finance\\budget.xlsx";
  budget.owner = domainSid("1104");
  budget.group = domainSid("513");
  budget.dacl = std::vector<Ace>{{Ace::Deny, domainSid("1105"), 0x1f01ff, 0},
                                 {Ace::Allow, "S-1-5-18", 0x1f01ff, 0},
                                 {Ace::Allow, domainSid("1201"), 0x1200a9, 0},
                                 {Ace::Allow, "S-1-5-21-9-9-9-9999", 0x1200a9, 0}};  // resolves to nobody
  winsim::File open;
  open.path = "C:\\public\\open.txt";
  open.owner = "S-1-5-32-544";
  open.group = "S-1-5-32-544";
  m.files = {budget, open};
  m.volumes = {{"C:\\", "NTFS", DRIVE_FIXED, 0},
               {"E:\\", "FAT32", DRIVE_REMOVABLE, 0},
               {"Z:\\", "NTFS", DRIVE_REMOTE, 0},
               {"D:\\", "", DRIVE_CDROM, 21}};
  m.shares.push_back(winsim::Share{"\\\\fs01\\docs", std::string("alice"), std::string("Secret1!"), "NTFS"});
  return m;
}

winsim::Machine workgroupMachine() {
  winsim::Machine m = domainMachine();
  m.domainName.clear();
  m.domainSid.clear();
  m.workgroup = "WORKGROUP";
  return m;
}

struct Request {
  int32_t command;
  Params params;
};

struct Scenario {
  const char* name;
  std::function<winsim::Machine()> machine;
  std::vector<Request> requests;
  // Calls the clean run must make, so that a sweep never passes by making none.
  std::vector<const char*> reaches;
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const Params kAlice{{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}};
const Params kAliceWrong{{"user", "alice"}, {"password", "wrong"}, {"domain", "CORP"}};
const Params kShare{{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "\\\\fs01\\docs"}};
Params file(const char* path) { return {{"filepath", path}}; }
Params check(const char* user, const char* password, const char* path) {
  return {{"user", user}, {"password", password}, {"domain", "CORP"}, {"filepath", path}};
}

const char* const kLogon[] = {"LogonUserW", "ImpersonateLoggedOnUser", "OpenThreadToken", "RevertToSelf",
                              "CloseHandle"};
const char* const kRecord[] = {"FormatMessageW", "LocalFree"};
std::vector<const char*> with(std::initializer_list<const char*> calls, bool logon = false, bool record = false) {
  std::vector<const char*> out(calls);
  if (logon) out.insert(out.end(), std::begin(kLogon), std::end(kLogon));
  if (record) out.insert(out.end(), std::begin(kRecord), std::end(kRecord));
  return out;
}

const Scenario kScenarios[] = {
    {"validate", domainMachine, {{1, kAlice}}, with({}, true)},
    {"validate refused",
     domainMachine,
     {{1, kAliceWrong}, {1, {{"user", "carol"}, {"password", "pw"}}}},
     with({"LogonUserW"}, false, true)},
    {"group list", domainMachine, {{2, kAlice}}, with({"GetTokenInformation", "LookupAccountSidW"}, true)},
    {"group list refused", domainMachine, {{2, kAliceWrong}}, with({"LogonUserW"}, false, true)},
    {"connect and disconnect",
     domainMachine,
     {{3, kShare}, {9, file("\\\\fs01\\docs")}},
     with({"WNetAddConnection2W", "WNetCancelConnection2W"})},
    {"connect refused, disconnect unknown",
     domainMachine,
     {{3, {{"user", "alice"}, {"password", "wrong"}, {"filepath", "\\\\fs01\\docs"}}},
      {9, file("\\\\fs01\\nothere")}},
     with({"WNetAddConnection2W", "WNetCancelConnection2W"}, false, true)},
    {"access list",
     domainMachine,
     {{4, file("C:\\data\\finance\\budget.xlsx")}, {4, file("C:\\public\\open.txt")}},
     with({"GetNamedSecurityInfoW", "GetAclInformation", "GetAce", "LookupAccountSidW", "LocalFree"})},
    {"access list missing",
     domainMachine,
     {{4, file("C:\\no\\such.file")}},
     with({"GetNamedSecurityInfoW"}, false, true)},
    {"access check",
     domainMachine,
     {{5, check("alice", "Secret1!", "C:\\data\\finance\\budget.xlsx")},
      {5, check("bob", "Hunter2?", "C:\\data\\finance\\budget.xlsx")}},
     with({"GetFileSecurityA", "AccessCheck", "GlobalAlloc", "GlobalFree"}, true)},
    {"access check refused",
     domainMachine,
     {{5, check("alice", "wrong", "C:\\data\\finance\\budget.xlsx")},
      {5, check("alice", "Secret1!", "C:\\no\\such.file")}},
     with({"GetFileSecurityA"}, true, true)},
    {"NTFS",
     domainMachine,
     {{6, file("C:\\")}, {6, file("E:\\")}, {6, file("D:\\")}},
     with({"GetVolumeInformationW"}, false, true)},
    {"computer name", domainMachine, {{7, {}}}, with({"NetWkstaGetInfo", "NetApiBufferFree"})},
    {"domain name",
     domainMachine,
     {{8, {}}},
     with({"LsaOpenPolicy", "LsaQueryInformationPolicy", "LsaFreeMemory", "LsaClose", "NetWkstaGetInfo",
           "NetApiBufferFree"})},
    {"domain name of a workgroup",
     workgroupMachine,
     {{8, {}}},
     with({"LsaOpenPolicy", "LsaQueryInformationPolicy", "LsaClose"})},
    {"mapped drive",
     domainMachine,
     {{10, file("Z:\\")}, {10, file("C:\\")}, {10, file("D:\\")}},
     with({"GetDriveTypeW"})},
};

// An error the failing call could really give.
uint32_t plausibleError(const std::string& call) {
  static const std::map<std::string, uint32_t> errors = {
      {"LogonUserW", 1326},            // ERROR_LOGON_FAILURE
      {"ImpersonateLoggedOnUser", 1346},  // ERROR_BAD_IMPERSONATION_LEVEL
      {"OpenThreadToken", 1008},       // ERROR_NO_TOKEN
      {"RevertToSelf", 5},             // ERROR_ACCESS_DENIED
      {"CloseHandle", 6},              // ERROR_INVALID_HANDLE
      {"GetTokenInformation", 5},
      {"LookupAccountSidW", 1332},     // ERROR_NONE_MAPPED
      {"GetFileSecurityA", 2},         // ERROR_FILE_NOT_FOUND
      {"AccessCheck", 1309},           // ERROR_NO_IMPERSONATION_TOKEN
      {"GetNamedSecurityInfoW", 5},
      {"GetAclInformation", 87},       // ERROR_INVALID_PARAMETER
      {"GetAce", 87},
      {"GetVolumeInformationW", 21},   // ERROR_NOT_READY
      {"GetDriveTypeW", 87},
      {"NetWkstaGetInfo", 8},          // ERROR_NOT_ENOUGH_MEMORY
      {"NetApiBufferFree", 87},
      {"LsaOpenPolicy", 0xC0000022},   // STATUS_ACCESS_DENIED
      {"LsaQueryInformationPolicy", 0xC0000022},
      {"LsaFreeMemory", 0xC0000008},   // STATUS_INVALID_HANDLE
      {"LsaClose", 0xC0000008},
      {"WNetAddConnection2W", 1219},   // ERROR_SESSION_CREDENTIAL_CONFLICT
      {"WNetCancelConnection2W", 2250},  // ERROR_NOT_CONNECTED
      {"MultiByteToWideChar", 1113},   // ERROR_NO_UNICODE_TRANSLATION
      {"WideCharToMultiByte", 122},    // ERROR_INSUFFICIENT_BUFFER
      {"FormatMessageW", 317},         // ERROR_MR_MID_NOT_FOUND
      {"LocalAlloc", 8},
      {"LocalFree", 6},
      {"GlobalAlloc", 8},
      {"GlobalFree", 6},
  };
  const auto found = errors.find(call);
  return found == errors.end() ? 5 : found->second;
}

// Calls that release something: when one of them is refused, the platform keeps what it was given.
const std::set<std::string> kReleases = {"CloseHandle",      "LocalFree",     "GlobalFree",
                                         "NetApiBufferFree", "LsaFreeMemory", "LsaClose"};

std::string encode(const std::vector<Request>& requests) {
  std::string out;
  for (const Request& r : requests) out += testsupport::request(r.command, r.params);
  return out;
}

// Exactly one whole reply per request, each a reply to it, each body empty or a string list.
void expectWholeReplies(const std::string& out, size_t requests) {
  const std::vector<morvik::Reply> replies = testsupport::replies(out);
  for (size_t i = 0; i < replies.size(); ++i) EXPECT_EQ(replies[i].messageType, 2) << "reply " << i << " message type";
  EXPECT_EQ(replies.size(), requests) << "replies";
}

struct Injected {
  std::string call;
  int nth;
};

std::string describe(const std::vector<Injected>& faults) {
  std::string out = "faults:";
  for (const Injected& f : faults)
    out += " " + f.call + " #" + std::to_string(f.nth) + " fails with " + std::to_string(plausibleError(f.call)) + ";";
  return out;
}

// Runs the scenario with the given faults and checks what it left; returns the calls it made.
std::vector<std::string> runFaulted(const Scenario& scenario, const std::string& input,
                                    const std::vector<Injected>& faults) {
  winsim::install(scenario.machine());
  for (const Injected& f : faults) winsim::injectFault(f.call, plausibleError(f.call), f.nth);
  const std::string out = testsupport::serveOverStreams(input);
  const std::vector<std::string> log = winsim::callLog();

  expectWholeReplies(out, scenario.requests.size());
  size_t refusedCloses = 0, refusedFrees = 0;
  bool refusedRevert = false;
  for (const Injected& f : faults) {
    // The fault fired: the call was made at least nth times.
    EXPECT_GE(static_cast<int>(std::count(log.begin(), log.end(), f.call)), f.nth)
        << f.call << " #" << f.nth << " was never reached";
    refusedRevert |= f.call == "RevertToSelf";
    if (f.call == "CloseHandle" || f.call == "LsaClose") ++refusedCloses;
    else if (kReleases.count(f.call)) ++refusedFrees;
  }
  // A refused revert leaves the thread impersonating: the library asked (checked above) and must
  // still have closed what it held.
  if (!refusedRevert) {
    EXPECT_FALSE(winsim::threadImpersonating()) << "thread left impersonating";
  }
  EXPECT_EQ(winsim::openHandles(), refusedCloses) << "open handles";
  const winsim::Allocations live = winsim::liveAllocations();
  EXPECT_EQ(live.total(), refusedFrees) << "live platform allocations: local " << live.local << ", global "
                                        << live.global << ", netApi " << live.netApi << ", lsa " << live.lsa;
  RevertToSelf();
  return log;
}

// The faults that make the nth call of log[k]'s function fail, after `before`.
std::vector<Injected> at(const std::vector<std::string>& log, size_t k, std::vector<Injected> before = {}) {
  before.push_back({log[k], static_cast<int>(std::count(log.begin(), log.begin() + static_cast<long>(k) + 1, log[k]))});
  return before;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    const Scenario& scenario = GetParam();
    input = encode(scenario.requests);
    winsim::install(scenario.machine());
    expectWholeReplies(testsupport::serveOverStreams(input), scenario.requests.size());
    testsupport::expectClean();
    clean = winsim::callLog();
    for (const char* call : scenario.reaches)
      ASSERT_TRUE(std::count(clean.begin(), clean.end(), call) > 0) << "the clean run never calls " << call;
  }
  void TearDown() override {
    // A refused revert leaves the thread impersonating; never carry that into the next test.
    RevertToSelf();
    winsim::install(winsim::defaultMachine());
  }

  std::string input;
  std::vector<std::string> clean;  // the calls of the clean run
};

TEST_P(FaultSweep, EveryCallFailingInTurnLeavesNothingBehind) {
  for (size_t k = 0; k < clean.size(); ++k) {
    const std::vector<Injected> faults = at(clean, k);
    SCOPED_TRACE("call " + std::to_string(k) + " of the clean run; " + describe(faults));
    runFaulted(GetParam(), input, faults);
    if (HasFailure()) break;  // one faulted run's report is enough to act on
  }
}

// A failure's own path (recording the error, releasing what was held) makes calls the clean run
// never makes; each of them fails in turn too, after a first fault.
TEST_P(FaultSweep, EveryCallAfterAFailureFailingTooLeavesNothingBehind) {
  for (size_t k = 0; k < clean.size() && !HasFailure(); ++k) {
    const std::vector<Injected> first = at(clean, k);
    std::vector<std::string> log;
    {
      SCOPED_TRACE(describe(first));
      log = runFaulted(GetParam(), input, first);
    }
    for (size_t j = k + 1; j < log.size() && !HasFailure(); ++j) {
      const std::vector<Injected> faults = at(log, j, first);
      SCOPED_TRACE("call " + std::to_string(j) + " after a fault at call " + std::to_string(k) + "; " +
                   describe(faults));
      runFaulted(GetParam(), input, faults);
    }
  }
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (const char* p = info.param.name; *p; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(kScenarios), scenarioName);

}  // namespace
