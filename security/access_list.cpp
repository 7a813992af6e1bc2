// WinSecurity: the accounts a file's DACL names with read-related rights.
#include "WinSecurity.h"
#include "common.h"

namespace winsecurity {

int WinSecurity::getAccessList(const char* path, char** out) {
  (void)path;
  (void)out;
  return 0;
}

int WinSecurity::getUsersForFile(const char* path, BufferList& list) {
  (void)path;
  (void)list;
  return 0;
}

}  // namespace winsecurity
