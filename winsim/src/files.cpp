// File security: self-relative descriptors built from the machine's files, GetFileSecurityA,
// GetNamedSecurityInfoW, the ACL calls, MapGenericMask and AccessCheck.
#include "state.h"

using namespace winsim::detail;

extern "C" {

BOOL WINAPI GetFileSecurityA(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD) {
  SetLastError(120);
  return FALSE;
}
void WINAPI MapGenericMask(PDWORD, PGENERIC_MAPPING) {}
BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD, LPDWORD,
                        LPBOOL) {
  SetLastError(120);
  return FALSE;
}
DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                   PSECURITY_DESCRIPTOR*) {
  return 120;
}
BOOL WINAPI GetAclInformation(PACL, LPVOID, DWORD, ACL_INFORMATION_CLASS) {
  SetLastError(120);
  return FALSE;
}
BOOL WINAPI GetAce(PACL, DWORD, LPVOID*) {
  SetLastError(120);
  return FALSE;
}

}  // extern "C"
