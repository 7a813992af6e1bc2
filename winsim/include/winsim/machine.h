// winsim's C++ API: the description of one simulated Windows machine, how to install it, fault
// injection, and the bookkeeping tests read (open handles, live allocations, impersonation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsim/win32api.h"

namespace winsim {

struct GroupMembership {
  std::string sid;
  uint32_t attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
};

struct Account {
  std::string name;
  std::string domain;  // empty: the computer name
  std::string sid;
  std::string password;
  std::vector<GroupMembership> groups;
  uint32_t logonError = 0;  // non-zero: logon is refused with this number even with the right password
};

struct NamedSid {
  std::string name;
  std::string domain;  // may be empty
  std::string sid;
};

struct Ace {
  enum Type : uint8_t { Allow = ACCESS_ALLOWED_ACE_TYPE, Deny = ACCESS_DENIED_ACE_TYPE };
  Type type = Allow;
  std::string sid;
  uint32_t mask = 0;
  uint8_t flags = 0;
};

struct File {
  std::string path;
  std::string owner;                    // SID string; empty: no owner
  std::string group;                    // SID string; empty: no group
  std::optional<std::vector<Ace>> dacl; // nullopt: no DACL at all (everyone gets everything)
};

struct Volume {
  std::string root;  // with its trailing backslash
  std::string fileSystem = "NTFS";
  uint32_t driveType = DRIVE_FIXED;
  uint32_t error = 0;  // non-zero: the volume query fails with it
};

struct Share {
  std::string path;  // \\server\share, no trailing backslash
  std::optional<std::string> user;      // nullopt: accepts the process's own credentials
  std::optional<std::string> password;
  std::string fileSystem = "NTFS";
};

struct Fault {
  std::string call;  // Win32 function name, e.g. "LogonUserW"
  uint32_t error = 0;
  int nth = 1;       // 1-based count of calls to that function
};

struct Machine {
  std::string computerName;
  std::string workgroup;   // used when domainName is empty
  std::string domainName;  // non-empty: member of this domain
  std::string domainSid;
  std::vector<Account> accounts;
  std::vector<NamedSid> groups;
  std::vector<File> files;
  std::vector<Volume> volumes;
  std::vector<Share> shares;
  std::vector<Fault> faults;
  // Milliseconds every call of the named Win32 function waits before it answers, as Windows' logon
  // waits on the local security authority; empty: every call answers at once.
  std::map<std::string, uint32_t, std::less<>> delays;
  // Current Windows resolves logon SIDs to NT AUTHORITY\LogonSessionId_X_Y; the reference page and
  // Wine say 1332. Off by default.
  bool resolveLogonSids = false;
};

class WINSIM_API MachineFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The machine without a file: host name, WORKGROUP, C:\ NTFS fixed, nothing else.
WINSIM_API Machine defaultMachine();

// Parses a machine file; throws MachineFileError naming the file and what is wrong.
WINSIM_API Machine loadMachineFile(const std::string& path);
WINSIM_API Machine parseMachineJson(const std::string& json, const std::string& sourceName);

// Replaces the current machine and resets all state: handles, allocations, connections,
// call counters, faults (the machine's own faults are installed), and this thread's impersonation.
WINSIM_API void install(const Machine& machine);

// Makes the nth call (counted from now) of `call` fail with `error`.
WINSIM_API void injectFault(const std::string& call, uint32_t error, int nth = 1);
WINSIM_API void clearFaults();

// A token holding exactly this user SID and these groups, in this order and with these attributes
// (no logon SID is added), for tests that must reproduce a token made elsewhere, such as Wine's.
// An impersonation token unless `primary`. The caller closes the handle with CloseHandle.
WINSIM_API HANDLE createToken(const std::string& userSid, const std::vector<GroupMembership>& groups,
                              bool primary = false);

// Bookkeeping.
struct Allocations {
  size_t local = 0;   // LocalAlloc: FormatMessageW texts, GetNamedSecurityInfoW descriptors
  size_t global = 0;  // GlobalAlloc
  size_t netApi = 0;  // NetWkstaGetInfo buffers
  size_t lsa = 0;     // LsaQueryInformationPolicy buffers
  size_t total() const { return local + global + netApi + lsa; }
};
WINSIM_API size_t openHandles();        // tokens and LSA policy handles not yet closed
WINSIM_API Allocations liveAllocations();
WINSIM_API bool threadImpersonating();  // the calling thread
WINSIM_API size_t connectionCount();    // the process's share connections

// Every Win32 call made since the last install() or clearCallLog(), by name, in order.
WINSIM_API std::vector<std::string> callLog();
WINSIM_API void clearCallLog();

// What the last LogonUserW and WNetAddConnection2W calls received (nullopt: a null pointer).
struct LogonArgs {
  std::optional<std::u16string> user, domain, password;
};
struct ConnectArgs {
  std::optional<std::u16string> remoteName, user, password;
  DWORD type = 0;
  bool localNameNull = true;
  DWORD flags = 0;
};
WINSIM_API LogonArgs lastLogonArgs();
WINSIM_API ConnectArgs lastConnectArgs();

}  // namespace winsim
