// WinSecurity: volume and drive queries.
#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

namespace {

constexpr DWORD kFileSystemCapacity = 256;

bool isNtfsName(const WCHAR* name) {
  const char expected[] = "NTFS";
  for (size_t i = 0; i < 4; ++i) {
    WCHAR c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<WCHAR>(c - ('a' - 'A'));
    if (c != static_cast<WCHAR>(expected[i])) return false;
  }
  return name[4] == 0;
}

}  // namespace

int WinSecurity::isNTFS(const char* path) {
  int result = 0;
  WCHAR fileSystem[kFileSystemCapacity] = {};
  WCHAR* widePath = nullptr;
  common::WideOwner widePathOwner(utf8ToWide(path, &widePath));
  DWORD flags = 0;
  if (!GetVolumeInformationW(widePath, nullptr, 0, nullptr, nullptr, &flags, fileSystem, kFileSystemCapacity)) {
    recordFailure("WinSecurity::isNTFS", "GetVolumeInformation", GetLastError());
  } else {
    // Another file system is an answer, not a failure: nothing is recorded.
    result = isNtfsName(fileSystem) ? 1 : 0;
  }
  return result;
}

int WinSecurity::isMappedDrive(const char* path) {
  WCHAR* widePath = nullptr;
  common::WideOwner widePathOwner(utf8ToWide(path, &widePath));
  return GetDriveTypeW(widePath) == DRIVE_REMOTE ? 1 : 0;
}

}  // namespace winsecurity
