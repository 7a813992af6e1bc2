#include "model.h"

#include <cstdio>
#include <optional>
#include <vector>

namespace conformance {
namespace {

constexpr uint32_t kReadControl = 0x20000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kStandardRequiredAndSynchronize = 0x1F0000;
constexpr uint32_t kMaximumAllowed = 0x02000000;
constexpr uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
                   kGenericAll = 0x10000000;
constexpr uint32_t kAccessDenied = 5, kNoAccess = 998, kInvalidDescriptor = 1338;
constexpr uint16_t kDaclPresent = 0x0004, kSelfRelative = 0x8000;
constexpr uint8_t kInheritOnly = 0x08;

bool on(unsigned switches, Departure d) { return (switches >> d) & 1u; }

// The descriptor's bytes, read as the platforms read them: past its end lie zeros (both sides hand
// the platform a zeroed buffer behind the descriptor).
struct Reader {
  const Bytes& b;
  uint8_t u8(size_t at) const { return at < b.size() ? b[at] : 0; }
  uint16_t u16(size_t at) const { return static_cast<uint16_t>(u8(at) | u8(at + 1) << 8); }
  uint32_t u32(size_t at) const { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; }
  Bytes slice(size_t at, size_t n) const {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = u8(at + i);
    return out;
  }
};

// A SID that Windows accepts: revision 1, at most 15 sub-authorities, wholly inside `room`.
std::optional<Bytes> sidAt(const Reader& r, size_t at, size_t room, bool oversizedAccepted = false) {
  if (room < 8 || r.u8(at) != 1 || (r.u8(at + 1) > 15 && !oversizedAccepted)) return std::nullopt;
  const size_t length = 8 + 4 * static_cast<size_t>(r.u8(at + 1));
  if (length > room) return std::nullopt;
  return r.slice(at, length);
}

struct Entry {
  uint8_t type, flags;
  uint32_t mask;
  Bytes sid;
};

// The entries of the ACL at `at`, or nothing when it is malformed (revision 2 to 4, AclSize of at
// least 8, every entry inside AclSize, allow and deny entries with room for a valid SID).
std::optional<std::vector<Entry>> aclAt(const Reader& r, size_t at, bool oversizedAccepted) {
  const uint8_t revision = r.u8(at);
  const uint16_t size = r.u16(at + 2), count = r.u16(at + 4);
  if (revision < 2 || revision > 4 || size < 8) return std::nullopt;
  std::vector<Entry> out;
  size_t offset = 8;
  for (unsigned i = 0; i < count; ++i) {
    if (size - offset < 4) return std::nullopt;
    const uint8_t type = r.u8(at + offset);
    const uint16_t entrySize = r.u16(at + offset + 2);
    if (entrySize < 4 || entrySize > size - offset) return std::nullopt;
    if (type <= 1) {
      if (entrySize < 8) return std::nullopt;
      std::optional<Bytes> sid = sidAt(r, at + offset + 8, entrySize - 8u, oversizedAccepted);
      if (!sid) return std::nullopt;
      out.push_back({type, r.u8(at + offset + 1), r.u32(at + offset + 4), *sid});
    }
    offset += entrySize;
  }
  return out;
}

uint32_t mapGeneric(uint32_t mask, const Mapping& m) {
  if (mask & kGenericRead) mask |= m.read;
  if (mask & kGenericWrite) mask |= m.write;
  if (mask & kGenericExecute) mask |= m.execute;
  if (mask & kGenericAll) mask |= m.all;
  return mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

Outcome failed(uint32_t error) { return {0, error, kStatusSentinel, kGrantedSentinel}; }
Outcome granted(uint32_t mask) { return {1, kErrorSentinel, 1, mask}; }
Outcome denied() { return {1, kAccessDenied, 0, 0}; }

}  // namespace

const char* departureName(Departure d) {
  switch (d) {
    case AceGenericsMapped: return "entry generic bits mapped";
    case DenyOnlyIgnored: return "deny-only groups ignored";
    case OwnerRightsIgnored: return "OWNER RIGHTS ignored";
    case OwnerStandardRights: return "owner gets 0x1F0000";
    case DenyAgainstWholeRequest: return "deny against the whole request";
    case MaximumDenyTakesGranted: return "MAXIMUM_ALLOWED deny takes granted bits";
    case MalformedAccessViolation: return "malformed descriptor: Wine 998";
    case OversizedSidAccepted: return "entry SID over 15 sub-authorities accepted";
    case ZeroSizeAclIsNull: return "AclSize 0 read as a null DACL";
    case kDepartureCount: break;
  }
  return "?";
}

const char* departureSource(Departure d) {
  switch (d) {
    case AceGenericsMapped: return "server/token.c token_access_check: map_access on each entry mask";
    case DenyOnlyIgnored: return "server/token.c token_sid_present: groups without SE_GROUP_ENABLED skipped";
    case OwnerRightsIgnored: return "server/token.c token_access_check: no OWNER RIGHTS case";
    case OwnerStandardRights: return "server/token.c token_access_check: owner step adds STANDARD_RIGHTS_REQUIRED|SYNCHRONIZE";
    case DenyAgainstWholeRequest: return "server/token.c token_access_check: deny tests desired_access & access";
    case MaximumDenyTakesGranted: return "server/token.c token_access_check: granted = current & ~denied";
    case MalformedAccessViolation: return "observed; server/token.c access_check handler: sd_is_valid fails with STATUS_ACCESS_VIOLATION";
    case OversizedSidAccepted: return "observed; server/security.h sid_valid_size checks the size only";
    case ZeroSizeAclIsNull: return "observed; the descriptor is passed on with AclSize bytes of DACL, so none";
    case kDepartureCount: break;
  }
  return "?";
}

std::string Outcome::text() const {
  char buf[96];
  std::snprintf(buf, sizeof buf, "return %u, last error %u (0x%x), status 0x%x, granted 0x%x", result, error, error,
                status, granted);
  return buf;
}

Outcome modelAccessCheck(const Bytes& descriptor, const TokenSids& token, uint32_t desired, const Mapping& mapping,
                         unsigned switches) {
  const Reader r{descriptor};
  const uint32_t malformed = on(switches, MalformedAccessViolation) ? kNoAccess : kInvalidDescriptor;
  if (r.u8(0) != 1 || !(r.u16(2) & kSelfRelative)) return failed(malformed);
  const uint16_t control = r.u16(2);
  const uint32_t ownerAt = r.u32(4), groupAt = r.u32(8), daclAt = r.u32(16);
  std::optional<Bytes> owner, group;
  if (ownerAt && !(owner = sidAt(r, ownerAt, 68))) return failed(malformed);
  if (groupAt && !(group = sidAt(r, groupAt, 68))) return failed(malformed);
  const bool hasDacl =
      (control & kDaclPresent) && daclAt && !(on(switches, ZeroSizeAclIsNull) && r.u16(daclAt + 2) == 0);
  std::vector<Entry> entries;
  if (hasDacl) {
    std::optional<std::vector<Entry>> acl = aclAt(r, daclAt, on(switches, OversizedSidAccepted));
    if (!acl) return failed(malformed);
    entries = std::move(*acl);
  }
  if (!owner || !group) return failed(kInvalidDescriptor);

  const bool maximum = (desired & kMaximumAllowed) != 0;
  const uint32_t wanted = desired & ~kMaximumAllowed;
  if (!hasDacl) return granted(maximum ? wanted | mapping.all : wanted);

  // Which token SIDs count, and in which sense.
  const Bytes user = sidFromString(token.user);
  auto inToken = [&](const Bytes& sid, bool denySense) {
    if (sid == sidFromString("S-1-5-10")) return false;  // SELF: AccessCheck names no principal
    if (sid == user) return true;
    for (const TokenGroup& g : token.groups) {
      if (sidFromString(g.sid) != sid) continue;
      if (g.attributes & 0x4) return true;  // SE_GROUP_ENABLED
      if (denySense && (g.attributes & 0x10) && !on(switches, DenyOnlyIgnored)) return true;
    }
    return false;
  };
  const Bytes ownerRights = sidFromString("S-1-3-4");
  const bool ownerRightsApply = !on(switches, OwnerRightsIgnored);
  auto effective = [](const Entry& e) { return !(e.flags & kInheritOnly); };
  bool ownerRightsEntries = false;
  for (const Entry& e : entries)
    if (effective(e) && e.sid == ownerRights) ownerRightsEntries = ownerRightsApply;
  auto matches = [&](const Entry& e, bool denySense) {
    if (ownerRightsApply && e.sid == ownerRights) return inToken(*owner, denySense);
    return inToken(e.sid, denySense);
  };
  auto maskOf = [&](const Entry& e) { return on(switches, AceGenericsMapped) ? mapGeneric(e.mask, mapping) : e.mask; };

  uint32_t implicit = 0;
  if (!ownerRightsEntries && inToken(*owner, false))
    implicit = on(switches, OwnerStandardRights) ? kStandardRequiredAndSynchronize : kReadControl | kWriteDac;

  if (maximum) {
    uint32_t grantedBits = implicit, deniedBits = 0;
    const bool takes = on(switches, MaximumDenyTakesGranted);
    for (const Entry& e : entries) {
      if (!effective(e)) continue;
      if (e.type == 1 && matches(e, true)) deniedBits |= takes ? maskOf(e) : maskOf(e) & ~grantedBits;
      if (e.type == 0 && matches(e, false)) grantedBits |= takes ? maskOf(e) : maskOf(e) & ~deniedBits;
    }
    if (takes) grantedBits &= ~deniedBits;
    if (grantedBits == 0 || (wanted & ~grantedBits)) return denied();
    return granted(grantedBits | wanted);
  }

  if (wanted == 0) return denied();
  const bool whole = on(switches, DenyAgainstWholeRequest);
  uint32_t remaining = wanted & ~implicit;
  // Windows grants at once what the owner's rights cover; Wine only on an exact match, and
  // otherwise looks at the first entry before it stops.
  if (whole ? wanted == implicit : remaining == 0) return granted(wanted);
  for (const Entry& e : entries) {
    if (!effective(e)) continue;
    if (e.type == 1) {
      if (matches(e, true) && (maskOf(e) & (whole ? wanted : remaining))) return denied();
    } else if (matches(e, false)) {
      remaining &= ~maskOf(e);
    }
    // Both stop once nothing is missing; Wine looks only after an entry, Windows before one too.
    if (remaining == 0) return granted(wanted);
  }
  return remaining == 0 ? granted(wanted) : denied();
}

}  // namespace conformance
