// WinSecurity: may the user read a file?
#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

namespace {

// The file mapping without SYNCHRONIZE: GENERIC_READ then asks exactly for READ_CONTROL,
// FILE_READ_ATTRIBUTES, FILE_READ_EA and FILE_READ_DATA (0x20089).
constexpr ACCESS_MASK kReadMapping = 0x20089;
constexpr ACCESS_MASK kWriteMapping = 0x116;
constexpr ACCESS_MASK kExecuteMapping = 0x200A0;
constexpr ACCESS_MASK kAllMapping = 0x1F01FF;

constexpr SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

static_assert(sizeof(PRIVILEGE_SET) == 20, "room for a privilege set of one entry");

}  // namespace

int WinSecurity::accessCheck(const char* path) {
  // Every path ends the logon and the impersonation; after a failed logon nothing is held, and
  // logging off without a token calls nothing.
  const common::ScopeExit logOff([this] { logOffVelUser(); });
  int result = 0;
  if (user) {
    result = logOnVelUser();
    if (result != 1) return result;
    // Not tested: a failed impersonation leaves a primary token or none, and the access check
    // below refuses both with a record of its own.
    result = impersonateUse();
  }
  // No file was named, so no one may be said to read it.
  if (!path) return 0;
  if (token != INVALID_HANDLE_VALUE) result = checkURI(path);
  return result;
}

int WinSecurity::checkURI(const char* path) {
  DWORD needed = 0;
  // Only the size it reports is used: a failure here shows again in the second call.
  GetFileSecurityA(path, kOwnerGroupDacl, nullptr, 0, &needed);
  // Not tested: a failed allocation shows as the read below failing, with the record the crawler
  // gets for it.
  common::GlobalOwner<void> descriptor(GlobalAlloc(GMEM_FIXED, needed));
  if (!GetFileSecurityA(path, kOwnerGroupDacl, descriptor.get(), needed, &needed)) {
    recordFailure("WinSecurity::checkURI", "GetFileSecurity", GetLastError());
    return 0;
  }

  GENERIC_MAPPING mapping{kReadMapping, kWriteMapping, kExecuteMapping, kAllMapping};
  DWORD desired = GENERIC_READ;
  MapGenericMask(&desired, &mapping);

  PRIVILEGE_SET privileges{};
  DWORD privilegesLength = sizeof privileges;
  DWORD granted = 0;
  BOOL status = FALSE;
  if (!AccessCheck(descriptor.get(), token, desired, &mapping, &privileges, &privilegesLength, &granted, &status)) {
    recordFailure("WinSecurity::checkURI", "AccessCheck", GetLastError());
    return 0;
  }
  // A denial is a check that ran: it records nothing.
  return status ? 1 : 0;
}

}  // namespace winsecurity
