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
  std::vector<std::u16string> shares;   // \\server\share, without the trailing backslash
};

const WideRoots& wideRoots(const State& s) {
  static WideRoots cache;
  if (cache.generation != s.generation) {
    cache.volumes.clear();
    cache.shares.clear();
    for (const winsim::Volume& v : s.machine.volumes) cache.volumes.push_back(utf8ToUtf16(v.root));
    for (const winsim::Share& share : s.machine.shares) cache.shares.push_back(utf8ToUtf16(share.path));
    cache.generation = s.generation;
  }
  return cache;
}

// "X:" is read as that drive's root: the simulated current directory of every drive is its root.
std::u16string asRoot(LPCWSTR path, const State& s) {
  if (!path) {
    // Null: the root of the current directory, which is on the first volume.
    const WideRoots& roots = wideRoots(s);
    return roots.volumes.empty() ? std::u16string() : roots.volumes.front();
  }
  std::u16string p(path);
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  if (p.size() == 2 && p[1] == u':') p += u'\\';
  return p;
}

RootAnswer lookUp(const std::u16string& root, const State& s) {
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
  // Shares are listed without their trailing backslash; their root has one.
  for (const winsim::Share& s : m.shares) {
    const std::u16string listed = utf8ToUtf16(s.path) + u"\\";
    if (equalNoCase(listed, root)) {
      a.kind = RootAnswer::Share;
      a.share = &s;
      return a;
    }
    if (startsWithNoCase(root, listed)) a.kind = RootAnswer::BelowRoot;
    // A root must end in a backslash; the share's bare name is no root.
    if (equalNoCase(utf8ToUtf16(s.path), root)) a.error = ERROR_INVALID_NAME;
  }
  if (a.error == ERROR_INVALID_NAME) return a;
  if (a.kind == RootAnswer::BelowRoot) {
    a.error = ERROR_DIR_NOT_ROOT;
    return a;
  }
  // A UNC path that names no share: the server may still be known by its other shares.
  if (root.rfind(u"\\\\", 0) == 0) {
    const size_t end = root.find(u'\\', 2);
    const std::u16string prefix = root.substr(0, end == std::u16string::npos ? root.size() : end) + u"\\";
    bool serverKnown = false;
    for (const std::u16string& path : roots.shares)
      if (startsWithNoCase(path + u"\\", prefix)) serverKnown = true;
    a.error = serverKnown ? ERROR_BAD_NET_NAME : ERROR_BAD_NETPATH;
  }
  return a;
}

void putName(const std::string& name, LPWSTR buffer) {
  const std::u16string wide = utf8ToUtf16(name);
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
}

// Flags a file system of that name reports: case-sensitive search, preserved case, Unicode names,
// and for NTFS persistent ACLs as well.
DWORD fileSystemFlags(const std::string& fileSystem) {
  return equalNoCase(fileSystem, std::string("NTFS")) ? 0x0000000F : 0x00000006;
}

}  // namespace

extern "C" {

BOOL WINAPI GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                  LPDWORD maxComponentLength, LPDWORD fileSystemFlagsOut, LPWSTR fileSystemName,
                                  DWORD fileSystemNameSize) {
  uint32_t error;
  if (enter("GetVolumeInformationW", &error)) {
    SetLastError(error);
    return FALSE;
  }
  State& s = state();
  Lock lock(s.mutex);
  const RootAnswer answer = lookUp(asRoot(root, s), s);
  std::string fileSystem;
  switch (answer.kind) {
    case RootAnswer::Volume:
      if (answer.volume->error) {
        SetLastError(answer.volume->error);
        return FALSE;
      }
      fileSystem = answer.volume->fileSystem;
      break;
    case RootAnswer::Share:
      fileSystem = answer.share->fileSystem;
      break;
    default:
      SetLastError(answer.error);
      return FALSE;
  }
  if (fileSystemName && fileSystemNameSize < utf8ToUtf16(fileSystem).size() + 1) {
    SetLastError(24);  // ERROR_BAD_LENGTH, as Wine reports a short name buffer
    return FALSE;
  }
  if (volumeName && volumeNameSize > 0) volumeName[0] = 0;  // volumes carry no label
  if (serialNumber) *serialNumber = 0x5157A17E;
  if (maxComponentLength) *maxComponentLength = 255;
  if (fileSystemFlagsOut) *fileSystemFlagsOut = fileSystemFlags(fileSystem);
  if (fileSystemName) putName(fileSystem, fileSystemName);
  return TRUE;
}

UINT WINAPI GetDriveTypeW(LPCWSTR root) {
  uint32_t error;
  // The call has no failure return: an injected fault shows as an unknown drive.
  if (enter("GetDriveTypeW", &error)) {
    SetLastError(error);
    return DRIVE_UNKNOWN;
  }
  State& s = state();
  Lock lock(s.mutex);
  const RootAnswer answer = lookUp(asRoot(root, s), s);
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
