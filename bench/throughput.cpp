// Streams N requests of a chosen mix through a server over pipes with the client library's
// pipeline (writing and reading at once), and reports requests per second (from the first reply on;
// the start-up before it is shown apart) and the server's peak memory; then does the same against
// the minimal loop in the same run and prints the ratio.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "morvik/client.h"

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
    morvik::Params params;
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
    out.push_back(morvik::encodeRequest(command, params));
    start = comma + 1;
  }
  return out;
}

// The high-water mark of resident memory of a running process, from /proc.
long peakKiB(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// A command line as words at spaces; leading NAME=value words go into the environment, as a shell
// would take them. No shell runs, so the process measured is the server itself.
std::vector<std::string> words(const std::string& command, std::vector<std::string>& environment) {
  environment = morvik::Client::currentEnvironment();
  std::vector<std::string> argv;
  std::istringstream in(command);
  for (std::string word; in >> word;) {
    const size_t eq = word.find('=');
    if (argv.empty() && eq != std::string::npos && eq > 0 && word.find('/') > eq)
      environment.push_back(word);
    else
      argv.push_back(word);
  }
  return argv;
}

Result run(const std::string& command, const std::vector<std::string>& mix, long count) {
  Result result;
  std::vector<std::string> environment;
  const auto start = std::chrono::steady_clock::now();
  auto firstReply = start, end = start;
  try {
    morvik::Client server(words(command, environment), environment);
    server.pipeline(mix, count, [&](const morvik::Header&) {
      if (++result.replies == 1) firstReply = std::chrono::steady_clock::now();
    });
    end = std::chrono::steady_clock::now();
    // Read while the server still waits for input: its peak is all it will have.
    result.peakKiB = peakKiB(server.pid());
    result.ok = server.close() == 0;
  } catch (const morvik::Error& e) {
    std::fprintf(stderr, "throughput: %s: %s\n", command.c_str(), e.what());
    end = std::chrono::steady_clock::now();
  }
  // Throughput is the running server's: process start-up (a shell, the dynamic loader, winsim's
  // machine file) is paid once per crawl, so it is timed on its own.
  result.startupSeconds = std::chrono::duration<double>(firstReply - start).count();
  result.seconds = std::chrono::duration<double>(end - firstReply).count();
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
