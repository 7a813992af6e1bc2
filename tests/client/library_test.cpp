// The client library: its wire format against the golden vectors, its decoder against hostile
// bytes, and its Client against the native morvik and against small fake servers that misbehave.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "morvik/client.h"

namespace {

using morvik::Client;
using morvik::Error;

const std::string kMachine = std::string(MORVIK_SOURCE_DIR) + "/examples/demo-machine.json";
const char* kPassword = "Secret1!";

std::string unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The native morvik on the demo machine.
std::vector<std::string> demoEnvironment() {
  std::vector<std::string> env;
  for (const std::string& e : Client::currentEnvironment())
    if (e.rfind("WINSIM_", 0) != 0) env.push_back(e);
  env.push_back("WINSIM_MACHINE=" + kMachine);
  return env;
}

Client demoClient(morvik::Options options = {}) { return Client({MORVIK_NATIVE_EXE}, demoEnvironment(), options); }

// A fake server: a shell script standing where morvik would.
Client fake(const std::string& script, morvik::Options options = {}) {
  return Client({"/bin/sh", "-c", script}, options);
}

// Expects `body` to throw morvik::Error of `kind`; returns its message.
template <typename F>
std::string expectError(Error::Kind kind, F&& body) {
  try {
    body();
  } catch (const Error& e) {
    EXPECT_EQ(static_cast<int>(e.kind()), static_cast<int>(kind)) << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no morvik::Error";
  return {};
}

bool processGone(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// printf(1) bytes for a shell script: every byte as an octal escape.
std::string printfBytes(const std::string& bytes) {
  std::ostringstream out;
  for (unsigned char c : bytes) out << '\\' << std::oct << static_cast<int>(c);
  return out.str();
}

std::string replyHeader(int32_t result, int32_t bodyLength, int32_t type = morvik::kReply, int32_t command = 1) {
  return morvik::encodeHeader({type, command, result, bodyLength, 2, 1});
}

}  // namespace

nlohmann::json goldenVector(const std::string& name) {
  std::ifstream in(std::string(MORVIK_SOURCE_DIR) + "/docs/protocol-vectors.json");
  const auto doc = nlohmann::json::parse(in);
  for (const auto& v : doc.at("vectors"))
    if (v.at("name") == name) return v;
  ADD_FAILURE() << "no vector " << name;
  return nlohmann::json::object({{"request", ""}, {"reply", ""}});
}

TEST(ClientWire, RequestsAreTheGoldenVectorsBytes) {
  const struct {
    const char* vector;
    int32_t command;
    morvik::Params params;
    int32_t type, sender, receiver;
  } cases[] = {
      {"validate-user", 1, {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}}, 1, 1, 2},
      {"access-check-allowed", 5,
       {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\data\\finance\\budget.xlsx"}}, 1, 1, 2},
      {"is-ntfs-c", 6, {{"filepath", "C:\\"}}, 1, 1, 2},
      {"computer-name", 7, {}, 1, 1, 2},
      {"ids-swapped", 10, {{"filepath", "C:\\"}}, 2, 5, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vector);
    EXPECT_EQ(morvik::encodeRequest(c.command, c.params, c.type, c.sender, c.receiver),
              unhex(goldenVector(c.vector).at("request").get<std::string>()));
  }
}

// Every reply stream of the golden vectors decodes whole, and reads as the vectors say.
TEST(ClientWire, GoldenRepliesDecode) {
  std::ifstream in(std::string(MORVIK_SOURCE_DIR) + "/docs/protocol-vectors.json");
  const auto doc = nlohmann::json::parse(in);
  for (const auto& v : doc.at("vectors")) {
    SCOPED_TRACE(v.at("name").get<std::string>());
    const std::string stream = unhex(v.at("reply").get<std::string>());
    morvik::ReplyReader reader;
    reader.append(stream.data(), stream.size());
    morvik::Header h;
    std::string body;
    while (reader.next(h, body)) EXPECT_NO_THROW(morvik::decodeReply(h, body));
    EXPECT_EQ(reader.pending(), 0u);
  }
  const std::string wrong = unhex(goldenVector("validate-user-wrong-password").at("reply").get<std::string>());
  std::string body = wrong.substr(32);
  const auto record = morvik::decodeReply(morvik::decodeHeader(wrong.data()), body).error();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->number, 1326);
  EXPECT_EQ(record->call, "LogonUser");
}

TEST(ClientWire, StringListsAreDecodedOnlyWhenExactlyWhole) {
  using morvik::appendInt32;
  auto list = [](std::initializer_list<std::string> items, int32_t count) {
    std::string out;
    appendInt32(out, count);
    for (const std::string& s : items) {
      appendInt32(out, static_cast<int32_t>(s.size()));
      out += s;
    }
    return out;
  };
  std::string lengthPastEnd;
  appendInt32(lengthPastEnd, 1);
  appendInt32(lengthPastEnd, 0x7fffffff);
  lengthPastEnd += "abc";
  std::string negativeLength;
  appendInt32(negativeLength, 1);
  appendInt32(negativeLength, -1);
  const struct {
    const char* name;
    std::string body;
    bool ok;
    std::vector<std::string> strings;
  } cases[] = {
      {"two strings", list({"CORP\\alice", std::string("a\0b", 3)}, 2), true, {"CORP\\alice", std::string("a\0b", 3)}},
      {"no strings", list({}, 0), true, {}},
      {"an empty string", list({""}, 1), true, {""}},
      {"three bytes", std::string("\1\0\0", 3), false, {}},
      {"count above what follows", list({"x"}, 2), false, {}},
      {"negative count", list({}, -1), false, {}},
      {"a length past the end", lengthPastEnd, false, {}},
      {"a negative length", negativeLength, false, {}},
      {"bytes after the last string", list({"x"}, 1) + "!", false, {}},
      {"a length cut inside", list({"x"}, 2) + std::string("\1\0", 2), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.ok) {
      EXPECT_EQ(morvik::decodeStrings(c.body.data(), c.body.size()), c.strings);
    } else {
      expectError(Error::Kind::Malformed, [&] { morvik::decodeStrings(c.body.data(), c.body.size()); });
    }
  }
}

TEST(ClientWire, ErrorRecordIsThreeOrFourStringsWithANumber) {
  const struct {
    int32_t result;
    std::vector<std::string> strings;
    bool record;
  } cases[] = {
      {0, {"WinSecurity::isNTFS", "GetVolumeInformation", "21", "The device is not ready.\r\n"}, true},
      {-1, {"WinSecurity::getComputerName", "GetComputerNameEx", "1332"}, true},
      {1, {"a", "b", "5"}, false},           // a result of 1 never carries a record
      {0, {"CORP\\alice"}, false},           // one string
      {0, {"a", "b", "five", "c"}, false},   // no number
      {0, {"a", "b", "5", "c", "d"}, false}, // five strings
  };
  for (const auto& c : cases) {
    morvik::Reply r;
    r.result = c.result;
    r.strings = c.strings;
    r.hasBody = true;
    const auto e = r.error();
    ASSERT_EQ(e.has_value(), c.record) << c.strings.size();
    if (e) {
      EXPECT_EQ(e->context, c.strings[0]);
      EXPECT_EQ(e->call, c.strings[1]);
      EXPECT_EQ(std::to_string(e->number), c.strings[2]);
      EXPECT_EQ(e->text, c.strings.size() == 4 ? c.strings[3] : "");
    }
  }
}

TEST(ClientWire, ReaderSplitsAStreamInAnyPiecing) {
  std::string body;
  morvik::appendInt32(body, 1);
  morvik::appendInt32(body, 3);
  body += "abc";
  const std::string stream = replyHeader(1, 0) + replyHeader(0, static_cast<int32_t>(body.size())) + body + replyHeader(1, 0);
  for (size_t piece : {1u, 7u, 31u, 32u, 33u, 1000u}) {
    SCOPED_TRACE(piece);
    morvik::ReplyReader reader;
    std::vector<morvik::Reply> replies;
    morvik::Header h;
    std::string b;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.append(stream.data() + at, std::min(piece, stream.size() - at));
      while (reader.next(h, b)) replies.push_back(morvik::decodeReply(h, b));
    }
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[1].strings, std::vector<std::string>{"abc"});
    EXPECT_EQ(reader.pending(), 0u);
  }
  morvik::ReplyReader reader;
  const std::string negative = replyHeader(1, -4);
  reader.append(negative.data(), negative.size());
  morvik::Header h;
  std::string b;
  expectError(Error::Kind::Malformed, [&] { reader.next(h, b); });
}

// Every command through its typed call on the demo machine: yes, no and failure never alike.
TEST(ClientLibrary, TypedCallsTellYesNoAndFailureApart) {
  Client c = demoClient();
  EXPECT_NO_THROW(c.validate("alice", kPassword, "CORP"));
  // Administrators is deny-only for alice: not among her groups.
  EXPECT_EQ(c.groups("alice", kPassword, "CORP"),
            (std::vector<std::string>{"CORP\\Domain Users", "CORP\\Finance", "Everyone", "BUILTIN\\Users",
                                      "NT AUTHORITY\\Authenticated Users"}));
  EXPECT_TRUE(c.mayRead("alice", kPassword, "C:\\data\\finance\\budget.xlsx"));
  EXPECT_FALSE(c.mayRead("bob", "Hunter2?", "C:\\data\\finance\\budget.xlsx"));
  EXPECT_TRUE(c.isNtfs("C:\\"));
  EXPECT_FALSE(c.isNtfs("E:\\"));
  EXPECT_TRUE(c.isMapped("Z:\\"));
  EXPECT_FALSE(c.isMapped("C:\\"));
  EXPECT_EQ(c.computerName(), "FILESRV01");
  EXPECT_EQ(c.domainName(), std::optional<std::string>("CORP"));
  EXPECT_EQ(c.accessList("C:\\data\\finance\\budget.xlsx").size(), 4u);
  EXPECT_NO_THROW(c.connect("alice", kPassword, "\\\\fs01\\docs"));
  EXPECT_NO_THROW(c.disconnect("\\\\fs01\\docs"));

  const struct {
    const char* name;
    std::function<void()> call;
    int32_t command;
    int32_t number;
  } failures[] = {
      {"validate, wrong password", [&] { c.validate("alice", "not it", "CORP"); }, 1, 1326},
      {"groups, disabled account", [&] { c.groups("carol", "pw", "CORP"); }, 2, 1331},
      {"connect, wrong password", [&] { c.connect("alice", "nope", "\\\\fs01\\docs"); }, 3, 1326},
      {"access list, no such file", [&] { c.accessList("C:\\data\\missing.txt"); }, 4, 2},
      {"read check, no such file", [&] { c.mayRead("alice", kPassword, "C:\\data\\missing.txt"); }, 5, 2},
      {"NTFS, drive not ready", [&] { c.isNtfs("D:\\"); }, 6, 21},
      {"disconnect, not connected", [&] { c.disconnect("\\\\fs01\\docs"); }, 9, 2250},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    try {
      f.call();
      ADD_FAILURE() << "no CommandFailed";
    } catch (const morvik::CommandFailed& e) {
      EXPECT_EQ(e.command(), f.command);
      EXPECT_EQ(e.record().number, f.number);
      EXPECT_FALSE(e.record().context.empty());
      EXPECT_EQ(std::string(e.what()).find("not it"), std::string::npos);
      EXPECT_EQ(std::string(e.what()).find("nope"), std::string::npos);
    }
  }
  // A failed command is an answer: the server is still there.
  EXPECT_TRUE(c.isNtfs("C:\\"));
  EXPECT_EQ(c.close(), 0);
}

TEST(ClientLibrary, RawRequestGivesTheReplyAndNothingForUnansweredCommands) {
  // A server that never answers anything: a command outside 1 to 10 must not wait for it.
  Client silent = fake("exec cat >/dev/null", {std::chrono::milliseconds(60000), std::chrono::milliseconds(2000)});
  const auto start = std::chrono::steady_clock::now();
  for (int32_t command : {0, 11, -1, 99}) EXPECT_FALSE(silent.request(command, {{"filepath", "C:\\"}}).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  Client c = demoClient();
  const auto r = c.request(6, {{"filepath", "D:\\"}});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->result, 0);
  EXPECT_EQ(r->senderId, 2);  // the request's receiver
  EXPECT_EQ(r->receiverId, 1);
  ASSERT_TRUE(r->error().has_value());
  EXPECT_EQ(r->error()->call, "GetVolumeInformation");
  EXPECT_EQ(r->error()->text, "The device is not ready.\r\n");
}

// Far more than both pipes hold, each way: written while the replies are read, or it deadlocks.
TEST(ClientLibrary, RequestAllPipelinesWithoutDeadlockAndKeepsOrder) {
  Client c = demoClient();
  std::vector<morvik::Request> requests;
  const std::string filler(2000, 'x');
  for (int i = 0; i < 20000; ++i) {
    if (i % 1000 == 500) requests.push_back({42, {}});
    requests.push_back({6, {{"filepath", i % 3 == 0 ? "E:\\" : "C:\\"}, {"padding", filler}}});
  }
  const auto replies = c.requestAll(requests);
  ASSERT_EQ(replies.size(), requests.size());
  for (size_t i = 0, n = 0; i < requests.size(); ++i) {
    if (requests[i].command == 42) {
      EXPECT_FALSE(replies[i].has_value()) << i;
      continue;
    }
    ASSERT_TRUE(replies[i].has_value()) << i;
    EXPECT_EQ(replies[i]->result, n++ % 3 == 0 ? 0 : 1) << i;
  }
}

TEST(ClientLibrary, WhatIsNotAnAnswerIsOneErrorWithAClearMessage) {
  const morvik::Options quick{std::chrono::milliseconds(300), std::chrono::milliseconds(2000)};
  const struct {
    const char* name;
    std::string script;
    Error::Kind kind;
    const char* says;
  } cases[] = {
      {"exits at once", "exit 7", Error::Kind::Exited, "exited with status 7"},
      {"reads, then exits", "head -c 10 >/dev/null; exit 0", Error::Kind::Exited, "exited with status 0"},
      {"stops inside a header", "printf '" + printfBytes(replyHeader(1, 0).substr(0, 20)) + "'", Error::Kind::CutShort,
       "ended inside a reply"},
      {"stops inside a body", "printf '" + printfBytes(replyHeader(1, 40) + std::string("\1\0\0\0", 4)) + "'", Error::Kind::CutShort,
       "ended inside a reply"},
      {"garbage", "printf '" + printfBytes(replyHeader(1, 0, 9, 7)) + "'", Error::Kind::Malformed,
       "not a reply (message type 9, command 7)"},
      {"a negative body length", "printf '" + printfBytes(replyHeader(1, -1)) + "'", Error::Kind::Malformed,
       "announces a body of -1 bytes"},
      {"a string list past its body", "printf '" + printfBytes(replyHeader(0, 8) + std::string("\1\0\0\0\x10\0\0\0", 8)) + "'",
       Error::Kind::Malformed, "runs past the body"},
      {"hangs", "exec sleep 60", Error::Kind::Timeout, "within 300 ms; it was killed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client = fake(c.script, quick);
    const long pid = client.pid();
    const auto start = std::chrono::steady_clock::now();
    const std::string message =
        expectError(c.kind, [&] { client.validate("alice", kPassword, "CORP"); });
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_EQ(message.find(kPassword), std::string::npos) << message;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The server is gone, and the client says so rather than writing into nothing.
    EXPECT_TRUE(processGone(pid));
    expectError(Error::Kind::Closed, [&] { client.isNtfs("C:\\"); });
  }
  const std::string missing = expectError(Error::Kind::Start, [] { Client({"/no/such/morvik"}); });
  EXPECT_NE(missing.find("/no/such/morvik"), std::string::npos) << missing;
  EXPECT_EQ(morvik::Error(Error::Kind::Exited, "x", 3).status(), 3);
}

TEST(ClientLibrary, ReplyThatFitsNoAnswerOfTheCommandIsMalformed) {
  // Command 6 never answers a string list with result 1, nor command 10 a body at all.
  std::string oneString;
  morvik::appendInt32(oneString, 1);
  morvik::appendInt32(oneString, 1);
  oneString += "x";
  const std::string reply = replyHeader(1, static_cast<int32_t>(oneString.size())) + oneString;
  Client c = fake("head -c 55 >/dev/null; printf '" + printfBytes(reply) + "'; exec cat >/dev/null");
  const std::string message = expectError(Error::Kind::Malformed, [&] { c.isNtfs("C:\\"); });
  EXPECT_NE(message.find("command 6"), std::string::npos) << message;
}

TEST(ClientLibrary, EndingTheClientEndsEvenAServerThatIgnoresItsInput) {
  long pid = -1;
  const auto start = std::chrono::steady_clock::now();
  {
    Client c = fake("trap '' TERM; exec sleep 60", {std::chrono::milliseconds(1000), std::chrono::milliseconds(200)});
    pid = c.pid();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(processGone(pid));

  Client morvik = demoClient();
  EXPECT_EQ(morvik.terminate(), 0);
}

// morvik answers byte for byte what the crawler sent; the library sends exactly the request.
TEST(ClientLibrary, SendsExactlyTheRequestBytes) {
  const std::string expected =
      morvik::encodeRequest(1, {{"user", "alice"}, {"password", kPassword}, {"domain", "CORP"}});
  const std::string file = testing::TempDir() + "client_request.bin";
  Client c = fake("head -c " + std::to_string(expected.size()) + " >'" + file + "'; printf '" +
                  printfBytes(replyHeader(1, 0)) + "'; exec cat >/dev/null");
  c.validate("alice", kPassword, "CORP");
  std::ifstream in(file, std::ios::binary);
  const std::string sent((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(sent, expected);
}
