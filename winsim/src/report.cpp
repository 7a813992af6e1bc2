// The exit report: when WINSIM_REPORT names a file, the process writes there, as it exits, what it
// still holds of the simulated platform (open handles, live allocations per allocator, share
// connections) and its own peak resident memory. A soak run or a child under test is judged by these
// numbers from outside.
#include <cstdio>
#include <cstdlib>

#include "state.h"

namespace winsim::detail {
namespace {

// The process's own peak resident set in KiB (VmHWM), or -1. Unlike the parent's wait4 figure it
// counts only this program's address space, never the spawner's it was started from.
long peakResidentKiB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

void writeReport(const char* path) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return;
  const Allocations a = liveAllocations();
  std::fprintf(f, "handles %zu\nlocal %zu\nglobal %zu\nnetApi %zu\nlsa %zu\nallocations %zu\nconnections %zu\n",
               openHandles(), a.local, a.global, a.netApi, a.lsa, a.total(), connectionCount());
  std::fprintf(f, "peakRssKiB %ld\n", peakResidentKiB());
  std::fclose(f);
}

// Written by a static destructor, so it runs after main returns (or exit is called) and after
// everything the program itself destroyed on the way out. The state is never destroyed, so it can
// still be read here. The thread's impersonation is not reported: thread-local objects are gone
// by the time static destructors run.
struct ExitReport {
  ~ExitReport() {
    const char* path = std::getenv("WINSIM_REPORT");
    if (path && *path) writeReport(path);
  }
} exitReport;

}  // namespace
}  // namespace winsim::detail
