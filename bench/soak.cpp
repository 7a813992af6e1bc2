// Soak: one morvik process serves a long stream of mixed requests (every command, successes and
// failures, connects paired with disconnects, malformed bodies and unknown commands in between),
// written and read at once over pipes. The same mix is run short and long; a process that keeps
// nothing between requests ends both with the same peak memory and the same platform bookkeeping
// (open handles, live allocations, share connections, from winsim's exit report). Any growth is a
// leak, and the run fails.
//
// Every cycle of the mix must also be answered with exactly the bytes of the first cycle: a server
// that keeps no state gives the same answers to the same questions, however many came before.
//
//   soak --morvik PATH --machine FILE [-n 1000000] [--short 1000] [--rss-slack KIB]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "morvik/client.h"

extern char** environ;

namespace {

using morvik::Params;

// A request with the body given as bytes, which may be malformed within its announced length.
std::string message(int32_t command, const std::string& body, int32_t senderId) {
  return morvik::encodeHeader({morvik::kRequest, command, 0, static_cast<int32_t>(body.size()), senderId, 1}) + body;
}

std::string body(const Params& params) { return morvik::encodeBody(params); }

std::string item(const std::string& s) {
  std::string out;
  morvik::appendInt32(out, static_cast<int32_t>(s.size()));
  return out + s;
}

// One cycle of the mix and how many of its requests get a reply.
struct Mix {
  std::string bytes;
  std::vector<std::string> messages;
  long requests = 0;
  long answered = 0;
  std::map<int, long> perCommand;
};

// The mix is written for the demo machine: alice/Secret1!, bob/Hunter2?, carol disabled, files under
// C:\data, volumes C: E: Z: D:, share \\fs01\docs.
Mix makeMix() {
  Mix mix;
  int32_t sender = 100;
  auto add = [&](int32_t command, const std::string& b) {
    mix.messages.push_back(message(command, b, sender++));
    mix.bytes += mix.messages.back();
    ++mix.requests;
    if (command >= 1 && command <= 10) {
      ++mix.answered;
      ++mix.perCommand[command];
    } else {
      ++mix.perCommand[0];
    }
  };
  const Params alice{{"user", "alice"}, {"password", "Secret1!"}, {"domain", "CORP"}};
  const Params bob{{"user", "bob"}, {"password", "Hunter2?"}, {"domain", "CORP"}};
  const Params aliceWrong{{"user", "alice"}, {"password", "not it"}, {"domain", "CORP"}};
  const Params carol{{"user", "carol"}, {"password", "pw"}, {"domain", "CORP"}};
  const std::string share = "\\\\fs01\\docs";
  auto path = [](const char* p) { return body({{"filepath", p}}); };
  auto check = [](const char* user, const char* password, const char* p) {
    return body({{"user", user}, {"password", password}, {"domain", "CORP"}, {"filepath", p}});
  };

  add(1, body(alice));
  add(1, body(bob));
  add(1, body(aliceWrong));
  add(1, body(carol));
  add(1, body({}));
  add(2, body(alice));
  add(2, body(bob));
  add(2, body(aliceWrong));
  add(3, body({{"user", "alice"}, {"password", "Secret1!"}, {"filepath", share}}));
  add(9, path("\\\\fs01\\docs"));
  add(3, body({{"user", "alice"}, {"password", "nope"}, {"filepath", share}}));
  add(9, path("\\\\fs01\\docs"));  // not connected any more
  add(3, body({{"user", "bob"}, {"password", "Hunter2?"}, {"filepath", "\\\\fs02\\none"}}));
  add(4, path("C:\\data\\finance\\budget.xlsx"));
  add(4, path("C:\\data\\eng\\design.docx"));
  add(4, path("C:\\public\\open.txt"));
  add(4, path("C:\\data\\missing.txt"));
  add(5, check("alice", "Secret1!", "C:\\data\\finance\\budget.xlsx"));
  add(5, check("bob", "Hunter2?", "C:\\data\\finance\\budget.xlsx"));
  add(5, check("bob", "Hunter2?", "C:\\data\\eng\\design.docx"));
  add(5, check("alice", "wrong", "C:\\data\\public\\handbook.pdf"));
  add(5, check("alice", "Secret1!", "C:\\data\\missing.txt"));
  add(6, path("C:\\"));
  add(6, path("E:\\"));
  add(6, path("D:\\"));
  add(6, path("Q:\\"));
  add(7, body({}));
  add(8, body({}));
  add(10, path("Z:\\"));
  add(10, path("C:\\"));
  add(10, path("D:\\"));

  // Malformed bodies, each within its announced length: a count promising more pairs than follow,
  // a value length running past the end, a negative key length, a body too short for a count.
  {
    std::string b = body(alice);
    std::string nine;
    morvik::appendInt32(nine, 9);
    b.replace(0, 4, nine);
    add(1, b);
  }
  {
    std::string b;
    morvik::appendInt32(b, 1);
    b += item("filepath");
    morvik::appendInt32(b, 4000);
    b += "C:\\";
    add(6, b);
  }
  {
    std::string b;
    morvik::appendInt32(b, 2);
    morvik::appendInt32(b, -5);
    b += "user";
    add(2, b);
  }
  add(10, std::string("\x01\x00", 2));
  add(4, std::string());
  // No handler: no reply, and the loop goes on.
  add(0, body(alice));
  add(11, path("C:\\"));
  add(-1, body({}));
  add(99, std::string("\x07", 1));
  return mix;
}

struct Report {
  std::map<std::string, long> counts;  // winsim's exit report: handles, allocations, connections
  long peakRssKiB = -1;                // and the process's own VmHWM
  bool read = false;
};

Report readReport(const std::string& path) {
  Report r;
  std::ifstream in(path);
  std::string name;
  long value;
  while (in >> name >> value) {
    if (name == "peakRssKiB") r.peakRssKiB = value;
    else r.counts[name] = value;
    r.read = true;
  }
  return r;
}

// What the launcher tells about one morvik it ran.
struct Exit {
  bool fixedLayout = false;  // address-space randomisation was off for morvik
  int spawnError = 0;
  int status = 0;
  long maxRssKiB = 0;  // wait4's ru_maxrss
};

// One run's pipes and files, all made before the launcher is forked.
struct Plan {
  long count = 0;
  int toServer[2] = {-1, -1};
  int fromServer[2] = {-1, -1};
  std::string reportPath;
  std::vector<std::string> environment;
};

// A child's ru_maxrss also counts the address space it was spawned from: exec records the
// spawner's peak before replacing it. So morvik is never spawned from this process, whose memory
// grows with the run it drives, but from a launcher forked at the start, while this process was
// still small, and identical for every run. Its floor is the same for the short and the long run.
pid_t startLauncher(const std::string& morvik, std::vector<Plan>& plans, int results) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The driving ends are the parent's: were the launcher to hold them, no morvik would see the end
  // of its input.
  for (Plan& plan : plans) {
    close(plan.toServer[1]);
    close(plan.fromServer[0]);
  }
  // With the address space laid out afresh at random for every process, identical runs differ in
  // peak memory by a few pages (allocations straddle page boundaries differently); with one fixed
  // layout (what setarch -R does) identical work gives identical figures, so no slack is needed.
  const int persona = personality(0xffffffff);
  const bool fixedLayout = persona != -1 && personality(static_cast<unsigned long>(persona) | ADDR_NO_RANDOMIZE) != -1;
  for (size_t i = 0; i < plans.size(); ++i) {
    Plan& plan = plans[i];
    std::vector<char*> envp;
    for (auto& e : plan.environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = morvik;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, plan.toServer[0], 0);
    posix_spawn_file_actions_adddup2(&actions, plan.fromServer[1], 1);
    Exit exit;
    exit.fixedLayout = fixedLayout;
    pid_t child = -1;
    exit.spawnError = posix_spawn(&child, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    // Only morvik may hold its ends now, so that each side sees the other's end of file.
    close(plan.toServer[0]);
    close(plan.fromServer[1]);
    if (exit.spawnError == 0) {
      int status = 0;
      rusage usage{};
      wait4(child, &status, 0, &usage);
      exit.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      exit.maxRssKiB = usage.ru_maxrss;
    }
    if (write(results, &exit, sizeof exit) != static_cast<ssize_t>(sizeof exit)) _exit(1);
  }
  _exit(0);
}

struct Result {
  long requests = 0;
  long replies = 0;
  long expected = 0;
  double seconds = 0;
  int status = -1;
  long maxRssKiB = 0;
  bool fixedLayout = false;
  bool wholeReplies = true;  // the output ended at a reply's end
  bool periodic = true;      // every cycle answered like the first
  std::string firstMismatch;
  std::vector<int32_t> cycleResults;
  Report report;
};

// Drives one planned run: `count` requests, cycles of the mix and the start of one more.
Result run(const Plan& plan, const Mix& mix, int results) {
  Result result;
  result.requests = plan.count;
  const long cycles = plan.count / mix.requests;
  const long rest = plan.count % mix.requests;
  result.expected = cycles * mix.answered;
  std::string tail;
  for (long i = 0; i < rest; ++i) {
    const std::string& m = mix.messages[static_cast<size_t>(i)];
    if (morvik::answered(morvik::decodeHeader(m.data()).command)) ++result.expected;
    tail += m;
  }
  const int in = plan.toServer[1], out = plan.fromServer[0];

  const auto start = std::chrono::steady_clock::now();
  std::thread writer([&] {
    // Many cycles per write, as a crawler streaming requests would send them.
    const long perBatch = std::max(1L, (1L << 18) / static_cast<long>(mix.bytes.size()));
    std::string batch;
    auto writeAll = [&](const std::string& bytes) {
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      return true;
    };
    bool open = true;
    for (long c = 0; open && c < cycles;) {
      batch.clear();
      for (long k = 0; k < perBatch && c < cycles; ++k, ++c) batch += mix.bytes;
      open = writeAll(batch);
    }
    if (open) writeAll(tail);
    close(in);
  });

  // Replies are split by the client library; the bytes of the first cycle's are kept, and every
  // later reply is compared byte for byte with its counterpart there.
  std::vector<char> buffer(1 << 16);
  std::vector<std::string> first;
  morvik::ReplyReader reader;
  morvik::Header header;
  std::string replyBody, whole;
  try {
    for (;;) {
      const ssize_t n = read(out, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      reader.append(buffer.data(), static_cast<size_t>(n));
      while (reader.next(header, replyBody, &whole)) {
        if (static_cast<long>(first.size()) < mix.answered) {
          first.push_back(whole);
          result.cycleResults.push_back(header.result);
        } else if (result.periodic && whole != first[static_cast<size_t>(result.replies % mix.answered)]) {
          result.periodic = false;
          result.firstMismatch = "reply " + std::to_string(result.replies) + " (number " +
                                 std::to_string(result.replies % mix.answered) +
                                 " of its cycle) differs from the first cycle's";
        }
        ++result.replies;
      }
    }
  } catch (const morvik::Error& e) {
    result.firstMismatch = e.what();
    result.periodic = false;
  }
  result.wholeReplies = reader.pending() == 0;
  writer.join();
  close(out);

  Exit exit;
  if (read(results, &exit, sizeof exit) != static_cast<ssize_t>(sizeof exit)) exit.spawnError = EPIPE;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (exit.spawnError) std::fprintf(stderr, "soak: cannot start morvik: %s\n", std::strerror(exit.spawnError));
  result.status = exit.spawnError ? -1 : exit.status;
  result.maxRssKiB = exit.maxRssKiB;
  result.fixedLayout = exit.fixedLayout;
  result.report = readReport(plan.reportPath);
  std::remove(plan.reportPath.c_str());
  return result;
}

void print(const char* label, const Result& r) {
  std::printf("%-6s %8ld requests %8ld replies (%ld expected) %6.2f s %8.0f req/s  exit %d\n", label, r.requests,
              r.replies, r.expected, r.seconds, r.requests / r.seconds, r.status);
  std::printf("       peak RSS: wait4 %ld KiB, own VmHWM %ld KiB;  winsim at exit:", r.maxRssKiB, r.report.peakRssKiB);
  for (const auto& [name, value] : r.report.counts) std::printf(" %s %ld", name.c_str(), value);
  std::printf("%s\n", r.report.read ? "" : " (no report written)");
}

// Faults of one run on its own: a wrong exit, lost or extra replies, answers that drift, anything
// of the platform still held at exit.
bool sound(const char* label, const Result& r) {
  bool ok = true;
  auto fail = [&](const std::string& why) {
    std::printf("FAIL   %s: %s\n", label, why.c_str());
    ok = false;
  };
  if (r.status != 0) fail("morvik exited with " + std::to_string(r.status));
  if (r.replies != r.expected || !r.wholeReplies) fail("reply count or framing is off");
  if (!r.periodic) fail(r.firstMismatch);
  if (!r.report.read) {
    fail("winsim wrote no exit report (WINSIM_REPORT)");
  } else {
    for (const auto& [name, value] : r.report.counts)
      if (value != 0) fail(name + " " + std::to_string(value) + " still held at exit");
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string morvik, machine;
  long longCount = 1000000, shortCount = 1000, rssSlack = 0;
  auto usage = [] {
    std::fprintf(stderr, "usage: soak --morvik PATH --machine FILE [-n 1000000] [--short 1000] [--rss-slack KIB]\n");
    return 3;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (a == "--morvik") morvik = value;
    else if (a == "--machine") machine = value;
    else if (a == "-n") longCount = std::atol(value);
    else if (a == "--short") shortCount = std::atol(value);
    else if (a == "--rss-slack") rssSlack = std::atol(value);
    else return usage();
  }
  if (morvik.empty() || machine.empty() || shortCount <= 0 || longCount < shortCount || rssSlack < 0) return usage();
  signal(SIGPIPE, SIG_IGN);

  // Everything the launcher needs exists before it is forked.
  char dir[] = "/tmp/morvik-soak-XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("soak: mkdtemp");
    return 2;
  }
  std::vector<Plan> plans(2);
  plans[0].count = shortCount;
  plans[1].count = longCount;
  for (size_t i = 0; i < plans.size(); ++i) {
    Plan& plan = plans[i];
    if (pipe2(plan.toServer, O_CLOEXEC) != 0 || pipe2(plan.fromServer, O_CLOEXEC) != 0) {
      std::perror("soak: pipe");
      return 2;
    }
    plan.reportPath = std::string(dir) + "/report" + std::to_string(i);
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "WINSIM_", 7) != 0) plan.environment.emplace_back(*e);
    plan.environment.push_back("WINSIM_MACHINE=" + machine);
    plan.environment.push_back("WINSIM_REPORT=" + plan.reportPath);
  }
  int results[2];
  if (pipe2(results, O_CLOEXEC) != 0) {
    std::perror("soak: pipe");
    return 2;
  }
  const pid_t launcher = startLauncher(morvik, plans, results[1]);
  close(results[1]);
  for (Plan& plan : plans) {
    close(plan.toServer[0]);
    close(plan.fromServer[1]);
  }

  const Mix mix = makeMix();
  std::printf("soak: %s against %s\n      a cycle is %ld requests (%ld answered), by command:", morvik.c_str(),
              machine.c_str(), mix.requests, mix.answered);
  for (const auto& [command, n] : mix.perCommand) std::printf(" %s%d:%ld", command ? "" : "none/", command, n);
  std::printf("\n");
  std::fflush(stdout);

  const Result small = run(plans[0], mix, results[0]);
  print("short", small);
  std::fflush(stdout);
  const Result large = run(plans[1], mix, results[0]);
  print("long", large);
  std::printf("       results of one cycle:");
  for (int32_t r : large.cycleResults) std::printf(" %d", r);
  std::printf("\n");
  waitpid(launcher, nullptr, 0);
  rmdir(dir);

  bool ok = sound("short", small);
  ok = sound("long", large) && ok;
  if (small.report.counts != large.report.counts) {
    std::printf("FAIL   winsim's bookkeeping at exit differs between the short and the long run\n");
    ok = false;
  }
  if (!small.fixedLayout || !large.fixedLayout) {
    // Randomised layouts: identical runs were seen to differ by up to 28 KiB here.
    rssSlack = std::max(rssSlack, 64L);
    std::printf("       address-space randomisation could not be turned off: allowing %ld KiB\n", rssSlack);
  }
  const long growth = large.maxRssKiB - small.maxRssKiB;
  const long ownGrowth = large.report.peakRssKiB - small.report.peakRssKiB;
  std::printf("       peak RSS growth: wait4 %ld KiB, own %ld KiB (allowed %ld)\n", growth, ownGrowth, rssSlack);
  // morvik's own high-water mark decides: wait4's figure also counts the launcher it was forked
  // from, and was seen to move by 60 KiB between identical pairs of runs.
  if (ownGrowth > rssSlack) {
    std::printf("FAIL   peak memory grew with the number of requests\n");
    ok = false;
  }
  std::printf("%s\n", ok ? "soak: no growth" : "soak: FAILED");
  return ok ? 0 : 1;
}
