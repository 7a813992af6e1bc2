// A connection of the process to a network share with given credentials. The object does not
// track the connection: connect and disconnect are independent calls keyed on the share path,
// and a connection outlives the object that made it.
#pragma once

#include "security/win32.h"
#include "talvane_export.h"

namespace crawler_network {

class TALVANE_EXPORT NetConnection {
 public:
  NetConnection();
  // Copies the three strings (each may be null); the user name and password are UTF-8, the share
  // path is read in the ANSI code page. An empty password counts as none.
  NetConnection(const char* user, const char* password, const char* sharePath);
  ~NetConnection();
  NetConnection(const NetConnection&) = delete;
  NetConnection& operator=(const NetConnection&) = delete;

  // 1 when the share was connected (as a disk, no drive letter), else 0 with the failure recorded.
  int connect();
  // 1 when the connection was cancelled (forced), else 0 with the failure recorded.
  int disconnect();

  int getLastErrorNumber();
  char* getLastErrorMessage();
  void freeMemblk(char* block);

 private:
  char* recordError(const char* context, const char* call, int number);
  // Stores the number as the last error number, then records its block: what every failure does.
  void recordFailure(const char* context, const char* call, DWORD number);
  WCHAR* utf8ToWide(const char* input, WCHAR** out);
  char* wideToUtf8(const WCHAR* input, char** out);

  char* user;
  char* password;
  char* sharePath;
  WCHAR* wUser;
  WCHAR* wPassword;
  WCHAR* wSharePath;
  int lastErrorNumber;
  char* lastErrorBlock;
};

}  // namespace crawler_network
