#include "client_protocol.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace client {
namespace {

void putInt32(std::string* out, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}

int32_t getInt32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24));
}

// Replies are never larger than a few memory blocks; anything beyond this is a broken server.
constexpr int32_t kMaxReplyBody = 16 * 1024 * 1024;

}  // namespace

std::string encodeRequest(int32_t command, const Params& params) {
  std::string body;
  putInt32(&body, static_cast<int32_t>(params.size()));
  for (const auto& [key, value] : params) {
    putInt32(&body, static_cast<int32_t>(key.size()));
    body += key;
    putInt32(&body, static_cast<int32_t>(value.size()));
    body += value;
  }
  std::string message;
  putInt32(&message, 1);  // a request
  putInt32(&message, command);
  putInt32(&message, 0);
  putInt32(&message, static_cast<int32_t>(body.size()));
  putInt32(&message, 1);  // sender: the client
  putInt32(&message, 2);  // receiver: the server
  message.append(8, '\0');
  return message + body;
}

Server::Server(const std::string& command, const std::string& defaultPath) {
  int toServer[2], fromServer[2];
  if (pipe(toServer) != 0 || pipe(fromServer) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(toServer[0], 0);
    dup2(fromServer[1], 1);
    close(toServer[0]);
    close(toServer[1]);
    close(fromServer[0]);
    close(fromServer[1]);
    if (command.empty())
      execl(defaultPath.c_str(), defaultPath.c_str(), static_cast<char*>(nullptr));
    else
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toServer[0]);
  close(fromServer[1]);
  in_ = toServer[1];
  out_ = fromServer[0];
  signal(SIGPIPE, SIG_IGN);  // a server that died shows as a failed write, not as our death
}

Server::~Server() {
  if (in_ >= 0) close(in_);  // end of input: the server's loop ends
  if (out_ >= 0) close(out_);
  if (pid_ > 0) {
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Server::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Server::readExactly(char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = read(out_, buffer + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool Server::receive(Reply* reply, std::string* error) {
  char header[32];
  if (out_ < 0 || !readExactly(header, sizeof header)) {
    *error = "the server stopped before replying";
    return false;
  }
  reply->messageType = getInt32(header);
  reply->command = getInt32(header + 4);
  reply->result = getInt32(header + 8);
  reply->bodyLength = getInt32(header + 12);
  reply->senderId = getInt32(header + 16);
  reply->receiverId = getInt32(header + 20);
  reply->strings.clear();
  if (reply->bodyLength < 0 || reply->bodyLength > kMaxReplyBody) {
    *error = "reply announces a body of " + std::to_string(reply->bodyLength) + " bytes";
    return false;
  }
  std::string body(static_cast<size_t>(reply->bodyLength), '\0');
  if (!readExactly(body.data(), body.size())) {
    *error = "the server closed its output inside a reply body";
    return false;
  }
  if (reply->messageType != 2 || reply->command != 1) {
    *error = "not a reply (message type " + std::to_string(reply->messageType) + ", command " +
             std::to_string(reply->command) + ")";
    return false;
  }
  if (body.empty()) return true;
  if (body.size() < 4) {
    *error = "reply body shorter than its count";
    return false;
  }
  const int32_t count = getInt32(body.data());
  size_t at = 4;
  for (int32_t i = 0; i < count; ++i) {
    if (body.size() - at < 4) {
      *error = "reply body cut inside string " + std::to_string(i);
      return false;
    }
    const int32_t n = getInt32(body.data() + at);
    at += 4;
    if (n < 0 || static_cast<size_t>(n) > body.size() - at) {
      *error = "reply string " + std::to_string(i) + " runs past the body";
      return false;
    }
    reply->strings.emplace_back(body.data() + at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
  }
  if (count < 0 || at != body.size()) {
    *error = "reply body does not match its count";
    return false;
  }
  return true;
}

}  // namespace client
