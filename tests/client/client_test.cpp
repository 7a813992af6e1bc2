// morvik-client against the native morvik on the demo machine: what it prints, its exit statuses,
// where it takes the password from, and batch mode.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Result {
  std::string out;
  int status = -1;
};

// Runs a shell command line with the demo machine; standard error is folded into the output.
Result run(const std::string& commandLine) {
  const std::string full = std::string("export WINSIM_MACHINE='") + MORVIK_SOURCE_DIR +
                           "/examples/demo-machine.json'; unset MORVIK_PASSWORD; { " + commandLine + "; } 2>&1";
  Result r;
  FILE* p = popen(full.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) r.out.append(buffer, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const std::string kClient = MORVIK_CLIENT_EXE;

}  // namespace

TEST(Client, ExitStatusTellsYesNoFailureAndUsage) {
  struct Case {
    std::string args;
    int status;
    std::string firstLine;
  };
  const Case cases[] = {
      {"is-ntfs --path 'C:\\'", 0, "is-ntfs: 1 (the volume is NTFS)"},
      {"is-ntfs --path 'E:\\'", 1, "is-ntfs: 0 (the volume is not NTFS)"},
      {"is-ntfs --path 'D:\\'", 2, "is-ntfs: 0 (failed)"},
      {"domain-name", 0, "domain-name: 1 (the domain the machine belongs to)"},
      {"is-ntfs", 3, "morvik-client: is-ntfs needs --path"},
      {"frobnicate", 3, "morvik-client: unknown command frobnicate"},
      {"validate --user alice --password Secret1!", 3, "morvik-client: passwords are not taken from the command line"},
      {"--server 'exit 0' computer-name", 3, "morvik-client: the server stopped before replying"},
      {"--timeout 0.3 --server 'exec sleep 30' computer-name", 3,
       "morvik-client: no reply from the server within 300 ms; it was killed"},
      {"--timeout soon computer-name", 3, "morvik-client: --timeout takes seconds, more than 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = run(kClient + " " + c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.firstLine);
  }
}

TEST(Client, ErrorRecordIsShownAsContextCallNumberAndText) {
  const Result r = run(kClient + " is-ntfs --path 'D:\\'");
  EXPECT_EQ(r.out,
            "is-ntfs: 0 (failed)\n"
            "  context: WinSecurity::isNTFS\n"
            "  call: GetVolumeInformation\n"
            "  number: 21\n"
            "  text: The device is not ready.\n");
}

TEST(Client, PasswordComesFromStandardInputOrTheEnvironment) {
  const Result fromStdin =
      run("printf 'Secret1!\\n' | " + kClient + " --password-stdin validate --user alice --domain CORP");
  EXPECT_EQ(fromStdin.status, 0) << fromStdin.out;
  const Result fromEnv = run("SECRET='Secret1!' " + kClient + " --password-env SECRET validate --user alice");
  EXPECT_EQ(fromEnv.status, 0) << fromEnv.out;
  const Result wrong = run("printf 'nope\\n' | " + kClient + " --password-stdin validate --user alice");
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.out.find("number: 1326"), std::string::npos) << wrong.out;
  const Result unset = run(kClient + " --password-env NO_SUCH_VARIABLE validate --user alice");
  EXPECT_EQ(unset.status, 3);
}

TEST(Client, JsonOutputCarriesResultStringsAndError) {
  const Result list = run(kClient + " --json access-list --path 'C:\\data\\finance\\budget.xlsx'");
  ASSERT_EQ(list.status, 0) << list.out;
  const auto j = nlohmann::json::parse(list.out);
  EXPECT_EQ(j.at("result"), 1);
  EXPECT_EQ(j.at("strings"), nlohmann::json::array({"CORP\\bob", "NT AUTHORITY\\SYSTEM", "CORP\\Finance",
                                                    "NT AUTHORITY\\Authenticated Users"}));
  const Result error = run(kClient + " --json is-ntfs --path 'D:\\'");
  const auto e = nlohmann::json::parse(error.out);
  EXPECT_EQ(e.at("error").at("context"), "WinSecurity::isNTFS");
  EXPECT_EQ(e.at("error").at("number"), 21);
}

TEST(Client, BatchSendsEveryLineThroughOneServer) {
  const std::string file = testing::TempDir() + "client_batch.jsonl";
  std::ofstream(file) << R"({"command": "connect", "user": "alice", "password": "Secret1!", "path": "\\\\fs01\\docs"})"
                      << "\n\n"
                      << R"({"command": "raw", "number": 42})" << "\n"
                      << R"({"command": "disconnect", "path": "\\\\fs01\\docs"})" << "\n"
                      << R"({"command": "disconnect", "path": "\\\\fs01\\docs"})" << "\n";
  const Result r = run(kClient + " --batch " + file);
  EXPECT_EQ(r.status, 2) << r.out;  // the worst answer of the batch: the second disconnect failed
  std::istringstream lines(r.out);
  std::vector<nlohmann::json> replies;
  for (std::string line; std::getline(lines, line);) replies.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].at("result"), 1);  // connected ...
  EXPECT_TRUE(replies[1].at("reply").is_null());
  EXPECT_EQ(replies[2].at("result"), 1);  // ... so the same process can disconnect
  EXPECT_EQ(replies[3].at("error").at("number"), 2250);
}
