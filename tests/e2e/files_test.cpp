// End to end: the file commands (4 access list, 5 read-access check, 6 NTFS volume, 10 mapped
// drive) through the real morvik, against a winsim machine file natively and against Wine's own
// answers under Wine.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace {

using Strings = std::vector<std::string>;

// One request and the reply it must get: the result, and the body's strings (nullopt: no body).
struct Case {
  const char* name;
  int32_t command;
  e2e::Params params;
  int32_t result;
  std::optional<Strings> body;
};

// Sends every case to one morvik process, in order, and checks each reply.
void expectReplies(const std::vector<Case>& cases, const std::string& machineJson = "") {
  std::string input;
  for (size_t i = 0; i < cases.size(); ++i)
    input += e2e::request(cases[i].command, cases[i].params, 1, static_cast<int32_t>(100 + i), 7);
  const e2e::Run run = e2e::runMorvik(input, machineJson);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<e2e::Reply> replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), cases.size()) << run.err;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const e2e::Reply& r = replies[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.messageType, 2);
    EXPECT_EQ(r.command, 1);
    EXPECT_EQ(r.senderId, 7);
    EXPECT_EQ(r.receiverId, static_cast<int32_t>(100 + i));
    EXPECT_EQ(r.result, c.result);
    if (!c.body) {
      EXPECT_EQ(r.bodyLength, 0);
      EXPECT_EQ(r.body, "");
    } else {
      EXPECT_EQ(e2e::strings(r.body), *c.body);
    }
  }
}

Strings record(const char* context, const char* call, int number, const char* text) {
  return Strings{context, call, std::to_string(number), text};
}

// ---------------------------------------------------------------------------------------------
// Native: a winsim machine file.

const char* const kMachine = R"({
  "computerName": "FILESRV01",
  "accounts": [
    { "name": "alice", "sid": "S-1-5-21-7-8-9-1104", "password": "Secret1!",
      "groups": [ "S-1-1-0", "S-1-5-32-545" ] },
    { "name": "bob", "sid": "S-1-5-21-7-8-9-1105", "password": "pw", "groups": [ "S-1-1-0" ] }
  ],
  "files": [
    { "path": "C:\\data\\report.docx", "owner": "S-1-5-21-7-8-9-1104", "group": "S-1-5-32-545",
      "dacl": [ { "type": "allow", "sid": "S-1-5-18", "mask": "0x1f01ff" },
                { "type": "allow", "sid": "S-1-5-21-7-8-9-1104", "mask": "0x1f01ff" },
                { "type": "deny", "sid": "S-1-5-21-7-8-9-1105", "mask": "0x1" },
                { "type": "allow", "sid": "S-1-1-0", "mask": "0x1200a9" },
                { "type": "allow", "sid": "S-1-3-0", "mask": "0x10000000", "flags": "0xb" } ] },
    { "path": "C:\\data\\secret.txt", "owner": "S-1-5-21-7-8-9-1104", "group": "S-1-5-32-545",
      "dacl": [ { "type": "allow", "sid": "S-1-5-21-7-8-9-1104", "mask": "0x1f01ff" },
                { "type": "allow", "sid": "S-1-5-21-7-8-9-1999", "mask": "0x1200a9" } ] },
    { "path": "C:\\data\\empty.txt", "owner": "S-1-5-21-7-8-9-1104", "group": "S-1-5-32-545", "dacl": [] },
    { "path": "C:\\public\\open.txt", "owner": "S-1-5-32-544", "group": "S-1-5-32-545", "dacl": null }
  ],
  "volumes": [
    { "root": "C:\\", "fileSystem": "NTFS", "driveType": "fixed" },
    { "root": "E:\\", "fileSystem": "FAT32", "driveType": "removable" },
    { "root": "Z:\\", "fileSystem": "NTFS", "driveType": "remote" },
    { "root": "D:\\", "driveType": "cdrom", "error": 21 }
  ],
  "shares": [ { "path": "\\\\fs01\\docs", "user": "alice", "password": "Secret1!" } ]
})";

const e2e::Params kAlice{{"user", "alice"}, {"password", "Secret1!"}};

e2e::Params with(e2e::Params params, const char* key, const char* value) {
  params.emplace_back(key, value);
  return params;
}

TEST(FileCommandsNative, ReadAccessCheck) {
  if (e2e::underWine()) GTEST_SKIP() << "needs a winsim machine";
  const Case cases[] = {
      {"granted", 5, with(kAlice, "filepath", "C:\\data\\report.docx"), 1, std::nullopt},
      {"a domain has no effect", 5,
       with(with(kAlice, "domain", "ELSEWHERE"), "filepath", "C:\\data\\report.docx"), 1, std::nullopt},
      {"refused: result 0 and no body", 5,
       {{"user", "bob"}, {"password", "pw"}, {"filepath", "C:\\data\\report.docx"}}, 0, std::nullopt},
      {"the descriptor itself is refused", 5,
       {{"user", "bob"}, {"password", "pw"}, {"filepath", "C:\\data\\secret.txt"}}, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 5, "Access is denied.\r\n")},
      {"wrong password", 5, {{"user", "alice"}, {"password", "nope"}, {"filepath", "C:\\data\\report.docx"}}, 0,
       record("WinSecurity::logOnVelUser", "LogonUser", 1326, "The user name or password is incorrect.\r\n")},
      {"missing file", 5, with(kAlice, "filepath", "C:\\data\\missing.txt"), 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 2, "The system cannot find the file specified.\r\n")},
      {"missing folder", 5, with(kAlice, "filepath", "C:\\gone\\missing.txt"), 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 3, "The system cannot find the path specified.\r\n")},
      {"no filepath: the empty path", 5, kAlice, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 3, "The system cannot find the path specified.\r\n")},
      {"no DACL grants everyone", 5, {{"user", "bob"}, {"password", "pw"}, {"filepath", "c:\\PUBLIC\\open.txt"}}, 1,
       std::nullopt},
  };
  expectReplies(std::vector<Case>(std::begin(cases), std::end(cases)), kMachine);
}

TEST(FileCommandsNative, AccessList) {
  if (e2e::underWine()) GTEST_SKIP() << "needs a winsim machine";
  const Strings report{"NT AUTHORITY\\SYSTEM", "FILESRV01\\alice", "FILESRV01\\bob", "Everyone"};
  const Case cases[] = {
      {"allow and deny entries with read rights", 4, {{"filepath", "C:\\data\\report.docx"}}, 1, report},
      {"credentials are ignored", 4, with(kAlice, "filepath", "C:\\data\\report.docx"), 1, report},
      {"an unresolvable entry is skipped", 4, {{"filepath", "C:\\data\\secret.txt"}}, 1,
       Strings{"FILESRV01\\alice"}},
      {"an empty DACL: count 0", 4, {{"filepath", "C:\\data\\empty.txt"}}, 1, Strings{}},
      {"no DACL: the world group", 4, {{"filepath", "C:\\public\\open.txt"}}, 1, Strings{"Everyone"}},
      {"missing file", 4, {{"filepath", "C:\\data\\missing.txt"}}, 0,
       record("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 2,
              "The system cannot find the file specified.\r\n")},
      {"no filepath: the empty path", 4, {}, 0,
       record("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 3,
              "The system cannot find the path specified.\r\n")},
  };
  expectReplies(std::vector<Case>(std::begin(cases), std::end(cases)), kMachine);
}

TEST(FileCommandsNative, AnEmptyListIsTheFourBytesOfItsCount) {
  if (e2e::underWine()) GTEST_SKIP() << "needs a winsim machine";
  const e2e::Run run = e2e::runMorvik(e2e::request(4, {{"filepath", "C:\\data\\empty.txt"}}), kMachine);
  const std::vector<e2e::Reply> replies = e2e::parseReplies(run.out);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].result, 1);
  EXPECT_EQ(replies[0].body, std::string(4, '\0'));
}

TEST(FileCommandsNative, NtfsVolume) {
  if (e2e::underWine()) GTEST_SKIP() << "needs a winsim machine";
  const Strings notRoot =
      record("WinSecurity::isNTFS", "GetVolumeInformation", 144,
             "The directory is not a subdirectory of the root directory.\r\n");
  const Case cases[] = {
      {"NTFS", 6, {{"filepath", "C:\\"}}, 1, std::nullopt},
      {"credentials are ignored", 6, with(kAlice, "filepath", "C:\\"), 1, std::nullopt},
      {"another file system: 0 and no body", 6, {{"filepath", "E:\\"}}, 0, std::nullopt},
      {"a share root", 6, {{"filepath", "\\\\fs01\\docs\\"}}, 1, std::nullopt},
      {"a folder below a root", 6, {{"filepath", "C:\\data\\"}}, 0, notRoot},
      {"a file below a root", 6, {{"filepath", "C:\\data\\report.docx"}}, 0, notRoot},
      {"a drive without media", 6, {{"filepath", "D:\\"}}, 0,
       record("WinSecurity::isNTFS", "GetVolumeInformation", 21, "The device is not ready.\r\n")},
      {"an unknown drive", 6, {{"filepath", "Q:\\"}}, 0,
       record("WinSecurity::isNTFS", "GetVolumeInformation", 3, "The system cannot find the path specified.\r\n")},
      {"no filepath: the empty path", 6, {}, 0,
       record("WinSecurity::isNTFS", "GetVolumeInformation", 3, "The system cannot find the path specified.\r\n")},
  };
  expectReplies(std::vector<Case>(std::begin(cases), std::end(cases)), kMachine);
}

TEST(FileCommandsNative, MappedDrive) {
  if (e2e::underWine()) GTEST_SKIP() << "needs a winsim machine";
  const Case cases[] = {
      {"a mapped drive", 10, {{"filepath", "Z:\\"}}, 1, std::nullopt},
      {"a share root", 10, {{"filepath", "\\\\fs01\\docs\\"}}, 1, std::nullopt},
      {"credentials are ignored", 10, with(kAlice, "filepath", "Z:\\"), 1, std::nullopt},
      {"a fixed drive", 10, {{"filepath", "C:\\"}}, 0, std::nullopt},
      {"a removable drive", 10, {{"filepath", "E:\\"}}, 0, std::nullopt},
      {"a folder below a mapped root", 10, {{"filepath", "Z:\\projects\\"}}, 0, std::nullopt},
      {"an unknown drive never fails", 10, {{"filepath", "Q:\\"}}, 0, std::nullopt},
      {"no filepath", 10, {}, 0, std::nullopt},
  };
  expectReplies(std::vector<Case>(std::begin(cases), std::end(cases)), kMachine);
}

// ---------------------------------------------------------------------------------------------
// Under Wine: Wine's platform answers.


std::string unixUser() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "";
}

// Wine builds a file's DACL from its Unix mode: SYSTEM always, the owner (the Unix user, in the
// computer's domain) when it may read or write, Everyone when others may read or write. Every
// entry carries read rights, so the access list names each one.
Strings wineAccessList(const std::string& unixPath) {
  struct stat st {};
  if (stat(unixPath.c_str(), &st) != 0) {
    ADD_FAILURE() << "cannot stat " << unixPath;
    return {};
  }
  Strings names{"NT AUTHORITY\\SYSTEM"};
  if (st.st_mode & (S_IRUSR | S_IWUSR)) names.push_back(e2e::wineComputerName() + "\\" + unixUser());
  if (st.st_mode & (S_IROTH | S_IWOTH)) names.push_back("Everyone");
  return names;
}

std::string winePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  return prefix ? prefix : "";
}

TEST(FileCommandsWine, AnswersAsWineDoes) {
  if (!e2e::underWine()) GTEST_SKIP() << "runs against morvik.exe under Wine";
  ASSERT_FALSE(winePrefix().empty()) << "WINEPREFIX must name the test's prefix";
  const Strings winIni = wineAccessList(winePrefix() + "/drive_c/windows/win.ini");
  const Case cases[] = {
      {"NTFS: the C: drive", 6, {{"filepath", "C:\\"}}, 1, std::nullopt},
      {"NTFS: a folder below the root", 6, {{"filepath", "C:\\windows\\"}}, 0,
       record("WinSecurity::isNTFS", "GetVolumeInformation", 144, "Not top-level directory.\r\n")},
      {"mapped drive: Wine has none", 10, {{"filepath", "C:\\"}}, 0, std::nullopt},
      {"access list of win.ini", 4, {{"filepath", "C:\\windows\\win.ini"}}, 1, winIni},
      {"access list of a missing file", 4, {{"filepath", "C:\\windows\\missing.ini"}}, 0,
       record("WinSecurity::getUsersForFile", "GetNamedSecurityInfo", 2, "File not found.\r\n")},
      // Wine's LogonUserW accepts anyone with a fake handle that nothing else takes: the
      // impersonation fails, and the access check refuses the handle.
      {"read check meets Wine's stub logon", 5,
       {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\windows\\win.ini"}}, 0,
       record("WinSecurity::checkURI", "AccessCheck", 6, "Invalid handle.\r\n")},
      {"read check of a missing file", 5,
       {{"user", "alice"}, {"password", "Secret1!"}, {"filepath", "C:\\windows\\missing.ini"}}, 0,
       record("WinSecurity::checkURI", "GetFileSecurity", 2, "File not found.\r\n")},
  };
  expectReplies(std::vector<Case>(std::begin(cases), std::end(cases)));
}

}  // namespace
