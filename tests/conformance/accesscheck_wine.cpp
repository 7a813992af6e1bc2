// The Wine side of the access check conformance run: a Windows program that asks the platform's
// own AccessCheck, so that winsim's answers can be held against a Win32 implementation no one here
// wrote.
//
//   accesscheck-wine.exe tokens OUT         writes its two tokens to OUT
//   accesscheck-wine.exe check IN OUT       the same, then for each descriptor in IN (hex, one a
//                                           line), each token and each request, one result line
//
// The tokens: 0 is the process token duplicated for impersonation; 1 is the process token with
// BUILTIN\Users and BUILTIN\Administrators made deny-only by CreateRestrictedToken, duplicated
// likewise. Token lines: "token T user SID" and "token T group SID ATTRIBUTES", groups in token order.
// Result lines: "INDEX TOKEN DESIRED RETURN LASTERROR STATUS GRANTED", all hex. Before each call the
// last error, the granted mask and the status hold sentinels, so untouched outputs show as such.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kErrorSentinel = 0xDEADBEEF;
constexpr DWORD kGrantedSentinel = 0xA5A5A5A5;
constexpr BOOL kStatusSentinel = 0x5A5A;
const DWORD kRequests[] = {0x20089, MAXIMUM_ALLOWED};
// Room behind every descriptor: a malformed ACL may claim up to 64 KiB, and the platform reads
// what the sizes claim before it can refuse them.
constexpr size_t kBufferSize = 0x30000;

bool fail(const char* what) {
  std::fprintf(stderr, "accesscheck-wine: %s failed with %lu\n", what, GetLastError());
  return false;
}

std::string sidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string out(text);
  LocalFree(text);
  return out;
}

bool writeToken(std::FILE* out, int index, HANDLE token) {
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<BYTE> user(needed);
  if (!GetTokenInformation(token, TokenUser, user.data(), needed, &needed)) return fail("TokenUser");
  std::fprintf(out, "token %d user %s\n", index, sidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid).c_str());
  GetTokenInformation(token, TokenGroups, nullptr, 0, &needed);
  std::vector<BYTE> groups(needed);
  if (!GetTokenInformation(token, TokenGroups, groups.data(), needed, &needed)) return fail("TokenGroups");
  const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i)
    std::fprintf(out, "token %d group %s 0x%08lx\n", index, sidText(list->Groups[i].Sid).c_str(),
                 list->Groups[i].Attributes);
  return true;
}

bool makeTokens(HANDLE tokens[2]) {
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) return fail("OpenProcessToken");
  if (!DuplicateToken(process, SecurityImpersonation, &tokens[0])) return fail("DuplicateToken");
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID users = nullptr, administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, &users) ||
      !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &administrators))
    return fail("AllocateAndInitializeSid");
  SID_AND_ATTRIBUTES denyOnly[2] = {{users, 0}, {administrators, 0}};
  HANDLE restricted = nullptr;
  if (!CreateRestrictedToken(process, 0, 2, denyOnly, 0, nullptr, 0, nullptr, &restricted))
    return fail("CreateRestrictedToken");
  if (!DuplicateToken(restricted, SecurityImpersonation, &tokens[1])) return fail("DuplicateToken (restricted)");
  FreeSid(users);
  FreeSid(administrators);
  CloseHandle(restricted);
  CloseHandle(process);
  return true;
}

bool fromHex(const std::string& line, std::vector<BYTE>* out) {
  out->clear();
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (line.size() % 2) return false;
  for (size_t i = 0; i < line.size(); i += 2) {
    const int hi = nibble(line[i]), lo = nibble(line[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<BYTE>(hi * 16 + lo));
  }
  return true;
}

bool check(std::FILE* in, std::FILE* out, HANDLE tokens[2]) {
  GENERIC_MAPPING mapping{0x20089, 0x116, 0x200A0, 0x1F01FF};
  std::vector<BYTE> buffer(kBufferSize);
  std::vector<BYTE> bytes;
  std::vector<char> line(1 << 16);
  unsigned long index = 0;
  while (std::fgets(line.data(), static_cast<int>(line.size()), in)) {
    std::string text(line.data());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!fromHex(text, &bytes) || bytes.size() > buffer.size()) {
      std::fprintf(stderr, "accesscheck-wine: line %lu is not a descriptor in hex\n", index + 1);
      return false;
    }
    std::fill(buffer.begin(), buffer.end(), 0);
    std::memcpy(buffer.data(), bytes.data(), bytes.size());
    for (int t = 0; t < 2; ++t) {
      for (DWORD desired : kRequests) {
        PRIVILEGE_SET privileges{};
        DWORD length = sizeof privileges;
        DWORD granted = kGrantedSentinel;
        BOOL status = kStatusSentinel;
        SetLastError(kErrorSentinel);
        const BOOL result = AccessCheck(buffer.data(), tokens[t], desired, &mapping, &privileges, &length, &granted, &status);
        const DWORD error = GetLastError();
        std::fprintf(out, "%lu %d %lx %x %lx %x %lx\n", index, t, desired, static_cast<unsigned>(result), error,
                     static_cast<unsigned>(status), granted);
      }
    }
    ++index;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool tokensOnly = argc == 3 && std::strcmp(argv[1], "tokens") == 0;
  const bool checks = argc == 4 && std::strcmp(argv[1], "check") == 0;
  if (!tokensOnly && !checks) {
    std::fprintf(stderr, "usage: accesscheck-wine tokens OUT | check IN OUT\n");
    return 2;
  }
  HANDLE tokens[2] = {nullptr, nullptr};
  if (!makeTokens(tokens)) return 1;
  std::FILE* out = std::fopen(argv[argc - 1], "wb");
  if (!out) {
    std::fprintf(stderr, "accesscheck-wine: cannot write %s\n", argv[argc - 1]);
    return 1;
  }
  bool ok = writeToken(out, 0, tokens[0]) && writeToken(out, 1, tokens[1]);
  if (ok && checks) {
    std::FILE* in = std::fopen(argv[2], "rb");
    if (!in) {
      std::fprintf(stderr, "accesscheck-wine: cannot read %s\n", argv[2]);
      ok = false;
    } else {
      ok = check(in, out, tokens);
      std::fclose(in);
    }
  }
  if (std::fclose(out) != 0) ok = false;
  CloseHandle(tokens[0]);
  CloseHandle(tokens[1]);
  return ok ? 0 : 1;
}
