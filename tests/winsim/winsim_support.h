// Helpers for tests that run against winsim alone: machines to start from, the accounts and files
// on them, and the check that an operation left nothing behind. Nothing here touches product code,
// so winsim's own tests build without it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "winsim/machine.h"

namespace testsupport {

// Well-known SIDs and the accounts of the test machines, by name.
namespace sids {
constexpr const char* kAlice = "S-1-5-21-1-2-3-1001";
constexpr const char* kBob = "S-1-5-21-1-2-3-1002";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kSystem = "S-1-5-18";
}  // namespace sids

// A workgroup machine with one local account "alice" / "Secret1!" in Users.
inline winsim::Machine machineWithAlice() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "TESTHOST";
  winsim::Account alice;
  alice.name = "alice";
  alice.sid = sids::kAlice;
  alice.password = "Secret1!";
  alice.groups = {{"S-1-1-0"}, {"S-1-5-32-545"}};
  m.accounts.push_back(alice);
  return m;
}

// Nothing leaked and the thread is itself again.
inline void expectClean() {
  EXPECT_EQ(winsim::openHandles(), 0u) << "open handles";
  EXPECT_EQ(winsim::liveAllocations().total(), 0u) << "live platform allocations";
  EXPECT_FALSE(winsim::threadImpersonating()) << "thread left impersonating";
}

// Files and their access lists, as the file security tests of winsim and of the product lay them out.
constexpr const char* kReportPath = "C:\\data\\report.docx";

inline winsim::Ace allow(const char* sid, uint32_t mask, uint8_t flags = 0) {
  return winsim::Ace{winsim::Ace::Allow, sid, mask, flags};
}

inline winsim::File file(const char* path, const char* owner, std::optional<std::vector<winsim::Ace>> dacl,
                         const char* group = "S-1-5-21-1-2-3-513") {
  return winsim::File{path, owner, group, std::move(dacl)};
}

// alice (Everyone, Users) and bob on TESTHOST, with the given files.
inline winsim::Machine machineWithFiles(std::vector<winsim::File> files,
                                        std::vector<winsim::GroupMembership> aliceGroups = {{sids::kEveryone},
                                                                                            {sids::kUsers}}) {
  winsim::Machine m = machineWithAlice();
  m.accounts[0].groups = std::move(aliceGroups);
  winsim::Account bob;
  bob.name = "bob";
  bob.sid = sids::kBob;
  bob.password = "pw";
  bob.groups = {{sids::kEveryone}};
  m.accounts.push_back(bob);
  m.files = std::move(files);
  return m;
}

// machineWithAlice with one file at kReportPath, in the Users group.
inline winsim::Machine machineWithReport(const char* owner, std::optional<std::vector<winsim::Ace>> dacl) {
  winsim::Machine m = machineWithAlice();
  m.files.push_back(winsim::File{kReportPath, owner, sids::kUsers, std::move(dacl)});
  return m;
}

// The machines of the identity tests: a member of the CORP domain, and a workgroup machine.
inline const std::string kCorpSid = "S-1-5-21-1004336348-1177238915-682003330";

inline winsim::Machine memberMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "FILESRV01";
  m.domainName = "CORP";
  m.domainSid = kCorpSid;
  return m;
}

inline winsim::Machine workgroupMachine() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "TESTHOST";
  m.workgroup = "WORKGROUP";
  return m;
}

// Volumes of every drive type, and two shares, for the volume tests.
inline winsim::Machine machineWithVolumes() {
  winsim::Machine m = winsim::defaultMachine();
  m.volumes = {
      {"C:\\", "NTFS", DRIVE_FIXED, 0},      {"E:\\", "FAT32", DRIVE_REMOVABLE, 0},
      {"N:\\", "ntfs", DRIVE_FIXED, 0},      {"D:\\", "CDFS", DRIVE_CDROM, 21},
      {"Z:\\", "NTFS", DRIVE_REMOTE, 0},     {"R:\\", "NTFS", DRIVE_RAMDISK, 0},
      {"U:\\", "exFAT", DRIVE_UNKNOWN, 0},
  };
  m.shares = {{"\\\\fs01\\docs", std::nullopt, std::nullopt, "NTFS"},
              {"\\\\fs02\\media", std::string("alice"), std::string("pw"), "FAT32"}};
  return m;
}

}  // namespace testsupport
