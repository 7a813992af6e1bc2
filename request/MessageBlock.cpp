#include "request/MessageBlock.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "security/SecureZero.h"
#include "security/wire.h"

namespace winsecurity {

namespace {

// A non-owning view of the bytes of a body that are still to be decoded. Every read checks what is
// left first and never moves past the end; sizes are compared with what is left, never added to a
// position, so a hostile length cannot wrap.
class BodyReader {
 public:
  BodyReader(const char* data, std::size_t size) : at(data), left(size) {}

  bool readInt32(int32_t* out) {
    if (left < 4) return false;
    *out = wire::getInt32(at);
    at += 4;
    left -= 4;
    return true;
  }

  // Takes `n` bytes; false when n is negative or more than is left.
  bool readBytes(int32_t n, const char** out) {
    if (n < 0 || static_cast<std::size_t>(n) > left) return false;
    *out = at;
    at += n;
    left -= static_cast<std::size_t>(n);
    return true;
  }

  // A length-prefixed item, cut at its first zero byte: the peer's strings are C strings, and the
  // bytes after an embedded zero are stepped over but not kept.
  bool readString(const char** text, std::size_t* size) {
    int32_t n = 0;
    if (!readInt32(&n) || !readBytes(n, text)) return false;
    const void* zero = std::memchr(*text, 0, static_cast<std::size_t>(n));
    *size = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - *text) : static_cast<std::size_t>(n);
    return true;
  }

 private:
  const char* at;
  std::size_t left;
};

}  // namespace

MessageBlock::MessageBlock() {
  setMessageType(0);
  setCommand(0);
  setResult(0);
  setBodyLength(0);
  setSenderId(0);
  setReceiverId(0);
}

MessageBlock::~MessageBlock() {
  for (auto& entry : params) secureZero(entry.second);
}

void MessageBlock::readHeader(char* data) {
  setMessageType(wire::getInt32(data));
  setCommand(wire::getInt32(data + 4));
  setResult(wire::getInt32(data + 8));
  setBodyLength(wire::getInt32(data + 12));
  setSenderId(wire::getInt32(data + 16));
  setReceiverId(wire::getInt32(data + 20));
}

void MessageBlock::readBody(char* data) { readBody(data, getBodyLength()); }

void MessageBlock::readBody(const char* data, int length) {
  if (!data || length < 4) return;
  BodyReader reader(data, static_cast<std::size_t>(length));
  int32_t count = 0;
  reader.readInt32(&count);
  for (int32_t i = 0; i < count; ++i) {
    const char* key = nullptr;
    const char* value = nullptr;
    std::size_t keySize = 0, valueSize = 0;
    if (!reader.readString(&key, &keySize) || !reader.readString(&value, &valueSize)) return;
    // try_emplace builds the value only when the key is new: a repeated key keeps its first value.
    params.try_emplace(std::string(key, keySize), value, valueSize);
  }
}

std::map<std::string, std::string> MessageBlock::getParams() { return params; }

char* MessageBlock::createMessage(char* body, int length) {
  if (length < 0) length = 0;
  setBodyLength(length);
  char* message = new char[static_cast<std::size_t>(length) + kHeaderSize];
  writeHeader(message);
  if (length > 0) std::memcpy(message + kHeaderSize, body, static_cast<std::size_t>(length));
  return message;
}

void MessageBlock::writeHeader(char* out) const {
  wire::putInt32(out, getMessageType());
  wire::putInt32(out + 4, getCommand());
  wire::putInt32(out + 8, getResult());
  wire::putInt32(out + 12, getBodyLength());
  wire::putInt32(out + 16, getSenderId());
  wire::putInt32(out + 20, getReceiverId());
  // Peers ignore the reserved bytes; zero keeps replies reproducible byte for byte.
  std::memset(out + 24, 0, 8);
}

char* MessageBlock::debugMessage() {
  constexpr std::size_t kSize = 256;
  char* text = new char[kSize]();
  std::snprintf(text, kSize,
                "MessageType:%d \nHeader\nCommand:%d\nResult:%d\nbodyLength:%d\nsenderId:%d\nreceiverId:%d\n",
                getMessageType(), getCommand(), getResult(), getBodyLength(), getSenderId(), getReceiverId());
  return text;
}

}  // namespace winsecurity
