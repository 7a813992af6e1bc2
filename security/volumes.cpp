// WinSecurity: volume and drive queries.
#include "WinSecurity.h"
#include "common.h"

namespace winsecurity {

int WinSecurity::isNTFS(const char* path) {
  (void)path;
  return 0;
}

int WinSecurity::isMappedDrive(const char* path) {
  (void)path;
  return 0;
}

}  // namespace winsecurity
