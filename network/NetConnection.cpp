#include "NetConnection.h"

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
  if (user_) {
    user = common::copyString(user_);
    utf8ToWide(user, &wUser);
  }
  if (password_ && *password_) {
    password = common::copyString(password_);
    utf8ToWide(password, &wPassword);
  }
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

int NetConnection::connect() { return 0; }

int NetConnection::disconnect() { return 0; }

int NetConnection::getLastErrorNumber() { return lastErrorNumber; }

char* NetConnection::getLastErrorMessage() { return lastErrorBlock; }

void NetConnection::freeMemblk(char* block) { delete[] block; }

char* NetConnection::recordError(const char* context, const char* call, int number) {
  return common::recordError(&lastErrorBlock, context, call, number);
}

WCHAR* NetConnection::utf8ToWide(const char* input, WCHAR** out) { return *out = common::utf8ToWide(input); }

char* NetConnection::wideToUtf8(const WCHAR* input, char** out) { return *out = common::wideToUtf8(input); }

}  // namespace crawler_network
