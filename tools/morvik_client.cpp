// morvik-client: sends requests to a morvik and prints the replies as a person reads them, or as JSON.
#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "morvik/client.h"

namespace {

using morvik::Params;
using morvik::Reply;
using nlohmann::json;

enum Exit { kYes = 0, kNo = 1, kFailed = 2, kUsage = 3 };

struct Command {
  const char* name;
  int number;
  bool user, password, domain, path;
  const char* yes;  // what result 1 means
  const char* no;   // what result 0 without a record means; null: a failure
};

const Command kCommands[] = {
    {"validate", 1, true, true, true, false, "the credentials are valid", nullptr},
    {"groups", 2, true, true, true, false, "the user's groups", nullptr},
    {"connect", 3, true, true, false, true, "connected", nullptr},
    {"access-list", 4, false, false, false, true, "accounts the ACL names with read rights", nullptr},
    {"access-check", 5, true, true, true, true, "the user may read the file", "the user may not read the file"},
    {"is-ntfs", 6, false, false, false, true, "the volume is NTFS", "the volume is not NTFS"},
    {"computer-name", 7, false, false, false, false, "the computer name", nullptr},
    {"domain-name", 8, false, false, false, false, "the domain the machine belongs to",
     "the machine is in a workgroup"},
    {"disconnect", 9, false, false, false, true, "disconnected", nullptr},
    {"is-mapped", 10, false, false, false, true, "a mapped network drive", "not a mapped network drive"},
};

const Command* findCommand(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

const Command* findCommand(int number) {
  for (const Command& c : kCommands)
    if (number == c.number) return &c;
  return nullptr;
}

const char* kUsageText =
    "usage: morvik-client [--server CMD] [--timeout S] [--json] COMMAND [options]\n"
    "       morvik-client [--server CMD] [--timeout S] --batch FILE\n"
    "commands:\n"
    "  validate --user U [--domain D]            check credentials\n"
    "  groups --user U [--domain D]              list the user's groups\n"
    "  connect --user U --path \\\\srv\\share      connect to a share\n"
    "  access-list --path P                      accounts the ACL names with read rights\n"
    "  access-check --user U --path P            may the user read the file?\n"
    "  is-ntfs --path ROOT                       is the volume NTFS?\n"
    "  computer-name                             the computer name\n"
    "  domain-name                               the domain, or none on a workgroup machine\n"
    "  disconnect --path \\\\srv\\share            cancel a share connection\n"
    "  is-mapped --path ROOT                     is the drive a mapped network drive?\n"
    "  raw --command N [--param KEY=VALUE]...    any command number and parameters\n"
    "the password is never taken from the command line: it is prompted for without echo, read from\n"
    "standard input with --password-stdin, or from the variable named by --password-env VAR\n"
    "(MORVIK_PASSWORD when set). --server CMD runs another server, e.g. \"wine64 morvik.exe\".\n"
    "--timeout SECONDS bounds the wait for each reply (default 30); the server is then killed.\n"
    "exit status: 0 yes/success, 1 no, 2 the command failed, 3 usage or protocol error\n";

[[noreturn]] void usage(const std::string& message) {
  if (!message.empty()) std::cerr << "morvik-client: " << message << "\n";
  std::cerr << kUsageText;
  std::exit(kUsage);
}

[[noreturn]] void protocolError(const std::string& message) {
  std::cerr << "morvik-client: " << message << "\n";
  std::exit(kUsage);
}

#ifdef _WIN32
// The console's own input, echo off for the line; false when there is no console to ask on.
bool readPasswordFromConsole(std::string& password) {
  const HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  DWORD saved = 0;
  if (!GetConsoleMode(in, &saved)) {
    CloseHandle(in);
    return false;
  }
  const HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  auto say = [&](const wchar_t* text) {
    DWORD n = 0;
    if (out != INVALID_HANDLE_VALUE) WriteConsoleW(out, text, static_cast<DWORD>(wcslen(text)), &n, nullptr);
  };
  say(L"password: ");
  SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::wstring wide;
  for (;;) {
    wchar_t c = 0;
    DWORD n = 0;
    if (!ReadConsoleW(in, &c, 1, &n, nullptr) || n == 0 || c == L'\n') break;
    if (c != L'\r') wide.push_back(c);
  }
  SetConsoleMode(in, saved);
  say(L"\r\n");
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  CloseHandle(in);
  const int size = static_cast<int>(wide.size());
  const int n = size ? WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr) : 0;
  password.assign(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &password[0], n, nullptr, nullptr);
  std::fill(wide.begin(), wide.end(), L'\0');
  return true;
}
#else
// The controlling terminal, echo off for the line; false when there is none to ask on.
bool readPasswordFromConsole(std::string& password) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return false;
  std::fputs("password: ", tty);
  std::fflush(tty);
  termios saved{};
  const bool isTerminal = tcgetattr(fileno(tty), &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  for (int c; (c = std::fgetc(tty)) != EOF && c != '\n';) password.push_back(static_cast<char>(c));
  if (isTerminal) tcsetattr(fileno(tty), TCSAFLUSH, &saved);
  std::fputs("\n", tty);
  std::fclose(tty);
  return true;
}
#endif

struct PasswordSource {
  bool fromStdin = false;
  std::string envName;
};

std::string obtainPassword(const PasswordSource& source) {
  if (source.fromStdin) {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  const std::string name = source.envName.empty() ? "MORVIK_PASSWORD" : source.envName;
  if (const char* value = std::getenv(name.c_str())) return value;
  if (!source.envName.empty()) usage("the variable " + source.envName + " is not set");
  std::string password;
  if (!readPasswordFromConsole(password)) usage("no password: use --password-stdin or --password-env VAR");
  return password;
}

// 0 for result 1, 1 for a negative answer, 2 for a failure.
int exitFor(const Command* command, const Reply& reply) {
  if (reply.result == 1) return kYes;
  if (reply.result == 0 && reply.strings.empty() && command && command->no) return kNo;
  if (!command && reply.result == 0 && reply.strings.empty()) return kNo;
  return kFailed;
}

std::string meaning(const Command* command, const Reply& reply) {
  if (reply.result == 1) return command ? command->yes : "success";
  if (reply.result == 0 && reply.strings.empty() && command && command->no) return command->no;
  return "failed";
}

bool isErrorRecord(const Command* command, const Reply& reply) {
  return reply.result != 1 && !reply.strings.empty() && (command || reply.error());
}

json toJson(const std::string& name, int number, const Reply& reply) {
  const Command* command = findCommand(number);
  json out;
  out["command"] = name;
  out["number"] = number;
  out["result"] = reply.result;
  out["meaning"] = meaning(command, reply);
  if (isErrorRecord(command, reply)) {
    json error;
    const char* fields[] = {"context", "call", "number", "text"};
    for (size_t i = 0; i < reply.strings.size() && i < 4; ++i) {
      if (i == 2)
        error[fields[i]] = std::atoi(reply.strings[i].c_str());
      else
        error[fields[i]] = reply.strings[i];
    }
    out["error"] = error;
  } else {
    out["strings"] = reply.strings;
  }
  return out;
}

std::string trimLineEnd(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

void printHuman(const std::string& name, int number, const Reply& reply) {
  const Command* command = findCommand(number);
  std::cout << name << ": " << reply.result << " (" << meaning(command, reply) << ")\n";
  if (isErrorRecord(command, reply)) {
    const char* labels[] = {"context", "call", "number", "text"};
    for (size_t i = 0; i < reply.strings.size() && i < 4; ++i)
      std::cout << "  " << labels[i] << ": " << trimLineEnd(reply.strings[i]) << "\n";
  } else {
    for (const std::string& s : reply.strings) std::cout << "  " << s << "\n";
  }
}

#ifdef _WIN32
// morvik.exe beside this program.
std::vector<std::string> defaultServer() {
  wchar_t path[32768];
  const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
  std::wstring self(path, n);
  const size_t slash = self.find_last_of(L"\\/");
  const std::wstring server = (slash == std::wstring::npos ? std::wstring(L".") : self.substr(0, slash)) + L"\\morvik.exe";
  const int size = static_cast<int>(server.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, server.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, server.data(), size, &out[0], bytes, nullptr, nullptr);
  return {out};
}

// A command line split as the C runtime splits one: words at white space, double quotes group,
// backslashes are literal unless they precede a quote.
std::vector<std::string> serverFromCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < line.size() && line[i] == '\\') ++i, ++n;
      if (i < line.size() && line[i] == '"') {
        word.append(n / 2, '\\');
        if (n % 2) word.push_back('"');
        else quoted = !quoted;
      } else {
        word.append(n, '\\');
        --i;
      }
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}
#else
// morvik beside this program.
std::vector<std::string> defaultServer() {
  std::string self = ".";
  char resolved[4096];
  const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n > 0) self.assign(resolved, static_cast<size_t>(n));
  const size_t slash = self.rfind('/');
  return {(slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/morvik"};
}

// Any shell command line: wrappers, variables, a Wine in front.
std::vector<std::string> serverFromCommandLine(const std::string& line) { return {"/bin/sh", "-c", line}; }
#endif

struct Request {
  std::string name;
  int number = 0;
  Params params;
};

// What is not an answer ends the run: usage or protocol error.
[[noreturn]] void notAnAnswer(const morvik::Error& e) {
  if (e.kind() == morvik::Error::Kind::Exited) std::cerr << "morvik-client: the server stopped before replying\n";
  protocolError(e.what());
}

// The reply, or nothing for a command the server never answers.
std::optional<Reply> ask(morvik::Client& server, Request& request) {
  std::optional<Reply> reply;
  try {
    reply = server.request(request.number, request.params);
  } catch (const morvik::Error& e) {
    notAnAnswer(e);
  }
  for (auto& kv : request.params) morvik::wipe(kv.second);
  return reply;
}

// One request a line, as a JSON object: {"command": "validate", "user": ..., "password": ...,
// "domain": ..., "path": ...} or {"command": "raw", "number": N, "params": {"key": "value"}}.
int runBatch(morvik::Client& server, const std::string& file) {
  std::ifstream in(file);
  if (!in) usage("cannot read " + file);
  int worst = kYes;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Request request;
    try {
      const json item = json::parse(line);
      request.name = item.at("command").get<std::string>();
      if (request.name == "raw") {
        request.number = item.at("number").get<int>();
        if (item.contains("params"))
          for (const auto& [key, value] : item.at("params").items())
            request.params.emplace_back(key, value.get<std::string>());
      } else {
        const Command* command = findCommand(request.name);
        if (!command) throw std::runtime_error("unknown command " + request.name);
        request.number = command->number;
        const std::pair<const char*, const char*> keys[] = {
            {"user", "user"}, {"password", "password"}, {"domain", "domain"}, {"path", "filepath"}};
        for (const auto& [field, key] : keys)
          if (item.contains(field)) request.params.emplace_back(key, item.at(field).get<std::string>());
      }
    } catch (const std::exception& e) {
      protocolError(file + ":" + std::to_string(lineNumber) + ": " + e.what());
    }
    const std::optional<Reply> reply = ask(server, request);
    if (!reply) {
      std::cout << json{{"command", request.name}, {"number", request.number}, {"reply", nullptr}}.dump() << "\n";
      continue;
    }
    std::cout << toJson(request.name, request.number, *reply).dump(-1, ' ', false, json::error_handler_t::replace)
              << "\n";
    worst = std::max(worst, exitFor(findCommand(request.number), *reply));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  std::string serverCommand, batchFile, user, domain, path;
  morvik::Options options;
  bool jsonOutput = false, haveDomain = false, havePath = false, haveUser = false;
  int rawNumber = 0;
  bool haveRawNumber = false;
  Params rawParams;
  PasswordSource passwordSource;
  std::string commandName;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* option) -> std::string {
      if (i + 1 >= args.size()) usage(std::string(option) + " needs a value");
      return args[++i];
    };
    if (a == "--server") serverCommand = value("--server");
    else if (a == "--timeout") {
      const std::string n = value("--timeout");
      char* end = nullptr;
      const double seconds = std::strtod(n.c_str(), &end);
      if (n.empty() || *end || !(seconds > 0) || seconds > 86400) usage("--timeout takes seconds, more than 0");
      options.timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
    }
    else if (a == "--json") jsonOutput = true;
    else if (a == "--batch") batchFile = value("--batch");
    else if (a == "--user") user = value("--user"), haveUser = true;
    else if (a == "--domain") domain = value("--domain"), haveDomain = true;
    else if (a == "--path") path = value("--path"), havePath = true;
    else if (a == "--password-stdin") passwordSource.fromStdin = true;
    else if (a == "--password-env") passwordSource.envName = value("--password-env");
    else if (a == "--command") {
      const std::string n = value("--command");
      char* end = nullptr;
      rawNumber = static_cast<int>(std::strtol(n.c_str(), &end, 10));
      if (n.empty() || *end) usage("--command takes a number");
      haveRawNumber = true;
    } else if (a == "--param") {
      const std::string kv = value("--param");
      const size_t eq = kv.find('=');
      if (eq == std::string::npos) usage("--param takes KEY=VALUE");
      rawParams.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsageText;
      return kYes;
    } else if (a == "--password") {
      usage("passwords are not taken from the command line");
    } else if (!a.empty() && a[0] == '-') {
      usage("unknown option " + a);
    } else if (commandName.empty()) {
      commandName = a;
    } else {
      usage("unexpected argument " + a);
    }
  }

  std::optional<morvik::Client> server;
  auto start = [&]() -> morvik::Client& {
    try {
      server.emplace(serverCommand.empty() ? defaultServer() : serverFromCommandLine(serverCommand), options);
    } catch (const morvik::Error& e) {
      protocolError(e.what());
    }
    return *server;
  };
  if (!batchFile.empty()) {
    if (!commandName.empty()) usage("--batch takes no command");
    return runBatch(start(), batchFile);
  }
  if (commandName.empty()) usage("no command");

  Request request;
  request.name = commandName;
  if (commandName == "raw") {
    if (!haveRawNumber) usage("raw needs --command N");
    request.number = rawNumber;
    request.params = rawParams;
  } else {
    const Command* command = findCommand(commandName);
    if (!command) usage("unknown command " + commandName);
    request.number = command->number;
    if (command->user && !haveUser) usage(commandName + " needs --user");
    if (command->path && !havePath) usage(commandName + " needs --path");
    if (command->user) request.params.emplace_back("user", user);
    if (command->password) request.params.emplace_back("password", obtainPassword(passwordSource));
    if (command->domain && haveDomain) request.params.emplace_back("domain", domain);
    if (command->path) request.params.emplace_back("filepath", path);
  }

  const std::optional<Reply> reply = ask(start(), request);
  if (!reply) {
    if (jsonOutput)
      std::cout << json{{"command", request.name}, {"number", request.number}, {"reply", nullptr}}.dump() << "\n";
    else
      std::cout << request.name << ": no reply (the server answers only commands 1 to 10)\n";
    return kNo;
  }
  if (jsonOutput)
    std::cout << toJson(request.name, request.number, *reply).dump(2, ' ', false, json::error_handler_t::replace)
              << "\n";
  else
    printHuman(request.name, request.number, *reply);
  return exitFor(findCommand(request.number), *reply);
}
