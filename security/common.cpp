#include "security/common.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "security/BufferList.h"
#include "security/SecureZero.h"

namespace winsecurity::common {

size_t wideLength(const WCHAR* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

namespace {

// Zeroes a string up to its terminator.
template <class T>
void wipe(T* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  secureZero(s, n * sizeof(T));
}

WCHAR* toWide(UINT codePage, const char* input) {
  // A byte never gives more than one UTF-16 unit (UTF-8 takes four bytes for a surrogate pair,
  // and ANSI code pages one or two bytes a character), so a buffer of one unit per byte takes the
  // result in one call, with no size query first; each request converts a path or credentials.
  const size_t bytes = input ? std::strlen(input) + 1 : 1;
  auto* out = new WCHAR[bytes + 1]();
  if (bytes <= INT_MAX && (MultiByteToWideChar(codePage, 0, input, -1, out, static_cast<int>(bytes)) > 0 ||
                           GetLastError() != ERROR_INSUFFICIENT_BUFFER))
    return out;  // a failed conversion leaves the zeroed buffer: an empty string
  // No code page this runs on runs short; should one, ask for the size as the documentation says.
  wipe(out);  // what was converted may be part of a password
  delete[] out;
  const int n = MultiByteToWideChar(codePage, 0, input, -1, nullptr, 0);
  out = new WCHAR[static_cast<size_t>(n > 0 ? n : 0) + 1]();
  if (n > 0) MultiByteToWideChar(codePage, 0, input, -1, out, n);
  return out;
}

}  // namespace

WCHAR* utf8ToWide(const char* input) { return toWide(CP_UTF8, input); }

WCHAR* ansiToWide(const char* input) { return toWide(CP_ACP, input); }

char* wideToUtf8(const WCHAR* input) {
  const int w = static_cast<int>(wideLength(input));
  // An explicit length of 0 fails with 87, so an empty input never reaches the platform.
  const int m = w > 0 ? WideCharToMultiByte(CP_UTF8, 0, input, w, nullptr, 0, nullptr, nullptr) : 0;
  char* out = new char[static_cast<size_t>(m > 0 ? m : 0) + 1]();
  if (m > 0) WideCharToMultiByte(CP_UTF8, 0, input, w, out, m + 1, nullptr, nullptr);
  return out;
}

char* recordError(char** block, const char* context, const char* call, int number) {
  delete[] *block;
  *block = nullptr;
  char decimal[128] = {};
  std::snprintf(decimal, sizeof decimal, "%d", number);
  WCHAR* systemText = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, static_cast<DWORD>(number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 reinterpret_cast<LPWSTR>(&systemText), 0, nullptr);
  LocalOwner<WCHAR> text(systemText);
  NarrowOwner utf8(wideToUtf8(text.get()));
  BufferList list;
  list.addString(const_cast<char*>(context));
  list.addString(const_cast<char*>(call));
  list.addString(decimal);
  list.addString(utf8.get());
  *block = list.createMemBlock();
  return *block;
}

char* copyString(const char* s) {
  if (!s) return nullptr;
  const size_t n = std::strlen(s);
  char* copy = new char[n + 1];
  std::memcpy(copy, s, n + 1);
  return copy;
}

void copyCredential(const char* in, bool emptyIsNone, char** narrow, WCHAR** wide) {
  if (!in || (emptyIsNone && !*in)) return;
  *narrow = copyString(in);
  *wide = utf8ToWide(*narrow);
}

void wipeAndFree(char** s) {
  wipe(*s);
  delete[] *s;
  *s = nullptr;
}

void wipeAndFree(WCHAR** s) {
  wipe(*s);
  delete[] *s;
  *s = nullptr;
}

void release(char** s) {
  delete[] *s;
  *s = nullptr;
}

void release(WCHAR** s) {
  delete[] *s;
  *s = nullptr;
}

}  // namespace winsecurity::common
