// The conformance run's model held to the worked cases of the reference notes: what Windows gives
// (the model with no departure on, and winsim) and what Wine 8 gave (the model with all on). The
// run itself compares the model with winsim and Wine on generated descriptors; these cases keep
// the model tied to the documented answers, so that it cannot agree with winsim by sharing a fault.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "descriptors.h"
#include "model.h"
#include "winsim/machine.h"

namespace {

using namespace conformance;

constexpr const char* kUser = "S-1-5-21-0-0-0-1000";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kOwnerRights = "S-1-3-4";
constexpr uint32_t kRead = 0x20089, kMaximum = 0x02000000;

struct Ace {
  uint8_t type;  // 0 allow, 1 deny
  const char* sid;
  uint32_t mask;
  uint8_t flags = 0;
};
Ace allow(const char* sid, uint32_t mask, uint8_t flags = 0) { return {0, sid, mask, flags}; }
Ace deny(const char* sid, uint32_t mask) { return {1, sid, mask, 0}; }

void put16(Bytes& b, size_t at, size_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

// Self-relative, owner and group `owner`; nullopt: no DACL.
Bytes descriptor(const char* owner, const std::optional<std::vector<Ace>>& dacl) {
  Bytes b(20, 0);
  b[0] = 1;
  put16(b, 2, dacl ? 0x8004 : 0x8000);
  const Bytes sid = sidFromString(owner);
  put32(b, 4, 20);
  b.insert(b.end(), sid.begin(), sid.end());
  put32(b, 8, static_cast<uint32_t>(b.size()));
  b.insert(b.end(), sid.begin(), sid.end());
  if (dacl) {
    const size_t at = b.size();
    put32(b, 16, static_cast<uint32_t>(at));
    b.resize(at + 8, 0);
    b[at] = 2;
    for (const Ace& a : *dacl) {
      const Bytes s = sidFromString(a.sid);
      const size_t e = b.size();
      b.resize(e + 8, 0);
      b[e] = a.type;
      b[e + 1] = a.flags;
      put16(b, e + 2, 8 + s.size());
      put32(b, e + 4, a.mask);
      b.insert(b.end(), s.begin(), s.end());
    }
    put16(b, at + 2, b.size() - at);
    put16(b, at + 4, dacl->size());
  }
  return b;
}

// The reference notes' token: user U with Everyone, Users and Authenticated Users enabled.
TokenSids token(bool usersDenyOnly = false) {
  return {"worked", kUser, {{kEveryone, 0x7}, {kUsers, usersDenyOnly ? 0x11u : 0x7u}, {"S-1-5-11", 0x7}}};
}

// Granted mask, or 0 for a denial (a check that ran: TRUE, status FALSE, last error 5).
uint32_t verdict(const Outcome& o) {
  EXPECT_EQ(o.result, 1u) << o.text();
  if (o.status) return o.granted;
  EXPECT_EQ(o.error, 5u) << o.text();
  return 0;
}

Outcome winsimCheck(const Bytes& sd, const TokenSids& t, uint32_t desired) {
  std::vector<winsim::GroupMembership> groups;
  for (const TokenGroup& g : t.groups) groups.push_back({g.sid, g.attributes});
  HANDLE h = winsim::createToken(t.user, groups);
  Bytes buffer = sd;
  GENERIC_MAPPING mapping{0x20089, 0x116, 0x200A0, 0x1F01FF};
  PRIVILEGE_SET privileges{};
  DWORD length = sizeof privileges, granted = kGrantedSentinel;
  BOOL status = static_cast<BOOL>(kStatusSentinel);
  SetLastError(kErrorSentinel);
  const BOOL result = AccessCheck(buffer.data(), h, desired, &mapping, &privileges, &length, &granted, &status);
  const Outcome o{static_cast<uint32_t>(result), static_cast<uint32_t>(GetLastError()), static_cast<uint32_t>(status),
                  static_cast<uint32_t>(granted)};
  CloseHandle(h);
  return o;
}

TEST(AccessCheckModel, AnswersTheWorkedCasesAsWindowsAndWineDo) {
  winsim::install(winsim::defaultMachine());
  const struct {
    const char* name;
    const char* owner;
    std::optional<std::vector<Ace>> dacl;
    bool usersDenyOnly;
    uint32_t desired;
    uint32_t windows, wine;  // granted mask, 0 for denied
  } cases[] = {
      {"allow Everyone the read right", kSystem, std::vector<Ace>{allow(kEveryone, kRead)}, false, kRead, kRead, kRead},
      {"allow Everyone all: the desired mask comes back", kSystem, std::vector<Ace>{allow(kEveryone, 0x1F01FF)}, false,
       kRead, kRead, kRead},
      {"no DACL", kSystem, std::nullopt, false, kRead, kRead, kRead},
      {"no DACL, MAXIMUM_ALLOWED: the mapping's GenericAll", kSystem, std::nullopt, false, kMaximum, 0x1F01FF, 0x1F01FF},
      {"empty DACL, owner asks READ_CONTROL", kUser, std::vector<Ace>{}, false, 0x20000, 0x20000, 0x20000},
      {"empty DACL, owner asks the read right", kUser, std::vector<Ace>{}, false, kRead, 0, 0},
      {"inherit-only entry is skipped", kSystem, std::vector<Ace>{allow(kEveryone, 0x1F01FF, 0x08)}, false, kRead, 0, 0},
      {"deny first", kSystem, std::vector<Ace>{deny(kEveryone, 0x1), allow(kEveryone, 0x1F01FF)}, false, kRead, 0, 0},
      {"deny after the grant", kSystem, std::vector<Ace>{allow(kEveryone, 0x1F01FF), deny(kEveryone, 0x1)}, false, kRead,
       kRead, kRead},
      {"deny of another bit", kSystem, std::vector<Ace>{deny(kEveryone, 0x2), allow(kEveryone, 0x1F01FF)}, false, kRead,
       kRead, kRead},
      {"grants accumulate", kSystem, std::vector<Ace>{allow(kEveryone, 0x20008), allow(kUsers, 0x81)}, false, kRead,
       kRead, kRead},
      {"a part is not enough", kSystem, std::vector<Ace>{allow(kEveryone, 0x20008)}, false, kRead, 0, 0},
      {"an entry for a SID not in the token", kSystem, std::vector<Ace>{allow(kSystem, 0x1F01FF)}, false, kRead, 0, 0},
      {"an entry for the user", kSystem, std::vector<Ace>{allow(kUser, 0x1F01FF)}, false, kRead, kRead, kRead},
      {"generic entry mask", kSystem, std::vector<Ace>{allow(kEveryone, 0x80000000)}, false, kRead, 0, kRead},
      {"deny-only group allowed", kSystem, std::vector<Ace>{allow(kUsers, 0x1F01FF)}, true, kRead, 0, 0},
      {"deny-only group denied", kSystem, std::vector<Ace>{deny(kUsers, 0x1), allow(kEveryone, 0x1F01FF)}, true, kRead,
       0, kRead},
      {"OWNER RIGHTS replace the owner's rights", kUser, std::vector<Ace>{allow(kOwnerRights, 0x1)}, false, 0x20000, 0,
       0x20000},
      {"MAXIMUM_ALLOWED, owner with an allow of the read right", kUser, std::vector<Ace>{allow(kUser, kRead)}, false,
       kMaximum, 0x60089, 0x1F0089},
      {"MAXIMUM_ALLOWED, owner with an empty DACL", kUser, std::vector<Ace>{}, false, kMaximum, 0x60000, 0x1F0000},
      {"deny of a bit already granted", kSystem,
       std::vector<Ace>{allow(kEveryone, 0x1), deny(kEveryone, 0x1), allow(kEveryone, 0x20088)}, false, kRead, kRead, 0},
      {"MAXIMUM_ALLOWED, deny after the grant", kSystem,
       std::vector<Ace>{allow(kEveryone, 0x1F01FF), deny(kEveryone, 0x1)}, false, kMaximum, 0x1F01FF, 0x1F01FE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes sd = descriptor(c.owner, c.dacl);
    const TokenSids t = token(c.usersDenyOnly);
    EXPECT_EQ(verdict(modelAccessCheck(sd, t, c.desired, kReadMapping, kWindows)), c.windows) << "Windows model";
    EXPECT_EQ(verdict(modelAccessCheck(sd, t, c.desired, kReadMapping, kWine)), c.wine) << "Wine model";
    EXPECT_EQ(verdict(winsimCheck(sd, t, c.desired)), c.windows) << "winsim";
  }
  EXPECT_EQ(winsim::openHandles(), 0u);
}

TEST(AccessCheckModel, MalformedDescriptorsFailAsEachPlatformDoes) {
  Bytes sd = descriptor(kSystem, std::vector<Ace>{deny(kEveryone, kRead), allow(kEveryone, 0x1F01FF)});
  sd[20 + 2 * 12 + 4] = 3;  // AceCount 3 for 2 entries
  const Outcome windows = modelAccessCheck(sd, token(), kRead, kReadMapping, kWindows);
  EXPECT_EQ(windows, (Outcome{0, 1338, kStatusSentinel, kGrantedSentinel})) << windows.text();
  const Outcome wine = modelAccessCheck(sd, token(), kRead, kReadMapping, kWine);
  EXPECT_EQ(wine, (Outcome{0, 998, kStatusSentinel, kGrantedSentinel})) << wine.text();
  winsim::install(winsim::defaultMachine());
  sd.resize(sd.size() + 0x10000, 0);
  EXPECT_EQ(winsimCheck(sd, token(), kRead), windows);
}

TEST(AccessCheckModel, GenerationIsReproducible) {
  const std::vector<Descriptor> a = generateDescriptors(99, 300, kUser);
  const std::vector<Descriptor> b = generateDescriptors(99, 500, kUser);
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].bytes, b[i].bytes) << i;
  EXPECT_NE(generateDescriptors(100, 1, kUser)[0].bytes, a[0].bytes);
}

}  // namespace
