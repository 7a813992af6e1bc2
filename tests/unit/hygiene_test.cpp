// Credential hygiene: no block that the product frees still holds a password.
//
// Every block released while a watch is armed is searched, just before it goes back to the
// allocator, for the watched password in its UTF-8 and UTF-16LE forms. A hit is attributed to
// whoever released the block: winsim (the simulated platform keeps copies of what it was called
// with, lastLogonArgs and lastConnectArgs, and compares passwords through temporaries; that is the
// test platform, not product, so its hits are counted but allowed) or anyone else (talvane, the
// request loop: a failure).
//
// How the frees are seen:
//  - plain builds replace the global operator new and delete (every form) in this test binary;
//    ELF interposition routes talvane's, winsim's and libstdc++'s allocations through them. Each
//    block carries a small header with its requested size and form, so the search covers exactly
//    the bytes the owner had, and a delete of the wrong form (scalar/array) aborts;
//  - AddressSanitizer builds keep ASan's own new/delete (its mismatch and use-after-free checks
//    matter more) and watch through its free hook instead, which also covers malloc'd blocks;
//  - under valgrind the operators only forward to valgrind's allocator, which takes over the shared
//    libraries' allocations whatever this binary defines; the watch would be blind there, so its
//    tests skip (they run in the plain and the sanitizer builds).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#include <execinfo.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "request/MessageHandler.h"
#include "security/SecureZero.h"
#include "network/NetConnection.h"
#include "security/WinSecurity.h"
#include "support.h"

#if defined(__SANITIZE_ADDRESS__)
#define HYGIENE_ASAN_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HYGIENE_ASAN_HOOK 1
#endif
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

namespace hygiene {

// What one armed window found. Filled from inside the allocator: fixed storage only.
struct Findings {
  std::atomic<long> blocksSearched{0};
  std::atomic<int> productHits{0};
  std::atomic<int> platformHits{0};
  // Where the first product hits were released: object file, offset and symbol, for addr2line.
  static constexpr int kKept = 4;
  char where[kKept][512] = {};
};

struct Watch {
  std::vector<std::string> patterns;  // byte strings to look for
  Findings* findings = nullptr;
};

std::atomic<const Watch*> g_watch{nullptr};
// Set while the scanner itself runs, so that nothing it calls is scanned again.
thread_local bool t_inScanner = false;

bool contains(const unsigned char* block, size_t size, const std::string& pattern) {
  const size_t n = pattern.size();
  if (n == 0 || size < n) return false;
  const auto first = static_cast<unsigned char>(pattern[0]);
  for (size_t i = 0; i + n <= size; ++i)
    if (block[i] == first && std::memcmp(block + i, pattern.data(), n) == 0) return true;
  return false;
}

enum class Owner { Runtime, Platform, Product };

Owner ownerOf(void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return Owner::Product;
  const char* name = std::strrchr(info.dli_fname, '/');
  name = name ? name + 1 : info.dli_fname;
  static const char* const runtime[] = {"libstdc++", "libc.so", "libc-", "libgcc_s", "libasan",
                                        "libubsan",  "ld-linux", "libm.so"};
  for (const char* prefix : runtime)
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return Owner::Runtime;
  if (std::strncmp(name, "libwinsim", 9) == 0) return Owner::Platform;
  return Owner::Product;
}

void describe(void* address, char* out, size_t size) {
  Dl_info info{};
  if (dladdr(address, &info) && info.dli_fname) {
    std::snprintf(out, size, "%s+0x%zx (%s)", info.dli_fname,
                  static_cast<size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_fbase)),
                  info.dli_sname ? info.dli_sname : "no exported symbol; use addr2line");
  } else {
    std::snprintf(out, size, "%p", address);
  }
}

// Who released the block: the first frame from `start` on that is not the C or C++ runtime (or
// the sanitizer's). Frames are return addresses, so they point just past each call.
void* releaser(void* const* frames, int count, int start) {
  for (int i = start; i < count; ++i)
    if (ownerOf(frames[i]) != Owner::Runtime) return frames[i];
  return nullptr;
}

void record(void* by) {
  const Watch* watch = g_watch.load(std::memory_order_relaxed);
  if (by && ownerOf(by) == Owner::Platform) {
    ++watch->findings->platformHits;
    return;
  }
  const int k = watch->findings->productHits++;
  if (k < Findings::kKept) describe(by, watch->findings->where[k], sizeof watch->findings->where[k]);
}

// True when the block holds a watched pattern.
bool holdsSecret(const void* block, size_t size) {
  const Watch* watch = g_watch.load(std::memory_order_relaxed);
  ++watch->findings->blocksSearched;
  for (const std::string& p : watch->patterns)
    if (contains(static_cast<const unsigned char*>(block), size, p)) return true;
  return false;
}

#ifndef HYGIENE_ASAN_HOOK

constexpr uint32_t kScalar = 0x5ca1a7, kArray = 0xa7747;

// Under valgrind the allocator is valgrind's: it tracks every block and checks the forms itself,
// and it routes the shared libraries' allocations to its own operator new whatever this binary
// defines. So there each operator only forwards to the next definition (and the watch's tests
// skip: they would see none of talvane's frees).
struct Forward {
  void* (*scalar)(size_t);
  void* (*array)(size_t);
  void* (*scalarAligned)(size_t, std::align_val_t);
  void* (*arrayAligned)(size_t, std::align_val_t);
  void (*freeScalar)(void*);
  void (*freeArray)(void*);
  void (*freeScalarAligned)(void*, std::align_val_t);
  void (*freeArrayAligned)(void*, std::align_val_t);
};

template <class F>
F next(const char* symbol) {
  void* f = dlsym(RTLD_NEXT, symbol);
  if (!f) {
    std::fprintf(stderr, "hygiene: no %s after this binary\n", symbol);
    std::abort();
  }
  return reinterpret_cast<F>(f);
}

const Forward* forward() {
#ifdef RUNNING_ON_VALGRIND
  static const Forward* f = RUNNING_ON_VALGRIND
      ? new (std::malloc(sizeof(Forward))) Forward{
            next<void* (*)(size_t)>("_Znwm"), next<void* (*)(size_t)>("_Znam"),
            next<void* (*)(size_t, std::align_val_t)>("_ZnwmSt11align_val_t"),
            next<void* (*)(size_t, std::align_val_t)>("_ZnamSt11align_val_t"),
            next<void (*)(void*)>("_ZdlPv"), next<void (*)(void*)>("_ZdaPv"),
            next<void (*)(void*, std::align_val_t)>("_ZdlPvSt11align_val_t"),
            next<void (*)(void*, std::align_val_t)>("_ZdaPvSt11align_val_t")}
      : nullptr;
  return f;
#else
  return nullptr;
#endif
}

// Natively every block carries, in the 16 bytes before the caller's pointer, its requested size,
// its form (new or new[]) and, for over-aligned blocks, the distance back to what the C allocator
// returned. The watch then searches exactly the bytes the owner had, and a delete of the wrong form
// is caught here as the sanitizer would catch it.
struct Header {
  size_t size;
  uint32_t form;    // kScalar or kArray
  uint32_t offset;  // from the start of the allocation to the caller's pointer
};
static_assert(sizeof(Header) == 16, "header keeps the default new alignment");

Header* headerOf(void* p) { return static_cast<Header*>(p) - 1; }

// Null when the memory cannot be had and no new-handler is installed.
void* allocate(size_t size, size_t align, uint32_t form) {
  const bool aligned = align > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
  if (const Forward* f = forward()) {
    try {
      if (aligned) return (form == kArray ? f->arrayAligned : f->scalarAligned)(size, std::align_val_t(align));
      return (form == kArray ? f->array : f->scalar)(size);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  const size_t offset = aligned ? align : sizeof(Header);
  for (;;) {
    void* base = nullptr;
    if (size <= SIZE_MAX - offset - align) {
      if (!aligned) {
        base = std::malloc(offset + size);
      } else {
        const size_t total = (offset + size + align - 1) / align * align;
        base = std::aligned_alloc(align, total);
      }
    }
    if (base) {
      void* p = static_cast<char*>(base) + offset;
      *headerOf(p) = Header{size, form, static_cast<uint32_t>(offset)};
      return p;
    }
    std::new_handler handler = std::get_new_handler();
    if (!handler) return nullptr;
    handler();
  }
}

void* allocateOrThrow(size_t size, size_t align, uint32_t form) {
  if (void* p = allocate(size, align, form)) return p;
  throw std::bad_alloc();
}

void watch(void* p, size_t size, void* caller) {
  if (!g_watch.load(std::memory_order_relaxed) || t_inScanner) return;
  t_inScanner = true;
  if (holdsSecret(p, size)) {
    void* by = caller;
    // Released inside the C++ runtime (a std::string destructor that was not inlined, say): the
    // frames above it name the real owner.
    if (ownerOf(caller) == Owner::Runtime) {
      void* frames[64];
      const int n = backtrace(frames, 64);
      int at = 0;
      while (at < n && frames[at] != caller) ++at;
      by = releaser(frames, n, at < n ? at : 0);
    }
    record(by);
  }
  t_inScanner = false;
}

// `align`: the alignment an over-aligned delete was given, 0 for the others.
__attribute__((noinline)) void release(void* p, uint32_t form, size_t align, void* caller) {
  if (!p) return;
  if (const Forward* f = forward()) {
    if (align)
      (form == kArray ? f->freeArrayAligned : f->freeScalarAligned)(p, std::align_val_t(align));
    else
      (form == kArray ? f->freeArray : f->freeScalar)(p);
    return;
  }
  Header* h = headerOf(p);
  if (h->form != form) {
    std::fprintf(stderr, "hygiene: %s of a block allocated with %s\n", form == kArray ? "delete[]" : "delete",
                 h->form == kArray ? "new[]" : h->form == kScalar ? "new" : "something else");
    std::abort();
  }
  watch(p, h->size, caller);
  std::free(static_cast<char*>(p) - h->offset);
}

#define CALLER __builtin_return_address(0)

#else  // AddressSanitizer: its free hook sees every block just before ASan takes it.

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* p);

void freeHook(const volatile void* block) {
  if (!block || !g_watch.load(std::memory_order_relaxed) || t_inScanner) return;
  t_inScanner = true;
  const void* p = const_cast<const void*>(block);
  if (holdsSecret(p, __sanitizer_get_allocated_size(block))) {
    void* frames[64];
    const int n = backtrace(frames, 64);
    // ASan's own backtrace interceptor may come first, then this hook, then ASan's deallocator,
    // then whoever called free or delete.
    int at = 0;
    while (at < n && ownerOf(frames[at]) == Owner::Runtime) ++at;
    while (at < n && ownerOf(frames[at]) != Owner::Runtime) ++at;
    record(releaser(frames, n, at));
  }
  t_inScanner = false;
}

void mallocHook(const volatile void*, size_t) {}

// ASan takes a pair or nothing.
const bool g_hookInstalled = __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook) != 0;

// ASan's allocator is never forwarded to valgrind's (the two do not run together).
const void* forward() { return nullptr; }

#endif

// The password's byte forms as they can sit in memory: UTF-8 (narrow copies, request bodies,
// parameter maps) and UTF-16LE (the wide copies handed to Windows).
std::vector<std::string> forms(const std::string& utf8) {
  std::string wide;
  auto put = [&wide](uint32_t unit) {
    wide.push_back(static_cast<char>(unit & 0xFF));
    wide.push_back(static_cast<char>(unit >> 8));
  };
  // The test's own passwords are valid UTF-8.
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<size_t>(extra) + 1;
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return {utf8, wide};
}

// Runs `work` with the watch armed for `password`, and returns what the frees showed.
template <class Work>
void watchFrees(const std::string& password, Findings* findings, Work work) {
  static bool primed = false;
  if (!primed) {
    // backtrace() loads its unwinder on first use; let that happen outside any watch.
    void* frames[4];
    backtrace(frames, 4);
    primed = true;
  }
#ifdef HYGIENE_ASAN_HOOK
  ASSERT_TRUE(g_hookInstalled) << "ASan refused the free hook";
#endif
  Watch watch;
  watch.patterns = forms(password);
  watch.findings = findings;
  g_watch.store(&watch);
  work();
  g_watch.store(nullptr);
}

}  // namespace hygiene

#ifndef HYGIENE_ASAN_HOOK
using hygiene::allocateOrThrow;
using hygiene::kArray;
using hygiene::kScalar;
using hygiene::release;
constexpr size_t kPlain = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
// The alignment an aligned delete passes on: 0 when it is no more than plain new gives.
constexpr size_t overAligned(std::align_val_t a) { return static_cast<size_t>(a) > kPlain ? static_cast<size_t>(a) : 0; }

void* operator new(size_t n) { return allocateOrThrow(n, kPlain, kScalar); }
void* operator new[](size_t n) { return allocateOrThrow(n, kPlain, kArray); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return hygiene::allocate(n, kPlain, kScalar); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return hygiene::allocate(n, kPlain, kArray); }
void* operator new(size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<size_t>(a), kScalar); }
void* operator new[](size_t n, std::align_val_t a) { return allocateOrThrow(n, static_cast<size_t>(a), kArray); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return hygiene::allocate(n, static_cast<size_t>(a), kScalar);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return hygiene::allocate(n, static_cast<size_t>(a), kArray);
}

void operator delete(void* p) noexcept { release(p, kScalar, 0, CALLER); }
void operator delete[](void* p) noexcept { release(p, kArray, 0, CALLER); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p, kScalar, 0, CALLER); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p, kArray, 0, CALLER); }
void operator delete(void* p, size_t) noexcept { release(p, kScalar, 0, CALLER); }
void operator delete[](void* p, size_t) noexcept { release(p, kArray, 0, CALLER); }
void operator delete(void* p, std::align_val_t a) noexcept { release(p, kScalar, overAligned(a), CALLER); }
void operator delete[](void* p, std::align_val_t a) noexcept { release(p, kArray, overAligned(a), CALLER); }
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  release(p, kScalar, overAligned(a), CALLER);
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
  release(p, kArray, overAligned(a), CALLER);
}
void operator delete(void* p, size_t, std::align_val_t a) noexcept { release(p, kScalar, overAligned(a), CALLER); }
void operator delete[](void* p, size_t, std::align_val_t a) noexcept { release(p, kArray, overAligned(a), CALLER); }
#endif

namespace {

using crawler_network::NetConnection;
using hygiene::Findings;
using hygiene::watchFrees;
using winsecurity::MessageHandler;
using winsecurity::WinSecurity;

// One password that fits in a std::string's own storage, one that needs the heap and whose UTF-8
// and UTF-16 forms differ.
const std::string kShort = "Secret1!";
const std::string kLong = "P\xC3\xA4sswort f\xC3\xBCr den B\xC3\xBCroserver \xE2\x82\xAC" "42";
const char kShare[] = "\\\\fs01\\docs";
const char kLongShare[] = "\\\\fs01\\long";
const char kFile[] = "C:\\data\\report.txt";

winsim::Machine hygieneMachine() {
  winsim::Machine m = testsupport::machineWithAlice();  // alice / Secret1!
  winsim::Account bob;
  bob.name = "bob";
  bob.sid = "S-1-5-21-1-2-3-1002";
  bob.password = kLong;
  bob.groups = {{"S-1-1-0"}, {"S-1-5-32-545"}};
  m.accounts.push_back(bob);
  winsim::File file;
  file.path = kFile;
  file.owner = "S-1-5-32-544";
  file.group = "S-1-5-32-544";
  file.dacl = std::vector<winsim::Ace>{{winsim::Ace::Allow, "S-1-1-0", 0x1200a9, 0}};
  m.files.push_back(file);
  m.shares.push_back(winsim::Share{kShare, std::string("alice"), kShort, "NTFS"});
  m.shares.push_back(winsim::Share{kLongShare, std::string("bob"), kLong, "NTFS"});
  return m;
}

std::string describe(const Findings& f) {
  std::string out = std::to_string(f.productHits.load()) + " product block(s) freed holding the password";
  for (int i = 0; i < std::min(f.productHits.load(), Findings::kKept); ++i) out += std::string("\n  released at ") + f.where[i];
  return out;
}

class Hygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    // Valgrind takes over operator new and delete for the shared libraries whatever this binary
    // defines, so the watch would see none of talvane's frees. It runs natively and under ASan.
    if (hygiene::forward()) GTEST_SKIP() << "the allocator is valgrind's; the watch runs natively and under ASan";
    winsim::install(hygieneMachine());
  }
  void TearDown() override {
    RevertToSelf();
    winsim::install(winsim::defaultMachine());
  }
};

// The watch itself: a copy left in a freed block is found in either form and charged to the
// product, a wiped copy is not, and winsim's own retained copies are charged to the platform.
TEST_F(Hygiene, WatchFindsUnwipedCopiesAndTellsPlatformFromProduct) {
  const std::vector<std::string> forms = hygiene::forms(kLong);
  ASSERT_EQ(forms.size(), 2u);
  ASSERT_NE(forms[0], forms[1]);
  for (const std::string& form : forms) {
    SCOPED_TRACE(form.size());
    Findings leaked, wiped;
    watchFrees(kLong, &leaked, [&] {
      char* copy = new char[form.size() + 7];
      std::memcpy(copy + 3, form.data(), form.size());
      delete[] copy;
    });
    EXPECT_EQ(leaked.productHits, 1);
    watchFrees(kLong, &wiped, [&] {
      auto* copy = new std::string(form);
      winsecurity::secureZero(*copy);
      delete copy;
    });
    EXPECT_EQ(wiped.productHits, 0);
    EXPECT_GT(wiped.blocksSearched, 0);
  }

  // winsim keeps what LogonUserW was given and drops the previous copy on the next call.
  const std::vector<std::string> wide = hygiene::forms(kLong);
  std::u16string password;
  for (size_t i = 0; i + 1 < wide[1].size(); i += 2)
    password.push_back(static_cast<char16_t>(static_cast<unsigned char>(wide[1][i]) |
                                             static_cast<unsigned char>(wide[1][i + 1]) << 8));
  Findings platform;
  watchFrees(kLong, &platform, [&] {
    for (int i = 0; i < 2; ++i) {
      HANDLE token = nullptr;
      if (LogonUserW(u"bob", nullptr, password.c_str(), LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token))
        CloseHandle(token);
    }
  });
  EXPECT_GT(platform.platformHits, 0);
  EXPECT_EQ(platform.productHits, 0) << describe(platform);
}

// The library's credential-bearing operations, each with its account's own password (it succeeds)
// and with the other one (it is refused): both paths must leave no copy behind.
TEST_F(Hygiene, LibraryOperationsLeaveNoPasswordInFreedMemory) {
  struct Case {
    const char* name;
    const std::string& password;  // the account's own
    std::function<int(const char* password)> run;
  };
  const Case cases[] = {
      {"validateUser alice", kShort, [](const char* pw) { return WinSecurity("alice", pw, "").validateUser(); }},
      {"validateUser bob", kLong, [](const char* pw) { return WinSecurity("bob", pw, "TESTHOST").validateUser(); }},
      {"getGroupList bob", kLong,
       [](const char* pw) {
         WinSecurity s("bob", pw, "");
         char* block = nullptr;
         const int result = s.getGroupList(&block);
         s.freeMemblk(block);
         return result;
       }},
      {"accessCheck bob", kLong, [](const char* pw) { return WinSecurity("bob", pw, nullptr).accessCheck(kFile); }},
      {"connect bob", kLong, [](const char* pw) { return NetConnection("bob", pw, kLongShare).connect(); }},
      {"connect alice", kShort, [](const char* pw) { return NetConnection("alice", pw, kShare).connect(); }},
  };
  for (const Case& c : cases) {
    for (const std::string& password : {kShort, kLong}) {
      const bool own = password == c.password;
      SCOPED_TRACE(std::string(c.name) + " with " + (own ? "its own" : "another") + " password");
      winsim::install(hygieneMachine());
      Findings found;
      int result = -2;
      watchFrees(password, &found, [&] { result = c.run(password.c_str()); });
      EXPECT_EQ(result, own ? 1 : 0);
      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
      EXPECT_EQ(winsim::openHandles(), 0u);
      EXPECT_EQ(winsim::liveAllocations().total(), 0u);
      EXPECT_FALSE(winsim::threadImpersonating());
    }
  }
}

// The request loop, in-process over memory streams: requests carrying passwords for every
// credential command, and the hostile shapes a peer can send them in.
TEST_F(Hygiene, RequestLoopLeavesNoPasswordInFreedMemory) {
  auto message = [&](int32_t command, const std::string& body, int32_t announced = -1) {
    return testsupport::header(1, command, announced < 0 ? static_cast<int32_t>(body.size()) : announced, 7, 9) +
           body;
  };
  using Pairs = morvik::Params;
  // A count other than the pairs' own, when given, is written over the honest one.
  auto body = [&](const Pairs& pairs, int32_t count = -1) {
    std::string b = morvik::encodeBody(pairs);
    if (count >= 0) b.replace(0, 4, testsupport::le(count));
    return b;
  };

  for (const std::string& password : {kShort, kLong}) {
    SCOPED_TRACE(password == kShort ? "short password" : "long password");
    const std::string user = password == kShort ? "alice" : "bob";
    const std::string share = password == kShort ? kShare : kLongShare;
    std::string input;
    std::vector<int32_t> results;  // of the answered requests, in order
    auto add = [&](int32_t command, const std::string& b, bool answered, int32_t result = 0) {
      input += message(command, b);
      if (answered) results.push_back(result);
    };
    const Pairs logon{{"user", user}, {"password", password}, {"domain", ""}};
    add(1, body(logon), true, 1);
    add(2, body(logon), true, 1);
    add(3, body({{"user", user}, {"password", password}, {"filepath", share}}), true, 1);
    add(9, body({{"filepath", share}}), true, 1);
    add(5, body({{"user", user}, {"password", password}, {"domain", "X"}, {"filepath", kFile}}), true, 1);
    // Wrong password: the refusal's error copy travels back; the secret must not.
    add(1, body({{"user", user}, {"password", password + "x"}}), true);
    // A body over the loop's stack buffer, so it is read into the heap.
    add(1, body({{"user", user}, {"password", password}, {"padding", std::string(2000, 'p')}}), true, 1);
    // The key given twice: the second value is dropped, never stored (so the logon is refused).
    add(1, body({{"password", "first"}, {"password", password}, {"user", user}}), true);
    // No handler: decoded, dropped without a reply.
    add(42, body(logon), false);
    // A count that promises more pairs than the body holds (the pairs there are served), and a
    // value length past the end (the password is lost with it).
    add(1, body(logon, 9), true, 1);
    {
      std::string b = body({{"user", user}, {"password", password}});
      std::string cut = b.substr(0, b.size() - 2);
      add(2, cut, true);
    }
    // Last: a message whose body ends early, password and all.
    input += message(1, body(logon), static_cast<int32_t>(body(logon).size()) + 50);

    // Both forms of the loop: over stdio streams, and over bare descriptors (as the process runs),
    // where the loop's own read-ahead buffer must not keep what it has handed on.
    for (const bool descriptors : {false, true}) {
      SCOPED_TRACE(descriptors ? "descriptors" : "streams");
      std::string replies;
      winsim::install(hygieneMachine());
      Findings found;
      if (descriptors) {
        const int in = memfd_create("requests", 0);
        const int out = memfd_create("replies", 0);
        ASSERT_TRUE(in >= 0 && out >= 0);
        ASSERT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
        lseek(in, 0, SEEK_SET);
        watchFrees(password, &found, [&] { MessageHandler().waitMessage(in, out); });
        replies.resize(static_cast<size_t>(lseek(out, 0, SEEK_CUR)));
        ASSERT_EQ(pread(out, replies.data(), replies.size(), 0), static_cast<ssize_t>(replies.size()));
        close(in);
        close(out);
      } else {
        std::FILE* in = fmemopen(input.data(), input.size(), "r");
        char* outBuffer = nullptr;
        size_t outSize = 0;
        std::FILE* out = open_memstream(&outBuffer, &outSize);
        ASSERT_TRUE(in && out);
        watchFrees(password, &found, [&] { MessageHandler().waitMessage(in, out); });
        std::fclose(in);
        std::fclose(out);
        replies.assign(outBuffer, outSize);
        std::free(outBuffer);
      }

      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
      // Every answered request got its reply with the result it should have, and no reply carries the
      // secret.
      std::vector<int32_t> got;
      for (const morvik::Reply& r : testsupport::replies(replies)) got.push_back(r.result);
      EXPECT_EQ(got, results);
      for (const std::string& form : hygiene::forms(password)) EXPECT_EQ(replies.find(form), std::string::npos);
      testsupport::expectClean();
    }
  }
}

}  // namespace

// The client library: the request it encodes, the copies its typed and pipelined calls make of
// the parameters, and its ways out of a failed call, against a server that answers from a file.
TEST_F(Hygiene, ClientLeavesNoPasswordInFreedMemory) {
  const std::string yes = morvik::encodeHeader({morvik::kReply, 1, 1, 0, 2, 1});
  const std::string refused = morvik::encodeHeader({morvik::kReply, 1, 0, 0, 2, 1});
  std::string record = morvik::encodeBody({{"WinSecurity::logOnVelUser", "LogonUser"}, {"1326", "refused\r\n"}});
  record.replace(0, 4, testsupport::le(4));  // four strings, not two pairs
  const std::string failed = morvik::encodeHeader({morvik::kReply, 1, 0, static_cast<int32_t>(record.size()), 2, 1}) + record;
  auto server = [](const std::string& replies) {
    if (replies.empty()) return std::vector<std::string>{"/bin/sh", "-c", "exit 0"};
    const std::string file = testing::TempDir() + "hygiene_client_replies.bin";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(replies.data(), 1, replies.size(), f);
    std::fclose(f);
    return std::vector<std::string>{"/bin/sh", "-c", "cat '" + file + "'; exec cat >/dev/null"};
  };
  for (const std::string& password : {kShort, kLong}) {
    SCOPED_TRACE(password == kShort ? "short password" : "long password");
    std::string many;
    std::vector<morvik::Request> requests;
    for (int i = 0; i < 300; ++i) {
      many += i % 2 ? yes : refused;
      requests.push_back({i % 2 ? 1 : 5, {{"user", "bob"}, {"password", password}, {"filepath", kFile}}});
    }
    const struct {
      const char* name;
      std::string replies;
      std::function<void(morvik::Client&)> run;
    } cases[] = {
        {"a typed call", yes, [&](morvik::Client& c) { c.validate("bob", password, "CORP"); }},
        {"a typed call that fails", failed,
         [&](morvik::Client& c) { EXPECT_THROW(c.validate("bob", password, "CORP"), morvik::CommandFailed); }},
        {"a raw request", yes, [&](morvik::Client& c) { c.request(5, requests.front().params); }},
        {"a pipeline through the writer thread", many,
         [&](morvik::Client& c) { EXPECT_EQ(c.requestAll(requests).size(), requests.size()); }},
        {"a server that stops before replying", "",
         [&](morvik::Client& c) { EXPECT_THROW(c.mayRead("bob", password, kFile), morvik::Error); }},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      Findings found;
      watchFrees(password, &found, [&] {
        morvik::Client client(server(c.replies));
        c.run(client);
      });
      EXPECT_GT(found.blocksSearched, 0);
      EXPECT_EQ(found.productHits, 0) << describe(found);
    }
  }
}
