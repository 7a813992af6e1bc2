// Helpers shared by the unit tests: reading memory blocks, machines to start from, and the
// check that an operation left nothing behind in winsim.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request/MessageHandler.h"
#include "security/wire.h"
#include "winsim/machine.h"

namespace testsupport {

// Well-known SIDs and the accounts of machineWithAlice, by name.
namespace sids {
constexpr const char* kAlice = "S-1-5-21-1-2-3-1001";
constexpr const char* kEveryone = "S-1-1-0";
constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kSystem = "S-1-5-18";
}  // namespace sids

// A 32-bit integer as the wire writes it: four little-endian bytes.
inline std::string le(int32_t value) {
  std::string out;
  const auto v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
  return out;
}

// A length-prefixed string as request bodies and string lists carry it.
inline std::string item(const std::string& bytes) { return le(static_cast<int32_t>(bytes.size())) + bytes; }

// The strings of a memory block (total size, count, length-prefixed strings); a test failure when the
// block is not exactly that.
inline std::vector<std::string> blockStrings(const char* block) {
  std::vector<std::string> out;
  if (!block) {
    ADD_FAILURE() << "no block";
    return out;
  }
  const int32_t size = winsecurity::wire::getInt32(block);
  const int32_t count = winsecurity::wire::getInt32(block + 4);
  int32_t at = 8;
  for (int32_t i = 0; i < count; ++i) {
    if (at + 4 > size) {
      ADD_FAILURE() << "block cut short at entry " << i;
      return out;
    }
    const int32_t n = winsecurity::wire::getInt32(block + at);
    at += 4;
    if (n < 0 || n > size - at) {
      ADD_FAILURE() << "entry " << i << " runs past the block";
      return out;
    }
    out.emplace_back(block + at, static_cast<size_t>(n));
    at += n;
  }
  EXPECT_EQ(at, size) << "bytes after the last entry";
  return out;
}

inline std::vector<std::string> errorStrings(const char* context, const char* call, int number,
                                             const char* text) {
  std::vector<std::string> v{context, call, std::to_string(number)};
  if (text && *text) v.emplace_back(text);
  return v;
}

// A workgroup machine with one local account "alice" / "Secret1!" in Users.
inline winsim::Machine machineWithAlice() {
  winsim::Machine m = winsim::defaultMachine();
  m.computerName = "TESTHOST";
  winsim::Account alice;
  alice.name = "alice";
  alice.sid = sids::kAlice;
  alice.password = "Secret1!";
  alice.groups = {{"S-1-1-0"}, {"S-1-5-32-545"}};
  m.accounts.push_back(alice);
  return m;
}

// The calls made since the last install, without the code-page conversions that every string
// passes through.
inline std::vector<std::string> securityCalls() {
  std::vector<std::string> out;
  for (const std::string& call : winsim::callLog())
    if (call != "MultiByteToWideChar" && call != "WideCharToMultiByte") out.push_back(call);
  return out;
}

// Nothing leaked and the thread is itself again.
inline void expectClean() {
  EXPECT_EQ(winsim::openHandles(), 0u) << "open handles";
  EXPECT_EQ(winsim::liveAllocations().total(), 0u) << "live platform allocations";
  EXPECT_FALSE(winsim::threadImpersonating()) << "thread left impersonating";
}

// Runs the request loop in-process over memory streams and returns what it wrote.
inline std::string serveOverStreams(const std::string& input) {
  std::string in = input;
  std::FILE* inStream = fmemopen(in.data(), in.size(), "r");
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* outStream = open_memstream(&buffer, &size);
  if (!inStream || !outStream) {
    ADD_FAILURE() << "cannot open memory streams";
    if (inStream) std::fclose(inStream);
    if (outStream) std::fclose(outStream);
    std::free(buffer);
    return {};
  }
  winsecurity::MessageHandler().waitMessage(inStream, outStream);
  std::fclose(inStream);
  std::fclose(outStream);
  std::string out(buffer, size);
  std::free(buffer);
  return out;
}

}  // namespace testsupport
