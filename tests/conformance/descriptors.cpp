#include "descriptors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace conformance {
namespace {

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kDaclPresent = 0x0004;

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

struct Entry {
  uint8_t type;
  uint8_t flags;
  uint32_t mask;
  Bytes sid;
  uint16_t sizeCut = 0;  // bytes taken off the stored entry size (the SID stays whole)
};

Bytes aceBytes(const Entry& e) {
  Bytes b(8, 0);
  b[0] = e.type;
  b[1] = e.flags;
  put16(b, 2, static_cast<uint16_t>(8 + e.sid.size() - e.sizeCut));
  put32(b, 4, e.mask);
  append(b, e.sid);
  return b;
}

// An ACL of these entries; `countExtra` entries more than it holds, `sizeCut` bytes off AclSize,
// or an AclSize of `sizeOverride` when set.
Bytes aclBytes(const std::vector<Entry>& entries, uint16_t countExtra = 0, uint16_t sizeCut = 0, int sizeOverride = -1) {
  Bytes b(8, 0);
  b[0] = 2;  // ACL_REVISION
  for (const Entry& e : entries) append(b, aceBytes(e));
  for (const Entry& e : entries) b.resize(b.size() - e.sizeCut);  // the cut entries' bytes are not there
  const uint16_t size = sizeOverride >= 0 ? static_cast<uint16_t>(sizeOverride) : static_cast<uint16_t>(b.size() - sizeCut);
  put16(b, 2, size);
  put16(b, 4, static_cast<uint16_t>(entries.size() + countExtra));
  return b;
}

// The SIDs the generator draws from. In Wine's tokens: the user, the eight groups. In none:
// SYSTEM, Guests, another local user, and the special SIDs no token holds.
const char* const kInToken[] = {"S-1-1-0",  "S-1-2-0",      "S-1-5-4",      "S-1-5-11",
                                "S-1-5-21-0-0-0-513", "S-1-5-32-544", "S-1-5-32-545", "S-1-5-5-0-0"};
const char* const kNotInToken[] = {"S-1-5-18", "S-1-5-32-546", "S-1-5-21-0-0-0-1001"};
const char* const kSpecial[] = {"S-1-3-4", "S-1-3-0", "S-1-5-10"};  // OWNER RIGHTS, CREATOR OWNER, SELF
// The deny-only groups of token 1; drawn often, since that is where the two platforms part.
const char* const kDenyOnly[] = {"S-1-5-32-545", "S-1-5-32-544"};

const uint32_t kMasks[] = {0x20089,  0x1F01FF,   0x1200A9,   0x120089,   0x1301BF,   0x1,        0x8,
                           0x80,     0x89,       0x20088,    0x20000,    0x100000,   0x40000,    0x60000,
                           0x116,    0x10000000, 0xA0000000, 0x80000000, 0xE0010000, 0x20000000, 0x40000000};
const uint8_t kFlags[] = {0, 0, 0, 0x10, 0x10, 0x08, 0x0B, 0x03, 0x13, 0x1B};

template <typename T, size_t N>
const T& pick(Random& r, const T (&items)[N]) {
  return items[r.below(static_cast<uint32_t>(N))];
}

Bytes entrySid(Random& r, const std::string& user) {
  const uint32_t roll = r.below(100);
  if (roll < 20) return sidFromString(user);
  if (roll < 60) return sidFromString(pick(r, kInToken));
  if (roll < 72) return sidFromString(pick(r, kDenyOnly));
  if (roll < 86) return sidFromString(pick(r, kNotInToken));
  return sidFromString(pick(r, kSpecial));
}

uint32_t entryMask(Random& r) {
  if (r.chance(70)) return pick(r, kMasks);
  // Random specific bits, now and then with a generic bit on top.
  uint32_t mask = static_cast<uint32_t>(r.next()) & 0x1F01FF;
  if (r.chance(25)) mask |= 0x10000000u << r.below(4);
  return mask ? mask : 0x1;
}

Entry randomEntry(Random& r, const std::string& user) {
  Entry e;
  e.type = r.chance(55) ? 0 : 1;  // allow, deny
  e.flags = pick(r, kFlags);
  e.mask = entryMask(r);
  e.sid = entrySid(r, user);
  return e;
}

Bytes ownerSid(Random& r, const std::string& user) {
  const uint32_t roll = r.below(100);
  if (roll < 45) return sidFromString(user);
  if (roll < 60) return sidFromString("S-1-5-32-544");  // enabled in token 0, deny-only in token 1
  if (roll < 68) return sidFromString("S-1-5-32-545");
  if (roll < 76) return sidFromString("S-1-5-21-0-0-0-513");
  if (roll < 90) return sidFromString("S-1-5-18");
  return sidFromString("S-1-5-21-0-0-0-1001");
}

// A SID of 16 sub-authorities: one more than a SID may hold.
Bytes oversizedSid() {
  Bytes b(8 + 4 * 16, 0);
  b[0] = 1;
  b[1] = 16;
  b[7] = 5;
  for (int k = 0; k < 16; ++k) b[8 + 4 * k] = static_cast<uint8_t>(21 + k);
  return b;
}

// Header, then the parts in the given order; an empty part gets offset 0.
Bytes descriptorBytes(uint16_t control, const Bytes& owner, const Bytes& group, const Bytes* dacl, bool daclFirst) {
  Bytes b(20, 0);
  b[0] = 1;
  put16(b, 2, control);
  auto place = [&](const Bytes& part, size_t offsetField) {
    if (part.empty()) return;
    put32(b, offsetField, static_cast<uint32_t>(b.size()));
    append(b, part);
  };
  if (daclFirst && dacl) place(*dacl, 16);
  place(owner, 4);
  place(group, 8);
  if (!daclFirst && dacl) place(*dacl, 16);
  return b;
}

}  // namespace

uint64_t Random::next() {
  // splitmix64
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Bytes sidFromString(const std::string& text) {
  if (text.rfind("S-1-", 0) != 0) return {};
  std::vector<uint64_t> parts;
  const char* p = text.c_str() + 4;
  while (*p) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(p, &end, 10);
    if (end == p) return {};
    parts.push_back(v);
    p = end;
    if (*p == '-') ++p;
    else if (*p) return {};
  }
  if (parts.empty() || parts.size() > 16 || parts[0] >= (1ull << 48)) return {};
  Bytes b(8 + 4 * (parts.size() - 1), 0);
  b[0] = 1;
  b[1] = static_cast<uint8_t>(parts.size() - 1);
  for (int k = 0; k < 6; ++k) b[2 + k] = static_cast<uint8_t>(parts[0] >> (8 * (5 - k)));
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] > 0xFFFFFFFFull) return {};
    put32(b, 8 + 4 * (i - 1), static_cast<uint32_t>(parts[i]));
  }
  return b;
}

std::string sidToString(const Bytes& sid) {
  if (sid.size() < 8) return "?";
  uint64_t authority = 0;
  for (int k = 0; k < 6; ++k) authority = (authority << 8) | sid[2 + k];
  std::string s = "S-1-" + std::to_string(authority);
  for (size_t i = 0; i < sid[1] && 8 + 4 * i + 4 <= sid.size(); ++i) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= static_cast<uint32_t>(sid[8 + 4 * i + k]) << (8 * k);
    s += "-" + std::to_string(v);
  }
  return s;
}

std::vector<TokenSids> wineTokens() {
  const std::string user = "S-1-5-21-0-0-0-1000";
  TokenSids process{"process", user,
                    {{"S-1-1-0", 0x7},
                     {"S-1-2-0", 0x7},
                     {"S-1-5-4", 0x7},
                     {"S-1-5-11", 0x7},
                     {"S-1-5-21-0-0-0-513", 0xF},
                     {"S-1-5-32-544", 0xF},
                     {"S-1-5-32-545", 0x7},
                     {"S-1-5-5-0-0", 0xC0000007}}};
  TokenSids restricted = process;
  restricted.name = "restricted";
  restricted.groups[5].attributes = 0x19;
  restricted.groups[6].attributes = 0x11;
  return {process, restricted};
}

std::vector<Descriptor> generateDescriptors(uint64_t seed, size_t count, const std::string& user) {
  std::vector<Descriptor> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    // One stream per descriptor: a longer run repeats a shorter one with the same seed.
    Random r(seed ^ (0xD1B54A32D192ED03ull * (i + 1)));
    Descriptor d;
    const uint32_t roll = r.below(100);
    d.kind = roll < 4    ? DaclKind::None
             : roll < 8  ? DaclKind::Null
             : roll < 14 ? DaclKind::Empty
             : roll < 19 ? DaclKind::Malformed
             : roll < 20 ? (r.chance(50) ? DaclKind::NoOwner : DaclKind::NoGroup)
                         : DaclKind::Entries;
    Bytes owner = d.kind == DaclKind::NoOwner ? Bytes{} : ownerSid(r, user);
    Bytes group = d.kind == DaclKind::NoGroup ? Bytes{} : sidFromString(r.chance(70) ? "S-1-5-21-0-0-0-513" : "S-1-5-18");
    uint16_t control = kSelfRelative | kDaclPresent;
    if (r.chance(30)) control |= 0x0400;  // SE_DACL_AUTO_INHERITED, as NTFS hands them out
    if (r.chance(10)) control |= 0x1000;  // SE_DACL_PROTECTED
    const bool daclFirst = r.chance(15);

    std::vector<Entry> entries;
    const size_t n = r.chance(85) ? 1 + r.below(5) : 6 + r.below(6);
    if (d.kind == DaclKind::Entries || d.kind == DaclKind::Malformed || d.kind == DaclKind::NoOwner ||
        d.kind == DaclKind::NoGroup)
      for (size_t k = 0; k < n; ++k) entries.push_back(randomEntry(r, user));

    Bytes dacl;
    switch (d.kind) {
      case DaclKind::None:
        control &= static_cast<uint16_t>(~kDaclPresent);
        break;
      case DaclKind::Null:
        break;  // present, offset 0
      case DaclKind::Empty:
        dacl = aclBytes({});
        break;
      case DaclKind::Entries:
        // Now and then the shape where the two walks part: a bit granted, then denied, then the
        // rest granted.
        if (r.chance(8)) {
          const uint32_t part = r.chance(50) ? 0x1 : 0x20000;
          entries = {Entry{0, 0, part, entrySid(r, user)}, Entry{1, 0, part | (r.chance(50) ? 0x100 : 0), entrySid(r, user)},
                     Entry{0, 0, 0x20089 & ~part, entrySid(r, user)}};
        }
        dacl = aclBytes(entries);
        break;
      case DaclKind::NoOwner:
      case DaclKind::NoGroup:
        dacl = aclBytes(entries);
        break;
      case DaclKind::Malformed: {
        // The entry the malformation touches is a deny for the whole read right: a check that
        // read on past it, or dropped it, would grant what it forbids.
        Entry deny{1, 0, 0x1F01FF, sidFromString("S-1-1-0")};
        switch (r.below(5)) {
          case 0:
            d.malformation = "AceCount past the entries";
            dacl = aclBytes(entries, static_cast<uint16_t>(1 + r.below(3)));
            break;
          case 1: {
            const int size = static_cast<int>(4 * r.below(2));
            d.malformation = size ? "AclSize 4, below the header" : "AclSize 0";
            dacl = aclBytes(entries, 0, 0, size);
            break;
          }
          case 2:
            d.malformation = "AclSize cuts an entry off";
            entries.push_back(deny);
            dacl = aclBytes(entries, 0, static_cast<uint16_t>(4 * (1 + r.below(3))));
            break;
          case 3:
            d.malformation = "entry SID with 16 sub-authorities";
            deny.sid = oversizedSid();
            entries.insert(entries.begin() + r.below(static_cast<uint32_t>(entries.size() + 1)), deny);
            dacl = aclBytes(entries);
            break;
          default:
            d.malformation = "entry too small for its SID";
            deny.sizeCut = 4;
            entries.push_back(deny);
            dacl = aclBytes(entries);
            break;
        }
        break;
      }
    }
    d.bytes = descriptorBytes(control, owner, group, d.kind == DaclKind::None || d.kind == DaclKind::Null ? nullptr : &dacl,
                              daclFirst);
    out.push_back(std::move(d));
  }
  return out;
}

std::string toHex(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 15]);
  }
  return s;
}

}  // namespace conformance
