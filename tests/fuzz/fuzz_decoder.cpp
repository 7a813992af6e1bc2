// Fuzzes the request decoder: the first 32 bytes of an input (when there are 32) are a header for
// readHeader, the rest a body of its real length for readBody. Every decoded message is checked
// against an independent reading of the same bytes, and its encodings (createMessage,
// debugMessage, a reply) are read back. A correct decoder makes this target find nothing.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "request/MessageBlock.h"
#include "request/MessageHandler.h"
#include "fuzz_support.h"

using fuzzsupport::decodeBody;
using fuzzsupport::encodeBody;
using fuzzsupport::le32;
using fuzzsupport::Params;
using fuzzsupport::require;
using winsecurity::MessageBlock;

namespace {

constexpr int kHeader = MessageBlock::kHeaderSize;

// Exact-size heap copies, so that ASan sees any read past either end of what the decoder was given.
std::unique_ptr<char[]> copyOf(const uint8_t* data, std::size_t size) {
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  return copy;
}

struct Fields {
  int32_t messageType, command, result, bodyLength, senderId, receiverId;
};

Fields fieldsOf(const MessageBlock& m) {
  return {m.getMessageType(), m.getCommand(), m.getResult(), m.getBodyLength(), m.getSenderId(), m.getReceiverId()};
}

bool operator==(const Fields& a, const Fields& b) {
  return a.messageType == b.messageType && a.command == b.command && a.result == b.result &&
         a.bodyLength == b.bodyLength && a.senderId == b.senderId && a.receiverId == b.receiverId;
}

Fields fieldsAt(const uint8_t* header) {
  return {le32(header), le32(header + 4), le32(header + 8), le32(header + 12), le32(header + 16), le32(header + 20)};
}

void checkHeader(const uint8_t* data) {
  MessageBlock message;
  auto header = copyOf(data, kHeader);
  message.readHeader(header.get());
  require(fieldsOf(message) == fieldsAt(data), "readHeader: fields differ from the little-endian bytes");
  // The reserved bytes are never read: changing them changes nothing.
  for (int i = 24; i < kHeader; ++i) header[i] = static_cast<char>(~header[i]);
  MessageBlock again;
  again.readHeader(header.get());
  require(fieldsOf(again) == fieldsOf(message), "readHeader: reserved bytes changed a field");
}

void checkBody(const uint8_t* data, std::size_t size, MessageBlock& message) {
  const Params expected = decodeBody(data, size);
  const auto body = copyOf(data, size);
  const int length = static_cast<int>(size);
  message.readBody(body.get(), length);
  require(message.getParams() == expected, "readBody: parameter map differs from the body's pairs");

  // getParams hands out a copy.
  Params copy = message.getParams();
  copy["user"] = "changed";
  copy.emplace("fuzz-extra", "x");
  require(message.getParams() == expected, "getParams: changing the copy changed the message");
  require(message.viewParams() == expected, "viewParams: differs from getParams");

  // The map is added to, never cleared, and a repeated key keeps its first value: decoding the
  // same body again changes nothing.
  message.readBody(body.get(), length);
  require(message.getParams() == expected, "readBody: a second decoding of the same body changed the map");

  // The one-argument form reads getBodyLength() bytes.
  MessageBlock byHeader;
  byHeader.setBodyLength(length);
  byHeader.readBody(body.get());
  require(byHeader.getParams() == expected, "readBody(char*): differs from readBody(data, length)");

  // The pairs, written back as a well-formed body (with trailing bytes, which are ignored), decode
  // to the same map.
  std::string encoded = encodeBody(expected);
  encoded.append(body.get(), size < 8 ? size : 8);
  auto encodedCopy = copyOf(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
  MessageBlock reread;
  reread.readBody(encodedCopy.get(), static_cast<int>(encoded.size()));
  require(reread.getParams() == expected, "readBody: a well-formed encoding of the map decodes differently");
}

void checkEncoding(MessageBlock& message, const uint8_t* body, std::size_t size) {
  const Fields before = fieldsOf(message);
  const auto bodyCopy = copyOf(body, size);
  const int length = static_cast<int>(size);
  const std::unique_ptr<char[]> wire(message.createMessage(bodyCopy.get(), length));
  require(message.getBodyLength() == length, "createMessage: body length not set");
  Fields expected = before;
  expected.bodyLength = length;
  require(fieldsOf(message) == expected, "createMessage: changed a field other than the body length");
  require(fieldsAt(reinterpret_cast<const uint8_t*>(wire.get())) == expected, "createMessage: header bytes wrong");
  require(size == 0 || std::memcmp(wire.get() + kHeader, body, size) == 0, "createMessage: body not copied unchanged");

  // The encoded message decodes to the same header and, as a request body, the same pairs.
  MessageBlock decoded;
  decoded.readHeader(wire.get());
  require(fieldsOf(decoded) == expected, "createMessage/readHeader round trip");
  decoded.readBody(wire.get() + kHeader, length);
  require(decoded.getParams() == decodeBody(body, size), "createMessage/readBody round trip");

  // No body at all: a bare header whatever the pointer, for 0 and for a negative length.
  for (int bare : {0, -1, -length - 1}) {
    const std::unique_ptr<char[]> header(message.createMessage(nullptr, bare));
    require(message.getBodyLength() == 0, "createMessage: a length of 0 or below left a body length");
    require(le32(reinterpret_cast<const uint8_t*>(header.get()) + 12) == 0, "createMessage: bare header's length");
  }
  message.setBodyLength(before.bodyLength);
}

void checkDebugText(MessageBlock& message) {
  char expected[256] = {};
  std::snprintf(expected, sizeof expected,
                "MessageType:%d \nHeader\nCommand:%d\nResult:%d\nbodyLength:%d\nsenderId:%d\nreceiverId:%d\n",
                message.getMessageType(), message.getCommand(), message.getResult(), message.getBodyLength(),
                message.getSenderId(), message.getReceiverId());
  const std::unique_ptr<char[]> text(message.debugMessage());
  require(std::memcmp(text.get(), expected, sizeof expected) == 0, "debugMessage: text or zero padding wrong");
}

void checkReply(MessageBlock& request) {
  winsecurity::MessageHandler handler;
  const int result = request.getResult() ^ request.getCommand();
  const std::unique_ptr<MessageBlock> reply(handler.createReplyMessage(&request, result));
  require(reply->getMessageType() == 2 && reply->getCommand() == 1 && reply->getResult() == result &&
              reply->getSenderId() == request.getReceiverId() && reply->getReceiverId() == request.getSenderId() &&
              reply->getBodyLength() == 0 && reply->getParams().empty(),
          "createReplyMessage: reply header wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  MessageBlock message;
  const uint8_t* body = data;
  std::size_t bodySize = size;
  if (size >= static_cast<std::size_t>(kHeader)) {
    checkHeader(data);
    auto header = copyOf(data, kHeader);
    message.readHeader(header.get());
    body += kHeader;
    bodySize -= kHeader;
  }
  checkBody(body, bodySize, message);
  checkEncoding(message, body, bodySize);
  checkDebugText(message);
  checkReply(message);
  return 0;
}
