// WinSecurity: may the user read a file?
#include "WinSecurity.h"
#include "common.h"

namespace winsecurity {

int WinSecurity::accessCheck(const char* path) {
  (void)path;
  return 0;
}

int WinSecurity::checkURI(const char* path) {
  (void)path;
  return 0;
}

}  // namespace winsecurity
