// Credential hygiene: no block that the product frees still holds a password. The watch that sees
// the frees is free_watch.h's; a hit charged to anyone but winsim is a failure.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "free_watch.h"
#include "network/NetConnection.h"
#include "request/MessageHandler.h"
#include "security/SecureZero.h"
#include "security/WinSecurity.h"
#include "support.h"

namespace {

using crawler_network::NetConnection;
using hygiene::Findings;
using hygiene::watchFrees;
using winsecurity::MessageHandler;
using winsecurity::WinSecurity;

// One password that fits in a std::string's own storage, one that needs the heap and whose UTF-8
// and UTF-16 forms differ.
const std::string kShort = "Secret1!";
const std::string kLong = "P\xC3\xA4sswort f\xC3\xBCr den B\xC3\xBCroserver \xE2\x82\xAC" "42";
const char kShare[] = "\\\\fs01\\docs";
const char kLongShare[] = "\\\\fs01\\long";
const char kFile[] = "C:\\data\\report.txt";

winsim::Machine hygieneMachine() {
  winsim::Machine m = testsupport::machineWithAlice();  // alice / Secret1!
  winsim::Account bob;
  bob.name = "bob";
  bob.sid = "S-1-5-21-1-2-3-1002";
  bob.password = kLong;
  bob.groups = {{"S-1-1-0"}, {"S-1-5-32-545"}};
  m.accounts.push_back(bob);
  winsim::File file;
  file.path = kFile;
  file.owner = "S-1-5-32-544";
  file.group = "S-1-5-32-544";
  file.dacl = std::vector<winsim::Ace>{{winsim::Ace::Allow, "S-1-1-0", 0x1200a9, 0}};
  m.files.push_back(file);
  m.shares.push_back(winsim::Share{kShare, std::string("alice"), kShort, "NTFS"});
  m.shares.push_back(winsim::Share{kLongShare, std::string("bob"), kLong, "NTFS"});
  return m;
}

std::string describe(const Findings& f) {
  std::string out = std::to_string(f.productHits.load()) + " product block(s) freed holding the password";
  for (int i = 0; i < std::min(f.productHits.load(), Findings::kKept); ++i) out += std::string("\n  released at ") + f.where[i];
  return out;
}

class Hygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    // Valgrind takes over operator new and delete for the shared libraries whatever this binary
    // defines, so the watch would see none of talvane's frees. It runs natively and under ASan.
    if (hygiene::blind()) GTEST_SKIP() << "the allocator is valgrind's; the watch runs natively and under ASan";
    winsim::install(hygieneMachine());
  }
  void TearDown() override {
    RevertToSelf();
    winsim::install(winsim::defaultMachine());
  }
};

// The watch itself: a copy left in a freed block is found in either form and charged to the
// product, a wiped copy is not, and winsim's own retained copies are charged to the platform.
TEST_F(Hygiene, WatchFindsUnwipedCopiesAndTellsPlatformFromProduct) {
  const std::vector<std::string> forms = hygiene::forms(kLong);
  ASSERT_EQ(forms.size(), 2u);
  ASSERT_NE(forms[0], forms[1]);
  for (const std::string& form : forms) {
    SCOPED_TRACE(form.size());
    Findings leaked, wiped;
    watchFrees(kLong, &leaked, [&] {
      char* copy = new char[form.size() + 7];
      std::memcpy(copy + 3, form.data(), form.size());
      // The copy escapes, so the compiler may not drop the pair of new and delete around it: the
      // operators it would call are defined in another file now.
      __asm__ __volatile__("" : : "r"(copy) : "memory");
      delete[] copy;
    });
    EXPECT_EQ(leaked.productHits, 1);
    watchFrees(kLong, &wiped, [&] {
      auto* copy = new std::string(form);
      winsecurity::secureZero(*copy);
      delete copy;
    });
    EXPECT_EQ(wiped.productHits, 0);
    EXPECT_GT(wiped.blocksSearched, 0);
  }

  // winsim keeps what LogonUserW was given and drops the previous copy on the next call.
  const std::vector<std::string> wide = hygiene::forms(kLong);
  std::u16string password;
  for (size_t i = 0; i + 1 < wide[1].size(); i += 2)
    password.push_back(static_cast<char16_t>(static_cast<unsigned char>(wide[1][i]) |
                                             static_cast<unsigned char>(wide[1][i + 1]) << 8));
  Findings platform;
  watchFrees(kLong, &platform, [&] {
    for (int i = 0; i < 2; ++i) {
      HANDLE token = nullptr;
      if (LogonUserW(u"bob", nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token))
        CloseHandle(token);
    }
  });
  EXPECT_GT(platform.platformHits, 0);
  EXPECT_EQ(platform.productHits, 0) << describe(platform);
}

// The library's credential-bearing operations, each with its account's own password (it succeeds)
// and with the other one (it is refused): both paths must leave no copy behind.
TEST_F(Hygiene, LibraryOperationsLeaveNoPasswordInFreedMemory) {
  struct Case {
    const char* name;
    const std::string& password;  // the account's own
    std::function<int(const char* password)> run;
  };
  const Case cases[] = {
      {"validateUser alice", kShort, [](const char* pw) { return WinSecurity("alice", pw, "").validateUser(); }},
      {"validateUser bob", kLong, [](const char* pw) { return WinSecurity("bob", pw, "TESTHOST").validateUser(); }},
      {"getGroupList bob", kLong,
       [](const char* pw) {
         WinSecurity s("bob", pw, "");
         char* block = nullptr;
         const int result = s.getGroupList(&block);
         s.freeMemblk(block);
         return result;
       }},
      {"accessCheck bob", kLong, [](const char* pw) { return WinSecurity("bob", pw, nullptr).accessCheck(kFile); }},
      {"connect bob", kLong, [](const char* pw) { return NetConnection("bob", pw, kLongShare).connect(); }},
      {"connect alice", kShort, [](const char* pw) { return NetConnection("alice", pw, kShare).connect(); }},
  };
  for (const Case& c : cases) {
    for (const std::string& password : {kShort, kLong}) {
      const bool own = password == c.password;
      SCOPED_TRACE(std::string(c.name) + " with " + (own ? "its own" : "another") + " password");
      winsim::install(hygieneMachine());
      Findings found;
      int result = -2;
      watchFrees(password, &found, [&] { result = c.run(password.c_str()); });
      EXPECT_EQ(result, own ? 1 : 0);
      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
      EXPECT_EQ(winsim::openHandles(), 0u);
      EXPECT_EQ(winsim::liveAllocations().total(), 0u);
      EXPECT_FALSE(winsim::threadImpersonating());
    }
  }
}

// The request loop, in-process over memory streams: requests carrying passwords for every
// credential command, and the hostile shapes a peer can send them in.
TEST_F(Hygiene, RequestLoopLeavesNoPasswordInFreedMemory) {
  auto message = [&](int32_t command, const std::string& body, int32_t announced = -1) {
    return testsupport::header(1, command, announced < 0 ? static_cast<int32_t>(body.size()) : announced, 7, 9) +
           body;
  };
  using Pairs = morvik::Params;
  // A count other than the pairs' own, when given, is written over the honest one.
  auto body = [&](const Pairs& pairs, int32_t count = -1) {
    std::string b = morvik::encodeBody(pairs);
    if (count >= 0) b.replace(0, 4, testsupport::le(count));
    return b;
  };

  for (const std::string& password : {kShort, kLong}) {
    SCOPED_TRACE(password == kShort ? "short password" : "long password");
    const std::string user = password == kShort ? "alice" : "bob";
    const std::string share = password == kShort ? kShare : kLongShare;
    std::string input;
    std::vector<int32_t> results;  // of the answered requests, in order
    auto add = [&](int32_t command, const std::string& b, bool answered, int32_t result = 0) {
      input += message(command, b);
      if (answered) results.push_back(result);
    };
    const Pairs logon{{"user", user}, {"password", password}, {"domain", ""}};
    add(1, body(logon), true, 1);
    add(2, body(logon), true, 1);
    add(3, body({{"user", user}, {"password", password}, {"filepath", share}}), true, 1);
    add(9, body({{"filepath", share}}), true, 1);
    add(5, body({{"user", user}, {"password", password}, {"domain", "X"}, {"filepath", kFile}}), true, 1);
    // Wrong password: the refusal's error copy travels back; the secret must not.
    add(1, body({{"user", user}, {"password", password + "x"}}), true);
    // A body over the loop's stack buffer, so it is read into the heap.
    add(1, body({{"user", user}, {"password", password}, {"padding", std::string(2000, 'p')}}), true, 1);
    // The key given twice: the second value is dropped, never stored (so the logon is refused).
    add(1, body({{"password", "first"}, {"password", password}, {"user", user}}), true);
    // No handler: decoded, dropped without a reply.
    add(42, body(logon), false);
    // A count that promises more pairs than the body holds (the pairs there are served), and a
    // value length past the end (the password is lost with it).
    add(1, body(logon, 9), true, 1);
    {
      std::string b = body({{"user", user}, {"password", password}});
      std::string cut = b.substr(0, b.size() - 2);
      add(2, cut, true);
    }
    // Last: a message whose body ends early, password and all.
    input += message(1, body(logon), static_cast<int32_t>(body(logon).size()) + 50);

    // Both forms of the loop: over stdio streams, and over bare descriptors (as the process runs),
    // where the loop's own read-ahead buffer must not keep what it has handed on.
    for (const bool descriptors : {false, true}) {
      SCOPED_TRACE(descriptors ? "descriptors" : "streams");
      std::string replies;
      winsim::install(hygieneMachine());
      Findings found;
      if (descriptors) {
        const int in = memfd_create("requests", 0);
        const int out = memfd_create("replies", 0);
        ASSERT_TRUE(in >= 0 && out >= 0);
        ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        lseek(in, 0, SEEK_SET);
        watchFrees(password, &found, [&] { MessageHandler().waitMessage(in, out); });
        replies.resize(static_cast<size_t>(lseek(out, 0, SEEK_CUR)));
        ASSERT_EQ(pread(out, replies.data(), replies.size(), 0), static_cast<ssize_t>(replies.size()));
        close(in);
        close(out);
      } else {
        std::FILE* in = fmemopen(input.data(), input.size(), "r");
        char* outBuffer = nullptr;
        size_t outSize = 0;
        std::FILE* out = open_memstream(&outBuffer, &outSize);
        ASSERT_TRUE(in && out);
        watchFrees(password, &found, [&] { MessageHandler().waitMessage(in, out); });
        std::fclose(in);
        std::fclose(out);
        replies.assign(outBuffer, outSize);
        std::free(outBuffer);
      }

      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
      // Every answered request got its reply with the result it should have, and no reply carries the
      // secret.
      std::vector<int32_t> got;
      for (const morvik::Reply& r : testsupport::replies(replies)) got.push_back(r.result);
      EXPECT_EQ(got, results);
      for (const std::string& form : hygiene::forms(password)) EXPECT_EQ(replies.find(form), std::string::npos);
      testsupport::expectClean();
    }
  }
}

}  // namespace

// The client library: the request it encodes, the copies its typed and pipelined calls make of
// the parameters, and its ways out of a failed call, against a server that answers from a file.
TEST_F(Hygiene, ClientLeavesNoPasswordInFreedMemory) {
  const std::string yes = morvik::encodeHeader({morvik::kReply, 1, 1, 0, 2, 1});
  const std::string refused = morvik::encodeHeader({morvik::kReply, 1, 0, 0, 2, 1});
  std::string record = morvik::encodeBody({{"WinSecurity::logOnVelUser", "LogonUser"}, {"1326", "refused\r\n"}});
  record.replace(0, 4, testsupport::le(4));  // four strings, not two pairs
  const std::string failed = morvik::encodeHeader({morvik::kReply, 1, 0, static_cast<int32_t>(record.size()), 2, 1}) + record;
  auto server = [](const std::string& replies) {
    if (replies.empty()) return std::vector<std::string>{"/bin/sh", "-c", "exit 0"};
    const std::string file = testing::TempDir() + "hygiene_client_replies.bin";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(replies.data(), 1, replies.size(), f);
    std::fclose(f);
    return std::vector<std::string>{"/bin/sh", "-c", "cat '" + file + "'; exec cat >/dev/null"};
  };
  for (const std::string& password : {kShort, kLong}) {
    SCOPED_TRACE(password == kShort ? "short password" : "long password");
    std::string many;
    std::vector<morvik::Request> requests;
    for (int i = 0; i < 300; ++i) {
      many += i % 2 ? yes : refused;
      requests.push_back({i % 2 ? 1 : 5, {{"user", "bob"}, {"password", password}, {"filepath", kFile}}});
    }
    const struct {
      const char* name;
      std::string replies;
      std::function<void(morvik::Client&)> run;
    } cases[] = {
        {"a typed call", yes, [&](morvik::Client& c) { c.validate("bob", password, "CORP"); }},
        {"a typed call that fails", failed,
         [&](morvik::Client& c) { EXPECT_THROW(c.validate("bob", password, "CORP"), morvik::CommandFailed); }},
        {"a raw request", yes, [&](morvik::Client& c) { c.request(5, requests.front().params); }},
        {"a pipeline through the writer thread", many,
         [&](morvik::Client& c) { EXPECT_EQ(c.requestAll(requests).size(), requests.size()); }},
        {"a server that stops before replying", "",
         [&](morvik::Client& c) { EXPECT_THROW(c.mayRead("bob", password, kFile), morvik::Error); }},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      Findings found;
      watchFrees(password, &found, [&] {
        morvik::Client client(server(c.replies));
        c.run(client);
      });
      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
    }
  }
}
