// winsim's core: handles, the simulated allocators, fault injection and the bookkeeping that
// install() resets.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

class WinsimCore : public testing::Test {
 protected:
  void SetUp() override { winsim::install(testsupport::machineWithAlice()); }
  void TearDown() override { testsupport::expectClean(); }

  static HANDLE logOnAlice() {
    HANDLE token = nullptr;
    EXPECT_TRUE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token));
    return token;
  }
};

TEST_F(WinsimCore, CloseHandleRefusesHandlesThatAreNotOpen) {
  HANDLE token = logOnAlice();
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(winsim::openHandles(), 1u);
  SetLastError(kSentinel);
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(winsim::openHandles(), 0u);

  const struct {
    const char* name;
    HANDLE handle;
    BOOL result;
  } cases[] = {
      {"null", nullptr, FALSE},
      {"already closed", token, FALSE},
      {"junk", reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdeadbeef)), FALSE},
      {"current-process pseudo handle", INVALID_HANDLE_VALUE, TRUE},
      {"current-thread pseudo handle", GetCurrentThread(), TRUE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinel);
    EXPECT_EQ(CloseHandle(c.handle), c.result);
    EXPECT_EQ(GetLastError(), c.result ? kSentinel : static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(WinsimCore, CurrentThreadIsTheMinusTwoPseudoHandle) {
  EXPECT_EQ(reinterpret_cast<intptr_t>(GetCurrentThread()), -2);
}

TEST_F(WinsimCore, FaultsFireOnTheNthCallCountedFromNow) {
  HANDLE first = logOnAlice();
  winsim::injectFault("LogonUserW", 1331, 2);
  HANDLE second = logOnAlice();  // call 1 after the injection
  HANDLE third = reinterpret_cast<HANDLE>(1);
  SetLastError(kSentinel);
  EXPECT_FALSE(LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &third));
  EXPECT_EQ(GetLastError(), 1331u);
  EXPECT_EQ(third, nullptr) << "the token output is cleared on failure";
  HANDLE fourth = logOnAlice();  // the fault fired once
  EXPECT_EQ(winsim::openHandles(), 3u);
  for (HANDLE h : {first, second, fourth}) EXPECT_TRUE(CloseHandle(h));
}

TEST_F(WinsimCore, FaultsForOneCallDoNotCountOthers) {
  winsim::injectFault("RevertToSelf", ERROR_ACCESS_DENIED, 1);
  HANDLE token = logOnAlice();
  EXPECT_TRUE(CloseHandle(token));
  SetLastError(kSentinel);
  EXPECT_FALSE(RevertToSelf());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(RevertToSelf());
}

TEST_F(WinsimCore, MachineFaultsCountFromInstallAndClearFaultsDropsThem) {
  winsim::Machine m = testsupport::machineWithAlice();
  m.faults = {{"CloseHandle", ERROR_ACCESS_DENIED, 2}, {"RevertToSelf", ERROR_ACCESS_DENIED, 1}};
  HANDLE before = logOnAlice();
  EXPECT_TRUE(CloseHandle(before));  // counted against the old machine, which install() forgets
  winsim::install(m);
  HANDLE a = logOnAlice();
  HANDLE b = logOnAlice();
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_FALSE(CloseHandle(b));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(b)) << "the handle stayed open";
  winsim::clearFaults();
  EXPECT_TRUE(RevertToSelf());
}

// The delay models the authority's latency: each call of the named function waits it out, a
// faulted one too, and the answers and the fault counting stay as without it. Only a lower bound
// is checked: a busy machine may make any call slower.
TEST_F(WinsimCore, DelaysHoldEveryCallOfTheNamedFunction) {
  winsim::Machine m = testsupport::machineWithAlice();
  m.delays = {{"LogonUserW", 30}};
  m.faults = {{"LogonUserW", ERROR_ACCESS_DENIED, 2}};
  winsim::install(m);
  const auto timed = [](auto call) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = call();
    return std::make_pair(result, std::chrono::steady_clock::now() - start);
  };
  HANDLE token = nullptr;
  const auto [first, firstTook] = timed([&] {
    return LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
  });
  EXPECT_TRUE(first);
  EXPECT_GE(firstTook, std::chrono::milliseconds(30));
  HANDLE refused = nullptr;
  const auto [second, secondTook] = timed([&] {
    return LogonUserW(u"alice", nullptr, u"Secret1!", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &refused);
  });
  EXPECT_FALSE(second);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_GE(secondTook, std::chrono::milliseconds(30));
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(WinsimCore, CallLogListsEveryCallByName) {
  HANDLE token = logOnAlice();
  ImpersonateLoggedOnUser(token);
  RevertToSelf();
  CloseHandle(token);
  EXPECT_EQ(winsim::callLog(),
            (std::vector<std::string>{"LogonUserW", "ImpersonateLoggedOnUser", "RevertToSelf", "CloseHandle"}));
  winsim::clearCallLog();
  EXPECT_TRUE(winsim::callLog().empty());
}

TEST_F(WinsimCore, InstallForgetsHandlesAllocationsAndImpersonation) {
  HANDLE token = logOnAlice();
  ASSERT_TRUE(ImpersonateLoggedOnUser(token));
  ASSERT_NE(LocalAlloc(LMEM_FIXED, 4), nullptr);
  ASSERT_NE(GlobalAlloc(GMEM_FIXED, 4), nullptr);
  winsim::install(testsupport::machineWithAlice());
  EXPECT_EQ(winsim::openHandles(), 0u);
  EXPECT_EQ(winsim::liveAllocations().total(), 0u);
  EXPECT_FALSE(winsim::threadImpersonating());
  EXPECT_FALSE(CloseHandle(token));
}

TEST_F(WinsimCore, LastLogonArgumentsAreRecorded) {
  HANDLE token = nullptr;
  LogonUserW(u"bob", nullptr, u"pw", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
  const winsim::LogonArgs args = winsim::lastLogonArgs();
  EXPECT_EQ(args.user, std::optional<std::u16string>(u"bob"));
  EXPECT_FALSE(args.domain.has_value());
  EXPECT_EQ(args.password, std::optional<std::u16string>(u"pw"));
}

TEST_F(WinsimCore, LocalFreeOfAForeignPointerFailsWith6) {
  int notLocal = 0;
  SetLastError(kSentinel);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(LocalFree(&notLocal), &notLocal);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  void* p = LocalAlloc(LMEM_FIXED, 8);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(LocalFree(p), nullptr);
  EXPECT_EQ(LocalFree(p), p) << "freed twice";
}

TEST_F(WinsimCore, GlobalAllocAndFree) {
  SetLastError(kSentinel);
  void* zero = GlobalAlloc(GMEM_FIXED, 0);
  EXPECT_NE(zero, nullptr) << "a zero-byte block is still a block";
  auto* cleared = static_cast<unsigned char*>(GlobalAlloc(GMEM_ZEROINIT, 16));
  ASSERT_NE(cleared, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(cleared[i], 0);
  EXPECT_EQ(winsim::liveAllocations().global, 2u);
  EXPECT_EQ(GlobalFree(zero), nullptr);
  EXPECT_EQ(GlobalFree(cleared), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(GlobalFree(cleared), cleared);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  winsim::injectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
