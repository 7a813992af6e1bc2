#include "request/MessageHandler.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "security/SecureZero.h"
#include "request/Streams.h"
#include "network/NetConnection.h"
#include "security/WinSecurity.h"
#include "security/win32.h"
#include "security/wire.h"

namespace winsecurity {

using crawler_network::NetConnection;

namespace {

constexpr int kTerminate = 3;

// The request keys a command reads.
enum Key : unsigned { kUser = 1u << 0, kPassword = 1u << 1, kDomain = 1u << 2, kFilepath = 1u << 3 };

// The values the library receives for the keys a command reads: NUL-terminated strings that point
// into the request's own map (which outlives the handler), or "" for a key the request lacks.
// Borrowing instead of copying leaves no second copy of a password to wipe.
struct Params {
  const char* user = "";
  const char* password = "";
  const char* domain = "";
  const char* filepath = "";
};

Params readParams(const MessageBlock& request, unsigned keys) {
  static const std::string kNames[] = {"user", "password", "domain", "filepath"};
  Params params;
  const char** slots[] = {&params.user, &params.password, &params.domain, &params.filepath};
  const auto& map = request.viewParams();
  // Keys are unique in the map and matched byte for byte, so a lookup per key finds exactly the
  // entry a walk over the map would.
  for (unsigned i = 0; i < 4; ++i) {
    if (!(keys & (1u << i))) continue;
    const auto found = map.find(kNames[i]);
    if (found != map.end()) *slots[i] = found->second.c_str();
  }
  return params;
}

// When a handler takes the error copy: most commands on any result but 1; the machine-identity
// commands only on -1, since their 0 ("workgroup") is an answer, not a failure.
enum class CopyWhen { NotOne, MinusOne };

// The caller's own copy of a library last-error block (exactly its L bytes), or null. delete[].
char* copyErrorBlock(const char* block) {
  if (!block) return nullptr;
  const int32_t size = wire::getInt32(block);
  if (size < 4) return nullptr;  // not a block: a reply without body beats a malformed one
  char* copy = new char[static_cast<std::size_t>(size)];
  std::memcpy(copy, block, static_cast<std::size_t>(size));
  return copy;
}

// The frame every command shares: one library object from three constructor arguments, one
// operation on it, the error copy taken while the object still owns its last-error block, and the
// object destroyed (with the block) before the result goes back to the loop.
template <class Object, class Operation>
int runCommand(const char* first, const char* second, const char* third, CopyWhen copyWhen, char** error,
               Operation operation) {
  Object object(first, second, third);
  const int result = operation(object);
  if (copyWhen == CopyWhen::NotOne ? result != 1 : result == -1) *error = copyErrorBlock(object.getLastErrorMessage());
  return result;
}

void setBinaryMode(std::FILE* stream) {
  // A process started without a stream has no descriptor; the runtime must not be handed one.
  const int fd = _fileno(stream);
  if (fd >= 0) _setmode(fd, _O_BINARY);
}

// Reads one whole message into `message`; false when the input ends inside the header or body or
// the header announces a body length below 0 or above the cap (nothing more is read then).
template <class Input>
bool readInto(Input& input, MessageBlock& message) {
  char header[MessageBlock::kHeaderSize];
  if (input.read(header, sizeof header) != sizeof header) return false;
  message.readHeader(header);
  const int length = message.getBodyLength();
  // Checked before anything is allocated: the peer's number is not a size to trust.
  if (length < 0 || length > MessageHandler::kMaxBodyLength) return false;
  if (length == 0) return true;

  // Real requests are a few short strings: those need no heap buffer.
  char small[512];
  std::unique_ptr<char[]> large;
  char* body = small;
  const auto size = static_cast<std::size_t>(length);
  if (size > sizeof small) {
    large.reset(new char[size]);
    body = large.get();
  }
  const std::size_t got = input.read(body, size);
  if (got == size) message.readBody(body, length);
  // The body holds the password in clear text.
  secureZero(body, got);
  return got == size;
}

// Writes `reply` with the body that follows the leading 4-byte size of `data` (a memory block or
// an error copy); no body when `data` is null or its size is below 4.
template <class Output>
void sendReply(Output& output, MessageBlock& reply, const char* data) {
  const char* body = nullptr;
  int length = 0;
  if (data) {
    const int32_t size = wire::getInt32(data);
    if (size >= 4) {
      body = data + 4;
      length = size - 4;
    }
  }
  reply.setBodyLength(length);
  char header[MessageBlock::kHeaderSize];
  reply.writeHeader(header);
  output.send(header, body, static_cast<std::size_t>(length));
}

void fillReply(MessageBlock& reply, const MessageBlock& request, int result) {
  reply.setMessageType(2);
  // Replies always carry command 1; peers match replies to requests by their order.
  reply.setCommand(1);
  reply.setResult(result);
  reply.setSenderId(request.getReceiverId());
  reply.setReceiverId(request.getSenderId());
}

}  // namespace

void MessageHandler::waitMessage() {
  // Both descriptors directly: no stdio buffer keeps request bytes, and each reply is one write.
  waitMessage(_fileno(stdin), _fileno(stdout));
}

void MessageHandler::waitMessage(std::FILE* in, std::FILE* out) {
  // Bytes pass unchanged in both directions: no line-ending translation, no end-of-file byte.
  setBinaryMode(in);
  setBinaryMode(out);
  StreamInput input(in);
  StreamOutput output(out);
  serveAll(input, output);
}

void MessageHandler::waitMessage(int in, int out) {
  // A process started without one of its streams has no descriptor for it: nothing to serve, and
  // the runtime must not be handed an invalid one.
  if (in < 0 || out < 0) return;
  _setmode(in, _O_BINARY);
  _setmode(out, _O_BINARY);
  DescriptorInput input(in);
  DescriptorOutput output(out);
  serveAll(input, output);
}

template <class Input, class Output>
void MessageHandler::serveAll(Input& input, Output& output) {
  for (;;) {
    // One block per request, on the stack: filled once, destroyed (values zeroed) after its reply.
    MessageBlock request;
    // A terminate message is read whole like any other, then ends the loop without a reply.
    if (!readInto(input, request) || request.getMessageType() == kTerminate) return;
    serve(output, &request);
  }
}

MessageBlock* MessageHandler::readMessage() { return readMessage(stdin); }

MessageBlock* MessageHandler::readMessage(std::FILE* in) {
  auto message = std::make_unique<MessageBlock>();
  StreamInput input(in);
  return readInto(input, *message) ? message.release() : nullptr;
}

void MessageHandler::sendMessage(MessageBlock* reply, char* data) { sendMessage(stdout, reply, data); }

void MessageHandler::sendMessage(std::FILE* out, MessageBlock* reply, char* data) {
  StreamOutput output(out);
  sendReply(output, *reply, data);
}

MessageBlock* MessageHandler::createReplyMessage(MessageBlock* request, int result) {
  auto* reply = new MessageBlock;
  fillReply(*reply, *request, result);
  return reply;
}

template <class Output>
bool MessageHandler::serve(Output& output, MessageBlock* request) {
  char* error = nullptr;
  char* payload = nullptr;
  int result = 0;
  switch (request->getCommand()) {
    case 1: result = handleValidateUser(request, &error); break;
    case 2: result = handleGetGroupList(request, &payload, &error); break;
    case 3: result = handleConnect(request, &error); break;
    case 4: result = handleGetAccessList(request, &payload, &error); break;
    case 5: result = handleAccessCheck(request, &error); break;
    case 6: result = handleIsNTFS(request, &error); break;
    case 7: result = handleGetComputerName(request, &payload, &error); break;
    case 8: result = handleGetDomainName(request, &payload, &error); break;
    case 9: result = handleDisconnect(request, &error); break;
    case 10: result = handleIsMappedDrive(request, &error); break;
    default: return false;  // no handler, no reply: the peer must not wait for one
  }
  // Only commands 2, 4, 7 and 8 can fill the payload slot, and no handler takes an error copy on
  // result 1, so this is "the block on success, else the error copy" for every command.
  char* body = result == 1 ? payload : error;
  MessageBlock reply;
  fillReply(reply, *request, result);
  sendReply(output, reply, body);
  delete[] error;
  // The block lives on the library's heap; any WinSecurity can hand it back.
  if (payload) WinSecurity().freeMemblk(payload);
  return true;
}

int MessageHandler::handleValidateUser(MessageBlock* request, char** error) {
  const Params p = readParams(*request, kUser | kPassword | kDomain);
  return runCommand<WinSecurity>(p.user, p.password, p.domain, CopyWhen::NotOne, error,
                                 [](WinSecurity& s) { return s.validateUser(); });
}

int MessageHandler::handleGetGroupList(MessageBlock* request, char** payload, char** error) {
  const Params p = readParams(*request, kUser | kPassword | kDomain);
  return runCommand<WinSecurity>(p.user, p.password, p.domain, CopyWhen::NotOne, error,
                                 [payload](WinSecurity& s) { return s.getGroupList(payload); });
}

int MessageHandler::handleConnect(MessageBlock* request, char** error) {
  const Params p = readParams(*request, kUser | kPassword | kFilepath);
  return runCommand<NetConnection>(p.user, p.password, p.filepath, CopyWhen::NotOne, error,
                                   [](NetConnection& c) { return c.connect(); });
}

int MessageHandler::handleGetAccessList(MessageBlock* request, char** payload, char** error) {
  const Params p = readParams(*request, kFilepath);
  return runCommand<WinSecurity>(nullptr, nullptr, nullptr, CopyWhen::NotOne, error,
                                 [&](WinSecurity& s) { return s.getAccessList(p.filepath, payload); });
}

int MessageHandler::handleAccessCheck(MessageBlock* request, char** error) {
  // "domain" is read with the rest, yet the logon for the access check is always made without one.
  const Params p = readParams(*request, kUser | kPassword | kDomain | kFilepath);
  return runCommand<WinSecurity>(p.user, p.password, nullptr, CopyWhen::NotOne, error,
                                 [&](WinSecurity& s) { return s.accessCheck(p.filepath); });
}

int MessageHandler::handleIsNTFS(MessageBlock* request, char** error) {
  const Params p = readParams(*request, kFilepath);
  return runCommand<WinSecurity>(nullptr, nullptr, nullptr, CopyWhen::NotOne, error,
                                 [&](WinSecurity& s) { return s.isNTFS(p.filepath); });
}

int MessageHandler::handleGetComputerName(MessageBlock* request, char** payload, char** error) {
  (void)request;
  return runCommand<WinSecurity>(nullptr, nullptr, nullptr, CopyWhen::MinusOne, error,
                                 [payload](WinSecurity& s) { return s.getComputerName(payload); });
}

int MessageHandler::handleGetDomainName(MessageBlock* request, char** payload, char** error) {
  (void)request;
  return runCommand<WinSecurity>(nullptr, nullptr, nullptr, CopyWhen::MinusOne, error,
                                 [payload](WinSecurity& s) { return s.getDomainName(payload); });
}

int MessageHandler::handleDisconnect(MessageBlock* request, char** error) {
  const Params p = readParams(*request, kFilepath);
  return runCommand<NetConnection>(nullptr, nullptr, p.filepath, CopyWhen::NotOne, error,
                                   [](NetConnection& c) { return c.disconnect(); });
}

int MessageHandler::handleIsMappedDrive(MessageBlock* request, char** error) {
  const Params p = readParams(*request, kFilepath);
  return runCommand<WinSecurity>(nullptr, nullptr, nullptr, CopyWhen::NotOne, error,
                                 [&](WinSecurity& s) { return s.isMappedDrive(p.filepath); });
}

}  // namespace winsecurity
