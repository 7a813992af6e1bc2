// The request loop as a peer sees it: the real morvik over pipes, natively or morvik.exe under
// Wine. Framing, ordering and stop conditions; command 1 as the platform answers it; hostile
// headers and bodies.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <climits>
#include <string>
#include <vector>

#include "e2e/harness.h"

using e2e::le;

using e2e::Params;
using e2e::rawMessage;
using e2e::request;
using e2e::runMorvik;

namespace {

// A request every platform answers quickly, without credentials: is C:\ on NTFS.
std::string ntfsRequest(int32_t senderId = 1, int32_t receiverId = 2) {
  return request(6, {{"filepath", "C:\\"}}, 1, senderId, receiverId);
}

void expectReplyTo(const e2e::Reply& reply, int32_t senderId, int32_t receiverId) {
  EXPECT_EQ(reply.messageType, 2);
  EXPECT_EQ(reply.command, 1);
  EXPECT_EQ(reply.senderId, receiverId);
  EXPECT_EQ(reply.receiverId, senderId);
}

}  // namespace

TEST(Protocol, InputEndingInsideAMessageEndsQuietly) {
  const struct {
    const char* name;
    std::string input;
    size_t replies;
  } cases[] = {
      {"empty input", "", 0},
      {"31 header bytes", std::string(31, '\x01'), 0},
      {"body of 8 announced, 5 sent", rawMessage(1, 6, 8, 1, 2, "12345"), 0},
      {"answered request, then a cut header", ntfsRequest() + std::string(20, '\0'), 1},
      {"answered request, then a cut body", ntfsRequest() + rawMessage(1, 6, 100, 1, 2, "abc"), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const e2e::Run run = runMorvik(c.input);
    EXPECT_EQ(run.status, 0) << run.err;
    const auto replies = e2e::parseReplies(run.out);
    EXPECT_EQ(replies.size(), c.replies);
  }
}

TEST(Protocol, TerminateEndsTheLoopAfterTheRequestsBeforeIt) {
  for (const int32_t command : {0, 6, 42}) {
    SCOPED_TRACE(command);
    // A terminate message is read whole, body included; nothing after it is served.
    const e2e::Run run =
        runMorvik(ntfsRequest(1, 2) + ntfsRequest(3, 4) + request(command, {{"filepath", "C:\\"}}, 3) + ntfsRequest(5, 6));
    EXPECT_EQ(run.status, 0) << run.err;
    const auto replies = e2e::parseReplies(run.out);
    ASSERT_EQ(replies.size(), 2u);
    expectReplyTo(replies[0], 1, 2);
    expectReplyTo(replies[1], 3, 4);
  }
}

TEST(Protocol, UnknownCommandsAreDroppedWithoutReply) {
  const e2e::Run run = runMorvik(request(0, {}, 1, 10, 0) + request(11, {}, 1, 11, 0) + request(-1, {}, 1, 12, 0) +
                                 request(INT_MIN, {}, 1, 13, 0) + ntfsRequest(14, 0));
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 1u);
  expectReplyTo(replies[0], 14, 0);
}

TEST(Protocol, ReplySwapsSenderAndReceiver) {
  const e2e::Run run = runMorvik(ntfsRequest(5, 9));
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 1u);
  expectReplyTo(replies[0], 5, 9);
  EXPECT_EQ(replies[0].senderId, 9);
  EXPECT_EQ(replies[0].receiverId, 5);
}

TEST(Protocol, EveryMessageTypeButTerminateIsServed) {
  std::string input;
  const int32_t types[] = {1, 2, 0, 4, -1};
  for (int32_t i = 0; i < 5; ++i) input += request(6, {{"filepath", "C:\\"}}, types[i], 100 + i, 0);
  const e2e::Run run = runMorvik(input);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 5u);
  for (int32_t i = 0; i < 5; ++i) expectReplyTo(replies[static_cast<size_t>(i)], 100 + i, 0);
}

TEST(Protocol, RequestsInOneWriteAreAnsweredInOrder) {
  // Mixed commands, so that a reply that jumped the queue would show in the ids.
  std::string input;
  for (int32_t i = 0; i < 12; ++i)
    input += request(i % 2 ? 10 : 6, {{"filepath", "C:\\"}, {"user", "nobody"}}, 1, 1000 + i, 2000 + i);
  const e2e::Run run = runMorvik(input);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 12u);
  for (int32_t i = 0; i < 12; ++i) expectReplyTo(replies[static_cast<size_t>(i)], 1000 + i, 2000 + i);
}

TEST(Protocol, ABatchLargerThanThePipesIsAnsweredWhole) {
  // About 1 MiB in and 0.6 MiB out, both far beyond a pipe's buffer: the peer must read while it
  // writes, and morvik must keep answering while its input is still arriving.
  constexpr int32_t kRequests = 20000;
  std::string input;
  for (int32_t i = 0; i < kRequests; ++i) input += request(10, {{"filepath", "C:\\"}}, 1, i, -i);
  const e2e::Run run = runMorvik(input);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), static_cast<size_t>(kRequests));
  for (int32_t i = 0; i < kRequests; i += 997) expectReplyTo(replies[static_cast<size_t>(i)], i, -i);
  expectReplyTo(replies.back(), kRequests - 1, 1 - kRequests);
}

TEST(Protocol, APeerThatClosesTheReplyPipeLeavesTheEndToTheNextRead) {
  // Windows has no SIGPIPE: a reply written after the peer closed its end of the pipe fails, and
  // the loop goes on until its input ends. `true` closes the reading end at once; the replies are
  // far more than a pipe holds, so writes fail whatever the timing.
  std::string input;
  for (int32_t i = 0; i < 5000; ++i) input += ntfsRequest(i);
  std::vector<std::string> args{"/bin/bash", "-c", "\"$@\" | true; exit \"${PIPESTATUS[0]}\"", "morvik"};
  for (const std::string& word : e2e::morvikCommand()) args.push_back(word);
  const e2e::Run run = e2e::runProgram(args, input);
  EXPECT_EQ(run.status, 0) << "morvik's exit status (141: ended by SIGPIPE): " << run.err;
}

TEST(Protocol, MappedDriveTestOnALocalDiskIsAPlainNo) {
  const e2e::Run run = runMorvik(request(10, {{"filepath", "C:\\"}, {"user", "x"}, {"password", "y"}}));
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 0);
  EXPECT_EQ(replies[0].bodyLength, 0);
}

// The error record a refused command 1 carries. Natively the default machine has no accounts, so
// the logon itself is refused; Wine's LogonUserW accepts anything and hands out a token that its
// ImpersonateLoggedOnUser then rejects.
std::vector<std::string> refusedLogonRecord() {
  if (e2e::underWine())
    return {"WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", "6", "Invalid handle.\r\n"};
  return {"WinSecurity::logOnVelUser", "LogonUser", "1326", "The user name or password is incorrect.\r\n"};
}

TEST(Protocol, ValidateUserOnTheDefaultMachineCarriesTheErrorRecord) {
  const e2e::Run run = runMorvik(request(1, {{"user", "alice"}, {"password", "Secret1!"}, {"domain", ""}}));
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 0);
  EXPECT_EQ(e2e::strings(replies[0].body), refusedLogonRecord());
}

TEST(Protocol, ValidateUserWithAKnownAccountSucceeds) {
  const std::string machine = R"({
    "computerName": "E2EHOST",
    "accounts": [ { "name": "alice", "sid": "S-1-5-21-1-2-3-1001", "password": "Secret1!" } ]
  })";
  const e2e::Run run = runMorvik(request(1, {{"user", "alice"}, {"password", "Secret1!"}}) +
                                     request(1, {{"user", "alice"}, {"password", "wrong"}}),
                                 machine);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 2u);
  if (e2e::underWine()) {
    // Wine is the platform there: the machine file does not apply.
    for (const auto& reply : replies) {
      EXPECT_EQ(reply.result, 0);
      EXPECT_EQ(e2e::strings(reply.body), refusedLogonRecord());
    }
    return;
  }
  EXPECT_EQ(replies[0].result, 1);
  EXPECT_EQ(replies[0].bodyLength, 0);
  EXPECT_EQ(replies[1].result, 0);
  EXPECT_EQ(e2e::strings(replies[1].body), refusedLogonRecord());
}

// Every writable byte of a process: its heap, stacks, and the data of its libraries.
std::string writableMemory(int pid) {
  std::string all;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
  if (mem < 0) return all;
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[1] != 'w') continue;
    // The sanitizer's shadow reserves terabytes that hold no data of the program's.
    if (end - start > (1ul << 30)) continue;
    std::string region(end - start, '\0');
    const ssize_t got = pread(mem, region.data(), region.size(), static_cast<off_t>(start));
    if (got > 0) all.append(region, 0, static_cast<size_t>(got));
  }
  close(mem);
  return all;
}

// Between requests, a password that came in with a request is nowhere in the process: not in the
// bytes read ahead, the body, the decoded parameters, nor in anything freed since. The command is
// one that never hands the password to the platform, so every copy there could be is morvik's own.
TEST(Protocol, APasswordLeavesNoTraceInTheWaitingProcess) {
  if (e2e::underWine() || std::getenv("MORVIK_WRAPPER")) GTEST_SKIP() << "reads the native process's memory";
  // Made at run time, so the test's own image does not carry it either.
  std::string password = "pw-";
  for (int i = 0; i < 4; ++i) password += std::to_string(7919 * (i + 3));
  const std::string machine = R"({ "computerName": "MARKERHOST42" })";
  const std::string input = request(6, {{"filepath", "C:\\"}, {"password", password}, {"user", "alice"}}) +
                            request(6, {{"password", password + std::string(100, 'x')}, {"filepath", "C:\\"}}) +
                            // Its reply shows that the requests before it are gone: a reply
                            // leaves before its own request is released.
                            ntfsRequest();
  bool inspected = false;
  const e2e::Run run = runMorvik(input, machine, {3, [&](int pid) {
                                                   const std::string memory = writableMemory(pid);
                                                   inspected = true;
                                                   // The scan sees the heap: the machine is there.
                                                   EXPECT_NE(memory.find("MARKERHOST42"), std::string::npos);
                                                   EXPECT_EQ(memory.find(password), std::string::npos);
                                                 }});
  EXPECT_TRUE(inspected);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(e2e::parseReplies(run.out).size(), 3u);
}

// Headers and bodies outside the format. Each is followed by a well-formed request: a malformed
// body is still served (with the pairs decoded before the fault), a body length that cannot be
// honoured ends the conversation like a body cut short. Never a crash, never a partial reply.
TEST(Protocol, MalformedInputNeverCrashesOrCorruptsTheOutput) {
  const std::string pair = le(8) + "filepath" + le(3) + "C:\\";
  constexpr int32_t kCap = 1 << 20;
  const auto withBody = [](const std::string& body) { return rawMessage(1, 6, static_cast<int32_t>(body.size()), 1, 2, body); };
  const struct {
    const char* name;
    std::string input;
    size_t replies;  // including the one to the well-formed request that follows, if served
  } cases[] = {
      {"negative count", withBody(le(-1) + pair), 2},
      {"count above the pairs present", withBody(le(1000) + pair), 2},
      {"count INT_MAX, no pairs", withBody(le(INT_MAX)), 2},
      {"negative key length", withBody(le(1) + le(-1) + "filepath"), 2},
      {"key length INT_MAX", withBody(le(1) + le(INT_MAX) + "filepath"), 2},
      {"negative value length", withBody(le(1) + le(8) + "filepath" + le(-5) + "C:\\"), 2},
      {"value length INT_MIN", withBody(le(1) + le(8) + "filepath" + le(INT_MIN)), 2},
      {"value length INT_MAX", withBody(le(1) + le(8) + "filepath" + le(INT_MAX) + "C:\\"), 2},
      {"key runs past the body", withBody(le(1) + le(9) + "filepath"), 2},
      {"value runs past the body", withBody(le(2) + pair + le(4) + "user" + le(4) + "bob"), 2},
      {"value length cut inside its own field", withBody(le(1) + le(8) + "filepath" + std::string("\x03\x00", 2)), 2},
      {"body length 0", rawMessage(1, 6, 0, 1, 2, ""), 2},
      {"body length 1", rawMessage(1, 6, 1, 1, 2, "\x01"), 2},
      {"body length 3", rawMessage(1, 6, 3, 1, 2, std::string(3, '\xff')), 2},
      {"body length -1", rawMessage(1, 6, -1, 1, 2, pair), 0},
      {"body length INT_MIN", rawMessage(1, 6, INT_MIN, 1, 2, pair), 0},
      {"body length INT_MAX", rawMessage(1, 6, INT_MAX, 1, 2, le(1) + pair), 0},
      {"body length at the cap", withBody(le(1) + pair + std::string(kCap - 4 - pair.size(), 'x')), 2},
      {"body length past the cap, body present",
       withBody(le(1) + pair + std::string(kCap + 1 - 4 - pair.size(), 'x')), 0},
      {"terminate with a negative body length", rawMessage(3, 0, -8, 1, 2, ""), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const e2e::Run run = runMorvik(c.input + ntfsRequest(7, 8));
    EXPECT_EQ(run.status, 0) << run.err;
    const auto replies = e2e::parseReplies(run.out);
    ASSERT_EQ(replies.size(), c.replies);
    if (c.replies == 2) {
      expectReplyTo(replies[0], 1, 2);
      expectReplyTo(replies[1], 7, 8);
    }
  }
}
