// Encoding requests and decoding replies: the one copy of the client's side of the wire format.
#include <cstring>

#include "morvik/client.h"

namespace morvik {

void wipe(std::string& s) {
  if (s.empty()) return;
  std::memset(&s[0], 0, s.size());
  // Claims to read the memory, so the stores above are not dead to the optimiser.
  __asm__ __volatile__("" : : "r"(s.data()) : "memory");
}

void appendInt32(std::string& out, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                         static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  out.append(bytes, 4);
}

int32_t readInt32(const char* at) {
  const auto* b = reinterpret_cast<const unsigned char*>(at);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                              (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24));
}

std::string encodeHeader(const Header& h) {
  std::string out;
  out.reserve(kHeaderSize);
  for (int32_t field : {h.messageType, h.command, h.result, h.bodyLength, h.senderId, h.receiverId})
    appendInt32(out, field);
  out.append(8, '\0');
  return out;
}

std::string encodeBody(const Params& params) {
  std::size_t size = 4;
  for (const auto& [key, value] : params) size += 8 + key.size() + value.size();
  std::string out;
  out.reserve(size);
  appendInt32(out, static_cast<int32_t>(params.size()));
  for (const auto& [key, value] : params) {
    appendInt32(out, static_cast<int32_t>(key.size()));
    out += key;
    appendInt32(out, static_cast<int32_t>(value.size()));
    out += value;
  }
  return out;
}

std::string encodeRequest(int32_t command, const Params& params, int32_t messageType, int32_t senderId,
                          int32_t receiverId) {
  std::string body = encodeBody(params);
  Header h;
  h.messageType = messageType;
  h.command = command;
  h.bodyLength = static_cast<int32_t>(body.size());
  h.senderId = senderId;
  h.receiverId = receiverId;
  std::string out;
  out.reserve(kHeaderSize + body.size());
  out += encodeHeader(h);
  out += body;
  // The body may hold a password; the caller wipes the message, this copy is ours to wipe.
  wipe(body);
  return out;
}

Header decodeHeader(const char* bytes) {
  Header h;
  h.messageType = readInt32(bytes);
  h.command = readInt32(bytes + 4);
  h.result = readInt32(bytes + 8);
  h.bodyLength = readInt32(bytes + 12);
  h.senderId = readInt32(bytes + 16);
  h.receiverId = readInt32(bytes + 20);
  return h;
}

namespace {

// A (pointer, remaining) reader: every read checks what is left and never moves past the end.
// Lengths are compared with what is left, never added to a position, so nothing can wrap.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : at_(data), left_(size) {}
  bool int32(int32_t& value) {
    if (left_ < 4) return false;
    value = readInt32(at_);
    at_ += 4;
    left_ -= 4;
    return true;
  }
  bool bytes(int32_t n, std::string& into) {
    if (n < 0 || static_cast<std::size_t>(n) > left_) return false;
    into.assign(at_, static_cast<std::size_t>(n));
    at_ += n;
    left_ -= static_cast<std::size_t>(n);
    return true;
  }
  std::size_t left() const { return left_; }

 private:
  const char* at_;
  std::size_t left_;
};

[[noreturn]] void malformed(const std::string& what) { throw Error(Error::Kind::Malformed, "malformed reply: " + what); }

bool decimal(const std::string& s, int32_t& value) {
  if (s.empty() || s.size() > 11) return false;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  if (s[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

}  // namespace

std::vector<std::string> decodeStrings(const char* data, std::size_t size) {
  Reader in(data, size);
  int32_t count = 0;
  if (!in.int32(count)) malformed("a string list of " + std::to_string(size) + " bytes has no count");
  if (count < 0) malformed("a string list counts " + std::to_string(count) + " strings");
  std::vector<std::string> out;
  for (int32_t i = 0; i < count; ++i) {
    int32_t n = 0;
    if (!in.int32(n)) malformed("string " + std::to_string(i) + " of " + std::to_string(count) + " has no length");
    std::string s;
    if (!in.bytes(n, s))
      malformed("string " + std::to_string(i) + " of " + std::to_string(n) + " bytes runs past the body");
    out.push_back(std::move(s));
  }
  if (in.left() != 0) malformed(std::to_string(in.left()) + " bytes after the last string");
  return out;
}

Reply decodeReply(const Header& header, const std::string& body) {
  if (header.messageType != kReply || header.command != 1)
    malformed("not a reply (message type " + std::to_string(header.messageType) + ", command " +
              std::to_string(header.command) + ")");
  if (header.bodyLength < 0 || static_cast<std::size_t>(header.bodyLength) != body.size())
    malformed("the body is not as long as its header says");
  Reply r;
  r.messageType = header.messageType;
  r.command = header.command;
  r.result = header.result;
  r.senderId = header.senderId;
  r.receiverId = header.receiverId;
  r.hasBody = !body.empty();
  if (r.hasBody) r.strings = decodeStrings(body.data(), body.size());
  return r;
}

std::optional<ErrorRecord> Reply::error() const {
  ErrorRecord record;
  if (result == 1 || (strings.size() != 3 && strings.size() != 4) || !decimal(strings[2], record.number))
    return std::nullopt;
  record.context = strings[0];
  record.call = strings[1];
  if (strings.size() == 4) record.text = strings[3];
  return record;
}

void ReplyReader::append(const char* data, std::size_t size) {
  // Drop what has been taken before growing, so the buffer stays the size of one read.
  if (at_ > 0 && at_ == buffer_.size()) {
    buffer_.clear();
    at_ = 0;
  } else if (at_ > (1 << 16) && at_ > buffer_.size() / 2) {
    buffer_.erase(0, at_);
    at_ = 0;
  }
  buffer_.append(data, size);
}

bool ReplyReader::next(Header& header, std::string& body, std::string* whole) {
  if (buffer_.size() - at_ < kHeaderSize) return false;
  const Header h = decodeHeader(buffer_.data() + at_);
  if (h.bodyLength < 0 || h.bodyLength > kMaxReplyBody)
    malformed("a header announces a body of " + std::to_string(h.bodyLength) + " bytes");
  if (buffer_.size() - at_ - kHeaderSize < static_cast<std::size_t>(h.bodyLength)) return false;
  header = h;
  body.assign(buffer_, at_ + kHeaderSize, static_cast<std::size_t>(h.bodyLength));
  if (whole) whole->assign(buffer_, at_, kHeaderSize + static_cast<std::size_t>(h.bodyLength));
  at_ += kHeaderSize + static_cast<std::size_t>(h.bodyLength);
  return true;
}

CommandFailed::CommandFailed(int32_t command, ErrorRecord record)
    : std::runtime_error("command " + std::to_string(command) + " failed: " + record.context + ": " + record.call +
                         " failed with " + std::to_string(record.number) +
                         (record.text.empty() ? std::string() : " (" + record.text.substr(0, record.text.find('\r')) + ")")),
      command_(command),
      record_(std::move(record)) {}

}  // namespace morvik
