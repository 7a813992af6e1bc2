// The machine file loader: a complete file read into the Machine, the defaults, and a table of
// malformed files, each rejected with a message naming the file and the key path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "winsim/machine.h"

namespace {

const char* const kFullFile = R"json({
  "computerName": "FILESRV01",
  "domain": { "name": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330" },
  "accounts": [
    { "name": "alice", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-1104",
      "password": "Secret1!",
      "groups": [ "S-1-5-21-1004336348-1177238915-682003330-513",
                  { "sid": "S-1-5-32-544", "attributes": "0x10" },
                  { "sid": "S-1-5-32-545" } ] },
    { "name": "carol", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-1106",
      "password": "pw", "logonError": 1331 },
    { "name": "local", "sid": "S-1-5-21-1-2-3-1001", "password": "" }
  ],
  "groups": [ { "name": "Domain Users", "domain": "CORP", "sid": "S-1-5-21-1004336348-1177238915-682003330-513" },
              { "name": "Nameless", "sid": "S-1-5-21-1-2-3-600" } ],
  "files": [
    { "path": "C:\\data\\report.docx", "owner": "S-1-5-21-1004336348-1177238915-682003330-1104",
      "group": "S-1-5-21-1004336348-1177238915-682003330-513",
      "dacl": [ { "type": "allow", "sid": "S-1-1-0", "mask": "0x1200a9" },
                { "type": "deny", "sid": "S-1-5-21-1004336348-1177238915-682003330-1105", "mask": "0x1f01ff", "flags": "0x0" },
                { "type": "allow", "sid": "S-1-3-0", "mask": 268435456, "flags": 11 } ] },
    { "path": "C:\\public\\open.txt", "owner": "S-1-5-32-544", "dacl": null },
    { "path": "C:\\locked", "owner": "S-1-5-32-544", "dacl": [] }
  ],
  "volumes": [
    { "root": "C:\\", "fileSystem": "NTFS", "driveType": "fixed" },
    { "root": "E:\\", "fileSystem": "FAT32", "driveType": "removable" },
    { "root": "Z:\\", "fileSystem": "NTFS", "driveType": "remote" },
    { "root": "D:\\", "driveType": "cdrom", "error": 21 },
    { "root": "R:\\", "fileSystem": "exFAT", "driveType": "ramdisk" },
    { "root": "U:\\", "driveType": "unknown" },
    { "root": "N:\\", "driveType": "noRootDir" }
  ],
  "shares": [ { "path": "\\\\fs01\\docs", "user": "alice", "password": "Secret1!" },
              { "path": "\\\\fs01\\open", "fileSystem": "FAT" } ],
  "faults": [ { "call": "RevertToSelf", "error": 5, "nth": 1 },
              { "call": "LsaOpenPolicy", "error": "0xC0000022" },
              { "call": "LogonUserW", "error": 1909, "nth": "0x3" } ],
  "delays": { "LogonUserW": 20, "NetWkstaGetInfo": "0x5" },
  "resolveLogonSids": true
})json";

TEST(WinsimMachineFile, FullFileFillsEveryField) {
  const winsim::Machine m = winsim::parseMachineJson(kFullFile, "full.json");
  EXPECT_EQ(m.computerName, "FILESRV01");
  EXPECT_EQ(m.workgroup, "");
  EXPECT_EQ(m.domainName, "CORP");
  EXPECT_EQ(m.domainSid, "S-1-5-21-1004336348-1177238915-682003330");
  EXPECT_TRUE(m.resolveLogonSids);

  ASSERT_EQ(m.accounts.size(), 3u);
  const winsim::Account& alice = m.accounts[0];
  EXPECT_EQ(alice.name, "alice");
  EXPECT_EQ(alice.domain, "CORP");
  EXPECT_EQ(alice.sid, "S-1-5-21-1004336348-1177238915-682003330-1104");
  EXPECT_EQ(alice.password, "Secret1!");
  ASSERT_EQ(alice.groups.size(), 3u);
  EXPECT_EQ(alice.groups[0].sid, "S-1-5-21-1004336348-1177238915-682003330-513");
  EXPECT_EQ(alice.groups[0].attributes, 0x7u);  // a bare SID: mandatory, enabled by default, enabled
  EXPECT_EQ(alice.groups[1].sid, "S-1-5-32-544");
  EXPECT_EQ(alice.groups[1].attributes, 0x10u);
  EXPECT_EQ(alice.groups[2].attributes, 0x7u);
  EXPECT_EQ(alice.logonError, 0u);
  EXPECT_EQ(m.accounts[1].logonError, 1331u);
  EXPECT_TRUE(m.accounts[1].groups.empty());
  EXPECT_EQ(m.accounts[2].domain, "");  // the computer name
  EXPECT_EQ(m.accounts[2].password, "");

  ASSERT_EQ(m.groups.size(), 2u);
  EXPECT_EQ(m.groups[0].name, "Domain Users");
  EXPECT_EQ(m.groups[0].domain, "CORP");
  EXPECT_EQ(m.groups[0].sid, "S-1-5-21-1004336348-1177238915-682003330-513");
  EXPECT_EQ(m.groups[1].domain, "");

  ASSERT_EQ(m.files.size(), 3u);
  const winsim::File& report = m.files[0];
  EXPECT_EQ(report.path, "C:\\data\\report.docx");
  EXPECT_EQ(report.owner, "S-1-5-21-1004336348-1177238915-682003330-1104");
  EXPECT_EQ(report.group, "S-1-5-21-1004336348-1177238915-682003330-513");
  ASSERT_TRUE(report.dacl.has_value());
  ASSERT_EQ(report.dacl->size(), 3u);
  EXPECT_EQ((*report.dacl)[0].type, winsim::Ace::Allow);
  EXPECT_EQ((*report.dacl)[0].sid, "S-1-1-0");
  EXPECT_EQ((*report.dacl)[0].mask, 0x1200a9u);
  EXPECT_EQ((*report.dacl)[0].flags, 0);
  EXPECT_EQ((*report.dacl)[1].type, winsim::Ace::Deny);
  EXPECT_EQ((*report.dacl)[1].mask, 0x1f01ffu);
  EXPECT_EQ((*report.dacl)[2].mask, 0x10000000u);
  EXPECT_EQ((*report.dacl)[2].flags, 11);
  EXPECT_FALSE(m.files[1].dacl.has_value());  // null: no DACL at all
  EXPECT_EQ(m.files[1].group, "");
  ASSERT_TRUE(m.files[2].dacl.has_value());  // []: an empty DACL
  EXPECT_TRUE(m.files[2].dacl->empty());

  struct ExpectedVolume {
    const char* root;
    const char* fileSystem;
    uint32_t driveType;
    uint32_t error;
  };
  const ExpectedVolume volumes[] = {
      {"C:\\", "NTFS", DRIVE_FIXED, 0},     {"E:\\", "FAT32", DRIVE_REMOVABLE, 0}, {"Z:\\", "NTFS", DRIVE_REMOTE, 0},
      {"D:\\", "NTFS", DRIVE_CDROM, 21},    {"R:\\", "exFAT", DRIVE_RAMDISK, 0},   {"U:\\", "NTFS", DRIVE_UNKNOWN, 0},
      {"N:\\", "NTFS", DRIVE_NO_ROOT_DIR, 0}};
  ASSERT_EQ(m.volumes.size(), std::size(volumes));
  for (size_t i = 0; i < std::size(volumes); ++i) {
    SCOPED_TRACE(volumes[i].root);
    EXPECT_EQ(m.volumes[i].root, volumes[i].root);
    EXPECT_EQ(m.volumes[i].fileSystem, volumes[i].fileSystem);
    EXPECT_EQ(m.volumes[i].driveType, volumes[i].driveType);
    EXPECT_EQ(m.volumes[i].error, volumes[i].error);
  }

  ASSERT_EQ(m.shares.size(), 2u);
  EXPECT_EQ(m.shares[0].path, "\\\\fs01\\docs");
  EXPECT_EQ(m.shares[0].user, std::optional<std::string>("alice"));
  EXPECT_EQ(m.shares[0].password, std::optional<std::string>("Secret1!"));
  EXPECT_EQ(m.shares[0].fileSystem, "NTFS");
  EXPECT_FALSE(m.shares[1].user.has_value());
  EXPECT_FALSE(m.shares[1].password.has_value());
  EXPECT_EQ(m.shares[1].fileSystem, "FAT");

  ASSERT_EQ(m.faults.size(), 3u);
  EXPECT_EQ(m.faults[0].call, "RevertToSelf");
  EXPECT_EQ(m.faults[0].error, 5u);
  EXPECT_EQ(m.faults[0].nth, 1);
  EXPECT_EQ(m.faults[1].error, 0xC0000022u);
  EXPECT_EQ(m.faults[1].nth, 1);
  EXPECT_EQ(m.faults[2].nth, 3);
  const std::map<std::string, uint32_t, std::less<>> delays = {{"LogonUserW", 20}, {"NetWkstaGetInfo", 5}};
  EXPECT_EQ(m.delays, delays);
}

TEST(WinsimMachineFile, EmptyObjectIsTheDefaultMachine) {
  const winsim::Machine d = winsim::defaultMachine();
  const winsim::Machine m = winsim::parseMachineJson("{}", "empty.json");
  EXPECT_EQ(m.computerName, d.computerName);
  EXPECT_FALSE(m.computerName.empty());
  EXPECT_LE(m.computerName.size(), 15u);
  EXPECT_EQ(m.workgroup, "WORKGROUP");
  EXPECT_EQ(m.domainName, "");
  EXPECT_EQ(m.domainSid, "");
  ASSERT_EQ(m.volumes.size(), 1u);
  EXPECT_EQ(m.volumes[0].root, "C:\\");
  EXPECT_EQ(m.volumes[0].fileSystem, "NTFS");
  EXPECT_EQ(m.volumes[0].driveType, static_cast<uint32_t>(DRIVE_FIXED));
  EXPECT_EQ(m.volumes[0].error, 0u);
  EXPECT_TRUE(m.accounts.empty());
  EXPECT_TRUE(m.groups.empty());
  EXPECT_TRUE(m.files.empty());
  EXPECT_TRUE(m.shares.empty());
  EXPECT_TRUE(m.faults.empty());
  EXPECT_TRUE(m.delays.empty());
  EXPECT_FALSE(m.resolveLogonSids);
}

TEST(WinsimMachineFile, WorkgroupAndAnEmptyVolumeListAreTakenAsWritten) {
  const winsim::Machine m =
      winsim::parseMachineJson(R"({"workgroup": "HOMENET", "volumes": [], "resolveLogonSids": false})", "wg.json");
  EXPECT_EQ(m.workgroup, "HOMENET");
  EXPECT_EQ(m.domainName, "");
  EXPECT_TRUE(m.volumes.empty());
}

TEST(WinsimMachineFile, SidsAreStoredInCanonicalForm) {
  const winsim::Machine m = winsim::parseMachineJson(R"({"groups": [
      {"name": "a", "sid": "s-1-5-032-0544"},
      {"name": "b", "sid": "S-1-0x5-32"},
      {"name": "c", "sid": "S-1-0x123456789abc-7"}]})",
                                                     "sids.json");
  ASSERT_EQ(m.groups.size(), 3u);
  EXPECT_EQ(m.groups[0].sid, "S-1-5-32-544");
  EXPECT_EQ(m.groups[1].sid, "S-1-5-32");
  EXPECT_EQ(m.groups[2].sid, "S-1-0x123456789ABC-7");
}

struct BadFile {
  const char* name;
  const char* json;
  const char* path;      // the key path the message must name; "" for the file as a whole
  const char* expected;  // a fragment of what the message says was expected
};

const BadFile kBadFiles[] = {
    {"not JSON", R"({"computerName": })", "", "not valid JSON"},
    {"invalid UTF-8", "{\"computerName\": \"A\xff\"}", "", "not valid JSON"},
    {"top level is a list", "[]", "", "expected an object at the top level, found a list"},
    {"unknown top-level key", R"({"computername": "X"})", "computername", "unknown key"},
    {"computer name a number", R"({"computerName": 5})", "computerName", "expected a non-empty string, found the number 5"},
    {"computer name empty", R"({"computerName": ""})", "computerName", "non-empty string"},
    {"computer name too long", R"({"computerName": "ABCDEFGHIJKLMNOP"})", "computerName", "at most 15 characters"},
    {"workgroup and domain", R"({"workgroup": "W", "domain": {"name": "D", "sid": "S-1-5-21-1-2-3"}})", "workgroup",
     "not allowed together with \"domain\""},
    {"domain a string", R"({"domain": "CORP"})", "domain", "expected an object"},
    {"domain without sid", R"({"domain": {"name": "CORP"}})", "domain.sid", "missing"},
    {"domain sid malformed", R"({"domain": {"name": "CORP", "sid": "S-1-5-21-x"}})", "domain.sid", "expected a SID"},
    {"domain unknown key", R"({"domain": {"name": "CORP", "sid": "S-1-5-21-1", "dns": "corp.example"}})", "domain.dns",
     "unknown key"},
    {"accounts an object", R"({"accounts": {}})", "accounts", "expected a list, found an object"},
    {"account without name", R"({"accounts": [{"sid": "S-1-5-21-1-2-3-1000", "password": ""}]})", "accounts[0].name",
     "missing"},
    {"account without password", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000"}]})",
     "accounts[0].password", "missing"},
    {"account sid malformed", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-", "password": ""}]})",
     "accounts[0].sid", "expected a SID"},
    {"account sid revision 2", R"({"accounts": [{"name": "a", "sid": "S-2-5-21", "password": ""}]})", "accounts[0].sid",
     "expected a SID"},
    {"account sid too many parts",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", "password": ""}]})",
     "accounts[0].sid", "expected a SID"},
    {"group attributes true",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": ""},
                      {"name": "b", "sid": "S-1-5-21-1-2-3-1001", "password": "",
                       "groups": [{"sid": "S-1-1-0", "attributes": true}]}]})",
     "accounts[1].groups[0].attributes", "expected an unsigned 32-bit number or a hexadecimal string"},
    {"group sid malformed",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "groups": ["S-1-1-0", "S-1-x"]}]})",
     "accounts[0].groups[1]", "expected a SID"},
    {"group a number", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "groups": [5]}]})",
     "accounts[0].groups[0]", "a SID string or an object"},
    {"group unknown key",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "groups": [{"sid": "S-1-1-0", "attrs": 7}]}]})",
     "accounts[0].groups[0].attrs", "unknown key"},
    {"logon error negative", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": -5}]})",
     "accounts[0].logonError", "the number -5"},
    {"logon error above 32 bits",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": 4294967296}]})",
     "accounts[0].logonError", "unsigned 32-bit"},
    {"logon error hex above 32 bits",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": "0x1FFFFFFFF"}]})",
     "accounts[0].logonError", "unsigned 32-bit"},
    {"logon error fraction", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": 1.5}]})",
     "accounts[0].logonError", "unsigned 32-bit"},
    {"logon error decimal string",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": "1326"}]})",
     "accounts[0].logonError", "hexadecimal string"},
    {"logon error bad hex digit",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "logonError": "0x12G"}]})",
     "accounts[0].logonError", "hexadecimal string"},
    {"same account twice",
     R"({"computerName": "HOST", "accounts": [{"name": "alice", "sid": "S-1-5-21-1-2-3-1000", "password": ""},
                                              {"name": "ALICE", "domain": "host", "sid": "S-1-5-21-1-2-3-1001", "password": ""}]})",
     "accounts[1].name", "the same account (name and domain) as accounts[0]"},
    {"group without sid", R"({"groups": [{"name": "g"}]})", "groups[0].sid", "missing"},
    {"group name empty", R"({"groups": [{"name": "", "sid": "S-1-5-21-1-2-3-513"}]})", "groups[0].name",
     "non-empty string"},
    {"file without dacl", R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0"}]})", "files[0].dacl", "missing"},
    {"file dacl a string", R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0", "dacl": "none"}]})", "files[0].dacl",
     "a list of ACEs, or null"},
    {"file without owner", R"({"files": [{"path": "C:\\a", "dacl": null}]})", "files[0].owner", "missing"},
    {"file group malformed", R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0", "group": "Users", "dacl": null}]})",
     "files[0].group", "expected a SID"},
    {"ace type unknown",
     R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0",
                    "dacl": [{"type": "allow", "sid": "S-1-1-0", "mask": 1}, {"type": "permit", "sid": "S-1-1-0", "mask": 1}]}]})",
     "files[0].dacl[1].type", "\"allow\" or \"deny\""},
    {"ace flags above a byte",
     R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0", "dacl": [{"type": "allow", "sid": "S-1-1-0", "mask": 1, "flags": "0x100"}]}]})",
     "files[0].dacl[0].flags", "fit in one byte"},
    {"ace without mask", R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0", "dacl": [{"type": "deny", "sid": "S-1-1-0"}]}]})",
     "files[0].dacl[0].mask", "missing"},
    {"same file twice",
     R"({"files": [{"path": "C:\\Data\\a.txt", "owner": "S-1-1-0", "dacl": null},
                   {"path": "c:\\data\\A.TXT", "owner": "S-1-1-0", "dacl": []}]})",
     "files[1].path", "the same path as files[0]"},
    {"volume root without backslash", R"({"volumes": [{"root": "C:"}]})", "volumes[0].root", "trailing backslash"},
    {"volume drive type unknown", R"({"volumes": [{"root": "C:\\", "driveType": "network"}]})", "volumes[0].driveType",
     "one of \"unknown\""},
    {"volume drive type a number", R"({"volumes": [{"root": "C:\\", "driveType": 3}]})", "volumes[0].driveType",
     "the number 3"},
    {"volume file system empty", R"({"volumes": [{"root": "C:\\", "fileSystem": ""}]})", "volumes[0].fileSystem",
     "non-empty string"},
    {"same volume twice", R"({"volumes": [{"root": "C:\\"}, {"root": "c:\\"}]})", "volumes[1].root",
     "the same root as volumes[0]"},
    {"share with trailing backslash", R"({"shares": [{"path": "\\\\fs01\\docs\\"}]})", "shares[0].path", "UNC path"},
    {"share without share name", R"({"shares": [{"path": "\\\\fs01"}]})", "shares[0].path", "UNC path"},
    {"share a drive path", R"({"shares": [{"path": "C:\\docs"}]})", "shares[0].path", "UNC path"},
    {"share user a number", R"({"shares": [{"path": "\\\\fs01\\docs", "user": 5}]})", "shares[0].user",
     "expected a string"},
    {"fault call misspelt", R"({"faults": [{"call": "LogonUser", "error": 5}]})", "faults[0].call",
     "a Win32 function winsim implements"},
    {"fault nth zero", R"({"faults": [{"call": "LogonUserW", "error": 5, "nth": 0}]})", "faults[0].nth", "1 or more"},
    {"fault without error", R"({"faults": [{"call": "LogonUserW"}]})", "faults[0].error", "missing"},
    {"delays a list", R"({"delays": [{"LogonUserW": 20}]})", "delays", "expected an object, found a list"},
    {"delay call misspelt", R"({"delays": {"LogonUser": 20}})", "delays.LogonUser", "a Win32 function winsim implements"},
    {"delay negative", R"({"delays": {"LogonUserW": -1}})", "delays.LogonUserW", "unsigned 32-bit number"},
    {"delay over a minute", R"({"delays": {"LogonUserW": 60001}})", "delays.LogonUserW", "at most 60000 milliseconds"},
    {"resolveLogonSids a string", R"({"resolveLogonSids": "yes"})", "resolveLogonSids", "true or false"},
    {"key twice at the top", R"({"computerName": "A", "computerName": "B"})", "computerName", "appears twice"},
    {"key twice in an account",
     R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": ""},
                      {"name": "b", "name": "c", "sid": "S-1-5-21-1-2-3-1001", "password": ""}]})",
     "accounts[1].name", "appears twice"},
    {"key twice in an ace",
     R"({"files": [{"path": "C:\\a", "owner": "S-1-1-0", "dacl": null},
                   {"path": "C:\\b", "owner": "S-1-1-0", "dacl": [{"type": "allow", "sid": "S-1-1-0", "mask": 1},
                                                                  {"type": "deny", "sid": "S-1-1-0", "mask": 1, "mask": 2}]}]})",
     "files[1].dacl[1].mask", "appears twice"},
};


// The message a load fails with, or "(accepted)".
template <typename Load>
std::string errorOf(Load load) {
  try {
    load();
  } catch (const winsim::MachineFileError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(WinsimMachineFile, MalformedFilesNameTheKeyPath) {
  for (const BadFile& c : kBadFiles) {
    SCOPED_TRACE(c.name);
    const std::string message = errorOf([&] { winsim::parseMachineJson(c.json, "bad.json"); });
    const std::string prefix = std::string("bad.json: ") + c.path + (*c.path ? ": " : "");
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
  }
}

// A path in the test temporary folder, the same in a death test's child process as in its parent.
std::string tempPath(const std::string& name) {
  if (!std::getenv("WINSIM_TEST_RUN")) setenv("WINSIM_TEST_RUN", std::to_string(getpid()).c_str(), 0);
  return testing::TempDir() + "winsim_" + std::getenv("WINSIM_TEST_RUN") + "_" + name;
}

// A file on disk, removed when the test ends.
class TempFile {
 public:
  TempFile(const std::string& name, const std::string& content) : path_(tempPath(name)) { std::ofstream(path_) << content; }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(WinsimMachineFile, LoadsFromDiskAndNamesTheFile) {
  TempFile good("good.json", R"({"computerName": "DISKHOST"})");
  EXPECT_EQ(winsim::loadMachineFile(good.path()).computerName, "DISKHOST");

  TempFile bad("bad.json", R"({"computerName": 1})");
  const std::string message = errorOf([&] { winsim::loadMachineFile(bad.path()); });
  EXPECT_EQ(message.rfind(bad.path() + ": computerName: expected", 0), 0u) << message;
}

TEST(WinsimMachineFile, UnreadableFilesAreErrors) {
  const std::string missing = tempPath("missing.json");
  const std::string directory = tempPath("folder.json");
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  const struct {
    std::string path;
    const char* expected;
  } cases[] = {{missing, "cannot open the machine file: "}, {directory, "cannot read the machine file: "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string message = errorOf([&] { winsim::loadMachineFile(c.path); });
    EXPECT_EQ(message.rfind(c.path + ": " + c.expected, 0), 0u) << message;
  }
  rmdir(directory.c_str());
}

// A process whose WINSIM_MACHINE names a bad file stops at its first Win32 call with status 2 and
// a message naming the file; a good file becomes the machine. Each case runs in a fresh process.
class WinsimMachineVariable : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  void TearDown() override { unsetenv("WINSIM_MACHINE"); }
};

TEST_F(WinsimMachineVariable, BadFileStopsTheProcessWithStatus2) {
  TempFile bad("env_bad.json", R"({"accounts": [{"name": "a", "sid": "S-1-5-21-1-2-3-1000", "password": "", "groups": [{"sid": "S-1-1-0", "attributes": true}]}]})");
  setenv("WINSIM_MACHINE", bad.path().c_str(), 1);
  EXPECT_EXIT(winsim::openHandles(), testing::ExitedWithCode(2),
              "winsim: .*env_bad\\.json: accounts\\[0\\]\\.groups\\[0\\]\\.attributes: expected");
}

TEST_F(WinsimMachineVariable, UnreadableFileStopsTheProcessWithStatus2) {
  setenv("WINSIM_MACHINE", tempPath("env_missing.json").c_str(), 1);
  EXPECT_EXIT(winsim::openHandles(), testing::ExitedWithCode(2), "winsim: .*env_missing\\.json: cannot open");
}

TEST_F(WinsimMachineVariable, GoodFileBecomesTheMachine) {
  TempFile good("env_good.json", R"({"computerName": "ENVHOST", "accounts": [{"name": "eve", "sid": "S-1-5-21-7-7-7-1000", "password": "pw"}]})");
  setenv("WINSIM_MACHINE", good.path().c_str(), 1);
  EXPECT_EXIT(
      {
        HANDLE token = nullptr;
        const bool ok = LogonUserW(u"eve", u"ENVHOST", u"pw", LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
        std::fprintf(stderr, "logon %s\n", ok ? "succeeded" : "failed");
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "logon succeeded");
}

}  // namespace
