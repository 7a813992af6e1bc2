// winsim refuses malformed ACLs wherever it reads one: AccessCheck fails the descriptor, GetAce and
// GetAclInformation the ACL. A check that read the entries it could and dropped the rest would
// grant what a broken deny entry forbids.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr DWORD kSentinel = 0xDEADBEEF;
const Bytes kEveryone{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
const Bytes kAlice{1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE9, 3, 0, 0};

void put16(Bytes& b, size_t at, size_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

Bytes entry(uint8_t type, uint32_t mask, const Bytes& sid) {
  Bytes e{type, 0, 0, 0, static_cast<uint8_t>(mask), static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask >> 16),
          static_cast<uint8_t>(mask >> 24)};
  e.insert(e.end(), sid.begin(), sid.end());
  put16(e, 2, e.size());
  return e;
}

// A deny entry for Everyone's read right, then an allow of everything: the deny decides.
struct AclBuild {
  Bytes deny = entry(ACCESS_DENIED_ACE_TYPE, 0x20089, kEveryone);
  Bytes allow = entry(ACCESS_ALLOWED_ACE_TYPE, 0x1F01FF, kEveryone);
  size_t countExtra = 0;
  int aclSize = -1;  // -1: the bytes held
  Bytes acl() const {
    Bytes b{2, 0, 0, 0, 0, 0, 0, 0};
    b.insert(b.end(), deny.begin(), deny.end());
    b.insert(b.end(), allow.begin(), allow.end());
    put16(b, 2, aclSize < 0 ? b.size() : static_cast<size_t>(aclSize));
    put16(b, 4, 2 + countExtra);
    return b;
  }
};

// Self-relative: header, owner alice, group alice, the DACL; zero padding behind it, since a
// malformed ACL may claim more than it holds.
Bytes descriptorWith(const Bytes& acl) {
  Bytes b(20, 0);
  b[0] = 1;
  put16(b, 2, 0x8004);
  b[4] = 20;
  b[8] = static_cast<uint8_t>(20 + kAlice.size());
  b.insert(b.end(), kAlice.begin(), kAlice.end());
  b.insert(b.end(), kAlice.begin(), kAlice.end());
  b[16] = static_cast<uint8_t>(b.size());
  b.insert(b.end(), acl.begin(), acl.end());
  b.resize(b.size() + 0x10000, 0);
  return b;
}

class WinsimAcl : public testing::Test {
 protected:
  void SetUp() override {
    winsim::install(testsupport::machineWithAlice());
    token = winsim::createToken(testsupport::sids::kAlice, {{testsupport::sids::kEveryone}});
  }
  void TearDown() override {
    CloseHandle(token);
    testsupport::expectClean();
  }
  HANDLE token = nullptr;
  GENERIC_MAPPING mapping{0x20089, 0x116, 0x200A0, 0x1F01FF};
};

TEST_F(WinsimAcl, AWellFormedDenyEntryDecides) {
  Bytes sd = descriptorWith(AclBuild{}.acl());
  PRIVILEGE_SET privileges{};
  DWORD length = sizeof privileges, granted = 0xA5A5;
  BOOL status = 7;
  SetLastError(kSentinel);
  ASSERT_TRUE(AccessCheck(sd.data(), token, 0x20089, &mapping, &privileges, &length, &granted, &status));
  EXPECT_EQ(status, FALSE);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(WinsimAcl, MalformedAclsAreRefusedNotReadInPart) {
  Bytes tooSmall = entry(ACCESS_DENIED_ACE_TYPE, 0x20089, kEveryone);
  put16(tooSmall, 2, tooSmall.size() - 4);  // the SID runs 4 bytes past the entry
  tooSmall.resize(tooSmall.size() - 4);
  Bytes oversized{1, 16, 0, 0, 0, 0, 0, 5};  // S-1-5 with 16 sub-authorities: one too many
  oversized.resize(8 + 4 * 16, 7);
  const struct {
    const char* name;
    AclBuild build;
  } cases[] = {
      {"AceCount past the entries", [] { AclBuild b; b.countExtra = 1; return b; }()},
      {"AclSize below the 8-byte header", [] { AclBuild b; b.aclSize = 4; return b; }()},
      {"AclSize 0", [] { AclBuild b; b.aclSize = 0; return b; }()},
      {"AclSize cuts the allow entry off", [] { AclBuild b; b.aclSize = 8 + 20 + 12; return b; }()},
      {"deny entry too small for its SID", [&] { AclBuild b; b.deny = tooSmall; return b; }()},
      {"deny SID with 16 sub-authorities", [&] { AclBuild b; b.deny = entry(ACCESS_DENIED_ACE_TYPE, 0x20089, oversized); return b; }()},
      {"deny entry size below its header", [] { AclBuild b; put16(b.deny, 2, 2); return b; }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes acl = c.build.acl();
    acl.resize(acl.size() + 0x10000, 0);
    Bytes sd = descriptorWith(c.build.acl());
    PRIVILEGE_SET privileges{};
    DWORD length = sizeof privileges, granted = 0xA5A5;
    BOOL status = 7;
    SetLastError(kSentinel);
    EXPECT_FALSE(AccessCheck(sd.data(), token, 0x20089, &mapping, &privileges, &length, &granted, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_EQ(granted, 0xA5A5u) << "outputs untouched";
    EXPECT_EQ(status, 7);
    SetLastError(kSentinel);
    EXPECT_FALSE(AccessCheck(sd.data(), token, MAXIMUM_ALLOWED, &mapping, &privileges, &length, &granted, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    auto* list = reinterpret_cast<PACL>(acl.data());
    LPVOID ace = reinterpret_cast<LPVOID>(0x1234);
    SetLastError(kSentinel);
    EXPECT_FALSE(GetAce(list, 0, &ace));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
    EXPECT_EQ(ace, reinterpret_cast<LPVOID>(0x1234));
    ACL_SIZE_INFORMATION size{};
    SetLastError(kSentinel);
    EXPECT_FALSE(GetAclInformation(list, &size, sizeof size, AclSizeInformation));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
    ACL_REVISION_INFORMATION revision{};
    EXPECT_FALSE(GetAclInformation(list, &revision, sizeof revision, AclRevisionInformation));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
  }
}

TEST_F(WinsimAcl, AclRevisionsTwoToFourAreAccepted) {
  for (uint8_t revision : {0, 1, 2, 3, 4, 5}) {
    SCOPED_TRACE(static_cast<int>(revision));
    Bytes acl = AclBuild{}.acl();
    acl[0] = revision;
    const bool valid = revision >= 2 && revision <= 4;
    LPVOID ace = nullptr;
    SetLastError(kSentinel);
    EXPECT_EQ(GetAce(reinterpret_cast<PACL>(acl.data()), 1, &ace), valid ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), valid ? kSentinel : static_cast<DWORD>(ERROR_INVALID_ACL));
    if (valid) {
      EXPECT_EQ(ace, acl.data() + 8 + 20);
    }
  }
}

TEST_F(WinsimAcl, FreeSpaceAfterTheEntriesIsNoFault) {
  AclBuild b;
  b.aclSize = 8 + 20 + 20 + 16;
  Bytes acl = b.acl();
  acl.resize(b.aclSize, 0);
  ACL_SIZE_INFORMATION size{};
  ASSERT_TRUE(GetAclInformation(reinterpret_cast<PACL>(acl.data()), &size, sizeof size, AclSizeInformation));
  EXPECT_EQ(size.AceCount, 2u);
  EXPECT_EQ(size.AclBytesInUse, 48u);
  EXPECT_EQ(size.AclBytesFree, 16u);
  Bytes sd = descriptorWith(acl);
  PRIVILEGE_SET privileges{};
  DWORD length = sizeof privileges, granted = 0;
  BOOL status = 7;
  ASSERT_TRUE(AccessCheck(sd.data(), token, 0x20089, &mapping, &privileges, &length, &granted, &status));
  EXPECT_EQ(status, FALSE) << "the deny entry still decides";
}

}  // namespace
