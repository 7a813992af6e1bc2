// WinSecurity: the enabled groups of a logged-on user.
#include "WinSecurity.h"
#include "common.h"

namespace winsecurity {

int WinSecurity::getGroupList(char** out) {
  (void)out;
  return 0;
}

int WinSecurity::getGroupsForUser(BufferList& list) {
  (void)list;
  return 0;
}

}  // namespace winsecurity
