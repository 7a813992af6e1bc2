// Seeded security descriptors for the access check conformance run, and the SIDs and tokens
// they are drawn against. Plain bytes throughout, so the same code serves winsim, the model and
// the hex file handed to the Wine program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace conformance {

using Bytes = std::vector<uint8_t>;

// Binary SID from its string form (S-1-5-32-544); empty when it does not parse.
Bytes sidFromString(const std::string& text);
std::string sidToString(const Bytes& sid);

struct TokenGroup {
  std::string sid;
  uint32_t attributes = 0;
};
struct TokenSids {
  std::string name;
  std::string user;
  std::vector<TokenGroup> groups;  // token order
};

// Wine 8's two tokens as the Wine program reports them (process token; the same with Users and
// Administrators deny-only), for a run without Wine.
std::vector<TokenSids> wineTokens();

// A small deterministic generator: the same seed gives the same descriptors on every platform,
// since nothing here depends on the standard library's distributions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next();
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  uint64_t state_;
};

// What a generated descriptor exercises, for the run's report.
enum class DaclKind { None, Null, Empty, Entries, Malformed, NoOwner, NoGroup };

struct Descriptor {
  Bytes bytes;  // self-relative
  DaclKind kind = DaclKind::Entries;
  std::string malformation;  // set for DaclKind::Malformed
};

// `count` descriptors from `seed`. `user` is the token's user SID (so that the owner and the
// entries can name it); the other SIDs are the groups of Wine's tokens and some that are in no token.
std::vector<Descriptor> generateDescriptors(uint64_t seed, size_t count, const std::string& user);

std::string toHex(const Bytes& bytes);

}  // namespace conformance
