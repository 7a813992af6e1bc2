// Streams N requests of a chosen mix through a server over pipes, writing and reading at once, and
// reports requests per second (from the first reply on; the start-up before it is shown apart) and
// the server's peak memory; then does the same against the minimal loop in the same run and prints
// the ratio.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/client_protocol.h"

namespace {

struct Result {
  double seconds = 0;         // from the first reply to the last
  double startupSeconds = 0;  // from the start of the process to its first reply
  long peakKiB = 0;
  long replies = 0;
  bool ok = false;
};

std::vector<std::string> mixRequests(const std::string& mix) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= mix.size()) {
    size_t comma = mix.find(',', start);
    if (comma == std::string::npos) comma = mix.size();
    const int command = std::atoi(mix.substr(start, comma - start).c_str());
    client::Params params;
    switch (command) {
      case 1:
      case 2:
        params = {{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}};
        break;
      case 3:
        params = {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "\\\\fs01\\docs"}};
        break;
      case 5:
        params = {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\data\\report.docx"}};
        break;
      case 4:
        params = {{"filepath", "C:\\data\\report.docx"}};
        break;
      case 6:
      case 10:
        params = {{"filepath", "C:\\"}};
        break;
      case 9:
        params = {{"filepath", "\\\\fs01\\docs"}};
        break;
      default:
        break;
    }
    out.push_back(client::encodeRequest(command, params));
    start = comma + 1;
  }
  return out;
}

Result run(const std::string& command, const std::vector<std::string>& mix, long count) {
  Result result;
  int toServer[2], fromServer[2];
  if (pipe(toServer) != 0 || pipe(fromServer) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(toServer[0], 0);
    dup2(fromServer[1], 1);
    close(toServer[0]);
    close(toServer[1]);
    close(fromServer[0]);
    close(fromServer[1]);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toServer[0]);
  close(fromServer[1]);
  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] {
    // Batches of requests per write, as a crawler streaming requests would send them.
    std::string batch;
    long sent = 0;
    while (sent < count) {
      batch.clear();
      for (int k = 0; k < 256 && sent < count; ++k, ++sent) batch += mix[static_cast<size_t>(sent) % mix.size()];
      size_t done = 0;
      while (done < batch.size()) {
        const ssize_t n = write(toServer[1], batch.data() + done, batch.size() - done);
        if (n <= 0) {
          close(toServer[1]);
          return;
        }
        done += static_cast<size_t>(n);
      }
    }
    close(toServer[1]);
  });
  std::vector<char> buffer(1 << 16);
  long replies = 0;
  size_t pending = 0;  // bytes of the current reply still to come
  std::vector<char> header;
  auto firstReply = start;
  for (;;) {
    const ssize_t n = read(fromServer[0], buffer.data(), buffer.size());
    if (n <= 0) break;
    // Walk the replies: header, then its body length's worth of bytes.
    for (ssize_t i = 0; i < n;) {
      if (pending > 0) {
        const size_t take = std::min(pending, static_cast<size_t>(n - i));
        pending -= take;
        i += static_cast<ssize_t>(take);
        continue;
      }
      header.push_back(buffer[static_cast<size_t>(i++)]);
      if (header.size() == 32) {
        int32_t length;
        std::memcpy(&length, header.data() + 12, 4);
        pending = static_cast<size_t>(length);
        header.clear();
        if (++replies == 1) firstReply = std::chrono::steady_clock::now();
      }
    }
  }
  const auto end = std::chrono::steady_clock::now();
  writer.join();
  close(fromServer[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  // Throughput is the running server's: process start-up (a shell, the dynamic loader, winsim's
  // machine file) is paid once per crawl, so it is timed on its own.
  result.startupSeconds = std::chrono::duration<double>(firstReply - start).count();
  result.seconds = std::chrono::duration<double>(end - firstReply).count();
  result.peakKiB = usage.ru_maxrss;
  result.replies = replies;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

// Replies per second after the first one.
double throughput(const Result& r) { return r.replies > 1 ? (r.replies - 1) / r.seconds : 0; }

void report(const char* name, const Result& r, long count) {
  std::printf("%-8s %9ld requests %9ld replies %8.3f s %11.0f req/s  start-up %6.2f ms  peak %7ld KiB%s\n", name,
              count, r.replies, r.seconds, throughput(r), r.startupSeconds * 1000, r.peakKiB,
              r.ok ? "" : "  (abnormal exit)");
}

}  // namespace

int main(int argc, char** argv) {
  std::string server, minimal, mix = "6,10", machine;
  long count = 100000;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--server") server = next();
    else if (a == "--minimal") minimal = next();
    else if (a == "--mix") mix = next();
    else if (a == "-n") count = std::atol(next().c_str());
    else if (a == "--repeat") repeat = std::atoi(next().c_str());
    else {
      std::fprintf(stderr, "usage: throughput --server CMD --minimal CMD [--mix 6,10] [-n N] [--repeat R]\n");
      return 3;
    }
  }
  // Throughput is timed from the first reply, so it takes two at least.
  if (server.empty() || minimal.empty() || count < 2) {
    std::fprintf(stderr, "usage: throughput --server CMD --minimal CMD [--mix 6,10] [-n N] [--repeat R]\n");
    return 3;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> requests = mixRequests(mix);
  std::printf("mix %s, %ld requests\n", mix.c_str(), count);
  // Alternate the two and keep each one's best run, so that a passing disturbance on the machine
  // does not decide the ratio.
  Result floor, measured;
  for (int k = 0; k < std::max(repeat, 1); ++k) {
    const Result f = run(minimal, requests, count);
    const Result m = run(server, requests, count);
    if (k == 0 || throughput(f) > throughput(floor)) floor = f;
    if (k == 0 || throughput(m) > throughput(measured)) measured = m;
  }
  report("minimal", floor, count);
  report("morvik", measured, count);
  const double ratio = throughput(measured) / throughput(floor);
  std::printf("ratio    %.3f of the minimal loop's throughput\n", ratio);
  return measured.ok && floor.ok ? 0 : 1;
}
