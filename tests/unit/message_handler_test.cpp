// The request loop driven in-process over streams: stop conditions, reply framing, the command
// frame (parameters, error copy, payload) and hostile input, against winsim machines.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "network/NetConnection.h"
#include "request/MessageHandler.h"
#include "security/WinSecurity.h"
#include "support.h"

using testsupport::header;
using testsupport::item;
using testsupport::le;
using testsupport::request;
using testsupport::strings;

using crawler_network::NetConnection;
using testsupport::errorStrings;
using winsecurity::MessageBlock;
using winsecurity::MessageHandler;
using winsecurity::WinSecurity;

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

std::string withBody(int32_t command, const std::string& body) {
  return header(1, command, static_cast<int32_t>(body.size())) + body;
}

struct Reply {
  int32_t type, command, result, bodyLength, sender, receiver;
  std::string body;
};

int32_t int32At(const std::string& s, size_t at) { return winsecurity::wire::getInt32(s.data() + at); }

// What the loop wrote: every chunk that reached the stream's sink, one per flush.
struct LoopRun {
  std::vector<std::string> writes;
  long inputConsumed = 0;  // where the loop left the input stream

  std::string out() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
  // Each write must be exactly one whole reply.
  std::vector<Reply> replies() const {
    std::vector<Reply> out;
    for (const std::string& w : writes) {
      if (w.size() < 32 || int32At(w, 12) < 0 || w.size() != 32 + static_cast<size_t>(int32At(w, 12))) {
        ADD_FAILURE() << "a write of " << w.size() << " bytes is not one whole reply";
        continue;
      }
      out.push_back({int32At(w, 0), int32At(w, 4), int32At(w, 8), int32At(w, 12), int32At(w, 16), int32At(w, 20),
                     w.substr(32)});
    }
    return out;
  }
};

ssize_t recordWrite(void* cookie, const char* data, size_t size) {
  static_cast<std::vector<std::string>*>(cookie)->emplace_back(data, size);
  return static_cast<ssize_t>(size);
}

// Runs the loop over `input`. The output stream is buffered far beyond any reply here, so bytes
// reach the sink only when the loop flushes: one recorded write per flush.
LoopRun runLoop(const std::string& input) {
  LoopRun run;
  std::FILE* in = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  cookie_io_functions_t io{};
  io.write = recordWrite;
  std::FILE* out = fopencookie(&run.writes, "w", io);
  std::setvbuf(out, nullptr, _IOFBF, 4 << 20);
  MessageHandler().waitMessage(in, out);
  run.inputConsumed = std::ftell(in);
  std::fclose(in);
  std::fclose(out);
  return run;
}

class MessageHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::install(testsupport::machineWithAlice()); }
  void TearDown() override { RevertToSelf(); }
};

}  // namespace

TEST_F(MessageHandlerTest, InputEndingInsideAMessageEndsTheLoopSilently) {
  const std::string served = request(6, {{"filepath", "C:\\"}});
  const struct {
    const char* name;
    std::string input;
    size_t replies;
  } cases[] = {
      {"empty input", "", 0},
      {"31 bytes", std::string(31, '\x02'), 0},
      {"body of 8 announced, 5 present", header(1, 6, 8) + "12345", 0},
      {"served request, then a cut header", served + std::string(31, '\0'), 1},
      {"served request, then a cut body", served + header(1, 1, 40) + le(1) + item("user"), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(runLoop(c.input).replies().size(), c.replies);
  }
}

TEST_F(MessageHandlerTest, TerminateIsReadWholeAndNothingAfterItIsRead) {
  const std::string before = request(6, {{"filepath", "C:\\"}}, 1, 1, 2) + request(10, {}, 2, 3, 4);
  const std::string terminate = request(6, {{"user", "alice"}, {"password", "Secret1!"}}, 3);
  const LoopRun run = runLoop(before + terminate + request(6, {}, 1, 5, 6));
  const auto replies = run.replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].receiver, 1);
  EXPECT_EQ(replies[1].receiver, 3);
  EXPECT_EQ(run.inputConsumed, static_cast<long>(before.size() + terminate.size()));
}

TEST_F(MessageHandlerTest, UnknownCommandsAreDroppedAndTheLoopGoesOn) {
  std::string input;
  for (const int32_t command : {0, 11, -1, INT_MAX, INT_MIN}) input += request(command, {{"filepath", "C:\\"}});
  input += request(6, {{"filepath", "C:\\"}}, 1, 42, 43);
  const auto replies = runLoop(input).replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].receiver, 42);
}

TEST_F(MessageHandlerTest, ReplyIsTypeTwoCommandOneWithIdsSwapped) {
  MessageBlock requestBlock;
  requestBlock.setMessageType(1);
  requestBlock.setCommand(8);
  requestBlock.setSenderId(5);
  requestBlock.setReceiverId(9);
  for (const int result : {1, 0, -1}) {
    SCOPED_TRACE(result);
    std::unique_ptr<MessageBlock> reply(MessageHandler().createReplyMessage(&requestBlock, result));
    EXPECT_EQ(reply->getMessageType(), 2);
    EXPECT_EQ(reply->getCommand(), 1);
    EXPECT_EQ(reply->getResult(), result);
    EXPECT_EQ(reply->getBodyLength(), 0);
    EXPECT_EQ(reply->getSenderId(), 9);
    EXPECT_EQ(reply->getReceiverId(), 5);
    EXPECT_TRUE(reply->getParams().empty());
  }
}

TEST_F(MessageHandlerTest, SendMessageWritesTheBlockAfterItsSizeInOneFlush) {
  const struct {
    const char* name;
    std::string data;  // empty: null
    std::string body;
  } cases[] = {
      {"no data", "", ""},
      {"two strings, the 24-byte block", le(24) + le(2) + item("abc") + item("hello"), le(2) + item("abc") + item("hello")},
      {"four one-byte strings, a 28-byte error copy", le(28) + le(4) + item("a") + item("b") + item("c") + item("d"),
       le(4) + item("a") + item("b") + item("c") + item("d")},
      {"empty list", le(8) + le(0), le(0)},
      {"size 4", le(4), ""},
      {"size below 4", le(3) + "xyz", ""},
      {"negative size", le(-100), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageBlock reply;
    reply.setMessageType(2);
    reply.setCommand(1);
    reply.setResult(1);
    reply.setSenderId(9);
    reply.setReceiverId(5);
    std::vector<std::string> writes;
    cookie_io_functions_t io{};
    io.write = recordWrite;
    std::FILE* out = fopencookie(&writes, "w", io);
    std::setvbuf(out, nullptr, _IOFBF, 1 << 16);
    std::string data = c.data;
    MessageHandler().sendMessage(out, &reply, c.data.empty() ? nullptr : data.data());
    ASSERT_EQ(writes.size(), 1u) << "flushed once";
    EXPECT_EQ(writes[0], le(2) + le(1) + le(1) + le(static_cast<int32_t>(c.body.size())) + le(9) + le(5) +
                             std::string(8, '\0') + c.body);
    EXPECT_EQ(reply.getBodyLength(), static_cast<int>(c.body.size()));
    EXPECT_EQ(data, c.data) << "data is the caller's";
    std::fclose(out);
  }
}

TEST_F(MessageHandlerTest, ValidateUserReadsItsThreeKeys) {
  const auto refused = errorStrings("WinSecurity::logOnVelUser", "LogonUser", 1326,
                                    "The user name or password is incorrect.\r\n");
  const std::vector<std::string> none;
  const struct {
    const char* name;
    std::string input;
    int result;
    std::vector<std::string> body;
  } cases[] = {
      {"right password", request(1, {{"user", "alice"}, {"password", "Secret1!"}}), 1, none},
      {"local domain", request(1, {{"domain", "."}, {"user", "alice"}, {"password", "Secret1!"}}), 1, none},
      {"other domain", request(1, {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "ELSEWHERE"}}), 0,
       refused},
      {"wrong password", request(1, {{"user", "alice"}, {"password", "secret1!"}}), 0, refused},
      {"empty map", request(1), 0, refused},
      {"keys differing in case", request(1, {{"User", "alice"}, {"PASSWORD", "Secret1!"}}), 0, refused},
      {"extra keys ignored", request(1, {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\"}, {"x", "y"}}),
       1, none},
      {"repeated key: the first value counts",
       request(1, {{"user", "alice"}, {"password", "Secret1!"}, {"password", "wrong"}}), 1, none},
      {"pairs before a broken pair are used",
       withBody(1, le(3) + item("user") + item("alice") + item("password") + item("Secret1!") + le(-1)), 1, none},
      {"value cut at a zero byte", request(1, {{"user", std::string("alice\0bob", 9)}, {"password", "Secret1!"}}), 1,
       none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto replies = runLoop(c.input).replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, c.result);
    if (c.body.empty())
      EXPECT_EQ(replies[0].bodyLength, 0);
    else
      EXPECT_EQ(strings(replies[0].body), c.body);
    testsupport::expectClean();
  }
}

TEST_F(MessageHandlerTest, ErrorCopyIsTheLibraryBlockByteForByte) {
  std::string libraryBody;
  {
    WinSecurity s("alice", "nope", "");
    ASSERT_EQ(s.validateUser(), 0);
    const char* block = s.getLastErrorMessage();
    ASSERT_NE(block, nullptr);
    libraryBody.assign(block + 4, static_cast<size_t>(int32At(std::string(block, 4), 0)) - 4);
  }
  const auto replies = runLoop(request(1, {{"user", "alice"}, {"password", "nope"}})).replies();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, libraryBody);
}

TEST_F(MessageHandlerTest, FailedImpersonationIsReportedAndLeavesNothingBehind) {
  const struct {
    const char* call;
    uint32_t error;
    std::vector<std::string> record;
  } cases[] = {
      {"ImpersonateLoggedOnUser", 5,
       errorStrings("WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", 5, "Access is denied.\r\n")},
      {"OpenThreadToken", 1346,
       errorStrings("WinSecurity::impersonateUse", "OpenThreadToken", 1346,
                    "Either a required impersonation level was not provided, or the provided impersonation level "
                    "is invalid.\r\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    winsim::install(testsupport::machineWithAlice());
    winsim::injectFault(c.call, c.error);
    const auto replies = runLoop(request(1, {{"user", "alice"}, {"password", "Secret1!"}})).replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 0);
    EXPECT_EQ(strings(replies[0].body), c.record);
    testsupport::expectClean();
  }
}

// Malformed headers and bodies, each followed by a well-formed request. A body outside the format
// is still served; a body length that cannot be honoured ends the loop with nothing read past the
// header. Never a crash (the sanitizer build watches), never a partial reply.
TEST_F(MessageHandlerTest, MalformedInputYieldsWholeRepliesOrNone) {
  constexpr int32_t kCap = MessageHandler::kMaxBodyLength;
  static_assert(kCap == 1048576);
  const std::string pair = item("filepath") + item("C:\\");
  const std::string next = request(6, {{"filepath", "C:\\"}}, 1, 7, 8);
  const struct {
    const char* name;
    std::string message;
    size_t replies;
    long consumed;  // -1: the whole input; otherwise where reading stopped
  } cases[] = {
      {"negative count", withBody(6, le(-1) + pair), 2, -1},
      {"count past the pairs", withBody(6, le(1000) + pair), 2, -1},
      {"negative key length", withBody(6, le(1) + le(-1) + "filepath"), 2, -1},
      {"key length INT_MAX", withBody(6, le(1) + le(INT_MAX) + "filepath"), 2, -1},
      {"negative value length", withBody(6, le(1) + item("filepath") + le(-3) + "C:\\"), 2, -1},
      {"value length INT_MAX", withBody(6, le(1) + item("filepath") + le(INT_MAX) + "C:\\"), 2, -1},
      {"key past the body", withBody(6, le(1) + le(9) + "filepath"), 2, -1},
      {"value past the body", withBody(6, le(1) + item("filepath") + le(4) + "C:\\"), 2, -1},
      {"body length 0", header(1, 6, 0), 2, -1},
      {"body length 2", header(1, 6, 2) + "\x01\x02", 2, -1},
      {"body length 3", header(1, 6, 3) + "\xff\xff\xff", 2, -1},
      {"body length -1", header(1, 6, -1) + pair, 0, 32},
      {"body length INT_MIN", header(1, 6, INT_MIN) + pair, 0, 32},
      {"body length INT_MAX", header(1, 6, INT_MAX) + pair, 0, 32},
      {"body length at the cap", withBody(6, le(1) + pair + std::string(kCap - 4 - pair.size(), '\0')), 2, -1},
      {"body length one past the cap, body present",
       withBody(6, le(1) + pair + std::string(kCap + 1 - 4 - pair.size(), '\0')), 0, 32},
      {"terminate with a negative body length", header(3, 0, -1), 0, 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = c.message + next;
    const LoopRun run = runLoop(input);
    const auto replies = run.replies();
    EXPECT_EQ(replies.size(), c.replies);
    if (c.replies == 2) {
      EXPECT_EQ(replies[1].receiver, 7);
    }
    EXPECT_EQ(run.inputConsumed, c.consumed < 0 ? static_cast<long>(input.size()) : c.consumed);
    testsupport::expectClean();
  }
}

// Each command against the library operation that the command table names, called directly with the
// arguments the table gives: the same result, the same reply body (the block on success, else the
// error copy under the command's copy condition), and the same platform calls with the same logon and
// connection arguments.
namespace {

struct Expected {
  int result = 0;
  std::string body;
  std::vector<std::string> calls;
  winsim::LogonArgs logon;
  winsim::ConnectArgs connect;
};

// Calls `operation` on a fresh Object(a, b, c) the way the table describes and records the outcome.
// `copyOnlyOnMinusOne` is the machine-identity commands' copy condition.
template <class Object>
Expected direct(const char* a, const char* b, const char* c, bool copyOnlyOnMinusOne,
                const std::function<int(Object&, char**)>& operation) {
  Expected e;
  {
    Object object(a, b, c);
    char* payload = nullptr;
    e.result = operation(object, &payload);
    const bool copy = copyOnlyOnMinusOne ? e.result == -1 : e.result != 1;
    const char* body = e.result == 1 ? payload : (copy ? object.getLastErrorMessage() : nullptr);
    if (body) e.body.assign(body + 4, static_cast<size_t>(winsecurity::wire::getInt32(body)) - 4);
    object.freeMemblk(payload);
  }
  e.calls = winsim::callLog();
  e.logon = winsim::lastLogonArgs();
  e.connect = winsim::lastConnectArgs();
  return e;
}

Expected security(const char* user, const char* password, const char* domain,
                  const std::function<int(WinSecurity&, char**)>& operation, bool copyOnlyOnMinusOne = false) {
  return direct<WinSecurity>(user, password, domain, copyOnlyOnMinusOne, operation);
}

Expected connection(const char* user, const char* password, const char* share,
                    const std::function<int(NetConnection&, char**)>& operation) {
  return direct<NetConnection>(user, password, share, false, operation);
}

winsim::Machine dispatchMachine() {
  winsim::Machine m = testsupport::machineWithAlice();
  m.volumes = {{"C:\\", "NTFS", DRIVE_FIXED, 0},
               {"E:\\", "FAT32", DRIVE_REMOVABLE, 0},
               {"Z:\\", "NTFS", DRIVE_REMOTE, 0},
               {"D:\\", "CDFS", DRIVE_CDROM, 21}};
  winsim::File report;
  report.path = "C:\\data\\report.txt";
  report.owner = "S-1-5-21-1-2-3-1001";
  report.dacl = std::vector<winsim::Ace>{{winsim::Ace::Allow, "S-1-1-0", 0x1200a9, 0},
                                         {winsim::Ace::Allow, "S-1-5-32-545", 0x1f01ff, 0}};
  m.files.push_back(report);
  winsim::Share docs;
  docs.path = "\\\\fs01\\docs";
  docs.user = "alice";
  docs.password = "Secret1!";
  m.shares.push_back(docs);
  return m;
}

}  // namespace

TEST(MessageHandlerDispatch, EachCommandRunsItsLibraryOperationWithTheTableArguments) {
  const Params all{{"user", "alice"}, {"password", "Secret1!"}, {"domain", "ELSEWHERE"}, {"filepath", "C:\\"}};
  const struct {
    const char* name;
    int32_t command;
    Params params;
    std::vector<winsim::Fault> faults;
    std::function<Expected()> expected;
  } cases[] = {
      {"1 validate", 1, {{"user", "alice"}, {"password", "Secret1!"}}, {},
       [] { return security("alice", "Secret1!", "", [](WinSecurity& s, char**) { return s.validateUser(); }); }},
      {"2 groups", 2, {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\"}}, {},
       [] { return security("alice", "Secret1!", "", [](WinSecurity& s, char** out) { return s.getGroupList(out); }); }},
      {"2 groups, refused", 2, {{"user", "alice"}, {"password", "x"}, {"domain", "."}}, {},
       [] { return security("alice", "x", ".", [](WinSecurity& s, char** out) { return s.getGroupList(out); }); }},
      {"3 connect, domain not read", 3,
       {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}, {"filepath", "\\\\fs01\\docs"}}, {},
       [] {
         return connection("alice", "Secret1!", "\\\\fs01\\docs", [](NetConnection& c, char**) { return c.connect(); });
       }},
      {"3 connect, wrong password", 3, {{"user", "alice"}, {"password", "x"}, {"filepath", "\\\\fs01\\docs"}}, {},
       [] { return connection("alice", "x", "\\\\fs01\\docs", [](NetConnection& c, char**) { return c.connect(); }); }},
      {"4 access list, credentials ignored", 4,
       {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\data\\report.txt"}}, {},
       [] {
         return security(nullptr, nullptr, nullptr,
                         [](WinSecurity& s, char** out) { return s.getAccessList("C:\\data\\report.txt", out); });
       }},
      {"4 access list, no filepath", 4, {}, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char** out) { return s.getAccessList("", out); }); }},
      {"5 access check, domain never passed", 5,
       {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "ELSEWHERE"}, {"filepath", "C:\\data\\report.txt"}}, {},
       [] {
         return security("alice", "Secret1!", nullptr,
                         [](WinSecurity& s, char**) { return s.accessCheck("C:\\data\\report.txt"); });
       }},
      {"5 access check, refused logon", 5, {{"user", "alice"}, {"filepath", "C:\\data\\report.txt"}}, {},
       [] { return security("alice", "", nullptr, [](WinSecurity& s, char**) { return s.accessCheck("C:\\data\\report.txt"); }); }},
      {"6 NTFS", 6, all, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char**) { return s.isNTFS("C:\\"); }); }},
      {"6 FAT", 6, {{"filepath", "E:\\"}}, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char**) { return s.isNTFS("E:\\"); }); }},
      {"6 failed query", 6, {{"filepath", "D:\\"}}, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char**) { return s.isNTFS("D:\\"); }); }},
      {"7 computer name", 7, all, {},
       [] {
         return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char** out) { return s.getComputerName(out); },
                         true);
       }},
      {"7 computer name, failed query", 7, {}, {{"NetWkstaGetInfo", 5, 1}},
       [] {
         return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char** out) { return s.getComputerName(out); },
                         true);
       }},
      {"8 domain name of a workgroup machine", 8, all, {},
       [] {
         return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char** out) { return s.getDomainName(out); },
                         true);
       }},
      {"8 domain name, failed query", 8, {}, {{"NetWkstaGetInfo", 5, 1}},
       [] {
         return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char** out) { return s.getDomainName(out); },
                         true);
       }},
      {"9 disconnect, credentials ignored", 9,
       {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "\\\\fs01\\docs"}}, {},
       [] { return connection(nullptr, nullptr, "\\\\fs01\\docs", [](NetConnection& c, char**) { return c.disconnect(); }); }},
      {"10 mapped drive", 10, {{"filepath", "Z:\\"}}, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char**) { return s.isMappedDrive("Z:\\"); }); }},
      {"10 local drive, credentials ignored", 10, all, {},
       [] { return security(nullptr, nullptr, nullptr, [](WinSecurity& s, char**) { return s.isMappedDrive("C:\\"); }); }},
  };
  const winsim::Machine machine = dispatchMachine();
  const auto prepare = [&](const std::vector<winsim::Fault>& faults) {
    winsim::install(machine);
    for (const auto& f : faults) winsim::injectFault(f.call, f.error, f.nth);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(c.faults);
    const Expected want = c.expected();
    RevertToSelf();
    prepare(c.faults);
    const auto replies = runLoop(request(c.command, c.params, 1, 3, 4)).replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, want.result);
    EXPECT_EQ(replies[0].body, want.body);
    EXPECT_EQ(winsim::callLog(), want.calls);
    const winsim::LogonArgs logon = winsim::lastLogonArgs();
    EXPECT_TRUE(logon.user == want.logon.user && logon.domain == want.logon.domain &&
                logon.password == want.logon.password)
        << "logon arguments differ";
    const winsim::ConnectArgs connect = winsim::lastConnectArgs();
    EXPECT_TRUE(connect.remoteName == want.connect.remoteName && connect.user == want.connect.user &&
                connect.password == want.connect.password && connect.type == want.connect.type &&
                connect.flags == want.connect.flags)
        << "connection arguments differ";
    testsupport::expectClean();
    RevertToSelf();
  }
}
