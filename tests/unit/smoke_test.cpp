#include <gtest/gtest.h>

#include "security/WinSecurity.h"
#include "winsim/machine.h"

TEST(Smoke, WrongPasswordRecordsLogonFailure) {
  winsim::install(winsim::defaultMachine());
  winsecurity::WinSecurity s("nobody", "x", nullptr);
  EXPECT_EQ(s.validateUser(), 0);
  EXPECT_EQ(s.getLastErrorNumber(), 1326);
}
