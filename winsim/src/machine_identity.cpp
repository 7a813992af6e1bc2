// The workstation and the local security authority: NetWkstaGetInfo, NetApiBufferFree and the LSA
// policy calls. Both report the machine's computer name and its domain or workgroup.
#include <cstring>
#include <map>

#include "state.h"

using namespace winsim;
using namespace winsim::detail;

namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS status(uint32_t value) { return static_cast<NTSTATUS>(value); }
constexpr NTSTATUS kStatusUnsuccessful = status(0xC0000001);
constexpr NTSTATUS kStatusInvalidInfoClass = status(0xC0000003);
constexpr NTSTATUS kStatusInvalidHandle = status(0xC0000008);
constexpr NTSTATUS kStatusInvalidParameter = status(0xC000000D);
constexpr NTSTATUS kStatusNoMemory = status(0xC0000017);
constexpr NTSTATUS kStatusAccessDenied = status(0xC0000022);
constexpr NTSTATUS kStatusRpcServerUnavailable = status(0xC0020017);

// A domain member whose description carries no usable domain SID still has to look like a member
// to the LSA, so it gets this placeholder.
constexpr const char* kPlaceholderDomainSid = "S-1-5-21-0-0-0";

// Rights granted to each open policy handle, by handle value. Handle values are never reused, so
// entries left behind by install() can never match a new handle.
std::map<uintptr_t, ACCESS_MASK>& policyAccess() {
  static auto* access = new std::map<uintptr_t, ACCESS_MASK>();
  return *access;
}

// A server or system name that means this machine: absent, empty, or the computer name with or
// without its leading backslashes.
bool isLocal(std::u16string name) {
  if (name.empty()) return true;
  if (name.rfind(u"\\\\", 0) == 0) name = name.substr(2);
  return equalNoCase(name, utf8ToUtf16(computerName()));
}

// The LAN group the workstation reports: the domain on a member, else the workgroup.
std::string lanGroup(const Machine& m) { return m.domainName.empty() ? m.workgroup : m.domainName; }

}  // namespace

extern "C" {

NET_API_STATUS WINAPI NetWkstaGetInfo(LMSTR serverName, DWORD level, LPBYTE* buffer) {
  uint32_t error;
  if (enter(__func__, &error)) return error;
  // No other machine is on this network.
  if (serverName && !isLocal(fromWide(serverName))) return ERROR_BAD_NETPATH;
  if (level != 100) return ERROR_INVALID_LEVEL;
  if (!buffer) return ERROR_INVALID_PARAMETER;

  State& s = state();
  Lock lock(s.mutex);
  const std::u16string computer = utf8ToUtf16(s.machine.computerName);
  const std::u16string group = utf8ToUtf16(lanGroup(s.machine));
  // One allocation: the record, then both strings, so one NetApiBufferFree releases everything.
  const size_t computerBytes = (computer.size() + 1) * sizeof(WCHAR);
  const size_t groupBytes = (group.size() + 1) * sizeof(WCHAR);
  auto* base = static_cast<uint8_t*>(
      allocate(s.netApi, sizeof(WKSTA_INFO_100) + computerBytes + groupBytes, true));
  if (!base) return ERROR_NOT_ENOUGH_MEMORY;
  auto* info = reinterpret_cast<WKSTA_INFO_100*>(base);
  auto* computerText = reinterpret_cast<WCHAR*>(base + sizeof(WKSTA_INFO_100));
  auto* groupText = reinterpret_cast<WCHAR*>(base + sizeof(WKSTA_INFO_100) + computerBytes);
  std::memcpy(computerText, computer.c_str(), computerBytes);
  std::memcpy(groupText, group.c_str(), groupBytes);
  info->wki100_platform_id = 500;  // PLATFORM_ID_NT
  info->wki100_computername = computerText;
  info->wki100_langroup = groupText;
  info->wki100_ver_major = 10;
  info->wki100_ver_minor = 0;
  *buffer = base;
  return NERR_Success;
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer) {
  uint32_t error;
  if (enter(__func__, &error)) return error;
  if (!buffer) return NERR_Success;
  return release(state().netApi, buffer) ? NERR_Success : ERROR_INVALID_PARAMETER;
}

NTSTATUS NTAPI LsaOpenPolicy(PLSA_UNICODE_STRING systemName, PLSA_OBJECT_ATTRIBUTES attributes,
                             ACCESS_MASK desiredAccess, PLSA_HANDLE policy) {
  uint32_t error;
  if (enter(__func__, &error)) return status(error);
  if (!attributes || !policy) return kStatusInvalidParameter;
  if (systemName && systemName->Buffer && systemName->Length > 0) {
    std::u16string name(systemName->Buffer, systemName->Length / sizeof(WCHAR));
    if (!isLocal(name)) return kStatusRpcServerUnavailable;
  }
  State& s = state();
  Lock lock(s.mutex);
  const uintptr_t handle = addHandle(HandleObject{HandleObject::LsaPolicyHandle, nullptr});
  policyAccess()[handle] = desiredAccess;
  *policy = reinterpret_cast<LSA_HANDLE>(handle);
  return kStatusSuccess;
}

NTSTATUS NTAPI LsaQueryInformationPolicy(LSA_HANDLE policy, POLICY_INFORMATION_CLASS infoClass, PVOID* buffer) {
  uint32_t error;
  if (enter(__func__, &error)) return status(error);
  State& s = state();
  Lock lock(s.mutex);
  HandleObject* object = findHandle(policy);
  if (!object || object->kind != HandleObject::LsaPolicyHandle) return kStatusInvalidHandle;
  if (!buffer) return kStatusInvalidParameter;
  if (infoClass != PolicyPrimaryDomainInformation) return kStatusInvalidInfoClass;  // the only one simulated
  if (!(policyAccess()[reinterpret_cast<uintptr_t>(policy)] & POLICY_VIEW_LOCAL_INFORMATION))
    return kStatusAccessDenied;

  const Machine& m = s.machine;
  const std::u16string name = utf8ToUtf16(lanGroup(m));
  SidBytes sid;
  const bool member = !m.domainName.empty();
  if (member && !parseSid(m.domainSid, &sid)) parseSid(kPlaceholderDomainSid, &sid);
  // One allocation: the record, the name (NUL-terminated, although callers must use Length) and
  // the SID, so one LsaFreeMemory releases everything.
  const size_t nameBytes = (name.size() + 1) * sizeof(WCHAR);
  auto* base = static_cast<uint8_t*>(
      allocate(s.lsa, sizeof(POLICY_PRIMARY_DOMAIN_INFO) + nameBytes + sid.size(), true));
  if (!base) return kStatusNoMemory;
  auto* info = reinterpret_cast<POLICY_PRIMARY_DOMAIN_INFO*>(base);
  auto* nameText = reinterpret_cast<WCHAR*>(base + sizeof(POLICY_PRIMARY_DOMAIN_INFO));
  std::memcpy(nameText, name.c_str(), nameBytes);
  info->Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  info->Name.MaximumLength = static_cast<USHORT>(nameBytes);
  info->Name.Buffer = nameText;
  // A workgroup machine has no primary domain SID.
  info->Sid = nullptr;
  if (member) {
    uint8_t* sidCopy = base + sizeof(POLICY_PRIMARY_DOMAIN_INFO) + nameBytes;
    std::memcpy(sidCopy, sid.data(), sid.size());
    info->Sid = sidCopy;
  }
  *buffer = info;
  return kStatusSuccess;
}

NTSTATUS NTAPI LsaFreeMemory(PVOID buffer) {
  uint32_t error;
  if (enter(__func__, &error)) return status(error);
  if (!buffer) return kStatusSuccess;
  return release(state().lsa, buffer) ? kStatusSuccess : kStatusUnsuccessful;
}

NTSTATUS NTAPI LsaClose(LSA_HANDLE handle) {
  uint32_t error;
  if (enter(__func__, &error)) return status(error);
  State& s = state();
  Lock lock(s.mutex);
  const auto key = reinterpret_cast<uintptr_t>(handle);
  auto it = s.handles.find(key);
  if (it == s.handles.end() || it->second.kind != HandleObject::LsaPolicyHandle) return kStatusInvalidHandle;
  s.handles.erase(it);
  policyAccess().erase(key);
  return kStatusSuccess;
}

ULONG NTAPI LsaNtStatusToWinError(NTSTATUS ntStatus) {
  uint32_t error;
  if (enter(__func__, &error)) return error;
  struct Mapping {
    uint32_t status;
    ULONG win32;
  };
  static const Mapping kMappings[] = {
      {0x00000000, 0},    {0x00000103, 997},  {0x00000107, 1301}, {0x80000005, 234},  {0xC0000001, 31},
      {0xC0000002, 1},    {0xC0000003, 87},   {0xC0000008, 6},    {0xC000000D, 87},   {0xC0000017, 8},
      {0xC0000022, 5},    {0xC0000034, 2},    {0xC000005E, 1311}, {0xC0000060, 1313}, {0xC0000061, 1314},
      {0xC0000064, 1317}, {0xC000006A, 86},   {0xC000006D, 1326}, {0xC000006E, 1327}, {0xC000006F, 1328},
      {0xC0000070, 1329}, {0xC0000071, 1330}, {0xC0000072, 1331}, {0xC0000073, 1332}, {0xC000009A, 1450},
      {0xC00000BB, 50},   {0xC00000DC, 1352}, {0xC00000DF, 1355}, {0xC00000E6, 1360}, {0xC000015B, 1385},
      {0xC000018D, 1789}, {0xC0000193, 1793}, {0xC0000199, 1808}, {0xC0000224, 1907}, {0xC0000234, 1909},
      {0xC0020017, 1722},
  };
  for (const Mapping& mapping : kMappings)
    if (mapping.status == static_cast<uint32_t>(ntStatus)) return mapping.win32;
  return ERROR_MR_MID_NOT_FOUND;
}

}  // extern "C"
