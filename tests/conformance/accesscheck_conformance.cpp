// winsim held to Wine's AccessCheck. Generates seeded security descriptors, asks Wine (through
// accesscheck-wine.exe) and winsim the same checks for tokens with the same SIDs and attributes,
// and explains every difference by a known departure of Wine from Windows:
//   - winsim must equal the Windows model (no departure on) on every check: else winsim is wrong;
//   - Wine must equal the Wine model (every departure on) on every check: else the difference is
//     unexplained;
//   - each check where the two differ is put down to the departures whose switch alone changes
//     the answer.
// Exit status 0 when all holds, 1 when not, 2 for a usage error.
//
//   accesscheck-conformance [--count N] [--seed S] [--wine-exe PATH | --no-wine] [--work DIR] [--keep]
//
// --no-wine checks winsim against the Windows model alone, with Wine 8's tokens as documented.
// Wine is taken from MORVIK_WINE (default /usr/lib/wine/wine64) and runs in WINEPREFIX, which must
// be set: the prefix is the caller's (tests/e2e/wine-prefix.sh makes one).
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "descriptors.h"
#include "model.h"
#include "winsim/machine.h"

namespace fs = std::filesystem;
using namespace conformance;

namespace {

constexpr uint64_t kDefaultSeed = 0x6D6F7276696BULL;
constexpr uint32_t kRequests[] = {0x20089, 0x02000000};
constexpr size_t kBufferSize = 0x30000;  // as the Wine program: room for what a malformed ACL claims
constexpr size_t kExamples = 8;

struct Options {
  size_t count = 2000;
  uint64_t seed = kDefaultSeed;
  std::string wineExe;
  bool noWine = false;
  std::string work;
  bool keep = false;
};

int usage(const char* message) {
  std::cerr << "accesscheck-conformance: " << message << "\n"
            << "usage: accesscheck-conformance [--count N] [--seed S] [--wine-exe PATH | --no-wine] [--work DIR] [--keep]\n";
  return 2;
}

bool parseNumber(const char* text, uint64_t* out) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || end == text || *end) return false;
  *out = v;
  return true;
}

// Unix path to the Z: form Wine's programs open.
std::string winePath(const fs::path& p) {
  std::string s = "Z:" + fs::absolute(p).string();
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs the Wine program with these arguments; the output file it writes is the caller's to read.
// Standard streams go to a log: a Wine service started from here must not hold a caller's pipe.
bool runWine(const Options& o, const fs::path& work, const std::vector<std::string>& args) {
  const char* wineEnv = std::getenv("MORVIK_WINE");
  const std::string wine = wineEnv && *wineEnv ? wineEnv : "/usr/lib/wine/wine64";
  if (access(wine.c_str(), X_OK) != 0) {
    std::cerr << "accesscheck-conformance: no wine at " << wine << " (scripts/bootstrap installs it)\n";
    return false;
  }
  const char* prefix = std::getenv("WINEPREFIX");
  if (!prefix || !*prefix) {
    std::cerr << "accesscheck-conformance: WINEPREFIX must name the Wine prefix to run in\n";
    return false;
  }
  if (access(o.wineExe.c_str(), R_OK) != 0) {
    std::cerr << "accesscheck-conformance: no Wine program at " << o.wineExe << " (the windows preset builds it)\n";
    return false;
  }
  const fs::path log = work / "wine.log";
  std::string command = shellQuote(wine) + " " + shellQuote(o.wineExe);
  for (const std::string& a : args) command += " " + shellQuote(a);
  command += " </dev/null >" + shellQuote(log.string()) + " 2>&1";
  const int status = std::system(command.c_str());
  if (status != 0) {
    std::cerr << "accesscheck-conformance: the Wine program failed (" << status << "):\n" << readFile(log);
    return false;
  }
  return true;
}

// "token T user SID" and "token T group SID 0xATTR" lines.
bool parseTokens(const std::string& text, std::vector<TokenSids>* tokens) {
  std::istringstream in(text);
  std::string line;
  tokens->assign(2, TokenSids{});
  (*tokens)[0].name = "process";
  (*tokens)[1].name = "restricted";
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tag, kind, sid, attributes;
    int t = -1;
    words >> tag;
    if (tag != "token") continue;
    words >> t >> kind >> sid;
    if (t < 0 || t > 1) return false;
    if (kind == "user") {
      (*tokens)[t].user = sid;
    } else if (kind == "group") {
      words >> attributes;
      uint64_t a = 0;
      if (!parseNumber(attributes.c_str(), &a)) return false;
      (*tokens)[t].groups.push_back({sid, static_cast<uint32_t>(a)});
    }
  }
  return !(*tokens)[0].user.empty() && !(*tokens)[1].user.empty();
}

struct WineResults {
  // index * 4 + token * 2 + request
  std::vector<Outcome> outcomes;
  std::vector<bool> seen;
};

bool parseResults(const std::string& text, size_t count, WineResults* out) {
  out->outcomes.assign(count * 4, Outcome{});
  out->seen.assign(count * 4, false);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("token ", 0) == 0 || line.empty()) continue;
    unsigned long index = 0;
    int token = 0;
    unsigned long desired = 0;
    unsigned result = 0, error = 0, status = 0, granted = 0;
    if (std::sscanf(line.c_str(), "%lu %d %lx %x %x %x %x", &index, &token, &desired, &result, &error, &status,
                    &granted) != 7)
      return false;
    if (index >= count || token < 0 || token > 1) return false;
    const size_t request = desired == kRequests[0] ? 0 : desired == kRequests[1] ? 1 : 2;
    if (request > 1) return false;
    const size_t at = index * 4 + static_cast<size_t>(token) * 2 + request;
    out->outcomes[at] = Outcome{result, error, status, granted};
    out->seen[at] = true;
  }
  for (bool s : out->seen)
    if (!s) return false;
  return true;
}

Outcome winsimAccessCheck(const Bytes& descriptor, HANDLE token, uint32_t desired) {
  static std::vector<uint8_t> buffer(kBufferSize);
  std::fill(buffer.begin(), buffer.end(), 0);
  std::copy(descriptor.begin(), descriptor.end(), buffer.begin());
  GENERIC_MAPPING mapping{kReadMapping.read, kReadMapping.write, kReadMapping.execute, kReadMapping.all};
  PRIVILEGE_SET privileges{};
  DWORD length = sizeof privileges;
  DWORD granted = kGrantedSentinel;
  BOOL status = static_cast<BOOL>(kStatusSentinel);
  SetLastError(kErrorSentinel);
  const BOOL result = AccessCheck(buffer.data(), token, desired, &mapping, &privileges, &length, &granted, &status);
  return Outcome{static_cast<uint32_t>(result), static_cast<uint32_t>(GetLastError()), static_cast<uint32_t>(status),
                 static_cast<uint32_t>(granted)};
}

const char* kindName(DaclKind k) {
  switch (k) {
    case DaclKind::None: return "no DACL";
    case DaclKind::Null: return "null DACL";
    case DaclKind::Empty: return "empty DACL";
    case DaclKind::Entries: return "DACL with entries";
    case DaclKind::Malformed: return "malformed";
    case DaclKind::NoOwner: return "no owner";
    case DaclKind::NoGroup: return "no group";
  }
  return "?";
}

std::string describeToken(const TokenSids& t) {
  std::ostringstream s;
  s << t.name << ": user " << t.user << ", groups";
  for (const TokenGroup& g : t.groups) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", g.attributes);
    s << " " << g.sid << " " << buf;
  }
  return s.str();
}

// What a malformed descriptor met, in short: a failure and its number, or a check that ran.
std::string answerClass(const Outcome& o) {
  if (!o.result) return "fails with " + std::to_string(o.error);
  return o.status == 1 ? "checked, granted" : "checked, denied";
}

struct Example {
  size_t index;
  int token;
  uint32_t desired;
  std::string lines;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    uint64_t n = 0;
    if (a == "--count") {
      const char* v = value();
      if (!v || !parseNumber(v, &n) || n == 0) return usage("--count needs a positive number");
      o.count = static_cast<size_t>(n);
    } else if (a == "--seed") {
      const char* v = value();
      if (!v || !parseNumber(v, &n)) return usage("--seed needs a number");
      o.seed = n;
    } else if (a == "--wine-exe") {
      const char* v = value();
      if (!v) return usage("--wine-exe needs a path");
      o.wineExe = v;
    } else if (a == "--work") {
      const char* v = value();
      if (!v) return usage("--work needs a folder");
      o.work = v;
    } else if (a == "--no-wine") {
      o.noWine = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else {
      return usage(("unknown argument " + a).c_str());
    }
  }
  if (o.noWine == !o.wineExe.empty()) return usage("give --wine-exe PATH or --no-wine");

  fs::path work;
  if (o.work.empty()) {
    std::string templ = (fs::temp_directory_path() / "accesscheck-conformance.XXXXXX").string();
    if (!mkdtemp(templ.data())) {
      std::cerr << "accesscheck-conformance: cannot make a work folder\n";
      return 1;
    }
    work = templ;
  } else {
    work = o.work;
    fs::create_directories(work);
  }
  struct Cleanup {
    fs::path dir;
    bool keep;
    bool own;
    ~Cleanup() {
      std::error_code ignored;
      if (!keep && own) fs::remove_all(dir, ignored);
    }
  } cleanup{work, o.keep, o.work.empty()};

  std::printf("accesscheck conformance: seed %llu (0x%llx), %zu descriptors, %s\n",
              static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(o.seed), o.count,
              o.noWine ? "winsim against the Windows model only (no Wine)" : "winsim against Wine");
  std::fflush(stdout);

  std::vector<TokenSids> tokens;
  if (o.noWine) {
    tokens = wineTokens();
  } else {
    if (!runWine(o, work, {"tokens", winePath(work / "tokens.txt")})) return 1;
    if (!parseTokens(readFile(work / "tokens.txt"), &tokens)) {
      std::cerr << "accesscheck-conformance: the Wine program's token lines do not parse:\n"
                << readFile(work / "tokens.txt");
      return 1;
    }
  }
  for (const TokenSids& t : tokens) std::printf("token %s\n", describeToken(t).c_str());

  const std::vector<Descriptor> descriptors = generateDescriptors(o.seed, o.count, tokens[0].user);
  std::map<std::string, size_t> kinds;
  for (const Descriptor& d : descriptors)
    ++kinds[d.kind == DaclKind::Malformed ? std::string("malformed: ") + d.malformation : kindName(d.kind)];

  WineResults wine;
  if (!o.noWine) {
    {
      std::ofstream out(work / "descriptors.txt", std::ios::binary);
      for (const Descriptor& d : descriptors) out << toHex(d.bytes) << "\n";
      if (!out) {
        std::cerr << "accesscheck-conformance: cannot write " << (work / "descriptors.txt") << "\n";
        return 1;
      }
    }
    if (!runWine(o, work, {"check", winePath(work / "descriptors.txt"), winePath(work / "results.txt")})) return 1;
    if (!parseResults(readFile(work / "results.txt"), o.count, &wine)) {
      std::cerr << "accesscheck-conformance: the Wine program's results are incomplete or do not parse ("
                << (work / "results.txt") << ")\n";
      return 1;
    }
  }

  winsim::install(winsim::defaultMachine());
  std::vector<HANDLE> handles;
  for (const TokenSids& t : tokens) {
    std::vector<winsim::GroupMembership> groups;
    for (const TokenGroup& g : t.groups) groups.push_back({g.sid, g.attributes});
    handles.push_back(winsim::createToken(t.user, groups));
  }

  size_t checks = 0, agreements = 0, differences = 0, winsimFaults = 0, unexplained = 0, jointly = 0;
  std::array<size_t, kDepartureCount> perDeparture{};
  std::map<std::string, size_t> malformedAnswers;
  std::vector<Example> winsimExamples, unexplainedExamples;
  for (size_t i = 0; i < descriptors.size(); ++i) {
    const Descriptor& d = descriptors[i];
    for (int t = 0; t < 2; ++t) {
      for (size_t q = 0; q < 2; ++q) {
        const uint32_t desired = kRequests[q];
        ++checks;
        const Outcome sim = winsimAccessCheck(d.bytes, handles[t], desired);
        const Outcome windowsModel = modelAccessCheck(d.bytes, tokens[t], desired, kReadMapping, kWindows);
        auto example = [&](const char* first, const Outcome& a, const char* second, const Outcome& b) {
          std::ostringstream s;
          s << "    " << first << ": " << a.text() << "\n    " << second << ": " << b.text() << "\n    descriptor "
            << toHex(d.bytes) << " (" << kindName(d.kind) << (d.malformation.empty() ? "" : ": ") << d.malformation
            << ")\n";
          return Example{i, t, desired, s.str()};
        };
        if (sim != windowsModel) {
          ++winsimFaults;
          if (winsimExamples.size() < kExamples)
            winsimExamples.push_back(example("winsim", sim, "Windows model", windowsModel));
        }
        if (o.noWine) continue;
        const Outcome actual = wine.outcomes[i * 4 + static_cast<size_t>(t) * 2 + q];
        const Outcome wineModel = modelAccessCheck(d.bytes, tokens[t], desired, kReadMapping, kWine);
        if (d.kind == DaclKind::Malformed) ++malformedAnswers[d.malformation + ": " + answerClass(actual)];
        if (actual != wineModel) {
          ++unexplained;
          if (unexplainedExamples.size() < kExamples)
            unexplainedExamples.push_back(example("Wine", actual, "Wine model", wineModel));
        }
        if (sim == actual) {
          ++agreements;
          continue;
        }
        ++differences;
        unsigned named = 0;
        for (unsigned k = 0; k < kDepartureCount; ++k) {
          const unsigned bit = 1u << k;
          if (modelAccessCheck(d.bytes, tokens[t], desired, kReadMapping, bit) != windowsModel ||
              modelAccessCheck(d.bytes, tokens[t], desired, kReadMapping, kWine & ~bit) != wineModel)
            named |= bit;
        }
        if (!named) ++jointly;
        for (unsigned k = 0; k < kDepartureCount; ++k)
          if (named & (1u << k)) ++perDeparture[k];
      }
    }
  }
  for (HANDLE h : handles) CloseHandle(h);

  std::printf("descriptors: %zu\n", descriptors.size());
  for (const auto& [kind, n] : kinds) std::printf("  %-40s %zu\n", kind.c_str(), n);
  std::printf("checks: %zu (2 tokens x requests 0x20089 and MAXIMUM_ALLOWED, read mapping)\n", checks);
  std::printf("winsim against the Windows model: %zu of %zu equal\n", checks - winsimFaults, checks);
  if (!o.noWine) {
    std::printf("Wine against the Wine model: %zu of %zu equal\n", checks - unexplained, checks);
    std::printf("winsim and Wine agree: %zu\n", agreements);
    std::printf("winsim and Wine differ: %zu, each explained by (a check may count under several):\n", differences);
    for (unsigned k = 0; k < kDepartureCount; ++k)
      std::printf("  %-42s %zu\n", departureName(static_cast<Departure>(k)), perDeparture[k]);
    std::printf("  %-42s %zu\n", "only by departures together", jointly);
    if (!malformedAnswers.empty()) {
      std::printf("malformed descriptors, what Wine answers (checks):\n");
      for (const auto& [answer, n] : malformedAnswers) std::printf("  %s: %zu\n", answer.c_str(), n);
    }
  }
  auto show = [](const char* title, const std::vector<Example>& examples) {
    std::printf("%s\n", title);
    for (const Example& e : examples)
      std::printf("  descriptor %zu, token %d, desired 0x%x:\n%s", e.index, e.token, e.desired, e.lines.c_str());
  };
  if (winsimFaults) show("FAIL: winsim departs from the Windows model (winsim is wrong), first cases:", winsimExamples);
  if (unexplained) show("FAIL: Wine answers what no known departure explains, first cases:", unexplainedExamples);
  if (o.keep) std::printf("work folder kept: %s\n", work.c_str());
  const bool ok = winsimFaults == 0 && unexplained == 0;
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
