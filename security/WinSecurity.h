// A user's credentials and the security questions asked with them. One object per request: it
// copies the credentials, runs one operation (logging the user on and off where the operation
// needs the user's identity) and records the last failure as a number and a last-error block.
#pragma once

#include "security/BufferList.h"
#include "security/win32.h"
#include "talvane_export.h"

namespace winsecurity {

class TALVANE_EXPORT WinSecurity {
 public:
  WinSecurity();
  // Copies the three strings (each may be null); an empty password counts as none.
  WinSecurity(const char* user, const char* password, const char* domain);
  ~WinSecurity();
  WinSecurity(const WinSecurity&) = delete;
  WinSecurity& operator=(const WinSecurity&) = delete;

  // 1 when the user can be logged on and impersonated, else 0.
  int validateUser();
  // 1 with a block of the logged-on user's enabled groups in *out, else 0 (out untouched).
  int getGroupList(char** out);
  // 1 when the user may read the file (path in the ANSI code page), else 0.
  int accessCheck(const char* path);
  // 1 with a block of the accounts the file's DACL names with read-related rights, else 0.
  int getAccessList(const char* path, char** out);
  // 1 when the volume at the root path is NTFS, else 0 (a failed query is recorded).
  int isNTFS(const char* path);
  // 1 when the drive at the root path is a remote drive, else 0. Records nothing.
  int isMappedDrive(const char* path);
  // 1 with the domain name, 0 for a workgroup machine, -1 when the workstation query fails.
  int getDomainName(char** out);
  // 1 with the computer name, -1 when the workstation query fails.
  int getComputerName(char** out);

  int getLastErrorNumber();
  // The last-error block (context, call, number, text), owned by this object; null if none.
  char* getLastErrorMessage();
  // Releases a block that an operation of this library returned; null is ignored.
  void freeMemblk(char* block);

 private:
  int logOnVelUser();
  int impersonateUse();
  void logOffVelUser();
  char* recordError(const char* context, const char* call, int number);
  // Stores the number as the last error number, then records its block: what every failure does.
  void recordFailure(const char* context, const char* call, DWORD number);
  WCHAR* utf8ToWide(const char* input, WCHAR** out);
  char* wideToUtf8(const WCHAR* input, char** out);

  int getGroupsForUser(BufferList& list);
  int checkURI(const char* path);
  int getUsersForFile(const char* path, BufferList& list);
  int getMachineInfo(BufferList& list, int which);
  int isWorkgroup();

  HANDLE token;
  char* user;
  char* password;
  char* domain;
  WCHAR* wUser;
  WCHAR* wPassword;
  WCHAR* wDomain;
  int lastErrorNumber;
  char* lastErrorBlock;
};

}  // namespace winsecurity
