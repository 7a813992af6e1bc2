// File security: GetFileSecurityA, GetNamedSecurityInfoW, the ACL calls, MapGenericMask and
// AccessCheck, over descriptors built from the machine's files.
#include <cstring>

#include "security_descriptor.h"

using namespace winsim;
using namespace winsim::detail;

namespace {

constexpr SECURITY_INFORMATION kSupportedInfo =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr ACCESS_MASK kGenericBits = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// Reading a descriptor is itself checked: an impersonated caller needs READ_CONTROL or ownership.
// Without impersonation the process's own identity reads everything.
bool mayReadDescriptor(const File& file) {
  const std::shared_ptr<Token> token = threadToken();
  if (!token) return true;
  const std::vector<uint8_t> full = buildDescriptor(file, kSupportedInfo);
  DescriptorView view;
  readDescriptor(full.data(), &view);
  return ownerInToken(view, *token) || decideAccess(view, *token, READ_CONTROL).granted;
}

// Finds the file and applies the read check; 0 or the error the call reports.
DWORD openForSecurity(const std::u16string& path, SECURITY_INFORMATION info, const File** file) {
  // The SACL needs SeSecurityPrivilege, which no simulated caller holds.
  if (info & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  DWORD error = 0;
  *file = findFile(path, &error);
  if (!*file) return error;
  if (!mayReadDescriptor(**file)) return ERROR_ACCESS_DENIED;
  return 0;
}

// What the ACL readers (GetAclInformation, GetAce) refuse before they read anything: 0, or the
// number. Windows reads through a null pointer unchecked (Wine faults on a null ACL); refusing it
// with the number an access violation maps to keeps a caller's mistake visible without a crash. A
// malformed ACL has no size to report and no entries to hand out.
DWORD aclRefusal(const ACL* acl, const void* out) {
  if (!acl || !out) return ERROR_NOACCESS;
  if (!validAcl(acl)) return ERROR_INVALID_ACL;
  return 0;
}

}  // namespace

extern "C" {

BOOL WINAPI GetFileSecurityA(LPCSTR fileName, SECURITY_INFORMATION requested, PSECURITY_DESCRIPTOR descriptor,
                             DWORD length, LPDWORD needed) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!needed) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  State& s = state();
  Lock lock(s.mutex);
  const File* file = nullptr;
  // The ANSI code page is Windows-1252: the bytes are read one character each.
  if (DWORD failure = openForSecurity(cp1252ToUtf16(fileName), requested, &file)) {
    SetLastError(failure);
    return FALSE;
  }
  const std::vector<uint8_t> bytes = buildDescriptor(*file, requested);
  *needed = static_cast<DWORD>(bytes.size());
  if (length < bytes.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!descriptor) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR objectName, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION info,
                                   PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor) {
  uint32_t error;
  if (enter(__func__, &error)) return error;
  if (!objectName || objectType != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  // The part pointers point into the descriptor, so asking for any needs the descriptor too.
  if (!descriptor && (owner || group || dacl || sacl)) return ERROR_INVALID_PARAMETER;
  State& s = state();
  Lock lock(s.mutex);
  const File* file = nullptr;
  if (DWORD failure = openForSecurity(fromWide(objectName), info, &file)) return failure;
  if (!descriptor) return ERROR_SUCCESS;
  const std::vector<uint8_t> bytes = buildDescriptor(*file, info);
  void* block = allocate(s.local, bytes.size(), false);
  if (!block) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, bytes.data(), bytes.size());
  DescriptorView view;
  readDescriptor(block, &view);
  if (owner) *owner = const_cast<uint8_t*>(view.owner);
  if (group) *group = const_cast<uint8_t*>(view.group);
  if (dacl) *dacl = const_cast<ACL*>(view.dacl);
  if (sacl) *sacl = nullptr;
  *descriptor = block;
  return ERROR_SUCCESS;
}

BOOL WINAPI GetAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS infoClass) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (DWORD refusal = aclRefusal(acl, info)) {
    SetLastError(refusal);
    return FALSE;
  }
  switch (infoClass) {
    case AclRevisionInformation: {
      if (length < sizeof(ACL_REVISION_INFORMATION)) break;
      ACL_REVISION_INFORMATION out{acl->AclRevision};
      std::memcpy(info, &out, sizeof out);
      return TRUE;
    }
    case AclSizeInformation: {
      if (length < sizeof(ACL_SIZE_INFORMATION)) break;
      const DWORD used = aclBytesInUse(acl);
      ACL_SIZE_INFORMATION out{acl->AceCount, used, acl->AclSize > used ? acl->AclSize - used : 0};
      std::memcpy(info, &out, sizeof out);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (DWORD refusal = aclRefusal(acl, ace)) {
    SetLastError(refusal);
    return FALSE;
  }
  const uint8_t* entry = aceAt(acl, index);
  if (!entry) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *ace = const_cast<uint8_t*>(entry);
  return TRUE;
}

void WINAPI MapGenericMask(PDWORD accessMask, PGENERIC_MAPPING mapping) {
  uint32_t error;
  enter(__func__, &error);  // cannot fail: a fault only shows in the call log
  if (!accessMask || !mapping) return;
  DWORD mask = *accessMask;
  if (mask & GENERIC_READ) mask |= mapping->GenericRead;
  if (mask & GENERIC_WRITE) mask |= mapping->GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= mapping->GenericExecute;
  if (mask & GENERIC_ALL) mask |= mapping->GenericAll;
  *accessMask = mask & ~kGenericBits;
}

BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor, HANDLE clientToken, DWORD desiredAccess,
                        PGENERIC_MAPPING mapping, PPRIVILEGE_SET privilegeSet, LPDWORD privilegeSetLength,
                        LPDWORD grantedAccess, LPBOOL accessStatus) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  auto fail = [](DWORD number) {
    SetLastError(number);
    return FALSE;
  };
  if (!descriptor || !mapping || !privilegeSetLength || !grantedAccess || !accessStatus)
    return fail(ERROR_NOACCESS);
  State& s = state();
  Lock lock(s.mutex);
  HandleObject* handle = findHandle(clientToken);
  if (!handle || handle->kind != HandleObject::TokenHandle || !handle->token) return fail(ERROR_INVALID_HANDLE);
  const Token& token = *handle->token;
  if (!token.impersonation) return fail(ERROR_NO_IMPERSONATION_TOKEN);
  if (desiredAccess & kGenericBits) return fail(ERROR_GENERIC_NOT_MAPPED);
  if (!privilegeSet && *privilegeSetLength > 0) return fail(ERROR_NOACCESS);
  if (*privilegeSetLength < sizeof(PRIVILEGE_SET)) {
    *privilegeSetLength = sizeof(PRIVILEGE_SET);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  DescriptorView view;
  if (!readDescriptor(descriptor, &view) || !view.owner || !view.group) return fail(ERROR_INVALID_SECURITY_DESCR);

  const AccessDecision decision = decideAccess(view, token, desiredAccess, mapping->GenericAll);
  privilegeSet->PrivilegeCount = 0;
  if (decision.granted) {
    *grantedAccess = decision.grantedMask;
    *accessStatus = TRUE;
  } else {
    // A denial is a check that ran: TRUE, with the verdict in the status and 5 in the last error.
    *grantedAccess = 0;
    *accessStatus = FALSE;
    SetLastError(decision.deniedError);
  }
  return TRUE;
}

}  // extern "C"
