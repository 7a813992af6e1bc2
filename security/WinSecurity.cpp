// WinSecurity: construction, logon, impersonation and revert, error recording and conversions.
#include "security/WinSecurity.h"
#include "security/common.h"

namespace winsecurity {

WinSecurity::WinSecurity() : WinSecurity(nullptr, nullptr, nullptr) {}

WinSecurity::WinSecurity(const char* user_, const char* password_, const char* domain_)
    : token(nullptr),
      user(nullptr),
      password(nullptr),
      domain(nullptr),
      wUser(nullptr),
      wPassword(nullptr),
      wDomain(nullptr),
      lastErrorNumber(0),
      lastErrorBlock(nullptr) {
  common::copyCredential(user_, false, &user, &wUser);
  common::copyCredential(password_, true, &password, &wPassword);
  common::copyCredential(domain_, false, &domain, &wDomain);
}

WinSecurity::~WinSecurity() {
  if (token) logOffVelUser();
  common::release(&user);
  common::wipeAndFree(&password);
  common::release(&domain);
  common::release(&lastErrorBlock);
  common::release(&wUser);
  common::wipeAndFree(&wPassword);
  common::release(&wDomain);
}

int WinSecurity::validateUser() {
  const common::ScopeExit logOff([this] { logOffVelUser(); });
  if (wUser && logOnVelUser() == 1) return impersonateUse();
  return 0;
}

int WinSecurity::getLastErrorNumber() { return lastErrorNumber; }

char* WinSecurity::getLastErrorMessage() { return lastErrorBlock; }

void WinSecurity::freeMemblk(char* block) { delete[] block; }

int WinSecurity::logOnVelUser() {
  if (LogonUserW(wUser, wDomain, wPassword, LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token))
    return 1;
  const DWORD error = GetLastError();
  token = nullptr;  // only defined on success
  recordFailure("WinSecurity::logOnVelUser", "LogonUser", error);
  return 0;
}

int WinSecurity::impersonateUse() {
  if (!ImpersonateLoggedOnUser(token)) {
    recordFailure("WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", GetLastError());
    return 0;
  }
  if (token == INVALID_HANDLE_VALUE) {
    // Recorded with the stored number as it stands, stale or 0: the crawler relies on this record.
    recordError("WinSecurity::impersonateUse", "ImpersonateLoggedOnUser", lastErrorNumber);
    return 0;
  }
  CloseHandle(token);
  token = nullptr;
  if (OpenThreadToken(GetCurrentThread(), TOKEN_ALL_ACCESS, TRUE, &token)) return 1;
  const DWORD error = GetLastError();
  token = nullptr;
  // Without a token logOffVelUser does nothing, so revert here: the next request must never run
  // as this user.
  RevertToSelf();
  recordFailure("WinSecurity::impersonateUse", "OpenThreadToken", error);
  return 0;
}

void WinSecurity::logOffVelUser() {
  if (!token) {
    token = nullptr;  // already null: every path leaves the field null, this one says so too
    return;
  }
  if (!RevertToSelf()) recordFailure("WinSecurity::logOffVelUser", "RevertToSelf()", GetLastError());
  if (token != INVALID_HANDLE_VALUE) CloseHandle(token);
  token = nullptr;
}

char* WinSecurity::recordError(const char* context, const char* call, int number) {
  return common::recordError(&lastErrorBlock, context, call, number);
}

void WinSecurity::recordFailure(const char* context, const char* call, DWORD number) {
  lastErrorNumber = static_cast<int>(number);
  recordError(context, call, lastErrorNumber);
}

WCHAR* WinSecurity::utf8ToWide(const char* input, WCHAR** out) { return *out = common::utf8ToWide(input); }

char* WinSecurity::wideToUtf8(const WCHAR* input, char** out) { return *out = common::wideToUtf8(input); }

}  // namespace winsecurity
