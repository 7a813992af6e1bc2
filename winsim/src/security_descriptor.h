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
// False when the memory is not a revision-1 descriptor.
bool readDescriptor(const void* descriptor, DescriptorView* out);

// The index-th entry of an ACL, or null past the end or where the entries are malformed.
const uint8_t* aceAt(const ACL* acl, DWORD index);
// Bytes of the ACL up to the end of its last entry (header included), 0 when malformed.
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
