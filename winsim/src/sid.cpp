// SIDs: the string and binary forms, the names the machine and Windows' well-known table give
// them, and LookupAccountSidW.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state.h"

namespace winsim::detail {
namespace {

struct WellKnown {
  const char* sid;
  const char* name;
  const char* domain;
  SID_NAME_USE use;
};

const WellKnown kWellKnown[] = {
    {"S-1-0-0", "NULL SID", "", SidTypeWellKnownGroup},
    {"S-1-1-0", "Everyone", "", SidTypeWellKnownGroup},
    {"S-1-2-0", "LOCAL", "", SidTypeWellKnownGroup},
    {"S-1-2-1", "CONSOLE LOGON", "", SidTypeWellKnownGroup},
    {"S-1-3-0", "CREATOR OWNER", "", SidTypeWellKnownGroup},
    {"S-1-3-1", "CREATOR GROUP", "", SidTypeWellKnownGroup},
    {"S-1-3-2", "CREATOR OWNER SERVER", "", SidTypeWellKnownGroup},
    {"S-1-3-3", "CREATOR GROUP SERVER", "", SidTypeWellKnownGroup},
    {"S-1-3-4", "OWNER RIGHTS", "", SidTypeWellKnownGroup},
    {"S-1-5-1", "DIALUP", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-2", "NETWORK", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-3", "BATCH", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-4", "INTERACTIVE", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-6", "SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-7", "ANONYMOUS LOGON", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-8", "PROXY", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-9", "ENTERPRISE DOMAIN CONTROLLERS", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-10", "SELF", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-11", "Authenticated Users", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-12", "RESTRICTED", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-13", "TERMINAL SERVER USER", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-14", "REMOTE INTERACTIVE LOGON", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-15", "This Organization", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-17", "IUSR", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-18", "SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-19", "LOCAL SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-20", "NETWORK SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-32", "BUILTIN", "BUILTIN", SidTypeDomain},
    {"S-1-5-32-544", "Administrators", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-545", "Users", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-546", "Guests", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-547", "Power Users", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-551", "Backup Operators", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-555", "Remote Desktop Users", "BUILTIN", SidTypeAlias},
    {"S-1-5-32-559", "Performance Log Users", "BUILTIN", SidTypeAlias},
    {"S-1-5-64-10", "NTLM Authentication", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-80-0", "ALL SERVICES", "NT SERVICE", SidTypeWellKnownGroup},
    {"S-1-5-113", "Local account", "NT AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-5-114", "Local account and member of Administrators group", "NT AUTHORITY",
     SidTypeWellKnownGroup},
    {"S-1-15-2-1", "ALL APPLICATION PACKAGES", "APPLICATION PACKAGE AUTHORITY", SidTypeWellKnownGroup},
    {"S-1-16-4096", "Low Mandatory Level", "Mandatory Label", SidTypeLabel},
    {"S-1-16-8192", "Medium Mandatory Level", "Mandatory Label", SidTypeLabel},
    {"S-1-16-12288", "High Mandatory Level", "Mandatory Label", SidTypeLabel},
    {"S-1-16-16384", "System Mandatory Level", "Mandatory Label", SidTypeLabel},
    {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "TrustedInstaller", "NT SERVICE",
     SidTypeWellKnownGroup},
};

}  // namespace

bool parseSid(const std::string& text, SidBytes* out) {
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  std::vector<uint64_t> parts;
  size_t i = 2;
  while (i <= text.size()) {
    size_t j = text.find('-', i);
    if (j == std::string::npos) j = text.size();
    std::string part = text.substr(i, j - i);
    if (part.empty()) return false;
    char* end = nullptr;
    bool hex = part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    for (size_t k = hex ? 2 : 0; k < part.size(); ++k)
      if (!(hex ? std::isxdigit(static_cast<unsigned char>(part[k])) : std::isdigit(static_cast<unsigned char>(part[k]))))
        return false;
    uint64_t v = std::strtoull(part.c_str(), &end, hex ? 16 : 10);
    parts.push_back(v);
    i = j + 1;
  }
  // revision, authority, then 0..15 sub-authorities
  if (parts.size() < 2 || parts.size() > 17 || parts[0] != 1) return false;
  if (parts[1] > 0xFFFFFFFFFFFFull) return false;
  SidBytes sid(8 + 4 * (parts.size() - 2));
  sid[0] = 1;
  sid[1] = static_cast<uint8_t>(parts.size() - 2);
  for (int k = 0; k < 6; ++k) sid[2 + k] = static_cast<uint8_t>(parts[1] >> (8 * (5 - k)));
  for (size_t k = 2; k < parts.size(); ++k) {
    if (parts[k] > 0xFFFFFFFFull) return false;
    uint32_t v = static_cast<uint32_t>(parts[k]);
    std::memcpy(&sid[8 + 4 * (k - 2)], &v, 4);
  }
  *out = std::move(sid);
  return true;
}

size_t sidLength(const uint8_t* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool validSid(const uint8_t* sid, size_t available) {
  return sid && available >= 8 && sid[0] == 1 && sid[1] <= 15 && available >= sidLength(sid);
}

std::string formatSid(const uint8_t* sid) {
  uint64_t authority = 0;
  for (int k = 0; k < 6; ++k) authority = (authority << 8) | sid[2 + k];
  std::string s = "S-1-";
  if (authority >= (1ull << 32)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%012llX", static_cast<unsigned long long>(authority));
    s += buf;
  } else {
    s += std::to_string(authority);
  }
  for (int k = 0; k < sid[1]; ++k) {
    uint32_t v;
    std::memcpy(&v, sid + 8 + 4 * k, 4);
    s += "-" + std::to_string(v);
  }
  return s;
}

bool lookupSid(const std::string& sidText, std::string* name, std::string* domain, SID_NAME_USE* use) {
  SidBytes bytes;
  if (!parseSid(sidText, &bytes)) return false;
  // Compared in binary form, so that "S-1-5-032-544" or a hexadecimal authority still match.
  auto same = [&bytes](const std::string& text) {
    SidBytes other;
    return parseSid(text, &other) && other == bytes;
  };
  State& s = state();
  Lock lock(s.mutex);
  const Machine& m = s.machine;
  for (const Account& a : m.accounts) {
    if (same(a.sid)) {
      *name = a.name;
      *domain = a.domain.empty() ? m.computerName : a.domain;
      *use = SidTypeUser;
      return true;
    }
  }
  for (const NamedSid& g : m.groups) {
    if (same(g.sid)) {
      *name = g.name;
      *domain = g.domain;
      *use = SidTypeGroup;
      return true;
    }
  }
  // The domain's own SID names the domain, as a domain member resolves it.
  if (!m.domainName.empty() && same(m.domainSid)) {
    *name = m.domainName;
    *domain = m.domainName;
    *use = SidTypeDomain;
    return true;
  }
  for (const WellKnown& w : kWellKnown) {
    if (same(w.sid)) {
      *name = w.name;
      *domain = w.domain;
      *use = w.use;
      return true;
    }
  }
  // Logon SIDs S-1-5-5-X-Y: current Windows names them, the reference page and Wine do not.
  static const uint8_t kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
  if (m.resolveLogonSids && bytes[1] == 3 && std::memcmp(&bytes[2], kNtAuthority, 6) == 0) {
    uint32_t sub[3];
    std::memcpy(sub, &bytes[8], 12);
    if (sub[0] == 5) {
      *name = "LogonSessionId_" + std::to_string(sub[1]) + "_" + std::to_string(sub[2]);
      *domain = "NT AUTHORITY";
      *use = SidTypeLogonSession;
      return true;
    }
  }
  return false;
}

}  // namespace winsim::detail

using namespace winsim::detail;

extern "C" BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                                         LPWSTR domain, LPDWORD domainSize, PSID_NAME_USE use) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (!sid || !validSid(static_cast<const uint8_t*>(sid), 68)) {
    SetLastError(1337);  // ERROR_INVALID_SID
    return FALSE;
  }
  if (!nameSize || !domainSize || !use) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (systemName && *systemName) {
    std::u16string system = fromWide(systemName);
    if (system.rfind(u"\\\\", 0) == 0) system = system.substr(2);
    if (!equalNoCase(system, utf8ToUtf16(computerName()))) {
      SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE: no other machine is reachable
      return FALSE;
    }
  }
  std::string n, d;
  SID_NAME_USE u;
  if (!lookupSid(formatSid(static_cast<const uint8_t*>(sid)), &n, &d, &u)) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  std::u16string wn = utf8ToUtf16(n), wd = utf8ToUtf16(d);
  // A buffer too small for either string reports both sizes needed, terminators included; on
  // success the sizes are the lengths without them.
  if (*nameSize < wn.size() + 1 || *domainSize < wd.size() + 1) {
    *nameSize = static_cast<DWORD>(wn.size() + 1);
    *domainSize = static_cast<DWORD>(wd.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // A null buffer with a size that claims room for the string: Windows crashes writing it.
  if (!name || !domain) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::memcpy(name, wn.c_str(), (wn.size() + 1) * sizeof(WCHAR));
  std::memcpy(domain, wd.c_str(), (wd.size() + 1) * sizeof(WCHAR));
  *nameSize = static_cast<DWORD>(wn.size());
  *domainSize = static_cast<DWORD>(wd.size());
  *use = u;
  return TRUE;
}
