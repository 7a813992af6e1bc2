// Code pages (UTF-8 and Windows-1252 as the ANSI code page), Windows-style case folding, and the
// code-page conversion calls.
#include <cstring>

#include "state.h"

namespace winsim::detail {
namespace {

const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

bool isAscii(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
  return true;
}

// Decodes UTF-8 as Windows does with flags 0: every invalid sequence becomes one U+FFFD. A lead
// byte followed by a continuation byte outside its allowed range (surrogates, overlongs, values
// past U+10FFFF) is replaced together with that byte, as Wine's decoder does.
std::u16string decodeUtf8(const unsigned char* p, size_t n, bool* invalid) {
  std::u16string out;
  out.reserve(n);
  *invalid = false;
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (len == 0) {  // stray continuation byte or a byte that never starts a sequence
      out.push_back(0xFFFD);
      *invalid = true;
      ++i;
      continue;
    }
    if (i + 1 >= n || !isContinuation(p[i + 1])) {
      out.push_back(0xFFFD);
      *invalid = true;
      ++i;
      continue;
    }
    if (p[i + 1] < lo || p[i + 1] > hi) {
      out.push_back(0xFFFD);
      *invalid = true;
      i += 2;
      continue;
    }
    size_t k = 1;
    while (k < len && i + k < n && isContinuation(p[i + k])) {
      cp = (cp << 6) | (p[i + k] & 0x3F);
      ++k;
    }
    // Truncated sequence: the bytes read so far become one replacement. Where the input ends
    // inside the sequence, Wine swallows everything up to the end (a terminator too); decoding
    // what follows instead keeps a terminated input terminated.
    if (k < len) {
      out.push_back(0xFFFD);
      *invalid = true;
      i += k;
      continue;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string encodeUtf8(const char16_t* p, size_t n, bool* invalid) {
  std::string out;
  out.reserve(n * 3);
  *invalid = false;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = p[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (p[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
      *invalid = true;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string encodeCp1252(const char16_t* p, size_t n, bool* usedDefault) {
  std::string out;
  out.reserve(n);
  *usedDefault = false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = p[i];
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    int found = -1;
    for (int k = 0; k < 32; ++k)
      if (kCp1252High[k] == c) found = k;
    if (found >= 0) {
      out.push_back(static_cast<char>(0x80 + found));
    } else {
      out.push_back('?');
      *usedDefault = true;
    }
  }
  return out;
}

char16_t upperChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x17F) {
    // Latin Extended-A pairs upper/lower as even/odd, except the run 0x139-0x148 and 0x179-0x17E.
    bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    bool lower = shifted ? (c % 2 == 0) : (c % 2 == 1);
    return lower ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

bool validCodePage(UINT cp) { return cp == CP_ACP || cp == CP_UTF8 || cp == 1252; }

// The flags a table code page such as 1252 accepts: MB_PRECOMPOSED, MB_COMPOSITE (not both),
// MB_USEGLYPHCHARS, MB_ERR_INVALID_CHARS; WC_DISCARDNS, WC_SEPCHARS, WC_DEFAULTCHAR,
// WC_COMPOSITECHECK, WC_NO_BEST_FIT_CHARS. WC_ERR_INVALID_CHARS is for UTF-8 only.
constexpr DWORD kMbFlags = 0x1 | 0x2 | 0x4 | MB_ERR_INVALID_CHARS;
constexpr DWORD kMbPrecomposedComposite = 0x1 | 0x2;
constexpr DWORD kWcFlags = 0x10 | 0x20 | 0x40 | 0x200 | 0x400;

}  // namespace

std::u16string utf8ToUtf16(const std::string& s) {
  if (isAscii(s.data(), s.size())) return std::u16string(s.begin(), s.end());
  bool invalid;
  return decodeUtf8(reinterpret_cast<const unsigned char*>(s.data()), s.size(), &invalid);
}

std::string utf16ToUtf8(const std::u16string& s) {
  bool invalid;
  return encodeUtf8(s.data(), s.size(), &invalid);
}

std::u16string cp1252ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (unsigned char c : s) out.push_back(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c);
  return out;
}

std::u16string fromWide(LPCWSTR s) {
  if (!s) return std::u16string();
  return std::u16string(s);
}

std::u16string upper(std::u16string s) {
  for (char16_t& c : s) c = upperChar(c);
  return s;
}

bool equalNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char16_t x = a[i];
    const char16_t y = b[i];
    if (x == y) continue;
    // Paths and names are mostly ASCII, where only the letters have another case.
    if ((x | y) < 0x80) {
      if ((x | 0x20) != (y | 0x20) || (x | 0x20) < u'a' || (x | 0x20) > u'z') return false;
      continue;
    }
    if (upperChar(x) != upperChar(y)) return false;
  }
  return true;
}

bool equalNoCase(const std::string& a, const std::string& b) {
  return equalNoCase(utf8ToUtf16(a), utf8ToUtf16(b));
}

}  // namespace winsim::detail

using namespace winsim::detail;

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return 0;
  }
  if (!validCodePage(codePage) || !multiByte || multiByteCount == 0 || wideCount < 0 ||
      (!wide && wideCount > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_UTF8 ? (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0
                          : (flags & ~kMbFlags) != 0 || (flags & kMbPrecomposedComposite) == kMbPrecomposedComposite) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = multiByteCount < 0 ? std::strlen(multiByte) + 1 : static_cast<size_t>(multiByteCount);
  // ASCII reads the same in every code page simulated here: one unit per byte, nothing to decode.
  // Paths and names are mostly ASCII, and a long-running morvik converts several per request.
  if (isAscii(multiByte, n)) {
    if (wideCount == 0) return static_cast<int>(n);
    if (n > static_cast<size_t>(wideCount)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    for (size_t i = 0; i < n; ++i) wide[i] = static_cast<unsigned char>(multiByte[i]);
    return static_cast<int>(n);
  }
  std::string in(multiByte, n);
  std::u16string out;
  if (codePage == CP_UTF8) {
    bool invalid;
    out = decodeUtf8(reinterpret_cast<const unsigned char*>(in.data()), in.size(), &invalid);
    if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    out = cp1252ToUtf16(in);
  }
  if (wideCount == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(wideCount)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
  return static_cast<int>(out.size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCCH defaultChar, LPBOOL usedDefaultChar) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return 0;
  }
  if (!validCodePage(codePage) || !wide || wideCount == 0 || multiByteCount < 0 ||
      (!multiByte && multiByteCount > 0) ||
      (codePage == CP_UTF8 && (defaultChar || usedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage == CP_UTF8 ? (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0 : (flags & ~kWcFlags) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = 0;
  if (wideCount < 0) {
    while (wide[n]) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(wideCount);
  }
  std::string out;
  if (codePage == CP_UTF8) {
    bool invalid;
    out = encodeUtf8(wide, n, &invalid);
    if (invalid && (flags & WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    bool used;
    out = encodeCp1252(wide, n, &used);
    if (used && defaultChar && *defaultChar != '?')
      for (size_t i = 0; i < out.size(); ++i)
        if (out[i] == '?' && wide[i] != u'?') out[i] = *defaultChar;
    if (usedDefaultChar) *usedDefaultChar = used ? TRUE : FALSE;
  }
  if (multiByteCount == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(multiByteCount)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(multiByte, out.data(), out.size());
  return static_cast<int>(out.size());
}

}  // extern "C"
