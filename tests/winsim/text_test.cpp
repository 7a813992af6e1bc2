// Code pages: UTF-8 and Windows-1252 (the ANSI code page) through MultiByteToWideChar and
// WideCharToMultiByte, with Windows' length conventions, size protocol and error numbers.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
constexpr DWORD kWcNoBestFitChars = 0x400;

class WinsimText : public testing::Test {
 protected:
  void SetUp() override { winsim::install(winsim::defaultMachine()); }
  void TearDown() override { testsupport::expectClean(); }
};

std::u16string toWide(UINT codePage, DWORD flags, const std::string& in) {
  const int n = MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  if (n > 0) {
    EXPECT_EQ(MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n), n);
  }
  return out;
}

std::string toBytes(UINT codePage, DWORD flags, const std::u16string& in) {
  const int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n > 0) {
    EXPECT_EQ(WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr, nullptr),
              n);
  }
  return out;
}

TEST_F(WinsimText, Utf8RoundTrips) {
  const struct {
    const char* name;
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"ascii", "abc", u"abc"},
      {"two-byte", "caf\xC3\xA9", u"caf\u00E9"},
      {"three-byte", "\xE2\x82\xAC" "5", u"\u20AC" u"5"},
      {"four-byte becomes a surrogate pair", "\xF0\x9D\x84\x9E", u"\xD834\xDD1E"},
      {"embedded NUL with an explicit length", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinel);
    EXPECT_EQ(toWide(CP_UTF8, MB_ERR_INVALID_CHARS, c.utf8), c.utf16);
    EXPECT_EQ(toBytes(CP_UTF8, WC_ERR_INVALID_CHARS, c.utf16), c.utf8);
    EXPECT_EQ(GetLastError(), kSentinel) << "a successful conversion leaves the last error alone";
  }
}

TEST_F(WinsimText, InvalidUtf8BecomesReplacementCharacters) {
  const struct {
    const char* name;
    std::string in;
    std::u16string out;
  } cases[] = {
      {"lone FF", "a\xFF" "b", u"a\uFFFD" u"b"},
      {"lead byte without continuation", "a\xC3" "b", u"a\uFFFD" u"b"},
      {"truncated three-byte", "a\xE2\x82" "b", u"a\uFFFD" u"b"},
      {"overlong", "a\xC0\xAF" "b", u"a\uFFFD\uFFFD" u"b"},
      {"encoded surrogate", "a\xED\xA0\x80" "b", u"a\uFFFD\uFFFD" u"b"},
      {"stray continuation bytes", "a\x80\x80" "b", u"a\uFFFD\uFFFD" u"b"},
      {"above U+10FFFF", "a\xF4\x90\x80\x80" "b", u"a\uFFFD\uFFFD\uFFFD" u"b"},
      {"lead byte at the end", "a\xE2", u"a\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinel);
    EXPECT_EQ(toWide(CP_UTF8, 0, c.in), c.out);
    EXPECT_EQ(GetLastError(), kSentinel);

    WCHAR buffer[16];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.in.data(), static_cast<int>(c.in.size()), buffer, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    SetLastError(kSentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.in.data(), static_cast<int>(c.in.size()), nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << "the size query fails too";
  }
}

TEST_F(WinsimText, InvalidSequenceBeforeTheTerminatorKeepsIt) {
  WCHAR out[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xE2\x82", -1, out, 8), 3);
  EXPECT_EQ(std::u16string(out), u"a\uFFFD");
}

TEST_F(WinsimText, UnpairedSurrogatesBecomeReplacementCharacters) {
  const struct {
    const char* name;
    std::u16string in;
    std::string out;
  } cases[] = {
      {"lone high", u"a\xD800" u"b", "a\xEF\xBF\xBD" "b"},
      {"lone low", u"a\xDC00" u"b", "a\xEF\xBF\xBD" "b"},
      {"high at the end", u"a\xD800", "a\xEF\xBF\xBD"},
      {"reversed pair", u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toBytes(CP_UTF8, 0, c.in), c.out);
    char buffer[16];
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, c.in.data(), static_cast<int>(c.in.size()), buffer, 16,
                                  nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
}

// Windows-1252 bytes 0x80-0x9F; the five unassigned ones map to the C1 control of the same value.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

TEST_F(WinsimText, AnsiCodePageIsWindows1252) {
  for (UINT codePage : {static_cast<UINT>(CP_ACP), 1252u}) {
    for (int b = 0x80; b < 0xA0; ++b) {
      SCOPED_TRACE(testing::Message() << "code page " << codePage << ", byte 0x" << std::hex << b);
      const std::string in(1, static_cast<char>(b));
      // Unassigned bytes are not errors, even with MB_ERR_INVALID_CHARS.
      EXPECT_EQ(toWide(codePage, MB_ERR_INVALID_CHARS, in), std::u16string(1, kCp1252High[b - 0x80]));
      EXPECT_EQ(toBytes(codePage, 0, std::u16string(1, kCp1252High[b - 0x80])), in);
    }
  }
  // Latin-1 bytes map to themselves: UTF-8 read as ANSI gives one WCHAR per byte.
  EXPECT_EQ(toWide(CP_ACP, 0, "\xC3\xA9"), u"\u00C3\u00A9");
  EXPECT_EQ(toBytes(CP_ACP, 0, u"\u00E9\u00FF"), "\xE9\xFF");
}

TEST_F(WinsimText, UnmappableCharactersBecomeTheDefaultCharacter) {
  const std::u16string in = u"a\u4E00?";
  char out[8] = {};
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, in.data(), 3, out, 8, nullptr, &used), 3);
  EXPECT_EQ(std::string(out, 3), "a??");
  EXPECT_TRUE(used);

  used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, kWcNoBestFitChars, in.data(), 3, out, 8, "#", &used), 3);
  EXPECT_EQ(std::string(out, 3), "a#?") << "a real question mark stays";
  EXPECT_TRUE(used);

  used = TRUE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, out, 8, nullptr, &used), 3);
  EXPECT_FALSE(used);
}

TEST_F(WinsimText, LengthConventions) {
  WCHAR wide[8];
  char bytes[8];
  SetLastError(kSentinel);
  // -1: the terminator is converted and counted.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8), 4);
  EXPECT_EQ(std::u16string(wide), u"abc");
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, wide, 8), 1);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -7, nullptr, 0), 4) << "any negative length means -1";
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, bytes, 8, nullptr, nullptr), 4);
  EXPECT_STREQ(bytes, "abc");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"", -1, bytes, 8, nullptr, nullptr), 1);
  // n: exactly n units, no terminator.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0), 3);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, nullptr, 0, nullptr, nullptr), 3);
  // Counts are in UTF-16 units and bytes.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9D\x84\x9E", -1, nullptr, 0), 3);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(GetLastError(), kSentinel);
}

// Each failing call returns 0 and sets exactly this error.
struct Failure {
  const char* name;
  std::function<int()> call;
  DWORD error;
};

TEST_F(WinsimText, FailuresReturnZeroWithTheirError) {
  static WCHAR wide[8];
  static char bytes[8];
  static BOOL used;
  const Failure cases[] = {
      {"MB length 0", [] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"MB length 0 size query", [] { return MultiByteToWideChar(CP_UTF8, 0, "", 0, nullptr, 0); }, ERROR_INVALID_PARAMETER},
      {"WC length 0 (empty wide string)", [] { return WideCharToMultiByte(CP_UTF8, 0, u"", 0, nullptr, 0, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"MB null input", [] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"WC null input", [] { return WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, bytes, 8, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"MB null output with a size", [] { return MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 8); },
       ERROR_INVALID_PARAMETER},
      {"WC null output with a size", [] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, nullptr, 8, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"MB negative output size", [] { return MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, -1); },
       ERROR_INVALID_PARAMETER},
      {"MB output one short", [] { return MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 3); }, ERROR_INSUFFICIENT_BUFFER},
      {"WC output one short", [] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, bytes, 3, nullptr, nullptr); },
       ERROR_INSUFFICIENT_BUFFER},
      {"WC output too short for a multi-byte character",
       [] { return WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", 1, bytes, 2, nullptr, nullptr); }, ERROR_INSUFFICIENT_BUFFER},
      {"ANSI output one short", [] { return WideCharToMultiByte(CP_ACP, 0, u"abc", 3, bytes, 2, nullptr, nullptr); },
       ERROR_INSUFFICIENT_BUFFER},
      {"MB UTF-8 with MB_PRECOMPOSED", [] { return MultiByteToWideChar(CP_UTF8, 1, "abc", -1, wide, 8); }, ERROR_INVALID_FLAGS},
      {"WC UTF-8 with WC_NO_BEST_FIT_CHARS",
       [] { return WideCharToMultiByte(CP_UTF8, kWcNoBestFitChars, u"abc", -1, bytes, 8, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"MB ANSI unknown flag", [] { return MultiByteToWideChar(CP_ACP, 0x10, "abc", -1, wide, 8); }, ERROR_INVALID_FLAGS},
      {"MB ANSI precomposed and composite", [] { return MultiByteToWideChar(CP_ACP, 0x3, "abc", -1, wide, 8); },
       ERROR_INVALID_FLAGS},
      {"WC ANSI unknown flag 0x100", [] { return WideCharToMultiByte(CP_ACP, 0x100, u"abc", -1, bytes, 8, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"WC ANSI unknown flag 0x800", [] { return WideCharToMultiByte(CP_ACP, 0x800, u"abc", -1, bytes, 8, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"WC ANSI with WC_ERR_INVALID_CHARS",
       [] { return WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, u"abc", -1, bytes, 8, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"WC UTF-8 with a default character", [] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, bytes, 8, "?", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"WC UTF-8 with a used-default pointer",
       [] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, bytes, 8, nullptr, &used); }, ERROR_INVALID_PARAMETER},
      {"WC UTF-8 used-default pointer before a bad flag",
       [] { return WideCharToMultiByte(CP_UTF8, 0x100, u"abc", -1, bytes, 8, nullptr, &used); }, ERROR_INVALID_PARAMETER},
      {"WC UTF-8 size query with a used-default pointer",
       [] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, nullptr, 0, nullptr, &used); }, ERROR_INVALID_PARAMETER},
      {"MB unknown code page before a bad flag", [] { return MultiByteToWideChar(0xDEAD, 0x10, "abc", -1, wide, 8); },
       ERROR_INVALID_PARAMETER},
      {"WC unknown code page before a bad flag",
       [] { return WideCharToMultiByte(0xDEAD, 0x100, u"abc", -1, bytes, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
  };
  for (const Failure& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinel);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST_F(WinsimText, InjectedFaultsFailTheNthConversion) {
  WCHAR wide[8];
  winsim::injectFault("MultiByteToWideChar", ERROR_NOT_ENOUGH_MEMORY, 2);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  SetLastError(kSentinel);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 8), 4) << "a fault fires once";
}

}  // namespace
