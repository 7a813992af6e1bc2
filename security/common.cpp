#include "common.h"

#include <cstdio>
#include <cstring>

#include "BufferList.h"

namespace winsecurity::common {

size_t wideLength(const WCHAR* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

namespace {

WCHAR* toWide(UINT codePage, const char* input) {
  const int n = MultiByteToWideChar(codePage, 0, input, -1, nullptr, 0);
  auto* out = new WCHAR[static_cast<size_t>(n > 0 ? n : 0) + 1]();
  if (n > 0) MultiByteToWideChar(codePage, 0, input, -1, out, n);
  return out;
}

template <class T>
void wipe(T* s) {
  if (!s) return;
  volatile T* p = s;
  while (*p) *p++ = 0;
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
