// The machine's state, the call bookkeeping and fault injection, handles, the simulated
// allocators, the per-thread last error, and winsim's C++ API.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "state.h"

namespace winsim::detail {
namespace {

thread_local DWORD t_lastError = 0;
thread_local std::shared_ptr<Token> t_impersonation;

void updateIdle(State& s) {
  s.idle.store(s.faults.empty() && !s.recordCalls && s.machine.delays.empty(), std::memory_order_release);
}

void resetLocked(State& s, const Machine& machine, bool recordCalls) {
  for (void* p : s.local) std::free(p);
  for (void* p : s.global) std::free(p);
  for (void* p : s.netApi) std::free(p);
  for (void* p : s.lsa) std::free(p);
  s.local.clear();
  s.global.clear();
  s.netApi.clear();
  s.lsa.clear();
  s.handles.clear();
  s.faults.clear();
  s.callCounts.clear();
  s.callLog.clear();
  s.recordCalls = recordCalls;
  ++s.generation;
  s.connections.clear();
  s.lastLogon = LogonArgs{};
  s.lastConnect = ConnectArgs{};
  s.nextLogonId = kFirstLogonId;
  s.machine = machine;
  for (const Fault& f : machine.faults) s.faults[f.call].push_back({f.error, std::max(f.nth, 1)});
  updateIdle(s);
  t_impersonation.reset();
}

State* loadInitial() {
  Machine machine;
  const char* file = std::getenv("WINSIM_MACHINE");
  if (file && *file) {
    try {
      machine = loadMachineFile(file);
    } catch (const MachineFileError& e) {
      std::fprintf(stderr, "winsim: %s\n", e.what());
      std::fflush(stderr);
      std::_Exit(2);
    }
  } else {
    machine = defaultMachine();
  }
  // Made only once the machine is known: a bad machine file ends the process above, and the
  // state must not be left behind unreferenced when it does.
  auto* s = new State();  // lives for the process: Win32 calls may come from static destructors
  // A process that loads its machine at first use may run for days (morvik, the soak run): it keeps
  // no call log, which only in-process tests read.
  resetLocked(*s, machine, false);
  return s;
}

}  // namespace

State& state() {
  static State* s = loadInitial();
  return *s;
}

std::shared_ptr<Token>& threadToken() { return t_impersonation; }

bool enter(const char* call, uint32_t* error) {
  State& s = state();
  // With no fault pending, no log kept and no delay there is nothing to count: a fault injected
  // later counts its calls from then on, and a machine's own faults are pending from the start. A
  // long-running morvik takes this path on every call.
  if (s.idle.load(std::memory_order_acquire)) return false;
  uint32_t delayMs = 0;
  bool fired = false;
  {
    Lock lock(s.mutex);
    if (s.recordCalls) s.callLog.emplace_back(call);
    auto counted = s.callCounts.find(std::string_view(call));
    if (counted == s.callCounts.end()) counted = s.callCounts.emplace(call, 0).first;
    const int count = ++counted->second;
    if (auto d = s.machine.delays.find(std::string_view(call)); d != s.machine.delays.end()) delayMs = d->second;
    auto it = s.faults.find(std::string_view(call));
    if (it != s.faults.end()) {
      auto& pending = it->second;
      for (auto f = pending.begin(); f != pending.end(); ++f) {
        if (f->atCall == count) {
          *error = f->error;
          fired = true;
          pending.erase(f);
          if (pending.empty()) {
            s.faults.erase(it);
            updateIdle(s);
          }
          break;
        }
      }
    }
  }
  // Outside the lock: the latency is the authority's, and other threads' calls go on meanwhile. A
  // faulted call waits too, as a refused logon does.
  if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return fired;
}

uintptr_t addHandle(HandleObject object) {
  State& s = state();
  Lock lock(s.mutex);
  uintptr_t h = s.nextHandle;
  s.nextHandle += 4;
  s.handles.emplace(h, std::move(object));
  return h;
}

HandleObject* findHandle(HANDLE handle) {
  State& s = state();
  Lock lock(s.mutex);
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == s.handles.end() ? nullptr : &it->second;
}

void* allocate(std::set<void*>& pool, size_t bytes, bool zero) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) return nullptr;
  if (zero) std::memset(p, 0, bytes ? bytes : 1);
  Lock lock(state().mutex);
  pool.insert(p);
  return p;
}

bool release(std::set<void*>& pool, void* p) {
  Lock lock(state().mutex);
  auto it = pool.find(p);
  if (it == pool.end()) return false;
  pool.erase(it);
  std::free(p);
  return true;
}

std::string computerName() {
  Lock lock(state().mutex);
  return state().machine.computerName;
}

}  // namespace winsim::detail

using namespace winsim::detail;

namespace {

// Windows' runtime refuses a count its int result cannot carry, and knows no interrupted call: a
// signal must not look like a failure.
template <class Call>
int retried(unsigned int count, Call call) {
  if (count > INT_MAX) {
    errno = EINVAL;
    return -1;
  }
  for (;;) {
    const ssize_t done = call();
    if (done >= 0 || errno != EINTR) return static_cast<int>(done);
  }
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD code) { t_lastError = code; }

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

BOOL WINAPI CloseHandle(HANDLE handle) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return FALSE;
  }
  // The current-process and current-thread pseudo handles: closing them has no effect.
  if (handle == INVALID_HANDLE_VALUE || handle == GetCurrentThread()) return TRUE;
  State& s = state();
  Lock lock(s.mutex);
  auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == s.handles.end() || it->second.kind != HandleObject::TokenHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  s.handles.erase(it);
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return nullptr;
  }
  void* p = allocate(state().local, bytes, (flags & LMEM_ZEROINIT) != 0);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return mem;
  }
  if (!mem) return nullptr;
  if (!release(state().local, mem)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  return nullptr;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return nullptr;
  }
  void* p = allocate(state().global, bytes, (flags & GMEM_ZEROINIT) != 0);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return mem;
  }
  if (!mem) return nullptr;
  if (!release(state().global, mem)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  return nullptr;
}

int _setmode(int fd, int mode) {
  (void)fd;
  (void)mode;
  return _O_TEXT;  // POSIX streams have no text mode: every mode is binary already
}

int _fileno(FILE* stream) { return fileno(stream); }

int _read(int fd, void* buffer, unsigned int count) {
  return retried(count, [&] { return read(fd, buffer, count); });
}

int _write(int fd, const void* buffer, unsigned int count) {
  // Windows has no SIGPIPE: a write to a pipe whose reader has gone fails, and the writer goes on.
  // Here the signal is ignored from the first write on, so the same write fails with EPIPE.
  static const bool kNoBrokenPipeSignal = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)kNoBrokenPipeSignal;
  return retried(count, [&] { return write(fd, buffer, count); });
}

}  // extern "C"

namespace winsim {

Machine defaultMachine() {
  Machine m;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "WINSIM");
  std::string name(host);
  name = name.substr(0, name.find('.'));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.size() > 15) name.resize(15);
  m.computerName = name;
  m.workgroup = "WORKGROUP";
  m.volumes.push_back(Volume{"C:\\", "NTFS", DRIVE_FIXED, 0});
  return m;
}

void install(const Machine& machine) {
  State& s = state();
  Lock lock(s.mutex);
  resetLocked(s, machine, true);
}

void injectFault(const std::string& call, uint32_t error, int nth) {
  State& s = state();
  Lock lock(s.mutex);
  s.faults[call].push_back({error, s.callCounts[call] + std::max(nth, 1)});
  updateIdle(s);
}

void clearFaults() {
  State& s = state();
  Lock lock(s.mutex);
  s.faults.clear();
  updateIdle(s);
}

size_t openHandles() {
  State& s = state();
  Lock lock(s.mutex);
  return s.handles.size();
}

Allocations liveAllocations() {
  State& s = state();
  Lock lock(s.mutex);
  return Allocations{s.local.size(), s.global.size(), s.netApi.size(), s.lsa.size()};
}

bool threadImpersonating() { return t_impersonation != nullptr; }

size_t connectionCount() {
  State& s = state();
  Lock lock(s.mutex);
  return s.connections.size();
}

std::vector<std::string> callLog() {
  State& s = state();
  Lock lock(s.mutex);
  return s.callLog;
}

void clearCallLog() {
  State& s = state();
  Lock lock(s.mutex);
  s.callLog.clear();
}

LogonArgs lastLogonArgs() {
  State& s = state();
  Lock lock(s.mutex);
  return s.lastLogon;
}

ConnectArgs lastConnectArgs() {
  State& s = state();
  Lock lock(s.mutex);
  return s.lastConnect;
}

}  // namespace winsim
