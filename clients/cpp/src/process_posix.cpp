// The child process on POSIX: posix_spawn with two pipes; the child's standard error is ours.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "process.h"

extern char** environ;

namespace morvik {

namespace {

// A write to a pipe whose reader has gone raises SIGPIPE, which would end the whole program. The
// signal goes to the writing thread, so it is blocked there for the write and, when the write
// failed with EPIPE, taken off the pending set again; no process-wide disposition is touched.
class QuietPipe {
 public:
  QuietPipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
  }
  void broke() {
    if (wasPending_) return;
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ~QuietPipe() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t pipe_, saved_;
  bool wasPending_ = false;
};

class PosixProcess : public Client::Process {
 public:
  PosixProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
  ~PosixProcess() override {
    closeInput();
    ::close(out_);
    if (!status_) {
      kill();
      waitExit(std::chrono::milliseconds(5000));
    }
  }

  bool writeAll(const char* data, std::size_t size) override {
    if (in_ < 0) return false;
    QuietPipe quiet;
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::write(in_, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0 && errno == EPIPE) quiet.broke();
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Our end is non-blocking: a read that finds bytes costs no poll, and one that finds none waits
  // in poll, which bounds the wait.
  long readSome(char* into, std::size_t size, Clock::time_point deadline) override {
    for (;;) {
      const ssize_t n = ::read(out_, into, size);
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return -1;
        pollfd fd{out_, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return 0;
      }
    }
  }

  void closeInput() override {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  std::optional<int> waitExit(std::chrono::milliseconds wait) override {
    const auto deadline = Clock::now() + wait;
    auto pause = std::chrono::microseconds(50);
    while (!status_) {
      int raw = 0;
      const pid_t r = waitpid(pid_, &raw, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        break;
      }
      if (r < 0 && errno != EINTR) {
        status_ = -1;  // not our child any more: nothing left to wait for
        break;
      }
      if (Clock::now() >= deadline) break;
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    return status_;
  }

  void kill() override {
    if (!status_) ::kill(pid_, SIGKILL);
  }

  long pid() const override { return static_cast<long>(pid_); }

 private:
  pid_t pid_;
  int in_, out_;
  std::optional<int> status_;
};

struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  int take(int end) {
    const int f = fd[end];
    fd[end] = -1;
    return f;
  }
};

}  // namespace

std::unique_ptr<Client::Process> Client::Process::start(const std::vector<std::string>& argv,
                                                        const std::optional<std::vector<std::string>>& environment) {
  if (argv.empty() || argv[0].empty()) throw Error(Error::Kind::Start, "cannot start the server: no program named");
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  std::vector<std::string> env = environment.value_or(std::vector<std::string>());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // Close-on-exec: the child keeps only the ends it gets as its standard streams, or it would hold
  // its own input open and never see it end.
  Pipe in, out;
  if (pipe2(in.fd, O_CLOEXEC) != 0 || pipe2(out.fd, O_CLOEXEC) != 0)
    throw Error(Error::Kind::Start, std::string("cannot start the server: pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fd[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
  pid_t pid = -1;
  const int spawned =
      posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0)
    throw Error(Error::Kind::Start, "cannot start the server " + argv[0] + ": " + std::strerror(spawned));
  const int output = out.take(0);
  fcntl(output, F_SETFL, fcntl(output, F_GETFL) | O_NONBLOCK);
  return std::make_unique<PosixProcess>(pid, in.take(1), output);
}

std::vector<std::string> Client::currentEnvironment() {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) out.emplace_back(*e);
  return out;
}

}  // namespace morvik
