// The client side of the morvik protocol: encoding requests, decoding replies, and a Client that
// runs a morvik as a child process and talks to it over its standard input and output.
//
// Everything here is bytes in, bytes out: strings are the UTF-8 (or ANSI, where the protocol says
// so) bytes the wire carries, never converted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvik {

// Request parameters in the order they go on the wire: ("user", ...), ("password", ...), ...
using Params = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kHeaderSize = 32;
constexpr int32_t kRequest = 1;    // the message type of a request
constexpr int32_t kReply = 2;      // the message type of every reply
constexpr int32_t kTerminate = 3;  // ends the session; never answered
// A reply body larger than this is a broken server, not an answer: morvik's largest replies are a
// few memory blocks.
constexpr int32_t kMaxReplyBody = 16 * 1024 * 1024;

// The six header fields; the 8 reserved bytes are written as zeros and never read.
struct Header {
  int32_t messageType = kRequest;
  int32_t command = 0;
  int32_t result = 0;
  int32_t bodyLength = 0;
  int32_t senderId = 1;
  int32_t receiverId = 2;
};

// Whether the server answers this command at all: only 1 to 10 get a reply.
inline bool answered(int32_t command) { return command >= 1 && command <= 10; }

// Zeroes the bytes of `s` in a way the optimiser keeps, for a password or a request that held
// one; the size stays.
void wipe(std::string& s);

// --- encoding ------------------------------------------------------------------------------------

// Appends a 32-bit integer as the wire writes it: four little-endian bytes.
void appendInt32(std::string& out, int32_t value);
// Reads one at `at`; the caller has checked that four bytes are there.
int32_t readInt32(const char* at);

// The 32 header bytes, with bodyLength as given (a test may announce what it does not send).
std::string encodeHeader(const Header& header);
// A request body: the count, then each key and value with its length.
std::string encodeBody(const Params& params);
// A whole message: the header (body length filled in) and the body.
std::string encodeRequest(int32_t command, const Params& params, int32_t messageType = kRequest,
                          int32_t senderId = 1, int32_t receiverId = 2);

// --- what is not an answer -----------------------------------------------------------------------

// The server could not be talked to, or what it sent is not a reply. Its message never carries a
// request's bytes, so never a password.
class Error : public std::runtime_error {
 public:
  enum class Kind {
    Start,      // the server could not be started
    Exited,     // it ended (status() tells how) before it answered
    CutShort,   // its output ended inside a reply
    Malformed,  // the bytes are not a reply
    Timeout,    // no reply within the client's timeout; the server was killed
    Closed,     // the client was used after an earlier error ended its server
  };
  Error(Kind kind, const std::string& message, int status = -1)
      : std::runtime_error(message), kind_(kind), status_(status) {}
  Kind kind() const { return kind_; }
  // The exit status for Exited (-1 when the server did not exit normally), else -1.
  int status() const { return status_; }

 private:
  Kind kind_;
  int status_;
};

// --- decoding ------------------------------------------------------------------------------------

// A failed step as the server reports it: the library routine, the Windows call, the error number
// and Windows' text (empty when Windows has none; it ends with CR LF when present).
struct ErrorRecord {
  std::string context;
  std::string call;
  int32_t number = 0;
  std::string text;
};

struct Reply {
  int32_t messageType = kReply;
  int32_t command = 1;
  int32_t result = 0;
  int32_t senderId = 0;
  int32_t receiverId = 0;
  std::vector<std::string> strings;  // the body's string list; empty for an empty body
  bool hasBody = false;              // a string list came, even one of no strings

  // The error record when the body is one: a result other than 1 with three or four strings, the
  // third a decimal number.
  std::optional<ErrorRecord> error() const;
};

// The strings of a string list (count, then length-prefixed strings) that must fill `size` bytes
// exactly. Every read checks what is left first. Throws Error(Malformed) otherwise.
std::vector<std::string> decodeStrings(const char* data, std::size_t size);

// One reply from its 32 header bytes and its body. Throws Error(Malformed) when the header is not
// a reply's or the body not a string list.
Reply decodeReply(const Header& header, const std::string& body);

// Splits a byte stream into messages (header and body) as they become whole.
class ReplyReader {
 public:
  void append(const char* data, std::size_t size);
  // Takes the next whole message; false when none is whole yet. Throws Error(Malformed) for a body
  // length outside 0 to kMaxReplyBody. `whole`, when given, gets the message's bytes as they came,
  // reserved header bytes included.
  bool next(Header& header, std::string& body, std::string* whole = nullptr);
  // Bytes held that make no whole message yet.
  std::size_t pending() const { return buffer_.size() - at_; }

 private:
  std::string buffer_;
  std::size_t at_ = 0;
};

// The header fields of 32 bytes.
Header decodeHeader(const char* bytes);

// --- a failed command ----------------------------------------------------------------------------

// What the typed calls throw when the server answers with an error record. A real answer, unlike
// Error: the server is still there and the next request can go.
class CommandFailed : public std::runtime_error {
 public:
  CommandFailed(int32_t command, ErrorRecord record);
  int32_t command() const { return command_; }
  const ErrorRecord& record() const { return record_; }

 private:
  int32_t command_;
  ErrorRecord record_;
};

// --- the client ----------------------------------------------------------------------------------

struct Request {
  int32_t command = 0;
  Params params;
};

struct Options {
  // How long one reply may take: a Win32 call can hang (a share connect to a dead server). The
  // clock starts again with every reply, so a long pipeline is not cut short for its length.
  std::chrono::milliseconds timeout{30000};
  // How long the destructor waits for the server to end after closing its input, before it kills it.
  std::chrono::milliseconds exitWait{5000};
};

// A running server. Not copyable; one thread at a time.
class Client {
 public:
  // Starts argv[0] (with its path, or found on PATH) with the arguments and exactly the given
  // environment ("NAME=value" entries). Throws Error(Start).
  Client(const std::vector<std::string>& argv, const std::vector<std::string>& environment, Options options = {});
  // The same with this process's environment.
  explicit Client(const std::vector<std::string>& argv, Options options = {});
  // Closes the server's input, waits up to exitWait for it to end, then kills it.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // This process's environment as "NAME=value" entries, to edit and pass on.
  static std::vector<std::string> currentEnvironment();

  // Sends one request and returns its reply; nothing for a command outside 1 to 10, which the
  // server never answers (sent, but not waited for).
  std::optional<Reply> request(int32_t command, const Params& params);
  // Sends all of them while reading the replies, so neither pipe can fill up and block the other,
  // and returns one entry a request, in order (nothing where no reply comes).
  std::vector<std::optional<Reply>> requestAll(const std::vector<Request>& requests);

  // The streaming form of requestAll for long runs: `count` encoded requests, request i being
  // encoded[i % encoded.size()], each of which must be answered; `onReply` sees each reply's header
  // as it arrives (bodies are checked for their length, not decoded). The request bytes are wiped
  // once written.
  void pipeline(const std::vector<std::string>& encoded, long count, const std::function<void(const Header&)>& onReply);

  // The typed calls: a negative answer is false (or nothing), a failed step throws CommandFailed
  // with the record, and a reply that fits neither throws Error(Malformed).
  void validate(const std::string& user, const std::string& password, const std::string& domain = "");
  std::vector<std::string> groups(const std::string& user, const std::string& password,
                                  const std::string& domain = "");
  void connect(const std::string& user, const std::string& password, const std::string& share);
  std::vector<std::string> accessList(const std::string& path);
  bool mayRead(const std::string& user, const std::string& password, const std::string& path);
  bool isNtfs(const std::string& root);
  std::string computerName();
  std::optional<std::string> domainName();  // nothing on a workgroup machine
  void disconnect(const std::string& share);
  bool isMapped(const std::string& root);

  // Sends a terminate message and waits (up to exitWait) for the server to end; its exit status,
  // -1 when it did not exit normally or had to be killed.
  int terminate();
  // Closes the server's input and waits (up to exitWait, then kills it); its exit status as above.
  int close();
  // The server's process id.
  long pid() const;

  // The platform's side, defined inside the library.
  struct Process;

 private:
  std::unique_ptr<Process> process_;
  Options options_;
  // Writes request i = 0 .. count-1 (chunk(i) gives its bytes, wiped once written) while reading
  // until `replies` messages have come; each goes to `onMessage` as it arrives.
  void exchange(long count, const std::function<std::string(long)>& chunk, long replies,
                const std::function<void(const Header&, std::string&)>& onMessage);
  [[noreturn]] void fail(Error::Kind kind, const std::string& message, int status = -1);
  Reply typed(int32_t command, Params params);
};

}  // namespace morvik
