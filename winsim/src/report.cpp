// The exit report: when WINSIM_REPORT names a file, the process writes there, as it exits, what it
// still holds of the simulated platform (open handles, live allocations per allocator, share
// connections). A soak run or a child under test is judged by these numbers from outside.
#include <cstdio>
#include <cstdlib>

#include "state.h"

namespace winsim::detail {
namespace {

void writeReport(const char* path) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return;
  const Allocations a = liveAllocations();
  std::fprintf(f, "handles %zu\nlocal %zu\nglobal %zu\nnetApi %zu\nlsa %zu\nallocations %zu\nconnections %zu\n",
               openHandles(), a.local, a.global, a.netApi, a.lsa, a.total(), connectionCount());
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
