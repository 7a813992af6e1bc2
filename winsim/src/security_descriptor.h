// Security descriptors for the machine's files: building the self-relative form Windows hands out,
// reading one back (self-relative or absolute), walking its DACL, finding a file by path, and the
// access check algorithm that AccessCheck and the descriptor read share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

namespace winsim::detail {

// A self-relative descriptor (revision 1, control SE_SELF_RELATIVE, owner, group and DACL in that
// order) holding exactly the parts `info` asks for. A file without a DACL leaves SE_DACL_PRESENT
// clear; an empty DACL is present with no entries.
std::vector<uint8_t> buildDescriptor(const File& file, SECURITY_INFORMATION info);

// The parts of a descriptor in memory. Null owner or group: the descriptor has none. Null dacl:
// no DACL (SE_DACL_PRESENT clear, or present with a null pointer), which grants everything.
struct DescriptorView {
  const uint8_t* owner = nullptr;
  const uint8_t* group = nullptr;
  const ACL* dacl = nullptr;
};
// False when the memory is not a revision-1 descriptor, or when its owner, group or DACL is
// malformed (validSid, validAcl): a check must never run on the part of a DACL it could read.
bool readDescriptor(const void* descriptor, DescriptorView* out);

// Whether an ACL is well formed: revision 2 to 4, an AclSize of at least its 8-byte header, and
// AceCount entries that each lie wholly inside AclSize, with an entry size of at least 4 and, for
// the entry types that carry a SID at offset 8 (allow, deny, audit, alarm and their callback forms),
// room for a valid SID (revision 1, at most 15 sub-authorities) in that size.
bool validAcl(const ACL* acl);

// The index-th entry of a well-formed ACL, or null past the end.
const uint8_t* aceAt(const ACL* acl, DWORD index);
// Bytes of a well-formed ACL up to the end of its last entry (header included).
DWORD aclBytesInUse(const ACL* acl);

// The outcome of the access check algorithm on a well-formed request.
struct AccessDecision {
  bool granted = false;
  ACCESS_MASK grantedMask = 0;
  DWORD deniedError = ERROR_ACCESS_DENIED;  // the last error a denial leaves
};
// `desired` holds no generic bits; `genericAll` is what MAXIMUM_ALLOWED reaches under a null DACL.
AccessDecision decideAccess(const DescriptorView& descriptor, const Token& token, ACCESS_MASK desired,
                            ACCESS_MASK genericAll = FILE_ALL_ACCESS);

// Whether the descriptor's owner is one of the token's SIDs (its user SID or an enabled group).
bool ownerInToken(const DescriptorView& descriptor, const Token& token);

// The machine's file for a path (UTF-16, any case, '/' read as '\'); null with the error Windows
// gives for a missing path: 2 when its folder is known, 3 when not, 123 for a malformed name.
// The caller holds the state lock for as long as it uses the result.
const File* findFile(const std::u16string& path, DWORD* error);

}  // namespace winsim::detail
