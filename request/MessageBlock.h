// One protocol message in memory: the six header integers and, for a request, the parameter map
// decoded from its body. Wire format: a 32-byte header of six little-endian int32 fields (message
// type, command, result, body length, sender id, receiver id) and 8 reserved bytes, then the body.
// A request body is a count followed by that many (key length, key, value length, value) items.
#pragma once

#include <map>
#include <string>

namespace winsecurity {

class MessageBlock {
 public:
  static constexpr int kHeaderSize = 32;

  MessageBlock();
  // Zeroes the parameter values before releasing them: a request carries passwords.
  ~MessageBlock();
  MessageBlock(const MessageBlock&) = delete;
  MessageBlock& operator=(const MessageBlock&) = delete;

  // Decodes bytes 0..23 of a 32-byte header; bytes 24..31 are never read. Accepts any values.
  void readHeader(char* data);
  // Decodes a body of getBodyLength() bytes (the caller guarantees that many are readable) and adds
  // its pairs to the map. Same as readBody(data, getBodyLength()).
  void readBody(char* data);
  // Decodes a body of exactly `length` bytes and adds its pairs to the map. Never reads outside
  // [data, data + length): a count or length that runs past the body ends decoding, keeping the
  // pairs decoded before it. A length below 4 holds no count and decodes nothing. A key seen again
  // keeps its first value; a key or value ends at its first zero byte.
  void readBody(const char* data, int length);

  // A copy of the parameter map.
  std::map<std::string, std::string> getParams();
  // The parameter map itself, for readers that need no copy; valid while the message lives.
  const std::map<std::string, std::string>& viewParams() const { return params; }

  // Encodes the header and `length` bytes of `body` into a new buffer of length + 32 bytes (the
  // caller releases it with delete[]) and sets the body length to `length`. A length of 0 or below
  // gives a bare header with body length 0 and leaves `body` untouched (it may be null). The
  // reserved header bytes are written as zero.
  char* createMessage(char* body, int length);
  // Encodes the header as it stands into the 32 bytes at `out`, reserved bytes zero; allocates nothing.
  void writeHeader(char* out) const;
  // A new 256-byte, zero-filled text describing the header; the caller releases it with delete[].
  char* debugMessage();

  int getMessageType() const { return messageType; }
  void setMessageType(int value) { messageType = value; }
  int getCommand() const { return command; }
  void setCommand(int value) { command = value; }
  int getResult() const { return result; }
  void setResult(int value) { result = value; }
  int getBodyLength() const { return bodyLength; }
  void setBodyLength(int value) { bodyLength = value; }
  int getSenderId() const { return senderId; }
  void setSenderId(int value) { senderId = value; }
  int getReceiverId() const { return receiverId; }
  void setReceiverId(int value) { receiverId = value; }

 private:
  int messageType;
  int command;
  int result;
  int bodyLength;
  int senderId;
  int receiverId;
  std::map<std::string, std::string> params;
};

}  // namespace winsecurity
