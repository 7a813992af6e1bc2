// Runs morvik as a child over three pipes. One poll loop feeds standard input and drains standard
// output and error at the same time, so neither side can block the other however large the input
// or the output; it stops once the child has exited and both pipes are drained (under Wine a
// background process may hold a pipe open long after morvik.exe has gone).
#include "e2e/harness.h"

#include "morvik/client.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// A whole run must never hang the test binary: morvik answers in milliseconds natively and well
// inside a second under a running wineserver.
constexpr auto kRunLimit = std::chrono::seconds(60);

struct Pipe {
  int fd[2] = {-1, -1};
  bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
  void close(int end) {
    if (fd[end] >= 0) ::close(fd[end]);
    fd[end] = -1;
  }
  ~Pipe() {
    close(0);
    close(1);
  }
};

// The machine file of one run; removed with the run.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/morvik-machine-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    ::close(fd);
    path = name;
    std::ofstream(path, std::ios::binary) << content;
  }
  ~TempFile() {
    if (!path.empty()) std::remove(path.c_str());
  }
};

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there now; false at end of file or on an error other than "nothing yet".
bool drain(int fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// How many whole replies `out` begins with.
size_t wholeReplies(const std::string& out) {
  morvik::ReplyReader reader;
  reader.append(out.data(), out.size());
  size_t count = 0;
  morvik::Header header;
  std::string body;
  try {
    while (reader.next(header, body)) ++count;
  } catch (const morvik::Error&) {
    // A header no reply can have: what came before it is all there is.
  }
  return count;
}

// Starts `args` with `environment`, feeds it `input` and collects what it writes.
Run spawnAndServe(std::vector<std::string> args, std::vector<std::string> environment, const std::string& input,
                  const Pause& pause) {
  Run run;
  // A child that stops reading (terminate message, malformed header) must give the writer EPIPE,
  // not kill the test binary.
  signal(SIGPIPE, SIG_IGN);

  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  Pipe in, out, err;
  if (!in.open() || !out.open() || !err.open()) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
  pid_t pid = -1;
  // A wrapper may be named without its folder; morvik itself always comes with its path.
  // The child starts with SIGPIPE as a crawler's child would, not ignored as here.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    // Under Wine this is the "Wine is missing" case: a failure, never a skip.
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
    return run;
  }
  in.close(0);
  out.close(1);
  err.close(1);
  setNonBlocking(in.fd[1]);
  setNonBlocking(out.fd[0]);
  setNonBlocking(err.fd[0]);

  size_t written = 0;
  bool paused = !pause.inspect;  // true once there is nothing left to wait for
  auto endInput = [&] {
    if (!paused && written == input.size() && wholeReplies(run.out) >= pause.replies) {
      pause.inspect(static_cast<int>(pid));
      paused = true;
    }
    if (paused) in.close(1);
  };
  if (input.empty()) endInput();
  bool outOpen = true, errOpen = true, exited = false;
  int waitStatus = 0;
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  while (outOpen || errOpen || !exited) {
    if (!exited) {
      const pid_t r = waitpid(pid, &waitStatus, WNOHANG);
      if (r == pid) exited = true;
    }
    if (exited) {
      // The child has gone: what it wrote is in the pipes now. Take it and stop, whether or not
      // some other process still holds the write ends.
      if (outOpen) drain(out.fd[0], run.out);
      if (errOpen) drain(err.fd[0], run.err);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << args[0] << " did not finish within " << kRunLimit.count() << " s; killed";
      kill(pid, SIGKILL);
      waitpid(pid, &waitStatus, 0);
      return run;
    }
    pollfd fds[3];
    nfds_t n = 0;
    int outAt = -1, errAt = -1, inAt = -1;
    if (outOpen) {
      outAt = static_cast<int>(n);
      fds[n++] = {out.fd[0], POLLIN, 0};
    }
    if (errOpen) {
      errAt = static_cast<int>(n);
      fds[n++] = {err.fd[0], POLLIN, 0};
    }
    // Input held open for a pause has nothing more to write: waiting on it would only spin.
    if (in.fd[1] >= 0 && written < input.size()) {
      inAt = static_cast<int>(n);
      fds[n++] = {in.fd[1], POLLOUT, 0};
    }
    // A short timeout: the child's exit is noticed by waitpid, not by an event on a pipe.
    if (poll(fds, n, 20) < 0 && errno != EINTR) {
      ADD_FAILURE() << "poll: " << std::strerror(errno);
      break;
    }
    if (outAt >= 0 && fds[outAt].revents) {
      outOpen = drain(out.fd[0], run.out);
      if (in.fd[1] >= 0 && written == input.size()) endInput();
    }
    if (errAt >= 0 && fds[errAt].revents) errOpen = drain(err.fd[0], run.err);
    if (inAt >= 0 && fds[inAt].revents) {
      if (fds[inAt].revents & (POLLERR | POLLHUP)) {
        in.close(1);  // the child stopped reading; the rest of the input is not wanted
      } else {
        const ssize_t w = write(in.fd[1], input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
          in.close(1);
        } else if (written == input.size()) {
          endInput();
        }
      }
    }
  }
  if (!exited) waitpid(pid, &waitStatus, 0);
  run.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
  return run;
}

}  // namespace

std::string request(int32_t command, const Params& params, int32_t messageType, int32_t senderId,
                    int32_t receiverId) {
  return morvik::encodeRequest(command, params, messageType, senderId, receiverId);
}

std::string rawMessage(int32_t messageType, int32_t command, int32_t bodyLength, int32_t senderId,
                       int32_t receiverId, const std::string& body) {
  return morvik::encodeHeader({messageType, command, 0, bodyLength, senderId, receiverId}) + body;
}

bool underWine() { return env("MORVIK_WINE") && env("MORVIK_EXE"); }

std::string le(int32_t value) {
  std::string out;
  morvik::appendInt32(out, value);
  return out;
}

std::string wineComputerName() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string name(host);
  name = name.substr(0, name.find('.'));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name.size() > 15) name.resize(15);
  return name;
}

Run runMorvik(const std::string& input, const std::string& machineJson) {
  return runMorvik(input, machineJson, Pause{});
}

std::vector<std::string> morvikCommand() {
  if (underWine()) return {env("MORVIK_WINE"), env("MORVIK_EXE")};
  // MORVIK_WRAPPER (words split at spaces) goes in front of the native command line, so that a
  // checker such as valgrind runs every morvik the tests start.
  std::vector<std::string> args;
  if (const char* wrapper = env("MORVIK_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) args.push_back(word);
  }
  args.push_back(MORVIK_NATIVE_EXE);
  return args;
}

Run runMorvik(const std::string& input, const std::string& machineJson, const Pause& pause) {
  const std::vector<std::string> args = morvikCommand();

  // The child gets the test's environment; natively WINSIM_MACHINE names this run's machine file
  // or is removed, so that no machine leaks in from outside.
  std::unique_ptr<TempFile> machine;
  if (!underWine() && !machineJson.empty()) {
    machine = std::make_unique<TempFile>(machineJson);
    if (machine->path.empty()) {
      ADD_FAILURE() << "cannot create a machine file: " << std::strerror(errno);
      return Run{};
    }
  }
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e)
    if (underWine() || std::strncmp(*e, "WINSIM_MACHINE=", 15) != 0) environment.emplace_back(*e);
  if (machine) environment.push_back("WINSIM_MACHINE=" + machine->path);
  return spawnAndServe(args, environment, input, pause);
}

Run runProgram(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  return spawnAndServe(args, environment, input, Pause{});
}

std::vector<Reply> parseReplies(const std::string& out) {
  std::vector<Reply> replies;
  morvik::ReplyReader reader;
  reader.append(out.data(), out.size());
  morvik::Header header;
  Reply r;
  try {
    while (reader.next(header, r.body)) {
      r.messageType = header.messageType;
      r.command = header.command;
      r.result = header.result;
      r.bodyLength = header.bodyLength;
      r.senderId = header.senderId;
      r.receiverId = header.receiverId;
      replies.push_back(r);
    }
  } catch (const morvik::Error& e) {
    ADD_FAILURE() << e.what();
  }
  if (reader.pending() != 0) ADD_FAILURE() << reader.pending() << " bytes after the last whole reply";
  return replies;
}

std::vector<std::string> strings(const std::string& body) {
  try {
    return morvik::decodeStrings(body.data(), body.size());
  } catch (const morvik::Error& e) {
    ADD_FAILURE() << "not a string list: " << e.what();
    return {};
  }
}

}  // namespace e2e
