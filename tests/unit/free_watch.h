// The allocation watch behind the hygiene tests: while it is armed, every block released is searched,
// just before it goes back to the allocator, for a password in its UTF-8 and UTF-16LE forms, and a
// hit is charged to whoever released the block: winsim (the simulated platform keeps copies of what
// it was called with, lastLogonArgs and lastConnectArgs, and compares passwords through temporaries;
// that is the test platform, not product, so its hits are counted but allowed) or anyone else.
//
// How the frees are seen:
//  - plain builds replace the global operator new and delete (every form) in the test binary that
//    links free_watch.cpp; ELF interposition routes talvane's, winsim's and libstdc++'s allocations
//    through them. Each block carries a small header with its requested size and form, so the
//    search covers exactly the bytes the owner had, and a delete of the wrong form aborts;
//  - AddressSanitizer builds keep ASan's own new/delete (its mismatch and use-after-free checks
//    matter more) and watch through its free hook instead, which also covers malloc'd blocks;
//  - under valgrind the operators only forward to valgrind's allocator, which takes over the shared
//    libraries' allocations whatever the binary defines; the watch is blind there (blind()), so its
//    tests skip (they run in the plain and the sanitizer builds).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

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

// The password's byte forms as they can sit in memory: UTF-8 and UTF-16LE.
std::vector<std::string> forms(const std::string& utf8);

// Runs `work` with the watch armed for `password`; `findings` gets what the frees showed.
void watchFrees(const std::string& password, Findings* findings, const std::function<void()>& work);

// True where the watch cannot see the shared libraries' frees (under valgrind).
bool blind();

}  // namespace hygiene
