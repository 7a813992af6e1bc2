// The machine file loader: a JSON description of one machine, checked strictly. A file that does
// not say exactly what its author meant would make every test that runs on it lie, so unknown
// keys, wrong types, malformed SIDs and duplicates are all errors that name the key path.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "state.h"

namespace winsim {
namespace {

using nlohmann::json;
using detail::SidBytes;

// Every Win32 function winsim implements: a fault for any other name could never fire.
const char* const kCalls[] = {
    "CloseHandle",         "FormatMessageW",       "LocalAlloc",
    "LocalFree",           "GlobalAlloc",          "GlobalFree",
    "MultiByteToWideChar", "WideCharToMultiByte",  "GetVolumeInformationW",
    "GetDriveTypeW",       "LogonUserW",           "ImpersonateLoggedOnUser",
    "OpenThreadToken",     "RevertToSelf",         "GetTokenInformation",
    "LookupAccountSidW",   "GetFileSecurityA",     "MapGenericMask",
    "AccessCheck",         "GetNamedSecurityInfoW", "GetAclInformation",
    "GetAce",              "LsaOpenPolicy",        "LsaQueryInformationPolicy",
    "LsaFreeMemory",       "LsaClose",             "LsaNtStatusToWinError",
    "NetWkstaGetInfo",     "NetApiBufferFree",     "WNetAddConnection2W",
    "WNetCancelConnection2W"};

struct DriveTypeName {
  const char* name;
  uint32_t value;
};
const DriveTypeName kDriveTypes[] = {{"unknown", DRIVE_UNKNOWN}, {"noRootDir", DRIVE_NO_ROOT_DIR},
                                     {"removable", DRIVE_REMOVABLE}, {"fixed", DRIVE_FIXED},
                                     {"remote", DRIVE_REMOTE},   {"cdrom", DRIVE_CDROM},
                                     {"ramdisk", DRIVE_RAMDISK}};

std::string describe(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return v.get<bool>() ? "true" : "false";
    case json::value_t::string:
      return "the string " + v.dump();
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "the number " + v.dump();
    case json::value_t::object:
      return "an object";
    case json::value_t::array:
      return "a list";
    default:
      return "an unsupported value";
  }
}

std::string child(const std::string& path, const std::string& key) { return path.empty() ? key : path + "." + key; }
std::string item(const std::string& path, size_t index) { return path + "[" + std::to_string(index) + "]"; }

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  [[noreturn]] void fail(const std::string& path, const std::string& message) const {
    throw MachineFileError(source_ + ": " + (path.empty() ? std::string() : path + ": ") + message);
  }

  [[noreturn]] void expected(const std::string& path, const std::string& what, const json& found) const {
    fail(path, "expected " + what + ", found " + describe(found));
  }

  void requireObject(const json& v, const std::string& path) const {
    if (!v.is_object()) expected(path, "an object", v);
  }

  void allowOnly(const json& object, const std::string& path, std::initializer_list<const char*> keys) const {
    for (auto it = object.begin(); it != object.end(); ++it) {
      bool known = false;
      for (const char* k : keys) known = known || it.key() == k;
      if (known) continue;
      std::string list;
      for (const char* k : keys) list += (list.empty() ? "" : ", ") + std::string(k);
      fail(child(path, it.key()), "unknown key (expected one of: " + list + ")");
    }
  }

  const json* find(const json& object, const char* key) const {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }

  const json& need(const json& object, const std::string& path, const char* key, const std::string& what) const {
    const json* v = find(object, key);
    if (!v) fail(child(path, key), "missing: " + what + " is required");
    return *v;
  }

  std::string string(const json& v, const std::string& path, bool nonEmpty) const {
    if (!v.is_string()) expected(path, nonEmpty ? "a non-empty string" : "a string", v);
    std::string s = v.get<std::string>();
    if (nonEmpty && s.empty()) expected(path, "a non-empty string", v);
    return s;
  }

  // An unsigned 32-bit value: a JSON number or a hexadecimal string "0x...".
  uint32_t number(const json& v, const std::string& path) const {
    const char* what = "an unsigned 32-bit number or a hexadecimal string such as \"0x1F\"";
    if (v.is_number_unsigned()) {
      uint64_t n = v.get<uint64_t>();
      if (n > 0xFFFFFFFFull) expected(path, what, v);
      return static_cast<uint32_t>(n);
    }
    if (v.is_number_integer() && v.get<int64_t>() >= 0) return static_cast<uint32_t>(v.get<int64_t>());
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      bool ok = s.size() > 2 && s.size() <= 10 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
      uint32_t n = 0;
      for (size_t i = 2; ok && i < s.size(); ++i) {
        char c = s[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        ok = digit >= 0;
        n = n * 16 + static_cast<uint32_t>(digit < 0 ? 0 : digit);
      }
      if (ok) return n;
    }
    expected(path, what, v);
  }

  // A SID in its string form, returned in canonical form.
  std::string sid(const json& v, const std::string& path) const {
    const char* what = "a SID such as \"S-1-5-32-544\"";
    if (!v.is_string()) expected(path, what, v);
    SidBytes bytes;
    if (!detail::parseSid(v.get<std::string>(), &bytes)) expected(path, what, v);
    return detail::formatSid(bytes.data());
  }

  const json& list(const json& v, const std::string& path) const {
    if (!v.is_array()) expected(path, "a list", v);
    return v;
  }

 private:
  std::string source_;
};

GroupMembership readMembership(const Reader& r, const json& v, const std::string& path) {
  GroupMembership g;
  if (v.is_string()) {
    g.sid = r.sid(v, path);
    return g;
  }
  if (!v.is_object()) r.expected(path, "a SID string or an object with \"sid\" and \"attributes\"", v);
  r.allowOnly(v, path, {"sid", "attributes"});
  g.sid = r.sid(r.need(v, path, "sid", "a SID"), child(path, "sid"));
  if (const json* a = r.find(v, "attributes")) g.attributes = r.number(*a, child(path, "attributes"));
  return g;
}

Account readAccount(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"name", "domain", "sid", "password", "groups", "logonError"});
  Account a;
  a.name = r.string(r.need(v, path, "name", "the account name"), child(path, "name"), true);
  if (const json* d = r.find(v, "domain")) a.domain = r.string(*d, child(path, "domain"), false);
  a.sid = r.sid(r.need(v, path, "sid", "the account's SID"), child(path, "sid"));
  a.password = r.string(r.need(v, path, "password", "the password (\"\" for none)"), child(path, "password"), false);
  if (const json* g = r.find(v, "groups")) {
    const std::string gp = child(path, "groups");
    const json& groups = r.list(*g, gp);
    for (size_t i = 0; i < groups.size(); ++i) a.groups.push_back(readMembership(r, groups[i], item(gp, i)));
  }
  if (const json* e = r.find(v, "logonError")) a.logonError = r.number(*e, child(path, "logonError"));
  return a;
}

NamedSid readGroup(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"name", "domain", "sid"});
  NamedSid g;
  g.name = r.string(r.need(v, path, "name", "the group name"), child(path, "name"), true);
  if (const json* d = r.find(v, "domain")) g.domain = r.string(*d, child(path, "domain"), false);
  g.sid = r.sid(r.need(v, path, "sid", "the group's SID"), child(path, "sid"));
  return g;
}

Ace readAce(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"type", "sid", "mask", "flags"});
  Ace ace;
  const std::string tp = child(path, "type");
  const json& type = r.need(v, path, "type", "\"allow\" or \"deny\"");
  if (type == "allow") {
    ace.type = Ace::Allow;
  } else if (type == "deny") {
    ace.type = Ace::Deny;
  } else {
    r.expected(tp, "\"allow\" or \"deny\"", type);
  }
  ace.sid = r.sid(r.need(v, path, "sid", "a SID"), child(path, "sid"));
  ace.mask = r.number(r.need(v, path, "mask", "the access mask"), child(path, "mask"));
  if (const json* f = r.find(v, "flags")) {
    uint32_t flags = r.number(*f, child(path, "flags"));
    if (flags > 0xFF) r.expected(child(path, "flags"), "ACE flags that fit in one byte (0 to 0xFF)", *f);
    ace.flags = static_cast<uint8_t>(flags);
  }
  return ace;
}

File readFile(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"path", "owner", "group", "dacl"});
  File f;
  f.path = r.string(r.need(v, path, "path", "the file's path"), child(path, "path"), true);
  f.owner = r.sid(r.need(v, path, "owner", "the owner's SID"), child(path, "owner"));
  if (const json* g = r.find(v, "group")) f.group = r.sid(*g, child(path, "group"));
  const std::string dp = child(path, "dacl");
  const json& dacl = r.need(v, path, "dacl", "a list of ACEs ([] for an empty DACL, null for none)");
  if (dacl.is_null()) return f;
  if (!dacl.is_array()) r.expected(dp, "a list of ACEs, or null for no DACL", dacl);
  f.dacl.emplace();
  for (size_t i = 0; i < dacl.size(); ++i) f.dacl->push_back(readAce(r, dacl[i], item(dp, i)));
  return f;
}

Volume readVolume(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"root", "fileSystem", "driveType", "error"});
  Volume vol;
  const std::string rp = child(path, "root");
  const json& root = r.need(v, path, "root", "the root path with its trailing backslash");
  vol.root = r.string(root, rp, true);
  if (vol.root.back() != '\\') r.expected(rp, "a root with its trailing backslash, such as \"C:\\\\\"", root);
  if (const json* fs = r.find(v, "fileSystem")) vol.fileSystem = r.string(*fs, child(path, "fileSystem"), true);
  if (const json* t = r.find(v, "driveType")) {
    bool found = false;
    for (const DriveTypeName& d : kDriveTypes) {
      if (*t == d.name) {
        vol.driveType = d.value;
        found = true;
      }
    }
    if (!found) {
      r.expected(child(path, "driveType"),
                 "one of \"unknown\", \"noRootDir\", \"removable\", \"fixed\", \"remote\", \"cdrom\", \"ramdisk\"", *t);
    }
  }
  if (const json* e = r.find(v, "error")) vol.error = r.number(*e, child(path, "error"));
  return vol;
}

bool isShareName(const std::string& p) {
  // \\server\share: two leading backslashes, then two non-empty parts and nothing more.
  if (p.size() < 5 || p[0] != '\\' || p[1] != '\\') return false;
  size_t sep = p.find('\\', 2);
  if (sep == std::string::npos || sep == 2) return false;
  return sep + 1 < p.size() && p.find('\\', sep + 1) == std::string::npos;
}

Share readShare(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"path", "user", "password", "fileSystem"});
  Share s;
  const std::string pp = child(path, "path");
  const json& p = r.need(v, path, "path", "the share's UNC path");
  s.path = r.string(p, pp, true);
  if (!isShareName(s.path)) r.expected(pp, "a UNC path \\\\server\\share without a trailing backslash", p);
  if (const json* u = r.find(v, "user")) s.user = r.string(*u, child(path, "user"), false);
  if (const json* pw = r.find(v, "password")) s.password = r.string(*pw, child(path, "password"), false);
  if (const json* fs = r.find(v, "fileSystem")) s.fileSystem = r.string(*fs, child(path, "fileSystem"), true);
  return s;
}

Fault readFault(const Reader& r, const json& v, const std::string& path) {
  r.requireObject(v, path);
  r.allowOnly(v, path, {"call", "error", "nth"});
  Fault f;
  const std::string cp = child(path, "call");
  const json& call = r.need(v, path, "call", "the name of a Win32 function");
  f.call = r.string(call, cp, true);
  bool known = false;
  for (const char* c : kCalls) known = known || f.call == c;
  if (!known) r.expected(cp, "the exact name of a Win32 function winsim implements, such as \"LogonUserW\"", call);
  f.error = r.number(r.need(v, path, "error", "the error number"), child(path, "error"));
  if (const json* n = r.find(v, "nth")) {
    uint32_t nth = r.number(*n, child(path, "nth"));
    if (nth < 1 || nth > static_cast<uint32_t>(INT_MAX)) r.expected(child(path, "nth"), "a call count of 1 or more", *n);
    f.nth = static_cast<int>(nth);
  }
  return f;
}

// A delay longer than a minute is a typo, not a model of any authority's latency.
constexpr uint32_t kMaxDelayMs = 60000;

std::map<std::string, uint32_t, std::less<>> readDelays(const Reader& r, const json& v) {
  r.requireObject(v, "delays");
  std::map<std::string, uint32_t, std::less<>> out;
  for (const auto& [call, ms] : v.items()) {
    const std::string path = child("delays", call);
    bool known = false;
    for (const char* c : kCalls) known = known || call == c;
    if (!known) r.fail(path, "expected the exact name of a Win32 function winsim implements, such as \"LogonUserW\"");
    const uint32_t n = r.number(ms, path);
    if (n > kMaxDelayMs) r.expected(path, "a delay of at most 60000 milliseconds", ms);
    out.emplace(call, n);
  }
  return out;
}

template <typename T, typename ReadOne>
std::vector<T> readList(const Reader& r, const json& top, const char* key, ReadOne readOne) {
  std::vector<T> out;
  const json* v = r.find(top, key);
  if (!v) return out;
  const json& items = r.list(*v, key);
  for (size_t i = 0; i < items.size(); ++i) out.push_back(readOne(r, items[i], item(key, i)));
  return out;
}

// Two entries that name the same thing would leave one of them silently unused.
template <typename T, typename Same>
void rejectDuplicates(const Reader& r, const std::vector<T>& items, const char* list, const char* field,
                      const char* what, Same same) {
  for (size_t i = 0; i < items.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (same(items[i], items[j])) r.fail(child(item(list, i), field), std::string(what) + " as " + item(list, j));
}

// The parser keeps only the last of two equal keys in one object; this finds the first such key
// while parsing, with its key path.
class DuplicateKeyFinder {
 public:
  bool operator()(json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        stack_.push_back(Frame{event == json::parse_event_t::array_start, 0, {}, {}});
        break;
      case json::parse_event_t::key: {
        Frame& frame = stack_.back();
        frame.key = parsed.get<std::string>();
        if (!frame.keys.insert(frame.key).second && duplicate_.empty()) duplicate_ = pathTo(stack_.size());
        break;
      }
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        stack_.pop_back();
        elementDone();
        break;
      case json::parse_event_t::value:
        elementDone();
        break;
    }
    return true;
  }

  const std::string& duplicate() const { return duplicate_; }

 private:
  struct Frame {
    bool array;
    size_t index;     // arrays: the element being read
    std::string key;  // objects: the member being read
    std::set<std::string> keys;
  };

  // The key path of the position held by the first `depth` frames.
  std::string pathTo(size_t depth) const {
    std::string p;
    for (size_t i = 0; i < depth; ++i) p = stack_[i].array ? item(p, stack_[i].index) : child(p, stack_[i].key);
    return p;
  }

  void elementDone() {
    if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
  }

  std::vector<Frame> stack_;
  std::string duplicate_;
};

}  // namespace

Machine parseMachineJson(const std::string& text, const std::string& sourceName) {
  Reader r(sourceName);
  DuplicateKeyFinder dups;
  json top;
  try {
    top = json::parse(text, [&dups](int, json::parse_event_t event, json& parsed) { return dups(event, parsed); });
  } catch (const json::parse_error& e) {
    std::string what = e.what();
    size_t bracket = what.find("] ");
    if (bracket != std::string::npos) what = what.substr(bracket + 2);
    r.fail("", "not valid JSON: " + what);
  }
  if (!dups.duplicate().empty()) r.fail(dups.duplicate(), "the key appears twice in the same object");
  if (!top.is_object()) r.expected("", "an object at the top level", top);
  r.allowOnly(top, "", {"computerName", "workgroup", "domain", "accounts", "groups", "files", "volumes", "shares",
                        "faults", "delays", "resolveLogonSids"});

  Machine m = defaultMachine();
  if (const json* v = r.find(top, "computerName")) {
    m.computerName = r.string(*v, "computerName", true);
    if (detail::utf8ToUtf16(m.computerName).size() > 15)
      r.expected("computerName", "a NetBIOS name of at most 15 characters", *v);
  }
  const json* domain = r.find(top, "domain");
  if (const json* v = r.find(top, "workgroup")) {
    if (domain) r.fail("workgroup", "not allowed together with \"domain\": a machine is in a workgroup or in a domain");
    m.workgroup = r.string(*v, "workgroup", true);
  }
  if (domain) {
    r.requireObject(*domain, "domain");
    r.allowOnly(*domain, "domain", {"name", "sid"});
    m.domainName = r.string(r.need(*domain, "domain", "name", "the domain's NetBIOS name"), "domain.name", true);
    m.domainSid = r.sid(r.need(*domain, "domain", "sid", "the domain's SID"), "domain.sid");
    m.workgroup.clear();
  }
  m.accounts = readList<Account>(r, top, "accounts", readAccount);
  m.groups = readList<NamedSid>(r, top, "groups", readGroup);
  m.files = readList<File>(r, top, "files", readFile);
  if (r.find(top, "volumes")) m.volumes = readList<Volume>(r, top, "volumes", readVolume);
  m.shares = readList<Share>(r, top, "shares", readShare);
  m.faults = readList<Fault>(r, top, "faults", readFault);
  if (const json* v = r.find(top, "delays")) m.delays = readDelays(r, *v);
  if (const json* v = r.find(top, "resolveLogonSids")) {
    if (!v->is_boolean()) r.expected("resolveLogonSids", "true or false", *v);
    m.resolveLogonSids = v->get<bool>();
  }

  const std::string computer = m.computerName;
  rejectDuplicates(r, m.accounts, "accounts", "name", "the same account (name and domain)", [&computer](const Account& a, const Account& b) {
    return detail::equalNoCase(a.name, b.name) &&
           detail::equalNoCase(a.domain.empty() ? computer : a.domain, b.domain.empty() ? computer : b.domain);
  });
  rejectDuplicates(r, m.files, "files", "path", "the same path",
                   [](const File& a, const File& b) { return detail::equalNoCase(a.path, b.path); });
  rejectDuplicates(r, m.volumes, "volumes", "root", "the same root",
                   [](const Volume& a, const Volume& b) { return detail::equalNoCase(a.root, b.root); });
  rejectDuplicates(r, m.shares, "shares", "path", "the same share",
                   [](const Share& a, const Share& b) { return detail::equalNoCase(a.path, b.path); });
  return m;
}

Machine loadMachineFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw MachineFileError(path + ": cannot open the machine file: " + std::strerror(errno));
  std::string text;
  char buffer[8192];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(f) != 0;
  const int error = errno;
  std::fclose(f);
  if (failed) throw MachineFileError(path + ": cannot read the machine file: " + std::strerror(error));
  return parseMachineJson(text, path);
}

}  // namespace winsim
