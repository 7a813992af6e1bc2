// Volumes and drives: GetVolumeInformationW and GetDriveTypeW.
#include "state.h"

using namespace winsim::detail;

extern "C" {

BOOL WINAPI GetVolumeInformationW(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD) {
  SetLastError(120);
  return FALSE;
}
UINT WINAPI GetDriveTypeW(LPCWSTR) { return DRIVE_NO_ROOT_DIR; }

}  // extern "C"
