// The child process on Windows: CreateProcessW with two anonymous pipes and no console window.
#include <windows.h>

#include <thread>

#include "process.h"

namespace morvik {

namespace {

std::wstring widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
  return out;
}

// One argument as the C runtime's command-line parser reads it back: quoted when it has white
// space or quotes, backslashes doubled only where they come before a quote.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      line.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    line += arg[i];
  }
  line += L'"';
}

std::string lastErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n && text ? std::string(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
  return "error " + std::to_string(error) + (out.empty() ? std::string() : " (" + out + ")");
}

class WinProcess : public Client::Process {
 public:
  WinProcess(HANDLE process, DWORD pid, HANDLE in, HANDLE out) : process_(process), pid_(pid), in_(in), out_(out) {}
  ~WinProcess() override {
    closeInput();
    CloseHandle(out_);
    if (!status_) {
      kill();
      waitExit(std::chrono::milliseconds(5000));
    }
    CloseHandle(process_);
  }

  bool writeAll(const char* data, std::size_t size) override {
    if (!in_) return false;
    for (std::size_t done = 0; done < size;) {
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
      if (!WriteFile(in_, data + done, want, &n, nullptr) || n == 0) return false;
      done += n;
    }
    return true;
  }

  // Anonymous pipes have no overlapped reads, so the wait is a peek at what is there; the pauses
  // grow to a millisecond, which a person at a console never notices.
  long readSome(char* into, std::size_t size, Clock::time_point deadline) override {
    for (int round = 0;; ++round) {
      DWORD available = 0;
      if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr)) return 0;  // the writer is gone
      if (available > 0) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, available));
        if (!ReadFile(out_, into, want, &n, nullptr)) return 0;
        return static_cast<long>(n);
      }
      if (Clock::now() >= deadline) return -1;
      if (round < 16)
        SwitchToThread();
      else
        Sleep(1);
    }
  }

  void closeInput() override {
    if (in_) CloseHandle(in_);
    in_ = nullptr;
  }

  std::optional<int> waitExit(std::chrono::milliseconds wait) override {
    if (status_) return status_;
    if (WaitForSingleObject(process_, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    status_ = killed_ || !GetExitCodeProcess(process_, &code) ? -1 : static_cast<int>(code);
    return status_;
  }

  void kill() override {
    if (status_) return;
    killed_ = true;
    TerminateProcess(process_, 1);
  }

  long pid() const override { return static_cast<long>(pid_); }

 private:
  HANDLE process_;
  DWORD pid_;
  HANDLE in_, out_;
  bool killed_ = false;
  std::optional<int> status_;
};

struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE take() {
    HANDLE out = h;
    h = nullptr;
    return out;
  }
};

[[noreturn]] void cannotStart(const std::string& what) {
  throw Error(Error::Kind::Start, "cannot start the server: " + what + ": " + lastErrorText(GetLastError()));
}

}  // namespace

std::unique_ptr<Client::Process> Client::Process::start(const std::vector<std::string>& argv,
                                                        const std::optional<std::vector<std::string>>& environment) {
  if (argv.empty() || argv[0].empty()) throw Error(Error::Kind::Start, "cannot start the server: no program named");
  std::wstring line;
  for (const std::string& a : argv) {
    if (!line.empty()) line += L' ';
    appendQuoted(line, widen(a));
  }
  std::wstring block;  // NAME=value\0 ... \0
  if (environment) {
    for (const std::string& e : *environment) block += widen(e) + L'\0';
    block += L'\0';
    if (environment->empty()) block += L'\0';
  }

  // The child's ends are inheritable, ours are not: a child holding our end of its input would
  // never see that input end.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle childIn, in, out, childOut, childErr;
  if (!CreatePipe(&childIn.h, &in.h, &inherit, 1 << 16) || !CreatePipe(&out.h, &childOut.h, &inherit, 1 << 16))
    cannotStart("CreatePipe");
  SetHandleInformation(in.h, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out.h, HANDLE_FLAG_INHERIT, 0);
  // Standard error is ours, handed on as an inheritable copy; without one, the child's goes nowhere.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err && err != INVALID_HANDLE_VALUE &&
      !DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), &childErr.h, 0, TRUE, DUPLICATE_SAME_ACCESS))
    childErr.h = nullptr;
  if (!childErr.h)
    childErr.h = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn.h;
  startup.hStdOutput = childOut.h;
  startup.hStdError = childErr.h;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                      environment ? &block[0] : nullptr, nullptr, &startup, &info))
    cannotStart(argv[0]);
  CloseHandle(info.hThread);
  return std::make_unique<WinProcess>(info.hProcess, info.dwProcessId, in.take(), out.take());
}

std::vector<std::string> Client::currentEnvironment() {
  std::vector<std::string> out;
  wchar_t* block = GetEnvironmentStringsW();
  if (!block) return out;
  for (const wchar_t* e = block; *e; e += wcslen(e) + 1) {
    const int size = static_cast<int>(wcslen(e));
    // Entries such as "=C:=C:\..." keep a drive's current folder: not variables, left out.
    if (e[0] == L'=') continue;
    const int n = WideCharToMultiByte(CP_UTF8, 0, e, size, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, e, size, &s[0], n, nullptr, nullptr);
    out.push_back(std::move(s));
  }
  FreeEnvironmentStringsW(block);
  return out;
}

}  // namespace morvik
