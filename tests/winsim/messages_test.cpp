// FormatMessageW for system message numbers: Windows' English texts with CR LF, the count without
// the terminator, LocalAlloc'd text, 317 for numbers without text.
#include <gtest/gtest.h>

#include <string>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kUserDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
constexpr DWORD kSentinel = 0xDEADBEEF;

class WinsimMessages : public testing::Test {
 protected:
  void SetUp() override { winsim::install(winsim::defaultMachine()); }
  void TearDown() override { testsupport::expectClean(); }
};

TEST_F(WinsimMessages, SystemTextsEndWithCrLf) {
  const struct {
    DWORD number;
    const char16_t* text;
  } cases[] = {
      {0, u"The operation completed successfully.\r\n"},
      {5, u"Access is denied.\r\n"},
      {1326, u"The user name or password is incorrect.\r\n"},
      {1332, u"No mapping between account names and security IDs was done.\r\n"},
      {2250, u"This network connection does not exist.\r\n"},  // a NERR-range number WinError.h also defines
      {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
      {0x80070005, u"Access is denied.\r\n"},  // an HRESULT carrying a Win32 number
      {0x8007052E, u"The user name or password is incorrect.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    WCHAR* text = nullptr;
    SetLastError(kSentinel);
    const DWORD count = FormatMessageW(kFlags, nullptr, c.number, kUserDefault, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), c.text);
    EXPECT_EQ(count, std::char_traits<char16_t>::length(c.text)) << "the count leaves out the terminator";
    EXPECT_EQ(GetLastError(), kSentinel) << "success leaves the last error alone";
    EXPECT_EQ(winsim::liveAllocations().local, 1u);
    EXPECT_EQ(LocalFree(text), nullptr);
  }
}

TEST_F(WinsimMessages, AccessDeniedIsNineteenCharacters) {
  WCHAR* text = nullptr;
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, kUserDefault, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 19u);
  LocalFree(text);
}

TEST_F(WinsimMessages, NumbersWithoutTextFailWith317) {
  for (DWORD number : {2138u, 2221u, 4u, 0xC0000022u, 0xFFFFFFFFu, 0xDEADBEEFu, 0x80070000u + 4u}) {
    SCOPED_TRACE(number);
    WCHAR* text = nullptr;
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(kFlags, nullptr, number, kUserDefault, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(winsim::liveAllocations().local, 0u);
  }
}

TEST_F(WinsimMessages, CallerBufferFollowsTheSizeProtocol) {
  WCHAR buffer[32];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buffer, 20, nullptr),
            19u);
  EXPECT_EQ(std::u16string(buffer), u"Access is denied.\r\n");
  SetLastError(kSentinel);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buffer, 19, nullptr),
            0u)
      << "no room for the terminator";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(WinsimMessages, LanguagesOtherThanEnglishHaveNoText) {
  for (DWORD language : {0x0u, 0x400u, 0x800u, 0x409u, 0x809u}) {
    SCOPED_TRACE(language);
    WCHAR* text = nullptr;
    EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, language, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 19u);
    LocalFree(text);
  }
  WCHAR* text = nullptr;
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, 0x407, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
  EXPECT_EQ(GetLastError(), 1815u);  // ERROR_RESOURCE_LANG_NOT_FOUND
  EXPECT_EQ(text, nullptr);
}

TEST_F(WinsimMessages, InjectedFaultAllocatesNothing) {
  winsim::injectFault("FormatMessageW", ERROR_NOT_ENOUGH_MEMORY);
  WCHAR* text = nullptr;
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, kUserDefault, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(text, nullptr);
}

}  // namespace
