// The client library against the real morvik: natively on the demo machine, and morvik.exe under
// Wine, where Wine's platform answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.h"
#include "morvik/client.h"

namespace {

morvik::Client startMorvik() {
  std::vector<std::string> environment;
  for (const std::string& e : morvik::Client::currentEnvironment())
    if (e.rfind("WINSIM_MACHINE=", 0) != 0) environment.push_back(e);
  if (!e2e::underWine())
    environment.push_back(std::string("WINSIM_MACHINE=") + MORVIK_SOURCE_DIR + "/examples/demo-machine.json");
  return morvik::Client(e2e::morvikCommand(), environment);
}

// The number of the record a failed call throws, or 0 when it did not throw one.
template <typename F>
int32_t failure(F&& call) {
  try {
    call();
  } catch (const morvik::CommandFailed& e) {
    return e.record().number;
  }
  return 0;
}

}  // namespace

TEST(ClientLibraryEndToEnd, TypedCallsOnThePlatform) {
  morvik::Client c = startMorvik();
  const bool wine = e2e::underWine();
  EXPECT_EQ(c.computerName(), wine ? e2e::wineComputerName() : "FILESRV01");
  EXPECT_EQ(c.domainName(), wine ? std::nullopt : std::optional<std::string>("CORP"));
  EXPECT_TRUE(c.isNtfs("C:\\"));
  EXPECT_FALSE(c.isMapped("C:\\"));
  // Wine logs anyone on with a token no later call accepts (6), and has no network provider (1222).
  EXPECT_EQ(failure([&] { c.validate("alice", "Secret1!", "CORP"); }), wine ? 6 : 0);
  EXPECT_EQ(failure([&] { c.connect("alice", "Secret1!", "\\\\fs01\\docs"); }), wine ? 1222 : 0);
  EXPECT_EQ(failure([&] { c.accessList("C:\\no such folder\\x.txt"); }), 3);
  EXPECT_EQ(c.close(), 0);
}

TEST(ClientLibraryEndToEnd, PipelinedRequestsComeBackInOrder) {
  morvik::Client c = startMorvik();
  std::vector<morvik::Request> requests;
  for (int i = 0; i < 3000; ++i) requests.push_back({i % 2 ? 7 : 10, {{"filepath", "C:\\"}}});
  requests.push_back({42, {}});
  const auto replies = c.requestAll(requests);
  ASSERT_EQ(replies.size(), requests.size());
  for (size_t i = 0; i + 1 < replies.size(); ++i) {
    ASSERT_TRUE(replies[i].has_value()) << i;
    EXPECT_EQ(replies[i]->strings.size(), i % 2 ? 1u : 0u) << i;  // a name, or not mapped
  }
  EXPECT_FALSE(replies.back().has_value());
  EXPECT_EQ(c.terminate(), 0);
}
