// wine-token-probe.exe: reads the process's own token under Wine by a road of its own, so that the
// tests can check what morvik-wine-logon.exe answers against what Wine itself says.
//
//   wine-token-probe.exe [--deny-only SID,SID,...] groups
//       one line per group of the token, in token order:
//       group <TAB> attributes (0x%08X) <TAB> SID <TAB> DOMAIN\name, bare name, or !error number
//   wine-token-probe.exe [--deny-only SID,SID,...] access PATH...
//       one line per path: the read check talvane makes, done here by hand:
//       access <TAB> path <TAB> GetFileSecurity <TAB> error
//       access <TAB> path <TAB> AccessCheck <TAB> returned <TAB> status <TAB> granted (0x%08X) <TAB> error
//
// The token is the process's own, taken by ImpersonateSelf; with --deny-only it is a restricted copy
// with those groups deny-only, set on the thread with SetThreadToken. Output is UTF-8.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "?";
  std::string out = utf8(text);
  LocalFree(text);
  return out;
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "wine-token-probe: %s failed with %lu\n", what, GetLastError());
  std::exit(2);
}

// Makes the calling thread run on the token under test.
void impersonate(const std::vector<std::string>& denyOnly) {
  if (denyOnly.empty()) {
    if (!ImpersonateSelf(SecurityImpersonation)) die("ImpersonateSelf");
    return;
  }
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) die("OpenProcessToken");
  std::vector<SID_AND_ATTRIBUTES> disable;
  for (const std::string& text : denyOnly) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(text.c_str(), &sid)) die("ConvertStringSidToSidA");
    disable.push_back({sid, 0});
  }
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(process, 0, static_cast<DWORD>(disable.size()), disable.data(), 0, nullptr, 0, nullptr,
                             &restricted))
    die("CreateRestrictedToken");
  HANDLE impersonation = nullptr;
  if (!DuplicateToken(restricted, SecurityImpersonation, &impersonation)) die("DuplicateToken");
  if (!SetThreadToken(nullptr, impersonation)) die("SetThreadToken");
  for (SID_AND_ATTRIBUTES& d : disable) LocalFree(d.Sid);
  CloseHandle(impersonation);
  CloseHandle(restricted);
  CloseHandle(process);
}

HANDLE threadToken() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) die("OpenThreadToken");
  return token;
}

void printGroups(HANDLE token) {
  DWORD needed = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (!GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed)) die("GetTokenInformation");
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& g = groups->Groups[i];
    WCHAR name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    std::string shown;
    if (LookupAccountSidW(nullptr, g.Sid, name, &nameLength, domain, &domainLength, &use)) {
      shown = domain[0] ? utf8(domain) + "\\" + utf8(name) : utf8(name);
    } else {
      shown = "!" + std::to_string(GetLastError());
    }
    std::printf("group\t0x%08lX\t%s\t%s\n", g.Attributes, sidText(g.Sid).c_str(), shown.c_str());
  }
}

void printAccess(HANDLE token, const char* path) {
  DWORD needed = 0;
  GetFileSecurityA(path, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                   nullptr, 0, &needed);
  std::vector<BYTE> descriptor(needed ? needed : 1);
  if (!GetFileSecurityA(path, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        descriptor.data(), needed, &needed)) {
    std::printf("access\t%s\tGetFileSecurity\t%lu\n", path, GetLastError());
    return;
  }
  GENERIC_MAPPING mapping{0x20089, 0x116, 0x200A0, 0x1F01FF};
  DWORD desired = GENERIC_READ;
  MapGenericMask(&desired, &mapping);
  PRIVILEGE_SET privileges{};
  DWORD privilegesLength = sizeof privileges;
  DWORD granted = 0;
  BOOL status = FALSE;
  SetLastError(0);
  const BOOL ran =
      AccessCheck(descriptor.data(), token, desired, &mapping, &privileges, &privilegesLength, &granted, &status);
  std::printf("access\t%s\tAccessCheck\t%d\t%d\t0x%08lX\t%lu\n", path, ran, status, granted, GetLastError());
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone, as the host reads them
  int at = 1;
  std::vector<std::string> denyOnly;
  if (at + 1 < argc && std::strcmp(argv[at], "--deny-only") == 0) {
    std::string list = argv[at + 1];
    for (size_t start = 0; start <= list.size();) {
      const size_t comma = std::min(list.find(',', start), list.size());
      if (comma > start) denyOnly.push_back(list.substr(start, comma - start));
      start = comma + 1;
    }
    at += 2;
  }
  if (at >= argc || (std::strcmp(argv[at], "groups") != 0 && std::strcmp(argv[at], "access") != 0)) {
    std::fprintf(stderr, "usage: wine-token-probe.exe [--deny-only SID,...] groups | access PATH...\n");
    return 2;
  }
  impersonate(denyOnly);
  const HANDLE token = threadToken();
  if (std::strcmp(argv[at], "groups") == 0) {
    printGroups(token);
  } else {
    for (int i = at + 1; i < argc; ++i) printAccess(token, argv[i]);
  }
  CloseHandle(token);
  RevertToSelf();
  return 0;
}
