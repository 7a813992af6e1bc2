// Network connections: WNetAddConnection2W and WNetCancelConnection2W.
#include "state.h"

using namespace winsim::detail;

extern "C" {

DWORD WINAPI WNetAddConnection2W(LPNETRESOURCEW, LPCWSTR, LPCWSTR, DWORD) { return ERROR_NO_NETWORK; }
DWORD WINAPI WNetCancelConnection2W(LPCWSTR, DWORD, BOOL) { return ERROR_NO_NETWORK; }

}  // extern "C"
