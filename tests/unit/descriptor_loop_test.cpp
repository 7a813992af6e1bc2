// The request loop over bare descriptors, as the process runs it: it must answer byte for byte as
// the loop over stdio streams does, however the input arrives in pieces, with bodies that span
// several reads and replies too long for one local write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "request/MessageHandler.h"
#include "support.h"

using testsupport::item;
using testsupport::le;
using winsecurity::MessageHandler;

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

std::string message(int32_t type, int32_t command, const std::string& body, int32_t announced = -1) {
  return testsupport::header(type, command, announced < 0 ? static_cast<int32_t>(body.size()) : announced, 11, 22) +
         body;
}

std::string request(int32_t command, const Params& params = {}) {
  return testsupport::request(command, params, 1, 11, 22);
}

// alice in enough groups with long names that her group list is a reply of several KiB.
winsim::Machine machine() {
  winsim::Machine m = testsupport::machineWithAlice();
  for (int i = 0; i < 150; ++i) {
    const std::string sid = "S-1-5-21-1-2-3-" + std::to_string(5000 + i);
    m.groups.push_back({"A group with a rather long name, number " + std::to_string(i), "TESTHOST", sid});
    m.accounts[0].groups.push_back({sid});
  }
  m.shares.push_back({"\\\\fs01\\docs", std::string("alice"), std::string("Secret1!")});
  return m;
}

std::string overStreams(const std::string& input) {
  winsim::install(machine());
  return testsupport::serveOverStreams(input);
}

// Pipes on both sides: a writer thread feeds the input in pieces of `piece` bytes, a reader thread
// takes every reply, and the loop runs on this thread.
std::string overPipes(const std::string& input, size_t piece) {
  winsim::install(machine());
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    ADD_FAILURE() << "cannot open pipes";
    return {};
  }
  std::thread writer([&] {
    for (size_t at = 0; at < input.size();) {
      const ssize_t n = write(in[1], input.data() + at, std::min(piece, input.size() - at));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(in[1]);
  });
  std::string replies;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) replies.append(buffer, static_cast<size_t>(n));
  });
  MessageHandler().waitMessage(in[0], out[1]);
  close(out[1]);
  // The loop may stop before the input ends; the writer must still get rid of the rest.
  char sink[4096];
  while (read(in[0], sink, sizeof sink) > 0) {
  }
  writer.join();
  reader.join();
  close(in[0]);
  close(out[0]);
  return replies;
}

TEST(DescriptorLoop, AnswersAsTheStreamLoopDoes) {
  const Params logon{{"user", "alice"}, {"password", "Secret1!"}, {"domain", ""}};
  std::string session;
  session += request(1, logon);
  session += request(1, {{"user", "alice"}, {"password", "wrong"}});
  session += request(2, logon);  // several KiB of group names
  session += request(3, {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "\\\\fs01\\docs"}});
  session += request(4, {{"filepath", "C:\\nowhere"}});
  session += request(5, {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\nowhere"}});
  session += request(6, {{"filepath", "C:\\"}});
  session += request(7);
  session += request(8);
  session += request(9, {{"filepath", "\\\\fs01\\docs"}});
  session += request(10, {{"filepath", "Q:\\"}});
  session += request(42, logon);  // no handler: no reply
  const std::string terminate = message(3, 0, "");
  const std::string longPath = request(6, {{"filepath", "C:\\" + std::string(300000, 'a')}});

  const struct {
    const char* name;
    std::string input;
    size_t replies;
  } cases[] = {
      {"a session, then terminate and a request never read", session + terminate + request(7), 11},
      {"a body over several reads", longPath + request(7), 2},
      {"the input ends inside a body", session + request(1, logon).substr(0, 60), 11},
      {"a body length past the cap", session + message(1, 6, "", MessageHandler::kMaxBodyLength + 1) + request(7),
       11},
      {"no input", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = overStreams(c.input);
    // Count the replies the stream loop gave, so the comparison below is not between two empties.
    EXPECT_EQ(testsupport::replies(expected).size(), c.replies);
    // Whole, a byte at a time (every header and body split across reads), and in odd pieces.
    for (const size_t piece : {c.input.size() + 1, size_t{1}, size_t{7}, size_t{65536 + 13}}) {
      SCOPED_TRACE("pieces of " + std::to_string(piece));
      if (piece == 1 && c.input.size() > 100000) continue;  // a byte at a time is no news there
      EXPECT_EQ(overPipes(c.input, piece), expected);
      testsupport::expectClean();
    }
  }
}

TEST(DescriptorLoop, WithoutADescriptorReadsNothing) {
  winsim::install(machine());
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const std::string input = request(7);
  ASSERT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  MessageHandler().waitMessage(-1, out[1]);
  MessageHandler().waitMessage(in[0], -1);
  close(out[1]);
  char buffer[64];
  EXPECT_EQ(read(in[0], buffer, sizeof buffer), static_cast<ssize_t>(input.size())) << "the request is still there";
  EXPECT_EQ(read(out[0], buffer, sizeof buffer), 0) << "nothing was written";
  close(in[0]);
  close(out[0]);
}

}  // namespace
