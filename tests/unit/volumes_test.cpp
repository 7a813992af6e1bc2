// WinSecurity::isNTFS and isMappedDrive against winsim's volumes and shares (winsim's
// GetVolumeInformationW and GetDriveTypeW themselves: tests/winsim/volumes_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "security/WinSecurity.h"
#include "support.h"
#include "winsim/machine.h"

using testsupport::blockStrings;
using testsupport::errorStrings;
using testsupport::expectClean;

namespace {

using testsupport::machineWithVolumes;

std::vector<std::string> recordOf(winsecurity::WinSecurity& s) {
  const char* block = s.getLastErrorMessage();
  return block ? blockStrings(block) : std::vector<std::string>{};
}

struct Volume {
  const char* path;
  int ntfs;
  int failure;  // 0: isNTFS records nothing
  const char* text;
  int mapped;
  UINT driveType;
};

TEST(Volumes, AnswerByTheRootsTheMachineLists) {
  const Volume cases[] = {
      {"C:\\", 1, 0, nullptr, 0, DRIVE_FIXED},
      {"c:\\", 1, 0, nullptr, 0, DRIVE_FIXED},
      {"C:", 1, 0, nullptr, 0, DRIVE_FIXED},
      {"E:\\", 0, 0, nullptr, 0, DRIVE_REMOVABLE},
      {"N:\\", 1, 0, nullptr, 0, DRIVE_FIXED},
      {"R:\\", 1, 0, nullptr, 0, DRIVE_RAMDISK},
      {"U:\\", 0, 0, nullptr, 0, DRIVE_UNKNOWN},
      {"D:\\", 0, 21, "The device is not ready.\r\n", 0, DRIVE_CDROM},
      {"Z:\\", 1, 0, nullptr, 1, DRIVE_REMOTE},
      {"\\\\fs01\\docs\\", 1, 0, nullptr, 1, DRIVE_REMOTE},
      {"\\\\FS02\\Media\\", 0, 0, nullptr, 1, DRIVE_REMOTE},
      {"C:\\Windows\\", 0, 144, "The directory is not a subdirectory of the root directory.\r\n", 0,
       DRIVE_NO_ROOT_DIR},
      {"C:\\data\\file.txt", 0, 144, "The directory is not a subdirectory of the root directory.\r\n", 0,
       DRIVE_NO_ROOT_DIR},
      {"Z:\\projects\\", 0, 144, "The directory is not a subdirectory of the root directory.\r\n", 0,
       DRIVE_NO_ROOT_DIR},
      {"\\\\fs01\\docs\\sub\\", 0, 144, "The directory is not a subdirectory of the root directory.\r\n", 0,
       DRIVE_NO_ROOT_DIR},
      {"\\\\fs01\\docs", 0, 123, "The filename, directory name, or volume label syntax is incorrect.\r\n", 0,
       DRIVE_NO_ROOT_DIR},
      {"\\\\fs01\\other\\", 0, 67, "The network name cannot be found.\r\n", 0, DRIVE_NO_ROOT_DIR},
      {"\\\\nohost\\docs\\", 0, 53, "The network path was not found.\r\n", 0, DRIVE_NO_ROOT_DIR},
      {"Q:\\", 0, 3, "The system cannot find the path specified.\r\n", 0, DRIVE_NO_ROOT_DIR},
      {"", 0, 3, "The system cannot find the path specified.\r\n", 0, DRIVE_NO_ROOT_DIR},
  };
  winsim::install(machineWithVolumes());
  for (const Volume& c : cases) {
    SCOPED_TRACE(c.path);
    winsecurity::WinSecurity s;
    EXPECT_EQ(s.isNTFS(c.path), c.ntfs);
    if (c.failure)
      EXPECT_EQ(recordOf(s), errorStrings("WinSecurity::isNTFS", "GetVolumeInformation", c.failure, c.text));
    else
      EXPECT_EQ(s.getLastErrorMessage(), nullptr) << "another file system is no failure";
    EXPECT_EQ(s.getLastErrorNumber(), c.failure);

    winsecurity::WinSecurity t;
    EXPECT_EQ(t.isMappedDrive(c.path), c.mapped);
    EXPECT_EQ(t.getLastErrorMessage(), nullptr);
    EXPECT_EQ(t.getLastErrorNumber(), 0);

    std::u16string wide(c.path, c.path + std::char_traits<char>::length(c.path));
    EXPECT_EQ(GetDriveTypeW(wide.c_str()), c.driveType);
    expectClean();
  }
}

TEST(Volumes, AFailedQueryIsRecordedAndTheMappedTestKeepsTheRecord) {
  winsim::install(machineWithVolumes());
  winsim::injectFault("GetVolumeInformationW", 5);
  winsecurity::WinSecurity s;
  EXPECT_EQ(s.isNTFS("C:\\"), 0);
  const std::vector<std::string> expected =
      errorStrings("WinSecurity::isNTFS", "GetVolumeInformation", 5, "Access is denied.\r\n");
  EXPECT_EQ(recordOf(s), expected);
  // isMappedDrive never records, so the earlier block stays, also when its own query goes wrong.
  winsim::injectFault("GetDriveTypeW", 1117);
  EXPECT_EQ(s.isMappedDrive("Z:\\"), 0);
  EXPECT_EQ(s.isMappedDrive("Z:\\"), 1);
  EXPECT_EQ(s.isMappedDrive("Q:\\"), 0);
  EXPECT_EQ(recordOf(s), expected);
  EXPECT_EQ(s.getLastErrorNumber(), 5);
  EXPECT_EQ(s.isNTFS("C:\\"), 1);
  EXPECT_EQ(recordOf(s), expected) << "a success clears nothing";
  expectClean();
}

TEST(Volumes, PathsAreReadAsUtf8) {
  winsim::Machine m = machineWithVolumes();
  m.shares.push_back({"\\\\fs01\\é", std::nullopt, std::nullopt, "NTFS"});
  winsim::install(m);
  winsecurity::WinSecurity s;
  EXPECT_EQ(s.isNTFS("\\\\fs01\\\xC3\xA9\\"), 1);
  EXPECT_EQ(s.isMappedDrive("\\\\FS01\\\xC3\x89\\"), 1);
  expectClean();
}

}  // namespace
