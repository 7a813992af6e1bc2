// WinSecurity: the computer's name and the domain it belongs to. Both run under the process's own
// identity and hand their names out in the ANSI code page.
#include <cstring>

#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

namespace {

using NetApiOwner = std::unique_ptr<BYTE, common::Release<&NetApiBufferFree>>;
using LsaMemoryOwner = std::unique_ptr<void, common::Release<&LsaFreeMemory>>;
using LsaPolicyOwner = std::unique_ptr<void, common::Release<&LsaClose>>;

// Which workstation member getMachineInfo reads.
constexpr int kDomainName = 1;
constexpr int kComputerName = 0;

}  // namespace

int WinSecurity::getComputerName(char** out) {
  BufferList list;
  const int result = getMachineInfo(list, kComputerName);
  if (result == 1) *out = list.createMemBlock();
  return result;
}

int WinSecurity::getDomainName(char** out) {
  // A workgroup is not a domain; its name is not worth reporting.
  if (isWorkgroup() != 0) return 0;
  BufferList list;
  const int result = getMachineInfo(list, kDomainName);
  if (result == 1) *out = list.createMemBlock();
  return result;
}

int WinSecurity::getMachineInfo(BufferList& list, int which) {
  LPBYTE raw = nullptr;
  const NET_API_STATUS status = NetWkstaGetInfo(nullptr, 100, &raw);
  const NetApiOwner info(raw);  // released even when the call failed but handed something out
  if (status != 0) {
    // The workstation service returns its error; the thread's last error plays no part.
    recordFailure("WinSecurity::getMachineInfo", "NetWkstaGetInfo()", status);
    return -1;
  }
  const auto* wksta = reinterpret_cast<const WKSTA_INFO_100*>(raw);
  char name[256];
  std::memset(name, 0, sizeof name);
  WideCharToMultiByte(CP_ACP, 0, which == kDomainName ? wksta->wki100_langroup : wksta->wki100_computername, -1,
                      name, static_cast<int>(sizeof name), nullptr, nullptr);
  // A name too long for the buffer fails the conversion, and Windows may leave a partial,
  // unterminated copy behind.
  name[sizeof name - 1] = '\0';
  list.addString(name);
  return 1;
}

int WinSecurity::isWorkgroup() {
  // The attribute record is unused but must be all zeros, its length included.
  LSA_OBJECT_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof attributes);
  LSA_HANDLE handle = nullptr;
  NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &handle);
  if (status != 0) {
    recordFailure("isWorkgroup", "LsaOpenPolicy", LsaNtStatusToWinError(status));
    return 0;
  }
  const LsaPolicyOwner policy(handle);

  int result = 0;
  PVOID buffer = nullptr;
  status = LsaQueryInformationPolicy(policy.get(), PolicyPrimaryDomainInformation, &buffer);
  if (status != 0) {
    recordFailure("isWorkgroup", "LsaQueryInformationPolicy", LsaNtStatusToWinError(status));
  } else {
    const LsaMemoryOwner info(buffer);
    // Only a domain member has a primary domain SID.
    result = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(buffer)->Sid == nullptr ? 1 : 0;
  }
  return result;
}

}  // namespace winsecurity
