// NetConnection against winsim's shares: connecting and cancelling, the failures the platform
// reports, what reaches the platform, and that nothing is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "network/NetConnection.h"
#include "support.h"
#include "winsim/machine.h"

using crawler_network::NetConnection;
using testsupport::blockStrings;
using testsupport::errorStrings;

namespace {

const char* const kDocs = "\\\\fs01\\docs";      // alice / Secret1!
const char* const kPublic = "\\\\fs01\\public";  // the process's own credentials
// The share \\fs02\café for josé / päss: "é" is E9 in Windows-1252 and C3 A9 in UTF-8.
const char* const kCafeAnsi = "\\\\fs02\\caf\xE9";
const char* const kCafeUtf8 = "\\\\fs02\\caf\xC3\xA9";

const char* const kLogonFailure = "The user name or password is incorrect.\r\n";
const char* const kBadNetName = "The network name cannot be found.\r\n";
const char* const kBadNetPath = "The network path was not found.\r\n";
const char* const kNotConnected = "This network connection does not exist.\r\n";

winsim::Machine machineWithShares() {
  winsim::Machine m = testsupport::machineWithAlice();
  winsim::Share docs;
  docs.path = kDocs;
  docs.user = "alice";
  docs.password = "Secret1!";
  winsim::Share pub;
  pub.path = kPublic;
  winsim::Share cafe;
  cafe.path = kCafeUtf8;  // the machine is described in UTF-8
  cafe.user = "jos\xC3\xA9";
  cafe.password = "p\xC3\xA4ss";
  m.shares = {docs, pub, cafe};
  return m;
}

std::vector<std::string> connectError(int number, const char* text) {
  return errorStrings("NetConnection::connect", "WNetAddConnection2", number, text);
}

std::vector<std::string> disconnectError(int number, const char* text) {
  return errorStrings("NetConnection::disconnect", "WNetCancelConnection2W", number, text);
}

// Cancels a connection a test made, from an object of its own as a later request would.
void disconnectShare(const char* path) {
  NetConnection c(nullptr, nullptr, path);
  EXPECT_EQ(c.disconnect(), 1) << path;
}

class NetConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::install(machineWithShares()); }
  void TearDown() override { testsupport::expectClean(); }
};

TEST_F(NetConnectionTest, ConnectionOutlivesTheObjectAndAFreshObjectCancelsIt) {
  {
    NetConnection c("alice", "Secret1!", kDocs);
    for (const std::string& call : winsim::callLog())
      EXPECT_EQ(call.rfind("WNet", 0), std::string::npos) << "the constructor calls " << call;
    EXPECT_EQ(c.connect(), 1);
    EXPECT_EQ(c.getLastErrorNumber(), 0);
    EXPECT_EQ(c.getLastErrorMessage(), nullptr);
  }
  EXPECT_EQ(winsim::connectionCount(), 1u) << "destroying the object must not cancel the connection";

  const winsim::ConnectArgs args = winsim::lastConnectArgs();
  EXPECT_EQ(args.type, static_cast<DWORD>(RESOURCETYPE_DISK));
  EXPECT_TRUE(args.localNameNull);
  EXPECT_EQ(args.flags, 0u);
  EXPECT_EQ(args.remoteName, std::u16string(u"\\\\fs01\\docs"));
  EXPECT_EQ(args.user, std::u16string(u"alice"));
  EXPECT_EQ(args.password, std::u16string(u"Secret1!"));

  {
    // Remote names compare without regard to case.
    NetConnection d(nullptr, nullptr, "\\\\FS01\\Docs");
    EXPECT_EQ(d.disconnect(), 1);
    EXPECT_EQ(d.getLastErrorNumber(), 0);
    EXPECT_EQ(d.getLastErrorMessage(), nullptr);
  }
  EXPECT_EQ(winsim::connectionCount(), 0u);
  const std::vector<std::string> log = winsim::callLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "WNetAddConnection2W"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "WNetCancelConnection2W"), 1);
}

TEST_F(NetConnectionTest, RefusedConnectionsRecordTheirNumber) {
  struct Case {
    const char* name;
    const char* user;
    const char* password;
    const char* path;
    int number;
    const char* text;
  };
  const Case cases[] = {
      {"wrong password", "alice", "secret1!", kDocs, 1326, kLogonFailure},
      {"unknown user", "bob", "Secret1!", kDocs, 1326, kLogonFailure},
      {"own credentials on a share that wants an account", nullptr, nullptr, kDocs, 1326, kLogonFailure},
      {"an account on a share that wants the own credentials", "alice", "Secret1!", kPublic, 1326, kLogonFailure},
      {"unknown share", "alice", "Secret1!", "\\\\fs01\\nothere", 67, kBadNetName},
      {"unknown server", "alice", "Secret1!", "\\\\fs09\\docs", 53, kBadNetPath},
      {"empty path", "alice", "Secret1!", "", 67, kBadNetName},
      {"no path", "alice", "Secret1!", nullptr, 67, kBadNetName},
      {"folder below a share", "alice", "Secret1!", "\\\\fs01\\docs\\sub", 67, kBadNetName},
      {"drive name", "alice", "Secret1!", "Z:", 67, kBadNetName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      NetConnection n(c.user, c.password, c.path);
      EXPECT_EQ(n.connect(), 0);
      EXPECT_EQ(n.getLastErrorNumber(), c.number);
      EXPECT_EQ(blockStrings(n.getLastErrorMessage()), connectError(c.number, c.text));
    }
    EXPECT_EQ(winsim::connectionCount(), 0u);
    testsupport::expectClean();
  }
}

TEST_F(NetConnectionTest, SecondUserOnAConnectedServerConflicts) {
  NetConnection alice("alice", "Secret1!", kDocs);
  ASSERT_EQ(alice.connect(), 1);

  {
    // Another share of the same server, under the process's own user: one user per server.
    NetConnection own(nullptr, nullptr, kPublic);
    EXPECT_EQ(own.connect(), 0);
    EXPECT_EQ(own.getLastErrorNumber(), 1219);
    EXPECT_EQ(blockStrings(own.getLastErrorMessage()),
              connectError(1219,
                           "Multiple connections to a server or shared resource by the same user, using more than "
                           "one user name, are not allowed. Disconnect all previous connections to the server or "
                           "shared resource and try again.\r\n"));
  }
  {
    NetConnection bob("bob", "whatever", kDocs);
    EXPECT_EQ(bob.connect(), 0);
    EXPECT_EQ(bob.getLastErrorNumber(), 1219);
  }
  {
    // The same user again keeps the one connection.
    NetConnection again("ALICE", "Secret1!", kDocs);
    EXPECT_EQ(again.connect(), 1);
  }
  EXPECT_EQ(winsim::connectionCount(), 1u);

  disconnectShare(kDocs);
  NetConnection own(nullptr, nullptr, kPublic);
  EXPECT_EQ(own.connect(), 1) << "the server is free again";
  disconnectShare(kPublic);
}

TEST_F(NetConnectionTest, DisconnectWithoutConnectionFails) {
  const char* const paths[] = {kDocs, "\\\\fs01\\nothere", ""};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    NetConnection n(nullptr, nullptr, path);
    EXPECT_EQ(n.disconnect(), 0);
    EXPECT_EQ(n.getLastErrorNumber(), 2250);
    EXPECT_EQ(blockStrings(n.getLastErrorMessage()), disconnectError(2250, kNotConnected));
  }
  // A second cancel after a successful one finds nothing either.
  NetConnection c("alice", "Secret1!", kDocs);
  ASSERT_EQ(c.connect(), 1);
  EXPECT_EQ(c.disconnect(), 1);
  EXPECT_EQ(c.disconnect(), 0);
  EXPECT_EQ(c.getLastErrorNumber(), 2250);
}

TEST_F(NetConnectionTest, DefaultObjectNamesNoShare) {
  { NetConnection unused; }
  EXPECT_TRUE(winsim::callLog().empty());

  NetConnection n;
  EXPECT_EQ(n.connect(), 0);
  EXPECT_EQ(winsim::lastConnectArgs().remoteName, std::nullopt);
  EXPECT_EQ(winsim::lastConnectArgs().user, std::nullopt);
  EXPECT_EQ(winsim::lastConnectArgs().password, std::nullopt);
  EXPECT_EQ(blockStrings(n.getLastErrorMessage()), connectError(67, kBadNetName));
  EXPECT_EQ(n.disconnect(), 0);
  EXPECT_EQ(n.getLastErrorNumber(), 87);
  EXPECT_EQ(blockStrings(n.getLastErrorMessage()), disconnectError(87, "The parameter is incorrect.\r\n"));
}

TEST_F(NetConnectionTest, EmptyPasswordReachesThePlatformAsNull) {
  {
    NetConnection n("alice", "", kDocs);
    EXPECT_EQ(n.connect(), 0);
    EXPECT_EQ(n.getLastErrorNumber(), 1326);
    const winsim::ConnectArgs args = winsim::lastConnectArgs();
    EXPECT_EQ(args.user, std::u16string(u"alice"));
    EXPECT_EQ(args.password, std::nullopt);
  }
  {
    // An empty user name is a name, not the process's own user.
    NetConnection n("", "", kPublic);
    EXPECT_EQ(n.connect(), 0);
    EXPECT_EQ(n.getLastErrorNumber(), 1326);
    const winsim::ConnectArgs args = winsim::lastConnectArgs();
    EXPECT_EQ(args.user, std::u16string());
    EXPECT_EQ(args.password, std::nullopt);
  }
  {
    NetConnection n(nullptr, "", kPublic);
    EXPECT_EQ(n.connect(), 1);
    EXPECT_EQ(winsim::lastConnectArgs().user, std::nullopt);
    EXPECT_EQ(winsim::lastConnectArgs().password, std::nullopt);
  }
  disconnectShare(kPublic);
}

TEST_F(NetConnectionTest, SharePathIsAnsiWhileCredentialsAreUtf8) {
  {
    // The UTF-8 bytes of the share's name, read as Windows-1252, name another share.
    NetConnection n("jos\xC3\xA9", "p\xC3\xA4ss", kCafeUtf8);
    EXPECT_EQ(n.connect(), 0);
    EXPECT_EQ(n.getLastErrorNumber(), 67);
    EXPECT_EQ(winsim::lastConnectArgs().remoteName, std::u16string(u"\\\\fs02\\caf\u00C3\u00A9"));
  }
  {
    NetConnection n("jos\xC3\xA9", "p\xC3\xA4ss", kCafeAnsi);
    EXPECT_EQ(n.connect(), 1);
    const winsim::ConnectArgs args = winsim::lastConnectArgs();
    EXPECT_EQ(args.remoteName, std::u16string(u"\\\\fs02\\caf\u00E9"));
    EXPECT_EQ(args.user, std::u16string(u"jos\u00E9"));
    EXPECT_EQ(args.password, std::u16string(u"p\u00E4ss"));
  }
  EXPECT_EQ(winsim::connectionCount(), 1u);
  disconnectShare("\\\\FS02\\CAF\xC9");  // É: the same name in another case
  EXPECT_EQ(winsim::connectionCount(), 0u);
}

TEST_F(NetConnectionTest, PlatformFaultsAreRecorded) {
  struct Case {
    const char* name;
    bool cancel;  // fault the cancellation of a made connection, else the connection itself
    uint32_t number;
    const char* text;  // null: the system has no text for it
  };
  const Case cases[] = {
      {"connect, no network", false, 1222, "The network is not present or not started.\r\n"},
      {"connect, a number without text", false, 2138, nullptr},
      {"cancel, device in use", true, 2404,
       "The device is in use by an active process and cannot be disconnected.\r\n"},
      {"cancel, no network", true, 1222, "The network is not present or not started.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int number = static_cast<int>(c.number);
    {
      NetConnection n("alice", "Secret1!", kDocs);
      if (c.cancel) {
        ASSERT_EQ(n.connect(), 1);
        winsim::injectFault("WNetCancelConnection2W", c.number);
        EXPECT_EQ(n.disconnect(), 0);
        EXPECT_EQ(blockStrings(n.getLastErrorMessage()), disconnectError(number, c.text));
        EXPECT_EQ(winsim::connectionCount(), 1u) << "a failed cancel keeps the connection";
      } else {
        winsim::injectFault("WNetAddConnection2W", c.number);
        EXPECT_EQ(n.connect(), 0);
        EXPECT_EQ(blockStrings(n.getLastErrorMessage()), connectError(number, c.text));
        EXPECT_EQ(winsim::connectionCount(), 0u);
      }
      EXPECT_EQ(n.getLastErrorNumber(), number);
    }
    if (c.cancel) disconnectShare(kDocs);
    testsupport::expectClean();
  }
}

TEST_F(NetConnectionTest, EachFailureReplacesTheRecordAndSuccessClearsNone) {
  NetConnection n("alice", "Secret1!", kDocs);
  EXPECT_EQ(n.disconnect(), 0);
  ASSERT_EQ(n.connect(), 1);
  EXPECT_EQ(n.getLastErrorNumber(), 2250);
  EXPECT_EQ(blockStrings(n.getLastErrorMessage()), disconnectError(2250, kNotConnected));

  winsim::injectFault("WNetAddConnection2W", 1222);
  EXPECT_EQ(n.connect(), 0);
  EXPECT_EQ(n.getLastErrorNumber(), 1222);
  EXPECT_EQ(blockStrings(n.getLastErrorMessage()),
            connectError(1222, "The network is not present or not started.\r\n"));
  EXPECT_EQ(n.disconnect(), 1);
}

}  // namespace
