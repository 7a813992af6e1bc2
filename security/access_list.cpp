// WinSecurity: the accounts a file's DACL names with read-related rights.
#include <algorithm>
#include <iterator>
#include <cstring>

#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

namespace {

// FILE_GENERIC_READ: an entry counts when its mask shares any of these bits, whatever its type.
constexpr ACCESS_MASK kReadRights = 0x120089;
constexpr DWORD kNameCapacity = 1024;

constexpr SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The two buffers every account lookup fills, zeroed and at full capacity before each lookup.
struct AccountBuffers {
  WCHAR name[kNameCapacity];
  WCHAR domain[kNameCapacity];
  DWORD nameLength;
  DWORD domainLength;
  SID_NAME_USE use;

  BOOL lookUp(PSID sid) {
    std::fill(std::begin(name), std::end(name), WCHAR());
    std::fill(std::begin(domain), std::end(domain), WCHAR());
    nameLength = kNameCapacity;
    domainLength = kNameCapacity;
    return LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use);
  }

  // "DOMAIN\name", or the bare name when the domain is empty. delete[].
  WCHAR* account() const {
    // Lengths past the buffers would be the platform's fault; never read beyond them.
    const size_t n = std::min<size_t>(nameLength, kNameCapacity - 1);
    const size_t d = std::min<size_t>(domainLength, kNameCapacity - 1);
    if (d == 0) {
      WCHAR* out = new WCHAR[n + 1]();
      std::copy(name, name + n, out);
      return out;
    }
    WCHAR* out = new WCHAR[n + d + 2]();
    std::copy(domain, domain + d, out);
    out[d] = static_cast<WCHAR>('\\');
    std::copy(name, name + n, out + d + 1);
    return out;
  }
};

}  // namespace

int WinSecurity::getAccessList(const char* path, char** out) {
  BufferList list;
  if (getUsersForFile(path, list) != 1) return 0;
  *out = list.createMemBlock();
  return 1;
}

int WinSecurity::getUsersForFile(const char* path, BufferList& list) {
  WCHAR* widePath = nullptr;
  common::WideOwner widePathOwner(utf8ToWide(path, &widePath));

  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  PACL sacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status =
      GetNamedSecurityInfoW(widePath, SE_FILE_OBJECT, kOwnerGroupDacl, &owner, &group, &dacl, &sacl, &descriptor);
  if (status != ERROR_SUCCESS) {
    // The call returns its error number; the thread's last error says nothing here.
    recordFailure("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", status);
    return 0;
  }
  common::LocalOwner<void> descriptorOwner(descriptor);

  AccountBuffers buffers;
  if (!buffers.lookUp(owner)) {
    recordFailure("WinSecurity::getUsersForFile", "LookupAccountSid1", GetLastError());
    return 0;
  }

  auto addAccount = [&](PSID sid) {
    if (!buffers.lookUp(sid)) {
      // Unresolvable (a deleted account, say): skipped, the walk goes on.
      recordFailure("WinSecurity::getUsersForFile", "LookupAccountSid(group)", GetLastError());
      return;
    }
    common::WideOwner account(buffers.account());
    char* utf8 = nullptr;
    common::NarrowOwner utf8Owner(wideToUtf8(account.get(), &utf8));
    list.addString(utf8);
  };

  if (!dacl) {
    // No DACL: everyone has every right, so the list names the world group, by the name the
    // platform gives S-1-1-0. The ACL calls below must never see the null pointer.
    BYTE world[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    addAccount(world);
    return 1;
  }

  ACL_SIZE_INFORMATION size{};
  if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
    recordFailure("getUsersForFile", "GetAclInformation", GetLastError());
    return 0;
  }
  ACL_REVISION_INFORMATION revision{};
  if (!GetAclInformation(dacl, &revision, sizeof revision, AclRevisionInformation)) {
    recordFailure("getUsersForFile", "GetAclInformation2", GetLastError());
    return 0;
  }

  for (DWORD i = 0; i < size.AceCount; ++i) {
    LPVOID ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      recordFailure("WinSecurity::getUsersForFile", "GetAce", GetLastError());
      break;
    }
    // Every entry is read in the plain layout (header, mask, SID); type and flags are not examined.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((entry->Mask & kReadRights) == 0) continue;
    addAccount(&entry->SidStart);
  }
  return 1;
}

}  // namespace winsecurity
