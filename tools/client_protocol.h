// The client's side of the wire: encoding requests, decoding replies, and running a server process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace client {

using Params = std::vector<std::pair<std::string, std::string>>;

std::string encodeRequest(int32_t command, const Params& params);

struct Reply {
  int32_t messageType = 0, command = 0, result = 0, bodyLength = 0, senderId = 0, receiverId = 0;
  std::vector<std::string> strings;
};

// A running server with pipes to its standard input and output.
class Server {
 public:
  // Runs `command` through /bin/sh; an empty command runs `defaultPath`.
  Server(const std::string& command, const std::string& defaultPath);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool send(const std::string& bytes);
  // Reads one reply; false with `error` set when the server closed or answered malformed bytes.
  bool receive(Reply* reply, std::string* error);

 private:
  bool readExactly(char* buffer, size_t n);
  pid_t pid_ = -1;
  int in_ = -1;   // the server's standard input
  int out_ = -1;  // the server's standard output
};

}  // namespace client
