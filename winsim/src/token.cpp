// Logon, impersonation and tokens: LogonUserW, ImpersonateLoggedOnUser, OpenThreadToken,
// RevertToSelf and GetTokenInformation(TokenGroups).
#include <cstring>

#include "state.h"

using namespace winsim;
using namespace winsim::detail;

namespace {

// One past the last TOKEN_INFORMATION_CLASS value the current Windows headers define.
constexpr int kTokenInformationClassEnd = 49;
constexpr DWORD kErrorCallNotImplemented = 120;

std::optional<std::u16string> optionalWide(LPCWSTR s) {
  if (!s) return std::nullopt;
  return std::u16string(s);
}

// The account LogonUserW means: the name matches; the domain matches, or is empty or absent (any
// account of that name), or is "." (a local account).
const Account* findAccount(const Machine& m, const std::u16string& user, const std::optional<std::u16string>& domain) {
  for (const Account& a : m.accounts) {
    if (!equalNoCase(utf8ToUtf16(a.name), user)) continue;
    std::u16string accountDomain = utf8ToUtf16(a.domain.empty() ? m.computerName : a.domain);
    if (!domain || domain->empty()) return &a;
    if (*domain == u".") {
      if (equalNoCase(accountDomain, utf8ToUtf16(m.computerName))) return &a;
      continue;
    }
    if (equalNoCase(accountDomain, *domain)) return &a;
  }
  return nullptr;
}

std::shared_ptr<Token> tokenFor(HANDLE handle) {
  Lock lock(state().mutex);
  HandleObject* object = findHandle(handle);
  if (!object || object->kind != HandleObject::TokenHandle) return nullptr;
  return object->token;
}

}  // namespace

extern "C" {

BOOL WINAPI LogonUserW(LPCWSTR user, LPCWSTR domain, LPCWSTR password, DWORD logonType, DWORD logonProvider,
                       PHANDLE token) {
  uint32_t error;
  bool fault = enter(__func__, &error);
  State& s = state();
  Lock lock(s.mutex);
  s.lastLogon = LogonArgs{optionalWide(user), optionalWide(domain), optionalWide(password)};
  if (token) *token = nullptr;
  if (fault) {
    SetLastError(error);
    return FALSE;
  }
  if (!token || logonType != LOGON32_LOGON_INTERACTIVE || logonProvider != LOGON32_PROVIDER_DEFAULT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Account* account = findAccount(s.machine, fromWide(user), optionalWide(domain));
  bool passwordOk = account && utf8ToUtf16(account->password) == fromWide(password);
  // Lockout is reported whatever the password; every other refusal only for the right one.
  if (account && account->logonError == 1909) {
    SetLastError(1909);
    return FALSE;
  }
  if (!passwordOk) {
    SetLastError(ERROR_LOGON_FAILURE);
    return FALSE;
  }
  if (account->logonError != 0) {
    SetLastError(account->logonError);
    return FALSE;
  }
  auto t = std::make_shared<Token>();
  t->userSid = account->sid;
  t->userName = account->name;
  t->userDomain = account->domain.empty() ? s.machine.computerName : account->domain;
  t->groups = account->groups;
  t->groups.push_back(GroupMembership{"S-1-5-5-0-" + std::to_string(s.nextLogonId++),
                                      static_cast<uint32_t>(SE_GROUP_LOGON_ID) | SE_GROUP_MANDATORY |
                                          SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED});
  *token = reinterpret_cast<HANDLE>(addHandle(HandleObject{HandleObject::TokenHandle, std::move(t)}));
  return TRUE;
}

BOOL WINAPI ImpersonateLoggedOnUser(HANDLE token) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  std::shared_ptr<Token> t = tokenFor(token);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The thread receives an impersonation duplicate of a primary token.
  auto copy = std::make_shared<Token>(*t);
  copy->impersonation = true;
  threadToken() = std::move(copy);
  return TRUE;
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf, PHANDLE token) {
  (void)desiredAccess;
  (void)openAsSelf;
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (!token) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (thread != GetCurrentThread()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::shared_ptr<Token> t = threadToken();
  if (!t) {
    *token = nullptr;
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
  }
  *token = reinterpret_cast<HANDLE>(addHandle(HandleObject{HandleObject::TokenHandle, t}));
  return TRUE;
}

BOOL WINAPI RevertToSelf(void) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  threadToken().reset();
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD infoLength,
                                PDWORD returnLength) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  std::shared_ptr<Token> t = tokenFor(token);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (infoClass != TokenGroups) {
    // Only TokenGroups is simulated: other real classes say so plainly rather than pass for a
    // Windows answer; numbers that are no class at all fail as on Windows.
    // Compared as a number: winsim's enum names only a few of the classes a caller may pass.
    const int number = static_cast<int>(infoClass);
    SetLastError(number >= TokenUser && number < kTokenInformationClassEnd ? kErrorCallNotImplemented
                                                                           : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!returnLength) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::vector<SidBytes> sids(t->groups.size());
  size_t header = offsetof(TOKEN_GROUPS, Groups) + sizeof(SID_AND_ATTRIBUTES) * t->groups.size();
  size_t size = header;
  for (size_t i = 0; i < t->groups.size(); ++i) {
    if (!parseSid(t->groups[i].sid, &sids[i])) sids[i] = SidBytes{1, 0, 0, 0, 0, 0, 0, 0};
    size += sids[i].size();
  }
  *returnLength = static_cast<DWORD>(size);
  if (!info || infoLength < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* base = static_cast<uint8_t*>(info);
  auto* groups = static_cast<TOKEN_GROUPS*>(info);
  groups->GroupCount = static_cast<DWORD>(t->groups.size());
  size_t offset = header;
  for (size_t i = 0; i < t->groups.size(); ++i) {
    std::memcpy(base + offset, sids[i].data(), sids[i].size());
    groups->Groups[i].Sid = base + offset;
    groups->Groups[i].Attributes = t->groups[i].attributes;
    offset += sids[i].size();
  }
  return TRUE;
}

}  // extern "C"

namespace winsim {

HANDLE createToken(const std::string& userSid, const std::vector<GroupMembership>& groups, bool primary) {
  auto t = std::make_shared<Token>();
  t->userSid = userSid;
  t->groups = groups;
  t->impersonation = !primary;
  return reinterpret_cast<HANDLE>(addHandle(HandleObject{HandleObject::TokenHandle, std::move(t)}));
}

}  // namespace winsim
