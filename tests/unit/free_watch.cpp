// The allocation watch of free_watch.h: the replaced operators new and delete (or ASan's free
// hook), the search of each freed block, and the attribution of a hit.
#include "free_watch.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

void watchFrees(const std::string& password, Findings* findings, const std::function<void()>& work) {
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

bool blind() { return forward() != nullptr; }

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
