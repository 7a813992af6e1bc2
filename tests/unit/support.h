// Helpers shared by the unit tests: request bytes and reply decoding from the client library and
// reading memory blocks; machines to start from and the check that an operation left nothing
// behind in winsim come from winsim's own test helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "morvik/client.h"
#include "request/MessageHandler.h"
#include "security/wire.h"
#include "winsim/machine.h"
#include "winsim/winsim_support.h"

namespace testsupport {

// A 32-bit integer as the wire writes it: four little-endian bytes.
inline std::string le(int32_t value) {
  std::string out;
  morvik::appendInt32(out, value);
  return out;
}

// A length-prefixed string as request bodies and string lists carry it, for bodies a test shapes
// by hand.
inline std::string item(const std::string& bytes) { return le(static_cast<int32_t>(bytes.size())) + bytes; }

// A request as a client sends it.
inline std::string request(int32_t command, const morvik::Params& params = {}, int32_t type = 1, int32_t sender = 1,
                           int32_t receiver = 2) {
  return morvik::encodeRequest(command, params, type, sender, receiver);
}

// A header announcing `bodyLength`, whatever follows it.
inline std::string header(int32_t type, int32_t command, int32_t bodyLength, int32_t sender = 1, int32_t receiver = 2) {
  return morvik::encodeHeader({type, command, 0, bodyLength, sender, receiver});
}

// The strings of a string list that fills `size` bytes exactly; a test failure otherwise.
inline std::vector<std::string> strings(const char* data, size_t size) {
  try {
    return morvik::decodeStrings(data, size);
  } catch (const morvik::Error& e) {
    ADD_FAILURE() << e.what();
    return {};
  }
}
inline std::vector<std::string> strings(const std::string& body) { return strings(body.data(), body.size()); }

// The strings of a memory block (total size, then a string list); a test failure when the block
// is not exactly that.
inline std::vector<std::string> blockStrings(const char* block) {
  if (!block) {
    ADD_FAILURE() << "no block";
    return {};
  }
  const int32_t size = winsecurity::wire::getInt32(block);
  if (size < 4) {
    ADD_FAILURE() << "a block of " << size << " bytes";
    return {};
  }
  return strings(block + 4, static_cast<size_t>(size) - 4);
}

// The whole replies `out` holds, each decoded; a test failure for bytes after the last one or
// for one that is not a reply.
inline std::vector<morvik::Reply> replies(const std::string& out) {
  std::vector<morvik::Reply> all;
  morvik::ReplyReader reader;
  reader.append(out.data(), out.size());
  morvik::Header h;
  std::string body;
  try {
    while (reader.next(h, body)) all.push_back(morvik::decodeReply(h, body));
  } catch (const morvik::Error& e) {
    ADD_FAILURE() << "reply " << all.size() << ": " << e.what();
    return all;
  }
  EXPECT_EQ(reader.pending(), 0u) << "bytes after the last whole reply";
  return all;
}

inline std::vector<std::string> errorStrings(const char* context, const char* call, int number,
                                             const char* text) {
  std::vector<std::string> v{context, call, std::to_string(number)};
  if (text && *text) v.emplace_back(text);
  return v;
}

// The calls made since the last install, without the code-page conversions that every string
// passes through.
inline std::vector<std::string> securityCalls() {
  std::vector<std::string> out;
  for (const std::string& call : winsim::callLog())
    if (call != "MultiByteToWideChar" && call != "WideCharToMultiByte") out.push_back(call);
  return out;
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
