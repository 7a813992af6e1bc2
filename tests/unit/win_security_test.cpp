// WinSecurity's logon, impersonation, revert and error recording, driven through winsim.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "security/WinSecurity.h"
#include "support.h"

using testsupport::blockStrings;
using testsupport::errorStrings;
using winsecurity::WinSecurity;

namespace {

class WinSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override { winsim::install(testsupport::machineWithAlice()); }
  void TearDown() override {
    // A failed revert leaves the thread impersonating; never let that reach the next test.
    RevertToSelf();
  }
};

}  // namespace

TEST_F(WinSecurityTest, ValidUserIsLoggedOnImpersonatedAndReverted) {
  {
    WinSecurity s("alice", "Secret1!", "");
    EXPECT_EQ(s.validateUser(), 1);
    EXPECT_EQ(s.getLastErrorMessage(), nullptr);
    EXPECT_EQ(s.getLastErrorNumber(), 0);
    testsupport::expectClean();
  }
  testsupport::expectClean();
  EXPECT_EQ(testsupport::securityCalls(),
            (std::vector<std::string>{"LogonUserW", "ImpersonateLoggedOnUser", "CloseHandle", "OpenThreadToken",
                                      "RevertToSelf", "CloseHandle"}));
}

TEST_F(WinSecurityTest, WithoutUserNameNothingIsCalled) {
  {
    WinSecurity s(nullptr, "pw", "dom");
    EXPECT_EQ(s.validateUser(), 0);
    EXPECT_EQ(s.getLastErrorMessage(), nullptr);
    EXPECT_EQ(s.getLastErrorNumber(), 0);
  }
  {
    WinSecurity s;
  }
  EXPECT_TRUE(testsupport::securityCalls().empty());
}

TEST_F(WinSecurityTest, CredentialsReachLogonAsGiven) {
  struct Case {
    const char* user;
    const char* password;
    const char* domain;
    std::optional<std::u16string> wUser, wPassword, wDomain;
  };
  const Case cases[] = {
      {"alice", "", "", u"alice", std::nullopt, u""},            // empty password: none
      {"", "pw", nullptr, u"", u"pw", std::nullopt},             // empty user stays empty
      {"J\xC3\xBCrgen", "p\xC3\xA4ss", ".", u"J\u00FCrgen", u"p\u00E4ss", u"."},  // read as UTF-8
      // Three bytes to one unit, four to a surrogate pair, and invalid bytes one replacement each:
      // the last is the most units a byte can give.
      {"\xE2\x82\xAC", "\xF0\x9D\x84\x9E", "\xFF\xFE", u"\u20AC", u"\U0001D11E", u"\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    WinSecurity s(c.user, c.password, c.domain);
    s.validateUser();
    const winsim::LogonArgs args = winsim::lastLogonArgs();
    EXPECT_EQ(args.user, c.wUser);
    EXPECT_EQ(args.password, c.wPassword);
    EXPECT_EQ(args.domain, c.wDomain);
  }
  testsupport::expectClean();
}

// A conversion that runs short of room asks for the size and converts again; one that fails
// leaves an empty name.
TEST_F(WinSecurityTest, ConversionFailuresOfTheCredentials) {
  const struct {
    uint32_t error;
    std::u16string user;
  } cases[] = {{ERROR_INSUFFICIENT_BUFFER, u"J\u00FCrgen"}, {1113, u""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    winsim::install(testsupport::machineWithAlice());
    winsim::injectFault("MultiByteToWideChar", c.error, 1);
    WinSecurity s("J\xC3\xBCrgen", "pw", nullptr);
    s.validateUser();
    EXPECT_EQ(winsim::lastLogonArgs().user, c.user);
    EXPECT_EQ(winsim::lastLogonArgs().password, u"pw");
  }
  testsupport::expectClean();
}

TEST_F(WinSecurityTest, WrongPasswordRecordsTheLogonFailure) {
  WinSecurity s("alice", "wrong", nullptr);
  EXPECT_EQ(s.validateUser(), 0);
  EXPECT_EQ(s.getLastErrorNumber(), 1326);
  EXPECT_EQ(blockStrings(s.getLastErrorMessage()),
            errorStrings("WinSecurity::logOnVelUser", "LogonUser", 1326,
                         "The user name or password is incorrect.\r\n"));
  testsupport::expectClean();
}

// Each platform call of the bracket failing in turn: the result, the record, and that the thread
// is itself again with nothing left open.
TEST_F(WinSecurityTest, EachFailingCallIsRecordedAndCleanedUp) {
  struct Case {
    const char* call;
    uint32_t error;
    int result;
    const char* context;
    const char* recorded;
    const char* text;
  };
  const Case cases[] = {
      {"LogonUserW", 1331, 0, "WinSecurity::logOnVelUser", "LogonUser",
       "This user can't sign in because this account is currently disabled.\r\n"},
      {"ImpersonateLoggedOnUser", 5, 0, "WinSecurity::impersonateUse", "ImpersonateLoggedOnUser",
       "Access is denied.\r\n"},
      {"OpenThreadToken", 1347, 0, "WinSecurity::impersonateUse", "OpenThreadToken",
       "Cannot open an anonymous level security token.\r\n"},
      // A failed revert at the end replaces whatever the operation recorded before.
      {"RevertToSelf", 1, 1, "WinSecurity::logOffVelUser", "RevertToSelf()", "Incorrect function.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    winsim::install(testsupport::machineWithAlice());
    winsim::injectFault(c.call, c.error);
    {
      WinSecurity s("alice", "Secret1!", nullptr);
      EXPECT_EQ(s.validateUser(), c.result);
      EXPECT_EQ(s.getLastErrorNumber(), static_cast<int>(c.error));
      EXPECT_EQ(blockStrings(s.getLastErrorMessage()), errorStrings(c.context, c.recorded, c.error, c.text));
    }
    if (std::string(c.call) == "RevertToSelf") {
      // The platform refused to revert; nothing the library can do, but the token is closed.
      EXPECT_TRUE(winsim::threadImpersonating());
      RevertToSelf();
    }
    testsupport::expectClean();
  }
}

TEST_F(WinSecurityTest, FailedThreadTokenStillEndsTheImpersonation) {
  winsim::injectFault("OpenThreadToken", 5);
  WinSecurity s("alice", "Secret1!", nullptr);
  EXPECT_EQ(s.validateUser(), 0);
  // Nothing holds a token here, so only an explicit revert keeps the next request from running as alice.
  EXPECT_FALSE(winsim::threadImpersonating());
  EXPECT_EQ(winsim::openHandles(), 0u);
}

TEST_F(WinSecurityTest, OnlyTheLatestFailureIsKept) {
  WinSecurity s("alice", "wrong", nullptr);
  s.validateUser();
  winsim::injectFault("ImpersonateLoggedOnUser", 6);
  WinSecurity t("alice", "Secret1!", nullptr);
  t.validateUser();
  EXPECT_EQ(blockStrings(t.getLastErrorMessage())[1], "ImpersonateLoggedOnUser");
  // The same object failing twice.
  winsim::injectFault("LogonUserW", 1909);
  t.validateUser();
  EXPECT_EQ(t.getLastErrorNumber(), 1909);
  EXPECT_EQ(blockStrings(t.getLastErrorMessage()),
            errorStrings("WinSecurity::logOnVelUser", "LogonUser", 1909,
                         "The referenced account is currently locked out and may not be logged on to.\r\n"));
  // A success clears neither the number nor the block.
  EXPECT_EQ(t.validateUser(), 1);
  EXPECT_EQ(t.getLastErrorNumber(), 1909);
  EXPECT_NE(t.getLastErrorMessage(), nullptr);
  testsupport::expectClean();
}

TEST_F(WinSecurityTest, NumbersWithoutSystemTextGiveThreeStrings) {
  struct Case {
    uint32_t error;
    const char* decimal;
  };
  for (const Case c : {Case{2138, "2138"}, Case{0xC0000022u, "-1073741790"}, Case{0xFFFFFFFFu, "-1"}}) {
    SCOPED_TRACE(c.decimal);
    winsim::injectFault("LogonUserW", c.error);
    WinSecurity s("alice", "Secret1!", nullptr);
    EXPECT_EQ(s.validateUser(), 0);
    EXPECT_EQ(blockStrings(s.getLastErrorMessage()),
              (std::vector<std::string>{"WinSecurity::logOnVelUser", "LogonUser", c.decimal}));
  }
  testsupport::expectClean();
}

TEST_F(WinSecurityTest, ObjectCanBeAskedAgainAndLogsOnAfresh) {
  WinSecurity s("alice", "Secret1!", nullptr);
  EXPECT_EQ(s.validateUser(), 1);
  EXPECT_EQ(s.validateUser(), 1);
  int logons = 0;
  for (const std::string& call : winsim::callLog()) logons += call == "LogonUserW";
  EXPECT_EQ(logons, 2);
  testsupport::expectClean();
}

TEST_F(WinSecurityTest, FreeMemblkIgnoresNull) {
  WinSecurity s;
  s.freeMemblk(nullptr);
  EXPECT_TRUE(testsupport::securityCalls().empty());
}
