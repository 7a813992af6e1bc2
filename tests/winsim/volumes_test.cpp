// winsim's GetVolumeInformationW and GetDriveTypeW, on volumes of every drive type.
#include <gtest/gtest.h>

#include <string>

#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace {

using testsupport::machineWithVolumes;

TEST(WinsimVolumes, GetVolumeInformationFillsWhatItIsGiven) {
  winsim::install(machineWithVolumes());
  WCHAR name[256] = {u'x'};
  WCHAR label[16] = {u'x'};
  DWORD serial = 0, maxComponent = 0, flags = 0;
  SetLastError(0xBEEF);
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 16, &serial, &maxComponent, &flags, name, 256));
  EXPECT_EQ(std::u16string(name), u"FAT32");
  EXPECT_EQ(label[0], 0);
  EXPECT_EQ(maxComponent, 255u);
  EXPECT_EQ(GetLastError(), 0xBEEFu);
  EXPECT_FALSE(GetVolumeInformationW(u"E:\\", nullptr, 0, nullptr, nullptr, &flags, name, 5));
  EXPECT_EQ(GetLastError(), 24u) << "no room for the name and its terminator";
  ASSERT_TRUE(GetVolumeInformationW(nullptr, nullptr, 0, nullptr, nullptr, &flags, name, 256));
  EXPECT_EQ(std::u16string(name), u"NTFS") << "null: the current directory's volume";
  EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_FIXED));
  EXPECT_EQ(GetDriveTypeW(u"D:\\"), static_cast<UINT>(DRIVE_CDROM)) << "a drive without media still has a type";
}

}  // namespace
