// Volumes and drives: GetVolumeInformationW and GetDriveTypeW over the machine's volumes and
// shares.
#include <cstring>

#include "state.h"

using namespace winsim::detail;

namespace {

// What a root path names.
struct RootAnswer {
  enum Kind { Volume, Share, BelowRoot, Unknown } kind = Unknown;
  const winsim::Volume* volume = nullptr;
  const winsim::Share* share = nullptr;
  DWORD error = ERROR_PATH_NOT_FOUND;  // for Unknown: the volume query's number
};

bool startsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && equalNoCase(s.substr(0, prefix.size()), prefix);
}

// The machine's roots in UTF-16, made once per installed machine: a long-running morvik asks for
// volumes on every request of commands 6 and 10.
struct WideRoots {
  uint64_t generation = ~uint64_t{0};
  std::vector<std::u16string> volumes;  // as listed
  std::vector<std::u16string> shares;   // as roots: \\server\share\ (listed without the backslash)
};

const WideRoots& wideRoots(const State& s) {
  static WideRoots cache;
  if (cache.generation != s.generation) {
    cache.volumes.clear();
    cache.shares.clear();
    for (const winsim::Volume& v : s.machine.volumes) cache.volumes.push_back(utf8ToUtf16(v.root));
    for (const winsim::Share& share : s.machine.shares) cache.shares.push_back(utf8ToUtf16(share.path) + u"\\");
    cache.generation = s.generation;
  }
  return cache;
}

// The root a path names: '/' read as '\\', and "X:" as that drive's root (the simulated current
// directory of every drive is its root). Most paths need neither and are read in place.
class RootPath {
 public:
  RootPath(LPCWSTR path, const State& s) {
    if (!path) {
      // Null: the root of the current directory, which is on the first volume.
      const WideRoots& roots = wideRoots(s);
      if (!roots.volumes.empty()) view = roots.volumes.front();
      return;
    }
    view = path;
    const bool drive = view.size() == 2 && view[1] == u':';
    if (!drive && view.find(u'/') == std::u16string_view::npos) return;
    own.assign(view);
    for (char16_t& c : own)
      if (c == u'/') c = u'\\';
    if (drive) own += u'\\';
    view = own;
  }
  RootPath(const RootPath&) = delete;
  RootPath& operator=(const RootPath&) = delete;

  std::u16string_view get() const { return view; }

 private:
  std::u16string_view view;
  std::u16string own;
};

RootAnswer lookUp(std::u16string_view root, const State& s) {
  const winsim::Machine& m = s.machine;
  const WideRoots& roots = wideRoots(s);
  RootAnswer a;
  if (root.empty()) return a;
  for (size_t i = 0; i < m.volumes.size(); ++i) {
    const winsim::Volume& v = m.volumes[i];
    const std::u16string& listed = roots.volumes[i];
    if (equalNoCase(listed, root)) {
      a.kind = RootAnswer::Volume;
      a.volume = &v;
      return a;
    }
    if (startsWithNoCase(root, listed)) a.kind = RootAnswer::BelowRoot;
  }
  for (size_t i = 0; i < m.shares.size(); ++i) {
    const std::u16string_view listed = roots.shares[i];
    if (equalNoCase(listed, root)) {
      a.kind = RootAnswer::Share;
      a.share = &m.shares[i];
      return a;
    }
    if (startsWithNoCase(root, listed)) a.kind = RootAnswer::BelowRoot;
    // A root must end in a backslash; the share's bare name is no root.
    if (equalNoCase(listed.substr(0, listed.size() - 1), root)) a.error = ERROR_INVALID_NAME;
  }
  if (a.error == ERROR_INVALID_NAME) return a;
  if (a.kind == RootAnswer::BelowRoot) {
    a.error = ERROR_DIR_NOT_ROOT;
    return a;
  }
  // A UNC path that names no share: the server may still be known by its other shares.
  if (root.rfind(u"\\\\", 0) == 0) {
    const size_t end = root.find(u'\\', 2);
    std::u16string prefix(root.substr(0, end));
    prefix += u'\\';
    bool serverKnown = false;
    for (const std::u16string& path : roots.shares)
      if (startsWithNoCase(path, prefix)) serverKnown = true;
    a.error = serverKnown ? ERROR_BAD_NET_NAME : ERROR_BAD_NETPATH;
  }
  return a;
}

// Flags a file system of that name reports: case-sensitive search, preserved case, Unicode names,
// and for NTFS persistent ACLs as well.
DWORD fileSystemFlags(std::u16string_view fileSystem) {
  return equalNoCase(fileSystem, u"NTFS") ? 0x0000000F : 0x00000006;
}

}  // namespace

extern "C" {

BOOL WINAPI GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                  LPDWORD maxComponentLength, LPDWORD fileSystemFlagsOut, LPWSTR fileSystemName,
                                  DWORD fileSystemNameSize) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  State& s = state();
  Lock lock(s.mutex);
  const RootAnswer answer = lookUp(RootPath(root, s).get(), s);
  const std::string* fileSystem = nullptr;
  switch (answer.kind) {
    case RootAnswer::Volume:
      if (answer.volume->error) {
        SetLastError(answer.volume->error);
        return FALSE;
      }
      fileSystem = &answer.volume->fileSystem;
      break;
    case RootAnswer::Share:
      fileSystem = &answer.share->fileSystem;
      break;
    default:
      SetLastError(answer.error);
      return FALSE;
  }
  const std::u16string wideName = utf8ToUtf16(*fileSystem);
  if (fileSystemName && fileSystemNameSize < wideName.size() + 1) {
    SetLastError(24);  // ERROR_BAD_LENGTH, as Wine reports a short name buffer
    return FALSE;
  }
  if (volumeName && volumeNameSize > 0) volumeName[0] = 0;  // volumes carry no label
  if (serialNumber) *serialNumber = 0x5157A17E;
  if (maxComponentLength) *maxComponentLength = 255;
  if (fileSystemFlagsOut) *fileSystemFlagsOut = fileSystemFlags(wideName);
  if (fileSystemName) std::memcpy(fileSystemName, wideName.c_str(), (wideName.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

UINT WINAPI GetDriveTypeW(LPCWSTR root) {
  uint32_t error;
  // The call has no failure return: an injected fault shows as an unknown drive.
  if (enter(__func__, &error)) {
    SetLastError(error);
    return DRIVE_UNKNOWN;
  }
  State& s = state();
  Lock lock(s.mutex);
  const RootAnswer answer = lookUp(RootPath(root, s).get(), s);
  switch (answer.kind) {
    case RootAnswer::Volume:
      return answer.volume->driveType;
    case RootAnswer::Share:
      return DRIVE_REMOTE;
    default:
      return DRIVE_NO_ROOT_DIR;
  }
}

}  // extern "C"
