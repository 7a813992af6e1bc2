// The platform's half of Client: a child process with pipes to its standard input and output.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "morvik/client.h"

namespace morvik {

using Clock = std::chrono::steady_clock;

struct Client::Process {
  // Starts the child; throws Error(Start). Without `environment` it gets this process's own.
  static std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                        const std::optional<std::vector<std::string>>& environment);
  virtual ~Process() = default;
  // Writes all of it, blocking; false once the child has stopped reading.
  virtual bool writeAll(const char* data, std::size_t size) = 0;
  // Reads what is there, waiting until `deadline` at most: the count, 0 at end of output, -1 when
  // the deadline passed.
  virtual long readSome(char* into, std::size_t size, Clock::time_point deadline) = 0;
  virtual void closeInput() = 0;
  // The exit status once the child has ended, waiting up to `wait`; nothing while it runs. -1 for
  // a child that did not exit normally.
  virtual std::optional<int> waitExit(std::chrono::milliseconds wait) = 0;
  virtual void kill() = 0;
  virtual long pid() const = 0;
};

}  // namespace morvik
