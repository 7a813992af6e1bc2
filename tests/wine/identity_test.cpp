// Commands 1, 2 and 5 on Wine's own token, lookup and access-check code: morvik-wine-logon.exe
// (morvik.exe with only its logon replaced) over pipes, checked against what wine-token-probe.exe
// reads of the same token by a road of its own, and against what Wine's descriptors must give.
//
// Runs only under Wine (the windows preset's ctest sets MORVIK_EXE, MORVIK_WINE and
// MORVIK_WINE_PROBE); without them every test fails.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/harness.h"

namespace {

using Strings = std::vector<std::string>;

constexpr const char* kEveryone = "S-1-1-0";

// alice gets the process's token as it is; bob the same with Everyone deny-only (and a password
// with a colon in it); carol's token comes with TOKEN_QUERY access alone, which the impersonation
// refuses.
const e2e::Params kAlice = {{"user", "alice"}, {"password", "Secret1!"}};
const e2e::Params kBob = {{"user", "bob"}, {"password", "Pa55:w0rd"}};
const e2e::Params kCarol = {{"user", "carol"}, {"password", "c4rol"}};
const char* const kLogons = "alice:Secret1!;bob:Pa55:w0rd:deny-only=S-1-1-0;carol:c4rol:query-only";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

e2e::Params with(e2e::Params params, const char* key, const std::string& value) {
  params.emplace_back(key, value);
  return params;
}

Strings record(const char* context, const char* call, int number, const char* text) {
  return Strings{context, call, std::to_string(number), text};
}

const Strings kLogonFailure = record("WinSecurity::logOnVelUser", "LogonUser", 1326, "Logon failure.\r\n");

// One group of a token as the probe reads it.
struct ProbeGroup {
  uint32_t attributes = 0;
  std::string sid;
  std::string name;  // DOMAIN\name, a bare name, or !error
};

// One read check as the probe makes it.
struct ProbeAccess {
  std::string call;  // "GetFileSecurity" or "AccessCheck"
  std::vector<std::string> values;
};

class WineIdentity : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("MORVIK_WINE_LOGONS", kLogons, 1);
    char folder[] = "/tmp/morvik-wine-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    // Wine makes each descriptor from the Unix owner and mode: SYSTEM may always do everything;
    // the owner (the running user, or ANONYMOUS LOGON for anyone else) when it may read or write;
    // a deny entry for the owner when others may do what the owner may not; Everyone when
    // others may read or write.
    makeFile("readable.txt", 0644);
    makeFile("owner-denied.txt", 0244);  // deny the owner read, then Everyone may read
    makeFile("nothing.txt", 0000);       // SYSTEM alone
    makeFile("others.txt", 0644);        // owned by someone else: only Everyone grants read
    ASSERT_EQ(chown(path("others.txt").c_str(), 65534, 65534), 0) << "chown needs root, as CI runs";
  }

  static void TearDownTestSuite() {
    for (const char* f : {"readable.txt", "owner-denied.txt", "nothing.txt", "others.txt"})
      std::remove(path(f).c_str());
    rmdir(folder_.c_str());
  }

  static void makeFile(const char* name, mode_t mode) {
    std::ofstream(path(name)) << name << "\n";
    ASSERT_EQ(chmod(path(name).c_str(), mode), 0);
  }

  static std::string path(const char* name) { return folder_ + "/" + name; }

  // The same file as Wine names it: the Unix root is drive Z:.
  static std::string winePath(const char* name) {
    std::string p = "Z:" + path(name);
    for (char& c : p)
      if (c == '/') c = '\\';
    return p;
  }

  void SetUp() override {
    ASSERT_TRUE(e2e::underWine()) << "MORVIK_EXE and MORVIK_WINE must name morvik-wine-logon.exe and Wine";
    ASSERT_FALSE(env("MORVIK_WINE_PROBE").empty()) << "MORVIK_WINE_PROBE must name wine-token-probe.exe";
  }

  // The probe's output lines, split at tabs; `denyOnly` as the account's entry has it.
  static std::vector<Strings> probe(const std::string& denyOnly, const Strings& arguments) {
    Strings args{env("MORVIK_WINE"), env("MORVIK_WINE_PROBE")};
    if (!denyOnly.empty()) {
      args.push_back("--deny-only");
      args.push_back(denyOnly);
    }
    args.insert(args.end(), arguments.begin(), arguments.end());
    const e2e::Run run = e2e::runProgram(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<Strings> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
      Strings fields;
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
      lines.push_back(fields);
    }
    return lines;
  }

  static std::vector<ProbeGroup> probeGroups(const std::string& denyOnly) {
    std::vector<ProbeGroup> groups;
    for (const Strings& f : probe(denyOnly, {"groups"})) {
      if (f.size() != 4 || f[0] != "group") {
        ADD_FAILURE() << "unexpected probe line";
        continue;
      }
      groups.push_back({static_cast<uint32_t>(std::stoul(f[1], nullptr, 16)), f[2], f[3]});
    }
    return groups;
  }

  static std::map<std::string, ProbeAccess> probeAccess(const std::string& denyOnly, const Strings& paths) {
    Strings args{"access"};
    args.insert(args.end(), paths.begin(), paths.end());
    std::map<std::string, ProbeAccess> out;
    for (const Strings& f : probe(denyOnly, args)) {
      if (f.size() < 4 || f[0] != "access") {
        ADD_FAILURE() << "unexpected probe line";
        continue;
      }
      out[f[1]] = ProbeAccess{f[2], Strings(f.begin() + 3, f.end())};
    }
    return out;
  }

  // The replies of one morvik-wine-logon.exe session, one per request, each checked for its frame.
  static std::vector<e2e::Reply> serve(const std::vector<std::string>& requests) {
    std::string input;
    for (const std::string& r : requests) input += r;
    const e2e::Run run = e2e::runMorvik(input);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<e2e::Reply> replies = e2e::parseReplies(run.out);
    EXPECT_EQ(replies.size(), requests.size()) << run.err;
    for (const e2e::Reply& r : replies) {
      EXPECT_EQ(r.messageType, 2);
      EXPECT_EQ(r.command, 1);
    }
    return replies;
  }

  static std::string folder_;
};

std::string WineIdentity::folder_;

// What morvik must list for a token: its enabled groups that have a name, in token order.
Strings enabledNames(const std::vector<ProbeGroup>& groups) {
  Strings names;
  for (const ProbeGroup& g : groups)
    if ((g.attributes & 0x4) && g.name.rfind('!', 0) != 0) names.push_back(g.name);
  return names;
}

// The reply's body as strings, or nullopt when it has none.
std::optional<Strings> body(const e2e::Reply& r) {
  if (r.bodyLength == 0) return std::nullopt;
  return e2e::strings(r.body);
}

TEST_F(WineIdentity, ValidateLogsOnListedAccountsOnly) {
  struct Case {
    const char* name;
    e2e::Params params;
    int32_t result;
    std::optional<Strings> body;
  };
  const Case cases[] = {
      {"a listed account", kAlice, 1, std::nullopt},
      {"wrong password", {{"user", "alice"}, {"password", "secret1!"}}, 0, kLogonFailure},
      {"served after a refusal", kBob, 1, std::nullopt},
      {"unlisted name", {{"user", "dave"}, {"password", "Secret1!"}}, 0, kLogonFailure},
      {"no password", {{"user", "alice"}}, 0, kLogonFailure},
      {"names compare without case; the domain is not looked at", with({{"user", "ALICE"}, {"password", "Secret1!"}},
                                                                         "domain", "ELSEWHERE"),
       1, std::nullopt},
  };
  std::vector<std::string> requests;
  for (const Case& c : cases) requests.push_back(e2e::request(1, c.params));
  const std::vector<e2e::Reply> replies = serve(requests);
  ASSERT_EQ(replies.size(), std::size(cases));
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(replies[i].result, cases[i].result);
    EXPECT_EQ(body(replies[i]), cases[i].body);
  }
}

TEST_F(WineIdentity, GroupListIsTheTokensEnabledNamedGroupsInOrder) {
  const std::vector<ProbeGroup> plain = probeGroups("");
  const std::vector<ProbeGroup> restricted = probeGroups(kEveryone);

  // What the probe must show for the comparison to mean something: the logon SID, which Wine
  // cannot name; a group without a domain; and, in bob's token, Everyone present but deny-only.
  auto find = [](const std::vector<ProbeGroup>& groups, const std::string& sid) -> const ProbeGroup* {
    for (const ProbeGroup& g : groups)
      if (g.sid == sid) return &g;
    return nullptr;
  };
  ASSERT_GE(plain.size(), 4u);
  ASSERT_EQ(plain.back().sid, "S-1-5-5-0-0");
  EXPECT_EQ(plain.back().attributes, 0xC0000007u);
  EXPECT_EQ(plain.back().name, "!1332");
  ASSERT_NE(find(plain, kEveryone), nullptr);
  EXPECT_EQ(find(plain, kEveryone)->name, "Everyone");
  ASSERT_NE(find(restricted, kEveryone), nullptr);
  EXPECT_EQ(find(restricted, kEveryone)->attributes & 0x14, 0x10u) << "deny-only, not enabled";

  const Strings alice = enabledNames(plain);
  const Strings bob = enabledNames(restricted);
  EXPECT_NE(std::find(alice.begin(), alice.end(), "Everyone"), alice.end());
  EXPECT_EQ(std::find(bob.begin(), bob.end(), "Everyone"), bob.end());
  EXPECT_EQ(bob.size() + 1, alice.size());

  const std::vector<e2e::Reply> replies = serve({e2e::request(2, kAlice), e2e::request(2, kBob),
                                                 e2e::request(2, {{"user", "alice"}, {"password", "no"}})});
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].result, 1);
  EXPECT_EQ(body(replies[0]), alice);
  EXPECT_EQ(replies[1].result, 1);
  EXPECT_EQ(body(replies[1]), bob);
  EXPECT_EQ(replies[2].result, 0);
  EXPECT_EQ(body(replies[2]), kLogonFailure);
}

TEST_F(WineIdentity, ReadCheckAgreesWithWinesAccessCheck) {
  struct Case {
    const char* file;
    int32_t alice, bob;  // the answer for each account (1 may read)
  };
  const Case cases[] = {
      {"readable.txt", 1, 1},      // the owner's entry grants it
      {"owner-denied.txt", 0, 0},  // the owner's deny entry comes before Everyone's allow
      {"nothing.txt", 0, 0},       // SYSTEM alone
      {"others.txt", 1, 0},        // only Everyone grants, and bob's Everyone is deny-only
  };
  Strings paths;
  for (const Case& c : cases) paths.push_back(winePath(c.file));
  const std::string missing = winePath("missing.txt");
  paths.push_back(missing);
  const auto aliceProbe = probeAccess("", paths);
  const auto bobProbe = probeAccess(kEveryone, paths);

  std::vector<std::string> requests;
  for (const std::string& p : paths) {
    requests.push_back(e2e::request(5, with(kAlice, "filepath", p)));
    requests.push_back(e2e::request(5, with(kBob, "filepath", p)));
  }
  const std::vector<e2e::Reply> replies = serve(requests);
  ASSERT_EQ(replies.size(), requests.size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].file);
    const std::string& p = paths[i];
    for (const auto& [account, probed, reply, expected] :
         {std::tuple{"alice", aliceProbe.at(p), replies[2 * i], cases[i].alice},
          std::tuple{"bob", bobProbe.at(p), replies[2 * i + 1], cases[i].bob}}) {
      SCOPED_TRACE(account);
      // The probe's check ran, and its verdict is the one expected of Wine's descriptor.
      ASSERT_EQ(probed.call, "AccessCheck");
      ASSERT_EQ(probed.values.size(), 4u);
      EXPECT_EQ(probed.values[0], "1");
      EXPECT_EQ(probed.values[1], std::to_string(expected));
      EXPECT_EQ(probed.values[2], expected ? "0x00020089" : "0x00000000");
      // morvik answers as the probe's check did, and a denial carries no record.
      EXPECT_EQ(reply.result, expected);
      EXPECT_EQ(body(reply), std::nullopt);
    }
  }
  // A missing file: the descriptor cannot be read, with the number the probe got.
  ASSERT_EQ(aliceProbe.at(missing).call, "GetFileSecurity");
  EXPECT_EQ(aliceProbe.at(missing).values, Strings{"2"});
  for (const e2e::Reply* r : {&replies[replies.size() - 2], &replies.back()}) {
    EXPECT_EQ(r->result, 0);
    EXPECT_EQ(body(*r), record("WinSecurity::checkURI", "GetFileSecurity", 2, "File not found.\r\n"));
  }
}

TEST_F(WineIdentity, ReadCheckOfADescriptorThatCannotBeReadCarriesWinesNumber) {
  struct Case {
    std::string path;
    int number;
    const char* text;
  };
  const Case cases[] = {
      {winePath("missing.txt"), 2, "File not found.\r\n"},
      {winePath("no-such-folder") + "\\file.txt", 3, "Path not found.\r\n"},
      {"", 123, "Invalid name.\r\n"},
  };
  std::vector<std::string> requests;
  for (const Case& c : cases) requests.push_back(e2e::request(5, with(kAlice, "filepath", c.path)));
  requests.push_back(e2e::request(5, with(kAlice, "filepath", winePath("readable.txt"))));
  const std::vector<e2e::Reply> replies = serve(requests);
  ASSERT_EQ(replies.size(), requests.size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].path);
    EXPECT_EQ(replies[i].result, 0);
    EXPECT_EQ(body(replies[i]), record("WinSecurity::checkURI", "GetFileSecurity", cases[i].number, cases[i].text));
  }
  EXPECT_EQ(replies.back().result, 1) << "the request after the failures is served";
}

// A logon whose token the impersonation refuses: validate reports the refusal; the group list
// reads the primary token instead and succeeds; the read check hands that primary token to
// AccessCheck, which refuses it. The request after them is served as the process itself.
TEST_F(WineIdentity, ARefusedImpersonationTakesTheSamePathsAsOnWindows) {
  const std::string readable = winePath("readable.txt");
  const std::vector<e2e::Reply> replies =
      serve({e2e::request(1, kCarol), e2e::request(2, kCarol), e2e::request(5, with(kCarol, "filepath", readable)),
             e2e::request(5, with(kAlice, "filepath", readable))});
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].result, 0);
  EXPECT_EQ(body(replies[0]),
            record("WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", 5, "Access denied.\r\n"));
  EXPECT_EQ(replies[1].result, 1);
  EXPECT_EQ(body(replies[1]), enabledNames(probeGroups("")));
  EXPECT_EQ(replies[2].result, 0);
  EXPECT_EQ(body(replies[2]), record("WinSecurity::checkURI", "AccessCheck", 1309, "No impersonation token.\r\n"));
  EXPECT_EQ(replies[3].result, 1);
  EXPECT_EQ(body(replies[3]), std::nullopt);
}

TEST_F(WineIdentity, IdentityCommandsMixWithTheOthersInOneSession) {
  const std::string readable = winePath("readable.txt");
  const std::string others = winePath("others.txt");
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  const Strings accessList{"NT AUTHORITY\\SYSTEM", e2e::wineComputerName() + "\\" + pw->pw_name, "Everyone"};
  const Strings aliceGroups = enabledNames(probeGroups(""));
  struct Case {
    int32_t command;
    e2e::Params params;
    int32_t result;
    std::optional<Strings> body;
  };
  const Case cases[] = {
      {5, with(kBob, "filepath", others), 0, std::nullopt},
      {4, {{"filepath", readable}}, 1, accessList},
      {1, {{"user", "mallory"}, {"password", "x"}}, 0, kLogonFailure},
      {2, kAlice, 1, aliceGroups},
      {6, {{"filepath", "C:\\"}}, 1, std::nullopt},
      {5, with(kAlice, "filepath", others), 1, std::nullopt},
      {7, {}, 1, Strings{e2e::wineComputerName()}},
      {5, with({{"user", "alice"}, {"password", "wrong"}}, "filepath", readable), 0, kLogonFailure},
      {1, kBob, 1, std::nullopt},
      {4, {{"filepath", others}}, 1, Strings{"NT AUTHORITY\\SYSTEM", "NT AUTHORITY\\ANONYMOUS LOGON", "Everyone"}},
  };
  std::vector<std::string> requests;
  for (size_t i = 0; i < std::size(cases); ++i)
    requests.push_back(e2e::request(cases[i].command, cases[i].params, 1, static_cast<int32_t>(500 + i), 9));
  const std::vector<e2e::Reply> replies = serve(requests);
  ASSERT_EQ(replies.size(), std::size(cases));
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "request " << i << ", command " << cases[i].command);
    EXPECT_EQ(replies[i].senderId, 9);
    EXPECT_EQ(replies[i].receiverId, static_cast<int32_t>(500 + i));
    EXPECT_EQ(replies[i].result, cases[i].result);
    EXPECT_EQ(body(replies[i]), cases[i].body);
  }
}

}  // namespace
