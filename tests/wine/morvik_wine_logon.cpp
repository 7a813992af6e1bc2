// morvik-wine-logon.exe: morvik.exe with one platform call replaced, so that the identity commands
// run on Wine's own token, lookup and access-check code.
//
// Wine's LogonUserW is a stub: it "succeeds" for anyone with a handle nothing else accepts, so
// morvik.exe stops at the impersonation. This program serves standard input and output exactly as
// morvik.exe does, over the same request core and the same talvane.dll, after pointing the one
// import-table entry of talvane.dll for advapi32!LogonUserW at the logon below. Nothing else in
// either is touched.
//
// MORVIK_WINE_LOGONS lists the accounts: entries `name:password` separated by `;`. An entry may end
// in options: `:deny-only=SID,SID,...` makes those groups of the account's token deny-only;
// `:query-only` hands the token out with TOKEN_QUERY access alone, so that the impersonation is
// refused and the paths that follow a refusal run on Wine's code too. A listed name
// (compared as Windows compares account names, without regard to case) with its password gets a
// new primary token made from the process's own; anything else gets FALSE and 1326, as Windows
// answers. The domain is not looked at. An empty or absent password matches an empty one.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "request/MessageHandler.h"

namespace {

struct Account {
  std::wstring name;
  std::wstring password;
  std::vector<std::wstring> denyOnly;  // SID strings
  bool queryOnly = false;              // the handle carries TOKEN_QUERY alone
};

std::vector<Account> gAccounts;

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

std::wstring environmentValue(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// False (with a message) for an entry without a name or a SID that does not parse: a test that
// names an account it cannot have must fail at once, not later with a logon refusal.
bool loadAccounts() {
  static const std::wstring kDenyOnly = L"deny-only=";
  static const std::wstring kQueryOnly = L"query-only";
  for (const std::wstring& entry : split(environmentValue(L"MORVIK_WINE_LOGONS"), L';')) {
    if (entry.empty()) continue;
    std::vector<std::wstring> fields = split(entry, L':');
    if (fields.size() < 2 || fields[0].empty()) {
      std::fprintf(stderr, "morvik-wine-logon: MORVIK_WINE_LOGONS: an entry is not name:password\n");
      return false;
    }
    Account account;
    account.name = fields[0];
    // Options stand at the end; whatever lies between the name and them is the password, colons
    // and all.
    while (fields.size() > 2) {
      const std::wstring& last = fields.back();
      if (last == kQueryOnly) {
        account.queryOnly = true;
      } else if (last.rfind(kDenyOnly, 0) == 0) {
        for (const std::wstring& sid : split(last.substr(kDenyOnly.size()), L',')) {
          PSID parsed = nullptr;
          if (!ConvertStringSidToSidW(sid.c_str(), &parsed)) {
            std::fprintf(stderr, "morvik-wine-logon: MORVIK_WINE_LOGONS: a deny-only SID does not parse\n");
            return false;
          }
          LocalFree(parsed);
          account.denyOnly.push_back(sid);
        }
      } else {
        break;
      }
      fields.pop_back();
    }
    for (size_t i = 1; i < fields.size(); ++i) account.password += (i > 1 ? L":" : L"") + fields[i];
    gAccounts.push_back(std::move(account));
  }
  return true;
}

const Account* findAccount(LPCWSTR user, LPCWSTR password) {
  if (!user) return nullptr;
  const std::wstring given = password ? password : L"";
  for (const Account& a : gAccounts)
    if (CompareStringOrdinal(user, -1, a.name.c_str(), -1, TRUE) == CSTR_EQUAL && a.password == given) return &a;
  return nullptr;
}

// A primary token for `account`: the process's own, as it is or with the account's groups
// deny-only.
BOOL makeToken(const Account& account, PHANDLE token) {
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) return FALSE;
  BOOL made;
  if (account.denyOnly.empty()) {
    made = DuplicateTokenEx(process, account.queryOnly ? TOKEN_QUERY : TOKEN_ALL_ACCESS, nullptr,
                            SecurityImpersonation, TokenPrimary, token);
  } else {
    std::vector<PSID> sids;
    for (const std::wstring& text : account.denyOnly) {
      PSID sid = nullptr;
      if (ConvertStringSidToSidW(text.c_str(), &sid)) sids.push_back(sid);
    }
    std::vector<SID_AND_ATTRIBUTES> disable;
    for (PSID sid : sids) disable.push_back({sid, 0});
    made = CreateRestrictedToken(process, 0, static_cast<DWORD>(disable.size()), disable.data(), 0, nullptr, 0,
                                 nullptr, token);
    const DWORD error = GetLastError();
    for (PSID sid : sids) LocalFree(sid);
    SetLastError(error);
  }
  const DWORD error = GetLastError();
  CloseHandle(process);
  SetLastError(error);
  return made;
}

BOOL WINAPI listedLogon(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType, DWORD logonProvider,
                        PHANDLE token) {
  (void)domain;
  (void)logonType;
  (void)logonProvider;
  if (!token) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *token = nullptr;
  const Account* account = findAccount(user, password);
  if (!account) {
    SetLastError(ERROR_LOGON_FAILURE);
    return FALSE;
  }
  if (makeToken(*account, token)) return TRUE;
  *token = nullptr;
  return FALSE;
}

// Points `module`'s import of `dll`!`function` at `replacement`; the number of entries replaced.
int replaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return 0;
  int replaced = 0;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
    // The name table says which function each slot of the address table holds.
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) return -1;
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++replaced;
    }
  }
  return replaced;
}

}  // namespace

int main() {
  if (!loadAccounts()) return 2;
  const HMODULE talvane = GetModuleHandleW(L"talvane.dll");
  if (!talvane) {
    std::fprintf(stderr, "morvik-wine-logon: talvane.dll is not loaded\n");
    return 2;
  }
  if (replaceImport(talvane, "advapi32.dll", "LogonUserW", reinterpret_cast<void*>(&listedLogon)) != 1) {
    std::fprintf(stderr, "morvik-wine-logon: talvane.dll's import of advapi32!LogonUserW was not replaced\n");
    return 2;
  }
  winsecurity::MessageHandler handler;
  handler.waitMessage();
  return 0;
}
