// Fuzzes the whole request loop: the input is the byte stream a peer writes to morvik's standard
// input, served by MessageHandler::waitMessage (over streams or, for half the input lengths, over
// descriptors as the process runs it) against a winsim machine installed in-process, so
// that commands 1 to 10 really log users on, read descriptors, query volumes and connect shares.
// After each input: the thread is itself again, no handle or platform allocation is left, and the
// output is exactly one whole reply per request that gets one, in order.
//
// The loop never reads the reserved bytes 24 to 31 of a header, so those of the first header steer
// winsim's fault injection and the library's failure branches get fuzzed too: bytes 24, 25, 26 pick
// a call, an error and which call of it fails (byte 24 zero: none); bytes 27, 28, 29 a second one.
// Calls that release something (CloseHandle, RevertToSelf, the frees) are never failed: when those
// fail on Windows, a handle or an impersonation does outlive the request, which is no finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request/MessageBlock.h"
#include "request/MessageHandler.h"
#include "fuzz_support.h"
#include "winsim/machine.h"

using fuzzsupport::le32;
using fuzzsupport::require;
using winsecurity::MessageBlock;
using winsecurity::MessageHandler;

namespace {

constexpr uint32_t kReadRights = FILE_GENERIC_READ;
constexpr uint32_t kAccountDisabled = 1331;
constexpr uint32_t kNotReady = 21;

// One machine with something behind every command: accounts that log on, one that is refused and
// one with a group no one can name; files with allow and deny entries, an inherit-only entry, an
// owner-only grant, no DACL and an empty DACL; volumes of several kinds and a failing one; shares
// with and without credentials. `domain` makes it a domain member instead of a workgroup machine.
winsim::Machine makeMachine(bool domain) {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "FUZZHOST";
  m.workgroup = "WORKGROUP";
  if (domain) {
    m.domainName = "CORP";
    m.domainSid = "S-1-5-21-100-200-300";
  }
  const std::string local = "S-1-5-21-1-2-3-";
  const std::string staff = local + "2001", nobody = "S-1-5-21-9-9-9-9999";
  const std::string alice = local + "1001", bob = local + "1002";
  m.groups = {{"Staff", "FUZZHOST", staff}};
  if (domain) m.groups.push_back({"Domain Users", "CORP", "S-1-5-21-100-200-300-513"});

  m.accounts.push_back({"alice", "", alice, "Secret1!", {{"S-1-1-0"}, {"S-1-5-32-545"}, {staff}}, 0});
  m.accounts.push_back({"bob", "", bob, "hunter2", {{"S-1-1-0"}, {"S-1-5-32-544"}}, 0});
  m.accounts.push_back({"carol", "", local + "1003", "pw", {{"S-1-1-0"}}, kAccountDisabled});
  m.accounts.push_back({"j\xC3\xBCrgen", "", local + "1004", "Passw\xC3\xB6rt",
                        {{"S-1-1-0"}, {"S-1-5-32-545", SE_GROUP_USE_FOR_DENY_ONLY}}, 0});
  m.accounts.push_back({"eve", "", local + "1005", "x", {{"S-1-1-0"}, {nobody}}, 0});
  if (domain)
    m.accounts.push_back({"dave", "CORP", "S-1-5-21-100-200-300-1105", "Dave#1",
                          {{"S-1-1-0"}, {"S-1-5-21-100-200-300-513"}}, 0});

  using winsim::Ace;
  using Dacl = std::vector<Ace>;
  m.files.push_back({"C:\\data\\public.txt", alice, "", Dacl{{Ace::Allow, "S-1-1-0", kReadRights, 0}}});
  m.files.push_back({"C:\\data\\secret.txt", bob, "",
                     Dacl{{Ace::Deny, alice, kReadRights, 0}, {Ace::Allow, "S-1-5-32-545", kReadRights, 0}}});
  m.files.push_back({"C:\\data\\open.txt", bob, "", std::nullopt});
  m.files.push_back({"C:\\data\\empty.txt", bob, "", Dacl{}});
  m.files.push_back({"C:\\data\\owner.txt", alice, "",
                     Dacl{{Ace::Allow, "S-1-1-0", kReadRights, INHERIT_ONLY_ACE}, {Ace::Allow, staff, GENERIC_READ, 0}}});
  m.files.push_back({"C:\\data\\write.txt", "", "", Dacl{{Ace::Allow, alice, FILE_WRITE_DATA, 0}}});
  m.files.push_back({"C:\\data\\orphan.txt", bob, "", Dacl{{Ace::Allow, nobody, kReadRights, 0}}});
  m.files.push_back({"C:\\caf\xC3\xA9\\men\xC3\xBC.txt", alice, "", Dacl{{Ace::Allow, "S-1-5-32-545", kReadRights, 0}}});

  m.volumes = {{"C:\\", "NTFS", DRIVE_FIXED, 0},
               {"D:\\", "FAT32", DRIVE_FIXED, 0},
               {"E:\\", "NTFS", DRIVE_CDROM, kNotReady},
               {"R:\\", "CDFS", DRIVE_CDROM, 0},
               {"Z:\\", "NTFS", DRIVE_REMOTE, 0}};
  m.shares.push_back({"\\\\fileserver\\public", std::nullopt, std::nullopt, "NTFS"});
  m.shares.push_back({"\\\\fileserver\\private", std::string("alice"), std::string("Secret1!"), "NTFS"});
  return m;
}

const winsim::Machine* g_machines[2];

// The calls a fault may hit (make_corpus.py reads this list to write seeds with faults).
const char* const kFaultCalls[] = {
    "LogonUserW",          "ImpersonateLoggedOnUser", "OpenThreadToken",       "GetTokenInformation",
    "LookupAccountSidW",   "GetFileSecurityA",        "MapGenericMask",        "AccessCheck",
    "GetNamedSecurityInfoW", "GetAclInformation",     "GetAce",                "LsaOpenPolicy",
    "LsaQueryInformationPolicy", "LsaNtStatusToWinError", "NetWkstaGetInfo",   "GetVolumeInformationW",
    "GetDriveTypeW",       "WNetAddConnection2W",     "WNetCancelConnection2W", "MultiByteToWideChar",
    "WideCharToMultiByte", "FormatMessageW",          "GlobalAlloc",           "LocalAlloc",
};
constexpr uint32_t kFaultErrors[] = {
    5,     // ERROR_ACCESS_DENIED
    8,     // ERROR_NOT_ENOUGH_MEMORY
    87,    // ERROR_INVALID_PARAMETER
    122,   // ERROR_INSUFFICIENT_BUFFER
    234,   // ERROR_MORE_DATA
    1326,  // ERROR_LOGON_FAILURE
    1332,  // ERROR_NONE_MAPPED
    1722,  // RPC_S_SERVER_UNAVAILABLE
    53,    // ERROR_BAD_NETPATH
    2250,  // ERROR_NOT_CONNECTED
};

void injectFaults(const uint8_t* data, std::size_t size) {
  if (size < static_cast<std::size_t>(MessageBlock::kHeaderSize)) return;
  constexpr std::size_t kCalls = sizeof kFaultCalls / sizeof kFaultCalls[0];
  constexpr std::size_t kErrors = sizeof kFaultErrors / sizeof kFaultErrors[0];
  for (const uint8_t* f = data + 24; f <= data + 27; f += 3) {
    if (f[0] == 0) continue;
    winsim::injectFault(kFaultCalls[(f[0] - 1) % kCalls], kFaultErrors[f[1] % kErrors], 1 + f[2] % 8);
  }
}

// A request the loop must answer, as the input frames it.
struct Request {
  int32_t command, senderId, receiverId;
};

// The requests that get a reply: messages read whole (a body length from 0 to the loop's cap), up
// to the first message that cannot be read whole or a terminate message; commands 1 to 10 only.
std::vector<Request> answeredRequests(const uint8_t* data, std::size_t size) {
  std::vector<Request> out;
  std::size_t at = 0;
  while (size - at >= static_cast<std::size_t>(MessageBlock::kHeaderSize)) {
    const uint8_t* header = data + at;
    const int32_t length = le32(header + 12);
    at += MessageBlock::kHeaderSize;
    if (length < 0 || length > MessageHandler::kMaxBodyLength || static_cast<std::size_t>(length) > size - at) break;
    at += static_cast<std::size_t>(length);
    if (le32(header) == 3) break;
    const int32_t command = le32(header + 4);
    if (command >= 1 && command <= 10) out.push_back({command, le32(header + 16), le32(header + 20)});
  }
  return out;
}

bool isDecimal(const std::string& s) {
  std::size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// The output must be exactly one whole reply per answered request, in order, with the ids swapped,
// a result the command can give, and a body that is nothing, the command's strings, or an error
// copy (context, call, decimal number, and the text if there is one).
void checkReplies(const std::vector<Request>& requests, const uint8_t* out, std::size_t size) {
  std::size_t at = 0;
  std::vector<std::string> strings;
  for (const Request& request : requests) {
    require(size - at >= static_cast<std::size_t>(MessageBlock::kHeaderSize), "output: a reply is missing or cut");
    const uint8_t* header = out + at;
    at += MessageBlock::kHeaderSize;
    require(le32(header) == 2 && le32(header + 4) == 1, "output: reply type or command wrong");
    require(le32(header + 16) == request.receiverId && le32(header + 20) == request.senderId,
            "output: reply ids not the request's swapped");
    const int32_t result = le32(header + 8);
    const int32_t length = le32(header + 12);
    require(length >= 0 && static_cast<std::size_t>(length) <= size - at, "output: reply body cut");
    const uint8_t* body = out + at;
    at += static_cast<std::size_t>(length);

    const bool identity = request.command == 7 || request.command == 8;
    const bool listing = identity || request.command == 2 || request.command == 4;
    if (identity)
      require(result == -1 || result == 1 || (request.command == 8 && result == 0), "output: identity result");
    else
      require(result == 0 || result == 1, "output: result neither 0 nor 1");
    if (length == 0) continue;
    require(fuzzsupport::parseStringList(body, static_cast<std::size_t>(length), &strings), "output: body is not a string list");
    if (result == 1) {
      require(listing, "output: a body on success of a command without a payload");
      // One name, or none when it converted to nothing (an empty string is never stored).
      if (identity) require(strings.size() <= 1, "output: identity reply with more than one name");
    } else {
      require(!identity || result == -1, "output: error copy on an identity answer");
      // The text is left out when the system has none for the number.
      require((strings.size() == 4 || strings.size() == 3) && isDecimal(strings[2]),
              "output: error copy not context, call, number, text");
    }
  }
  require(at == size, "output: bytes after the last reply");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_machines[0] = new winsim::Machine(makeMachine(false));
  g_machines[1] = new winsim::Machine(makeMachine(true));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // A fresh machine per input: share connections and call counters would otherwise carry over.
  // The length's parity picks a workgroup or a domain member, so both identity paths are reached.
  winsim::install(*g_machines[size & 1]);
  injectFaults(data, size);

  std::string output;
  if ((size >> 1) & 1) {
    // Every other input goes through the descriptor loop, the one the process runs.
    const int in = memfd_create("requests", 0);
    const int out = memfd_create("replies", 0);
    require(in >= 0 && out >= 0, "cannot create the memory files");
    require(write(in, data, size) == static_cast<ssize_t>(size), "cannot write the input");
    lseek(in, 0, SEEK_SET);
    MessageHandler().waitMessage(in, out);
    output.resize(static_cast<std::size_t>(lseek(out, 0, SEEK_CUR)));
    require(pread(out, output.data(), output.size(), 0) == static_cast<ssize_t>(output.size()),
            "cannot read the output back");
    close(in);
    close(out);
  } else {
    std::vector<char> input(data, data + size);
    std::FILE* in = fmemopen(input.data(), size, "rb");
    char* buffer = nullptr;
    std::size_t bufferSize = 0;
    std::FILE* out = open_memstream(&buffer, &bufferSize);
    require(in && out, "cannot open the memory streams");
    MessageHandler().waitMessage(in, out);
    std::fclose(in);
    std::fclose(out);
    output.assign(buffer, bufferSize);
    std::free(buffer);
  }

  require(!winsim::threadImpersonating(), "the thread is still impersonating");
  require(winsim::openHandles() == 0, "handles left open");
  require(winsim::liveAllocations().total() == 0, "platform allocations left live");
  checkReplies(answeredRequests(data, size), reinterpret_cast<const uint8_t*>(output.data()), output.size());
  return 0;
}
