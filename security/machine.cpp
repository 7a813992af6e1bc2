// WinSecurity: the computer's name and the domain it belongs to.
#include "WinSecurity.h"
#include "common.h"

namespace winsecurity {

int WinSecurity::getComputerName(char** out) {
  (void)out;
  return -1;
}

int WinSecurity::getDomainName(char** out) {
  (void)out;
  return -1;
}

int WinSecurity::getMachineInfo(BufferList& list, int which) {
  (void)list;
  (void)which;
  return -1;
}

int WinSecurity::isWorkgroup() { return 0; }

}  // namespace winsecurity
