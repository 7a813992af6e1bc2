// WinSecurity: the enabled groups of a logged-on user.
#include <algorithm>
#include <cstring>

#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

namespace {

// Capacity of each name and domain buffer of one lookup, in UTF-16 characters.
constexpr DWORD kNameCapacity = 256;

}  // namespace

int WinSecurity::getGroupList(char** out) {
  // Every path ends the logon and the impersonation; after a failed logon nothing is held, and
  // logging off without a token calls nothing.
  const common::ScopeExit logOff([this] { logOffVelUser(); });
  if (wUser) {
    const int logon = logOnVelUser();
    if (logon != 1) return logon;
    // A refused impersonation leaves the primary token in place; its groups are listed instead.
    impersonateUse();
  }
  if (token == INVALID_HANDLE_VALUE) return 0;
  BufferList list;
  if (getGroupsForUser(list) != 1) return 0;
  *out = list.createMemBlock();
  return 1;
}

int WinSecurity::getGroupsForUser(BufferList& list) {
  // The size query always fails; 122 with the needed size is the expected answer.
  DWORD needed = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
  lastErrorNumber = static_cast<int>(GetLastError());
  if (lastErrorNumber != ERROR_INSUFFICIENT_BUFFER) {
    recordError("WinSecurity::getGroupsForUser", "GetTokenInformation", lastErrorNumber);
    return 0;
  }
  // Not tested: a failed allocation shows as the read below failing ("GetTokenInformation2").
  common::GlobalOwner<void> buffer(GlobalAlloc(GMEM_FIXED, needed));

  if (!GetTokenInformation(token, TokenGroups, buffer.get(), needed, &needed)) {
    const DWORD error = GetLastError();
    buffer.reset();
    recordFailure("WinSecurity::getGroupsForUser", "GetTokenInformation2", error);
    return 0;
  }

  const auto* groups = static_cast<const TOKEN_GROUPS*>(buffer.get());
  const SID_AND_ATTRIBUTES* entries = groups->Groups;
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    // Deny-only and disabled groups grant nothing, so they are not the user's groups here.
    if (!(entries[i].Attributes & SE_GROUP_ENABLED)) continue;

    WCHAR name[kNameCapacity];
    WCHAR domainName[kNameCapacity];
    DWORD nameLength = kNameCapacity;
    DWORD domainLength = kNameCapacity;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, entries[i].Sid, name, &nameLength, domainName, &domainLength, &use)) {
      const DWORD error = GetLastError();
      // SIDs without a name, such as the logon SID, are not worth a record.
      if (error != ERROR_NONE_MAPPED) recordFailure("WinSecurity::getGroupsForUser", "LookupAccountSid", error);
      continue;
    }

    // The lengths come back without terminators; never trust them past the buffers.
    const size_t n = std::min<size_t>(nameLength, kNameCapacity - 1);
    const size_t d = std::min<size_t>(domainLength, kNameCapacity - 1);
    common::WideOwner joined;
    if (d > 0) {
      joined.reset(new WCHAR[n + d + 2]());
      std::memcpy(joined.get(), domainName, d * sizeof(WCHAR));
      joined[d] = '\\';
      std::memcpy(joined.get() + d + 1, name, n * sizeof(WCHAR));
    } else {
      // Well-known groups without an authority (Everyone, LOCAL) have an empty domain.
      joined.reset(new WCHAR[n + 1]());
      std::memcpy(joined.get(), name, n * sizeof(WCHAR));
    }
    char* utf8 = nullptr;
    common::NarrowOwner owned(wideToUtf8(joined.get(), &utf8));
    list.addString(owned.get());
  }
  return 1;
}

}  // namespace winsecurity
