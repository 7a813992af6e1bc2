// What WinSecurity and NetConnection share: error records, string conversions, credential copies,
// and owners for the platform's allocations. One implementation, called by both classes.
#pragma once

#include <memory>
#include <utility>

#include "security/win32.h"

namespace winsecurity::common {

// Replaces *block with a new last-error block: context, call, the number in decimal and the
// system's text for it in UTF-8 (left out when the system has none). Returns the new block.
char* recordError(char** block, const char* context, const char* call, int number);

// New NUL-terminated UTF-16 from UTF-8; an empty string when the conversion fails. delete[].
WCHAR* utf8ToWide(const char* input);
// The same from the ANSI code page.
WCHAR* ansiToWide(const char* input);
// New NUL-terminated UTF-8 from UTF-16 (null counts as empty). delete[].
char* wideToUtf8(const WCHAR* input);

// A new copy of a NUL-terminated string, or null for null. delete[].
char* copyString(const char* s);

// Copies a credential given to a constructor and its UTF-16 form (from UTF-8); both stay null when
// it is not given, and also when it is empty and `emptyIsNone` (an empty password reaches Windows
// as no password).
void copyCredential(const char* in, bool emptyIsNone, char** narrow, WCHAR** wide);

// Zeroes a secret (through a path the optimiser keeps) and releases it; sets the pointer null.
void wipeAndFree(char** s);
void wipeAndFree(WCHAR** s);
// Releases and nulls.
void release(char** s);
void release(WCHAR** s);

size_t wideLength(const WCHAR* s);

// Owners for memory the platform hands out. Releasing keeps the thread's last error, so an owner
// going out of scope never changes the number a caller is about to read.
template <auto Free>
struct Release {
  template <class T>
  void operator()(T* p) const {
    if (!p) return;
    const DWORD saved = GetLastError();
    Free(p);
    SetLastError(saved);
  }
};
template <class T>
using LocalOwner = std::unique_ptr<T, Release<&LocalFree>>;
template <class T>
using GlobalOwner = std::unique_ptr<T, Release<&GlobalFree>>;

// Runs its function when the scope ends, on every path out of it.
template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

using WideOwner = std::unique_ptr<WCHAR[]>;
using NarrowOwner = std::unique_ptr<char[]>;

}  // namespace winsecurity::common
