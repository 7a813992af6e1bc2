// winsim's internal state: one machine, its handles, allocations, faults and the per-thread
// last error and impersonation. Every Win32 entry point starts with enter().
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/machine.h"

namespace winsim::detail {

// A SID in its binary form (revision, count, authority, sub-authorities).
using SidBytes = std::vector<uint8_t>;

struct Token {
  std::string userSid;
  std::string userName;
  std::string userDomain;
  std::vector<GroupMembership> groups;  // token order; the logon SID last
  bool impersonation = false;           // false: a primary token
};

struct HandleObject {
  enum Kind { TokenHandle, LsaPolicyHandle } kind = TokenHandle;
  std::shared_ptr<Token> token;
};

struct Connection {
  std::string path;  // as the share lists it
  std::optional<std::string> user;
};

// Logon SIDs are S-1-5-5-0-N; a fresh machine numbers its logons from here.
constexpr uint32_t kFirstLogonId = 0x3e8;

struct State {
  std::recursive_mutex mutex;
  Machine machine;
  std::map<uintptr_t, HandleObject> handles;
  uintptr_t nextHandle = 0x1000;
  std::set<void*> local, global, netApi, lsa;
  struct PendingFault {
    uint32_t error;
    int atCall;  // absolute call count of that function at which it fires
  };
  std::map<std::string, std::vector<PendingFault>, std::less<>> faults;
  std::map<std::string, int, std::less<>> callCounts;
  std::vector<std::string> callLog;
  bool recordCalls = true;
  // No fault pending and no log kept: enter() has nothing to do and need not take the lock. Kept
  // equal to that condition by every change of either (updateIdle).
  std::atomic<bool> idle{false};
  uint64_t generation = 0;  // counts installs, so that caches derived from the machine can tell it changed
  std::vector<Connection> connections;
  uint32_t nextLogonId = kFirstLogonId;
  LogonArgs lastLogon;
  ConnectArgs lastConnect;
};

// The one machine, loaded from WINSIM_MACHINE (or the default) on first use.
State& state();
using Lock = std::lock_guard<std::recursive_mutex>;

// Records the call and counts it; true (with *error set) when an injected fault fires for it. Each
// entry point passes __func__, so a fault and a log line name the function as it is spelt.
bool enter(const char* call, uint32_t* error);

// The calling thread's impersonation token, or null.
std::shared_ptr<Token>& threadToken();

uintptr_t addHandle(HandleObject object);
// Null when the handle is not open. Hold state().mutex while using the result: a CloseHandle on
// another thread erases it.
HandleObject* findHandle(HANDLE handle);

// Allocations the simulated allocators hand out; freeing checks membership.
void* allocate(std::set<void*>& pool, size_t bytes, bool zero);
bool release(std::set<void*>& pool, void* p);

// Text helpers.
std::u16string utf8ToUtf16(const std::string& s);      // invalid sequences become U+FFFD
std::string utf16ToUtf8(const std::u16string& s);      // unpaired surrogates become U+FFFD
std::u16string cp1252ToUtf16(const std::string& s);
std::u16string fromWide(LPCWSTR s);                    // null counts as empty
bool equalNoCase(const std::string& a, const std::string& b);      // UTF-8, Windows-style
bool equalNoCase(std::u16string_view a, std::u16string_view b);
std::u16string upper(std::u16string s);

// SIDs.
bool parseSid(const std::string& text, SidBytes* out);
std::string formatSid(const uint8_t* sid);
size_t sidLength(const uint8_t* sid);
bool validSid(const uint8_t* sid, size_t available);

// Account names for a SID as LookupAccountSidW gives them; false: 1332.
bool lookupSid(const std::string& sid, std::string* name, std::string* domain, SID_NAME_USE* use);

// The computer name the machine reports.
std::string computerName();

}  // namespace winsim::detail
