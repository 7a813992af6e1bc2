// Security descriptors for the machine's files and the access check algorithm.
#include "security_descriptor.h"

#include <cstring>

namespace winsim::detail {
namespace {

// The NULL SID stands in for a SID string that does not parse, so a bad entry in a machine built
// in-process still yields a well-formed descriptor.
const SidBytes kNullSid{1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const SidBytes kOwnerRights{1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0};   // S-1-3-4
const SidBytes kPrincipalSelf{1, 1, 0, 0, 0, 0, 0, 5, 10, 0, 0, 0};  // S-1-5-10

constexpr size_t kHeaderSize = 20;
constexpr size_t kMaxSidLength = 8 + 4 * 15;

// The entry types whose SID starts at offset 8 (object entries put flags and GUIDs first).
bool sidAtEight(uint8_t type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case 2:   // SYSTEM_AUDIT
    case 3:   // SYSTEM_ALARM
    case 9:   // ACCESS_ALLOWED_CALLBACK
    case 10:  // ACCESS_DENIED_CALLBACK
    case 13:  // SYSTEM_AUDIT_CALLBACK
    case 17:  // SYSTEM_MANDATORY_LABEL
      return true;
    default:
      return false;
  }
}

SidBytes sidBytes(const std::string& text) {
  SidBytes out;
  return parseSid(text, &out) ? out : kNullSid;
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
uint16_t get16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
uint32_t get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void append(std::vector<uint8_t>& b, const SidBytes& sid) { b.insert(b.end(), sid.begin(), sid.end()); }

bool sameSid(const uint8_t* a, const SidBytes& b) {
  return a && sidLength(a) == b.size() && std::memcmp(a, b.data(), b.size()) == 0;
}

// The token's SIDs with the sense in which the access check counts them.
struct TokenSid {
  SidBytes sid;
  bool forAllow;
  bool forDeny;
};

std::vector<TokenSid> tokenSids(const Token& token) {
  std::vector<TokenSid> out;
  SidBytes user;
  if (parseSid(token.userSid, &user)) out.push_back({user, true, true});
  for (const GroupMembership& g : token.groups) {
    SidBytes sid;
    if (!parseSid(g.sid, &sid)) continue;
    if (g.attributes & SE_GROUP_ENABLED)
      out.push_back({sid, true, true});
    else if (g.attributes & SE_GROUP_USE_FOR_DENY_ONLY)
      out.push_back({sid, false, true});
    // Neither enabled nor deny-only (the integrity label among them): ignored.
  }
  return out;
}

bool inToken(const std::vector<TokenSid>& sids, const uint8_t* sid, bool denySense) {
  // PRINCIPAL_SELF stands for a caller-supplied SID, and AccessCheck supplies none.
  if (!sid || sameSid(sid, kPrincipalSelf)) return false;
  for (const TokenSid& t : sids)
    if ((denySense ? t.forDeny : t.forAllow) && sameSid(sid, t.sid)) return true;
  return false;
}

// The entries of an ACL as the check sees them.
struct AceView {
  uint8_t type;
  uint8_t flags;
  ACCESS_MASK mask;
  const uint8_t* sid;
};

// The ACL has passed validAcl (readDescriptor saw to it).
std::vector<AceView> aces(const ACL* acl) {
  std::vector<AceView> out;
  if (!acl) return out;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    const uint8_t* p = aceAt(acl, i);
    out.push_back({p[0], p[1], get32(p + 4), sidAtEight(p[0]) ? p + 8 : nullptr});
  }
  return out;
}

std::u16string withBackslashes(std::u16string p) {
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  if (p.rfind(u"\\\\?\\", 0) == 0 && p.size() >= 6 && p[5] == u':') p.erase(0, 4);
  return p;
}

// A path without trailing backslashes; a drive root becomes "X:".
std::u16string pathKey(const std::u16string& path) {
  std::u16string p = withBackslashes(path);
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  return p;
}

std::u16string pathKey(const std::string& utf8) { return pathKey(utf8ToUtf16(utf8)); }

bool malformedName(const std::u16string& p) {
  for (size_t i = 0; i < p.size(); ++i) {
    const char16_t c = p[i];
    if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') return true;
    if (c == u':' && i != 1) return true;
  }
  return false;
}

bool startsWithNoCase(const std::u16string& s, const std::u16string& prefix) {
  return s.size() >= prefix.size() && equalNoCase(s.substr(0, prefix.size()), prefix);
}

bool isKnownRoot(const Machine& m, const std::u16string& key) {
  for (const Volume& v : m.volumes)
    if (equalNoCase(pathKey(v.root), key)) return true;
  for (const Share& s : m.shares)
    if (equalNoCase(pathKey(s.path), key)) return true;
  return false;
}

bool isKnownFolder(const Machine& m, const std::u16string& folder) {
  if (isKnownRoot(m, folder)) return true;
  for (const File& f : m.files) {
    const std::u16string key = pathKey(f.path);
    if (equalNoCase(key, folder) || startsWithNoCase(key, folder + u"\\")) return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> buildDescriptor(const File& file, SECURITY_INFORMATION info) {
  std::vector<uint8_t> b(kHeaderSize, 0);
  uint16_t control = SE_SELF_RELATIVE;
  b[0] = 1;
  if ((info & OWNER_SECURITY_INFORMATION) && !file.owner.empty()) {
    put32(b, 4, static_cast<uint32_t>(b.size()));
    append(b, sidBytes(file.owner));
  }
  if ((info & GROUP_SECURITY_INFORMATION) && !file.group.empty()) {
    put32(b, 8, static_cast<uint32_t>(b.size()));
    append(b, sidBytes(file.group));
  }
  if ((info & DACL_SECURITY_INFORMATION) && file.dacl) {
    control |= SE_DACL_PRESENT;
    const size_t at = b.size();
    put32(b, 16, static_cast<uint32_t>(at));
    b.resize(at + sizeof(ACL), 0);
    for (const Ace& ace : *file.dacl) {
      const SidBytes sid = sidBytes(ace.sid);
      const size_t start = b.size();
      b.resize(start + 8, 0);
      b[start] = ace.type;
      b[start + 1] = ace.flags;
      put16(b, start + 2, static_cast<uint16_t>(8 + sid.size()));
      put32(b, start + 4, ace.mask);
      append(b, sid);
    }
    b[at] = ACL_REVISION;
    put16(b, at + 2, static_cast<uint16_t>(b.size() - at));
    put16(b, at + 4, static_cast<uint16_t>(file.dacl->size()));
  }
  put16(b, 2, control);
  return b;
}

bool readDescriptor(const void* descriptor, DescriptorView* out) {
  const auto* b = static_cast<const uint8_t*>(descriptor);
  if (!b || b[0] != 1) return false;
  const uint16_t control = get16(b + 2);
  DescriptorView v;
  if (control & SE_SELF_RELATIVE) {
    const uint32_t owner = get32(b + 4), group = get32(b + 8), dacl = get32(b + 16);
    v.owner = owner ? b + owner : nullptr;
    v.group = group ? b + group : nullptr;
    v.dacl = (control & SE_DACL_PRESENT) && dacl ? reinterpret_cast<const ACL*>(b + dacl) : nullptr;
  } else {
    // The absolute form holds pointers after the control word, aligned as pointers are.
    struct Absolute {
      BYTE revision;
      BYTE sbz1;
      WORD control;
      void* owner;
      void* group;
      void* sacl;
      void* dacl;
    } a;
    std::memcpy(&a, b, sizeof a);
    v.owner = static_cast<const uint8_t*>(a.owner);
    v.group = static_cast<const uint8_t*>(a.group);
    v.dacl = (control & SE_DACL_PRESENT) ? static_cast<const ACL*>(a.dacl) : nullptr;
  }
  if (v.owner && !validSid(v.owner, kMaxSidLength)) return false;
  if (v.group && !validSid(v.group, kMaxSidLength)) return false;
  if (v.dacl && !validAcl(v.dacl)) return false;
  *out = v;
  return true;
}

bool validAcl(const ACL* acl) {
  if (!acl) return false;
  const auto* base = reinterpret_cast<const uint8_t*>(acl);
  if (base[0] < ACL_REVISION || base[0] > ACL_REVISION_DS) return false;
  const uint16_t aclSize = get16(base + 2);
  const uint16_t count = get16(base + 4);
  if (aclSize < sizeof(ACL)) return false;
  // Sizes are compared against what is left, never added past AclSize.
  size_t at = sizeof(ACL);
  for (DWORD i = 0; i < count; ++i) {
    if (aclSize - at < 4) return false;
    const uint8_t type = base[at];
    const uint16_t size = get16(base + at + 2);
    if (size < 4 || size > aclSize - at) return false;
    if (sidAtEight(type) && (size < 8 || !validSid(base + at + 8, size - 8u))) return false;
    at += size;
  }
  return true;
}

const uint8_t* aceAt(const ACL* acl, DWORD index) {
  if (!acl || index >= acl->AceCount) return nullptr;
  const auto* base = reinterpret_cast<const uint8_t*>(acl);
  size_t at = sizeof(ACL);
  for (DWORD i = 0; i < index; ++i) at += get16(base + at + 2);
  return base + at;
}

DWORD aclBytesInUse(const ACL* acl) {
  if (!acl) return 0;
  DWORD used = sizeof(ACL);
  for (DWORD i = 0; i < acl->AceCount; ++i) used += get16(aceAt(acl, i) + 2);
  return used;
}

bool ownerInToken(const DescriptorView& descriptor, const Token& token) {
  return inToken(tokenSids(token), descriptor.owner, false);
}

AccessDecision decideAccess(const DescriptorView& descriptor, const Token& token, ACCESS_MASK desired,
                            ACCESS_MASK genericAll) {
  AccessDecision denied;
  // An empty request is refused (as Wine does; Windows leaves it undocumented).
  if (desired == 0) return denied;
  if (desired & ACCESS_SYSTEM_SECURITY) {
    denied.deniedError = ERROR_PRIVILEGE_NOT_HELD;  // the privilege is never held here
    return denied;
  }
  const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  desired &= ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED);

  const std::vector<TokenSid> sids = tokenSids(token);
  const std::vector<AceView> entries = aces(descriptor.dacl);
  auto effective = [](const AceView& a) {
    return !(a.flags & INHERIT_ONLY_ACE) && (a.type == ACCESS_ALLOWED_ACE_TYPE || a.type == ACCESS_DENIED_ACE_TYPE);
  };
  bool ownerRightsAces = false;
  for (const AceView& a : entries)
    if (effective(a) && sameSid(a.sid, kOwnerRights)) ownerRightsAces = true;
  // OWNER RIGHTS entries apply to whoever the owner is; they replace the owner's implicit rights.
  auto matches = [&](const AceView& a, bool denySense) {
    if (sameSid(a.sid, kOwnerRights)) return inToken(sids, descriptor.owner, denySense);
    return inToken(sids, a.sid, denySense);
  };

  ACCESS_MASK granted = 0;
  if (!ownerRightsAces && inToken(sids, descriptor.owner, false)) granted |= READ_CONTROL | WRITE_DAC;

  auto grant = [&](ACCESS_MASK mask) {
    AccessDecision d;
    d.granted = true;
    d.grantedMask = mask;
    return d;
  };

  if (!descriptor.dacl) return grant(maximum ? desired | genericAll : desired);

  if (maximum) {
    ACCESS_MASK deniedBits = 0;
    for (const AceView& a : entries) {
      if (!effective(a)) continue;
      if (a.type == ACCESS_DENIED_ACE_TYPE && matches(a, true)) deniedBits |= a.mask & ~granted;
      if (a.type == ACCESS_ALLOWED_ACE_TYPE && matches(a, false)) granted |= a.mask & ~deniedBits;
    }
    if ((desired & ~granted) != 0 || granted == 0) return denied;
    return grant(granted | desired);
  }

  ACCESS_MASK remaining = desired & ~granted;
  if (remaining == 0) return grant(desired);
  for (const AceView& a : entries) {
    if (!effective(a)) continue;
    // Masks are compared as stored: generic bits in an entry grant nothing specific.
    if (a.type == ACCESS_DENIED_ACE_TYPE) {
      if (matches(a, true) && (a.mask & remaining)) return denied;
    } else if (matches(a, false)) {
      remaining &= ~a.mask;
      if (remaining == 0) return grant(desired);
    }
  }
  return denied;
}

const File* findFile(const std::u16string& path, DWORD* error) {
  const Machine& m = state().machine;
  const std::u16string key = pathKey(path);
  if (key.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  if (malformedName(key)) {
    *error = ERROR_INVALID_NAME;
    return nullptr;
  }
  for (const File& f : m.files)
    if (equalNoCase(pathKey(f.path), key)) return &f;
  // Missing: the folder decides between "no such file" and "no such path". A relative name
  // lives in the current directory, which exists; a path rooted without a drive lives on the
  // current drive.
  const size_t slash = key.rfind(u'\\');
  bool folderKnown;
  if (isKnownRoot(m, key) || slash == std::u16string::npos || slash == 0)
    folderKnown = true;
  else
    folderKnown = isKnownFolder(m, key.substr(0, slash));
  *error = folderKnown ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  return nullptr;
}

}  // namespace winsim::detail
