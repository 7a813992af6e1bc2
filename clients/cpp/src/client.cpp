// Client: requests out, replies in, over the pipes of a child process; the typed calls on top.
#include <thread>

#include "process.h"

namespace morvik {

namespace {

// A request this small fits a pipe's buffer whole, and the server has read everything sent before
// it, so writing it cannot block: no writer thread is needed.
constexpr std::size_t kInlineWrite = 4096;
// Requests a write when streaming, as a crawler would batch them.
constexpr long kPerWrite = 256;

std::string describe(const Reply& r) {
  return "result " + std::to_string(r.result) + (r.hasBody ? " with " + std::to_string(r.strings.size()) + " strings" : " without a body");
}

}  // namespace

Client::Client(const std::vector<std::string>& argv, const std::vector<std::string>& environment, Options options)
    : process_(Process::start(argv, environment)), options_(options) {}

Client::Client(const std::vector<std::string>& argv, Options options)
    : process_(Process::start(argv, std::nullopt)), options_(options) {}

Client::~Client() {
  if (process_) close();
}

long Client::pid() const { return process_ ? process_->pid() : -1; }

int Client::close() {
  if (!process_) return -1;
  process_->closeInput();
  std::optional<int> status = process_->waitExit(options_.exitWait);
  if (!status) {
    process_->kill();
    process_->waitExit(options_.exitWait);
    status = -1;
  }
  process_.reset();
  return *status;
}

int Client::terminate() {
  if (!process_) return -1;
  std::string message = encodeRequest(0, {}, kTerminate);
  process_->writeAll(message.data(), message.size());
  return close();
}

void Client::fail(Error::Kind kind, const std::string& message, int status) {
  if (process_) {
    process_->kill();
    process_->waitExit(options_.exitWait);
    process_.reset();
  }
  throw Error(kind, message, status);
}

void Client::exchange(long chunks, const std::function<std::string(long)>& chunk, long replies,
                      const std::function<void(const Header&, std::string&)>& onMessage) {
  if (!process_) throw Error(Error::Kind::Closed, "the server is no longer running: an earlier error ended it");
  Process& process = *process_;
  if (chunks <= 0) return;
  bool writeFailed = false;
  auto writeChunk = [&](std::string bytes) {
    const bool ok = process.writeAll(bytes.data(), bytes.size());
    wipe(bytes);
    return ok;
  };
  std::string first = chunk(0);
  std::thread writer;
  if (chunks == 1 && first.size() <= kInlineWrite) {
    writeFailed = !writeChunk(std::move(first));
  } else {
    writer = std::thread([&, first = std::move(first)]() mutable {
      writeFailed = !writeChunk(std::move(first));
      for (long i = 1; i < chunks && !writeFailed; ++i) writeFailed = !writeChunk(chunk(i));
    });
  }
  // Every way out of here joins the writer first; an error also ends the server, which unblocks a
  // writer stuck on a full pipe.
  auto stopWriter = [&] {
    if (writer.joinable()) writer.join();
  };
  try {
    ReplyReader reader;
    std::vector<char> buffer(1 << 16);
    Header header;
    std::string body;
    long got = 0;
    auto deadline = Clock::now() + options_.timeout;
    while (got < replies) {
      const long n = process.readSome(buffer.data(), buffer.size(), deadline);
      if (n < 0) {
        process.kill();
        stopWriter();
        fail(Error::Kind::Timeout, "no reply from the server within " + std::to_string(options_.timeout.count()) +
                                       " ms; it was killed");
      }
      if (n == 0) {
        // Its output is closed: it has ended, or is about to; one that lingers is ended here.
        std::optional<int> status = process.waitExit(options_.exitWait);
        if (!status) process.kill();
        stopWriter();
        const std::size_t pending = reader.pending();
        if (pending > 0)
          fail(Error::Kind::CutShort, "the server's output ended inside a reply (" + std::to_string(pending) +
                                          " bytes of it came)", status.value_or(-1));
        const std::string after = got > 0 ? " after " + std::to_string(got) + " of " + std::to_string(replies) + " replies" : " before it replied";
        if (status)
          fail(Error::Kind::Exited, "the server exited with status " + std::to_string(*status) + after, *status);
        fail(Error::Kind::Exited, "the server closed its output" + after + "; it was killed");
      }
      reader.append(buffer.data(), static_cast<std::size_t>(n));
      const long before = got;
      while (got < replies && reader.next(header, body)) {
        ++got;
        onMessage(header, body);
      }
      if (got > before) deadline = Clock::now() + options_.timeout;
    }
  } catch (...) {
    // A reply that is not one: the server cannot be trusted with the next request either.
    if (process_) process_->kill();
    stopWriter();
    if (process_) {
      process_->waitExit(options_.exitWait);
      process_.reset();
    }
    throw;
  }
  stopWriter();
}

std::optional<Reply> Client::request(int32_t command, const Params& params) {
  std::vector<Request> one(1);
  one[0].command = command;
  one[0].params = params;
  // The copy may hold a password: wiped on every way out.
  struct Wipe {
    Params& params;
    ~Wipe() {
      for (auto& kv : params) wipe(kv.second);
    }
  } wiped{one[0].params};
  std::vector<std::optional<Reply>> replies = requestAll(one);
  return std::move(replies.front());
}

std::vector<std::optional<Reply>> Client::requestAll(const std::vector<Request>& requests) {
  std::vector<std::optional<Reply>> out(requests.size());
  std::vector<std::size_t> answeredAt;  // which request each reply belongs to
  for (std::size_t i = 0; i < requests.size(); ++i)
    if (answered(requests[i].command)) answeredAt.push_back(i);
  const long chunks = static_cast<long>((requests.size() + kPerWrite - 1) / kPerWrite);
  auto chunk = [&](long c) {
    const std::size_t begin = static_cast<std::size_t>(c) * kPerWrite;
    const std::size_t end = std::min(requests.size(), begin + kPerWrite);
    // Reserved whole, so that no password is left behind in a buffer outgrown and freed.
    std::size_t size = 0;
    for (std::size_t i = begin; i < end; ++i) {
      size += kHeaderSize + 4;
      for (const auto& [key, value] : requests[i].params) size += 8 + key.size() + value.size();
    }
    std::string bytes;
    bytes.reserve(size);
    for (std::size_t i = begin; i < end; ++i) {
      std::string one = encodeRequest(requests[i].command, requests[i].params);
      bytes += one;
      wipe(one);
    }
    return bytes;
  };
  std::size_t next = 0;
  exchange(chunks, chunk, static_cast<long>(answeredAt.size()), [&](const Header& header, std::string& body) {
    out[answeredAt[next++]] = decodeReply(header, body);
  });
  return out;
}

void Client::pipeline(const std::vector<std::string>& encoded, long count,
                      const std::function<void(const Header&)>& onReply) {
  if (encoded.empty() || count <= 0) return;
  const long chunks = (count + kPerWrite - 1) / kPerWrite;
  auto chunk = [&](long c) {
    std::string bytes;
    for (long i = c * kPerWrite; i < std::min(count, (c + 1) * kPerWrite); ++i)
      bytes += encoded[static_cast<std::size_t>(i) % encoded.size()];
    return bytes;
  };
  long replies = 0;
  for (long i = 0; i < count; ++i) {
    const std::string& r = encoded[static_cast<std::size_t>(i) % encoded.size()];
    if (r.size() >= kHeaderSize && answered(readInt32(r.data() + 4))) ++replies;
  }
  exchange(chunks, chunk, replies, [&](const Header& header, std::string&) { onReply(header); });
}

Reply Client::typed(int32_t command, Params params) {
  std::optional<Reply> reply;
  try {
    reply = request(command, params);
  } catch (...) {
    for (auto& kv : params) wipe(kv.second);
    throw;
  }
  for (auto& kv : params) wipe(kv.second);
  if (reply->result != 1 && reply->hasBody) {
    if (std::optional<ErrorRecord> record = reply->error()) throw CommandFailed(command, std::move(*record));
    throw Error(Error::Kind::Malformed,
                "malformed reply: command " + std::to_string(command) + " answered " + describe(*reply) +
                    ", which is not an error record");
  }
  return std::move(*reply);
}

namespace {

// The parameters of a typed call, each copied once into its place: a braced list of pairs would
// leave temporary copies of the password behind, freed unwiped.
Params params(std::initializer_list<std::pair<const char*, const std::string*>> items) {
  Params out;
  out.reserve(items.size());
  for (const auto& [key, value] : items) out.emplace_back(key, *value);
  return out;
}

[[noreturn]] void unexpected(int32_t command, const Reply& r) {
  throw Error(Error::Kind::Malformed,
              "malformed reply: command " + std::to_string(command) + " does not answer " + describe(r));
}

// Commands whose only answer is success: result 1 and no body.
void expectDone(int32_t command, const Reply& r) {
  if (r.result != 1 || r.hasBody) unexpected(command, r);
}

// A yes or a no, neither with a body.
bool expectYesNo(int32_t command, const Reply& r) {
  if (r.hasBody || (r.result != 1 && r.result != 0)) unexpected(command, r);
  return r.result == 1;
}

std::string expectOne(int32_t command, const Reply& r) {
  if (r.result != 1 || r.strings.size() != 1) unexpected(command, r);
  return r.strings.front();
}

std::vector<std::string> expectList(int32_t command, Reply& r) {
  if (r.result != 1) unexpected(command, r);
  return std::move(r.strings);
}

}  // namespace

void Client::validate(const std::string& user, const std::string& password, const std::string& domain) {
  expectDone(1, typed(1, params({{"user", &user}, {"password", &password}, {"domain", &domain}})));
}

std::vector<std::string> Client::groups(const std::string& user, const std::string& password,
                                        const std::string& domain) {
  Reply r = typed(2, params({{"user", &user}, {"password", &password}, {"domain", &domain}}));
  return expectList(2, r);
}

void Client::connect(const std::string& user, const std::string& password, const std::string& share) {
  expectDone(3, typed(3, params({{"user", &user}, {"password", &password}, {"filepath", &share}})));
}

std::vector<std::string> Client::accessList(const std::string& path) {
  Reply r = typed(4, params({{"filepath", &path}}));
  return expectList(4, r);
}

bool Client::mayRead(const std::string& user, const std::string& password, const std::string& path) {
  return expectYesNo(5, typed(5, params({{"user", &user}, {"password", &password}, {"filepath", &path}})));
}

bool Client::isNtfs(const std::string& root) { return expectYesNo(6, typed(6, params({{"filepath", &root}}))); }

std::string Client::computerName() { return expectOne(7, typed(7, {})); }

std::optional<std::string> Client::domainName() {
  const Reply r = typed(8, {});
  if (r.result == 0 && !r.hasBody) return std::nullopt;
  return expectOne(8, r);
}

void Client::disconnect(const std::string& share) { expectDone(9, typed(9, params({{"filepath", &share}}))); }

bool Client::isMapped(const std::string& root) { return expectYesNo(10, typed(10, params({{"filepath", &root}}))); }

}  // namespace morvik
