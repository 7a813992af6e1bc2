// A small model of AccessCheck as Windows documents it, with each way Wine 8 departs from it as a
// switch. With no switch on it is what winsim must answer; with all of them on, what Wine answers.
// Switching one departure on (or off) alone shows which departure a difference comes from.
#pragma once

#include <cstdint>
#include <string>

#include "descriptors.h"

namespace conformance {

enum Departure : unsigned {
  AceGenericsMapped,         // generic bits in an entry's mask are mapped before matching
  DenyOnlyIgnored,           // deny-only groups match no entry, deny entries included
  OwnerRightsIgnored,        // OWNER RIGHTS (S-1-3-4) entries do not replace the owner's implicit rights
  OwnerStandardRights,       // the owner's implicit rights are 0x1F0000, not READ_CONTROL | WRITE_DAC
  DenyAgainstWholeRequest,   // a deny entry counts against the whole request, not what is still missing
  MaximumDenyTakesGranted,   // under MAXIMUM_ALLOWED a deny entry removes bits already granted
  MalformedAccessViolation,  // a malformed descriptor fails with 998, not 1338
  OversizedSidAccepted,      // an entry SID of more than 15 sub-authorities passes (and matches nothing)
  ZeroSizeAclIsNull,         // a DACL whose AclSize is 0 counts as a null DACL (grants everything)
  kDepartureCount
};
constexpr unsigned kWindows = 0;
constexpr unsigned kWine = (1u << kDepartureCount) - 1;

const char* departureName(Departure d);
// Where the departure is seen: the function of Wine's source, or the observation.
const char* departureSource(Departure d);

// What one AccessCheck call leaves: its return value, the last error, and the two outputs. The
// run sets the sentinels below before each call, so an output left alone keeps its sentinel.
struct Outcome {
  uint32_t result = 0;
  uint32_t error = 0;
  uint32_t status = 0;
  uint32_t granted = 0;
  bool operator==(const Outcome& o) const {
    return result == o.result && error == o.error && status == o.status && granted == o.granted;
  }
  bool operator!=(const Outcome& o) const { return !(*this == o); }
  std::string text() const;
};
constexpr uint32_t kErrorSentinel = 0xDEADBEEF;
constexpr uint32_t kGrantedSentinel = 0xA5A5A5A5;
constexpr uint32_t kStatusSentinel = 0x5A5A;

struct Mapping {
  uint32_t read, write, execute, all;
};
constexpr Mapping kReadMapping{0x20089, 0x116, 0x200A0, 0x1F01FF};

// AccessCheck on a self-relative descriptor with the departures in `switches` (bit n: Departure n).
// `desired` holds no generic bits.
Outcome modelAccessCheck(const Bytes& descriptor, const TokenSids& token, uint32_t desired, const Mapping& mapping,
                         unsigned switches);

}  // namespace conformance
