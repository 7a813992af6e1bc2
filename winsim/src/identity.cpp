// The workstation and the local security authority: NetWkstaGetInfo, NetApiBufferFree and the LSA
// policy calls.
#include "state.h"

using namespace winsim::detail;

extern "C" {

NET_API_STATUS WINAPI NetWkstaGetInfo(LMSTR, DWORD, LPBYTE*) { return 120; }
NET_API_STATUS WINAPI NetApiBufferFree(LPVOID) { return 0; }
NTSTATUS NTAPI LsaOpenPolicy(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK, PLSA_HANDLE) {
  return static_cast<NTSTATUS>(0xC0000002);
}
NTSTATUS NTAPI LsaQueryInformationPolicy(LSA_HANDLE, POLICY_INFORMATION_CLASS, PVOID*) {
  return static_cast<NTSTATUS>(0xC0000002);
}
NTSTATUS NTAPI LsaFreeMemory(PVOID) { return 0; }
NTSTATUS NTAPI LsaClose(LSA_HANDLE) { return 0; }
ULONG NTAPI LsaNtStatusToWinError(NTSTATUS) { return 317; }

}  // extern "C"
