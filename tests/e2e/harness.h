// End-to-end harness: spawns the real morvik (the native build, or morvik.exe under Wine when
// MORVIK_EXE and MORVIK_WINE are set) over pipes, writes request bytes, reads reply bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using Params = std::vector<std::pair<std::string, std::string>>;

// A 32-bit integer as the wire writes it: four little-endian bytes.
std::string le(int32_t value);

// The bytes of one request, from the client library: 32-byte header (type, command, result 0,
// body length, sender, receiver, 8 reserved zero bytes) and the body (count, then length-prefixed
// keys and values).
std::string request(int32_t command, const Params& params = {}, int32_t messageType = 1, int32_t senderId = 1,
                    int32_t receiverId = 2);
// A header announcing `bodyLength` with the given body bytes appended as they are, for the odd
// messages only a test sends.
std::string rawMessage(int32_t messageType, int32_t command, int32_t bodyLength, int32_t senderId,
                       int32_t receiverId, const std::string& body);

struct Reply {
  int32_t messageType = 0, command = 0, result = 0, bodyLength = 0, senderId = 0, receiverId = 0;
  std::string body;  // exactly bodyLength bytes
};

struct Run {
  std::string out;  // everything morvik wrote to standard output
  std::string err;
  int status = -1;  // exit status; -1 when it did not exit normally
};

// True when the tests drive morvik.exe under Wine.
bool underWine();

// The computer name Wine reports: the host name up to its first dot, upper-cased, at most 15
// characters.
std::string wineComputerName();

// The command line that starts the morvik under test: morvik.exe under Wine, or the native build
// (behind MORVIK_WRAPPER's words when set). For a morvik::Client; natively it needs WINSIM_MACHINE.
std::vector<std::string> morvikCommand();

// Runs one morvik process with `input` on its standard input, then end of input. Under the native
// build `machineJson` (if not empty) is written to a file named by WINSIM_MACHINE; under Wine it is
// ignored (Wine is the platform).
Run runMorvik(const std::string& input, const std::string& machineJson = "");

// For a look at the process between requests: once all of the input is written and `replies` whole
// replies have come back, `inspect` gets the child's process id while morvik waits for more input;
// then its input ends.
struct Pause {
  size_t replies = 0;
  std::function<void(int pid)> inspect;
};
Run runMorvik(const std::string& input, const std::string& machineJson, const Pause& pause);

// Runs another program (args[0] with its path, or found on PATH) with the test's environment and
// `input` on its standard input, under the same time limit.
Run runProgram(const std::vector<std::string>& args, const std::string& input = "");

// Splits standard output into whole replies; a test failure if bytes are left over.
std::vector<Reply> parseReplies(const std::string& out);

// The strings of a string-list body (count, then length-prefixed strings); a test failure when the
// body is not exactly that.
std::vector<std::string> strings(const std::string& body);

}  // namespace e2e
