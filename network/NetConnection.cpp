#include "network/NetConnection.h"

#include "security/common.h"

namespace crawler_network {

using namespace winsecurity;

NetConnection::NetConnection() : NetConnection(nullptr, nullptr, nullptr) {}

NetConnection::NetConnection(const char* user_, const char* password_, const char* sharePath_)
    : user(nullptr),
      password(nullptr),
      sharePath(nullptr),
      wUser(nullptr),
      wPassword(nullptr),
      wSharePath(nullptr),
      lastErrorNumber(0),
      lastErrorBlock(nullptr) {
  common::copyCredential(user_, false, &user, &wUser);
  common::copyCredential(password_, true, &password, &wPassword);
  // The share path is read in the ANSI code page, unlike the credentials.
  if (sharePath_) {
    sharePath = common::copyString(sharePath_);
    wSharePath = common::ansiToWide(sharePath);
  }
}

NetConnection::~NetConnection() {
  common::release(&user);
  common::wipeAndFree(&password);
  common::release(&sharePath);
  common::release(&lastErrorBlock);
  common::release(&wUser);
  common::wipeAndFree(&wPassword);
  common::release(&wSharePath);
}

int NetConnection::connect() {
  NETRESOURCEW resource{};
  resource.dwType = RESOURCETYPE_DISK;
  resource.lpLocalName = nullptr;  // deviceless: no drive letter is taken
  resource.lpRemoteName = wSharePath;
  resource.lpProvider = nullptr;   // the system picks the provider from the remote name
  // A null password or user asks for the process's own credentials; flags 0 keeps the connection
  // out of the user's profile.
  const DWORD status = WNetAddConnection2W(&resource, wPassword, wUser, 0);
  if (status == NO_ERROR) return 1;
  // The WNet calls are documented to return their error number; the thread's last error is set
  // too in practice, but Wine leaves it stale (a failure recorded as "Success."). The returned
  // number is the same on Windows and right everywhere.
  recordFailure("NetConnection::connect", "WNetAddConnection2", status);
  return 0;
}

int NetConnection::disconnect() {
  // Forced: the connection goes even while files or jobs are open on it. Flags 0 leaves the
  // user's profile alone.
  const DWORD status = WNetCancelConnection2W(wSharePath, 0, TRUE);
  if (status == NO_ERROR) return 1;
  recordFailure("NetConnection::disconnect", "WNetCancelConnection2W", status);
  return 0;
}

int NetConnection::getLastErrorNumber() { return lastErrorNumber; }

char* NetConnection::getLastErrorMessage() { return lastErrorBlock; }

void NetConnection::freeMemblk(char* block) { delete[] block; }

char* NetConnection::recordError(const char* context, const char* call, int number) {
  return common::recordError(&lastErrorBlock, context, call, number);
}

void NetConnection::recordFailure(const char* context, const char* call, DWORD number) {
  lastErrorNumber = static_cast<int>(number);
  recordError(context, call, lastErrorNumber);
}

WCHAR* NetConnection::utf8ToWide(const char* input, WCHAR** out) { return *out = common::utf8ToWide(input); }

char* NetConnection::wideToUtf8(const WCHAR* input, char** out) { return *out = common::wideToUtf8(input); }

}  // namespace crawler_network
