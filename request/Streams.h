// The request loop's byte sources and sinks: stdio streams, for callers that hand the loop a FILE*
// and go on using it, and bare descriptors, which the process itself serves.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

#include "request/MessageBlock.h"
#include "security/SecureZero.h"
#include "security/win32.h"

namespace winsecurity {

// Exact reads through stdio: nothing is taken from the stream beyond the bytes asked for.
class StreamInput {
 public:
  explicit StreamInput(std::FILE* in) : in(in) {}
  // Up to `size` bytes into `out`; fewer only at the end of input or on an error.
  std::size_t read(char* out, std::size_t size) { return std::fread(out, 1, size, in); }

 private:
  std::FILE* in;
};

// Reads a descriptor through a buffer of its own, as much as one read gives, and zeroes each byte
// as it hands it on and whatever is left at the end: stdio's buffer would instead keep a request's
// password until later input happened to overwrite it. It reads ahead of the messages asked for.
class DescriptorInput {
 public:
  explicit DescriptorInput(int fd) : fd(fd), buffer(new char[kCapacity]) {}
  // All of it: the bytes never handed on, and the rest, which may still hold whatever the
  // allocator's previous owner of this memory left there.
  ~DescriptorInput() { secureZero(buffer.get(), kCapacity); }
  DescriptorInput(const DescriptorInput&) = delete;
  DescriptorInput& operator=(const DescriptorInput&) = delete;

  // Up to `size` bytes into `out`; fewer only at the end of input or on a failed read.
  std::size_t read(char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      if (begin == end && !fill()) break;
      const std::size_t n = std::min(size - done, end - begin);
      std::memcpy(out + done, buffer.get() + begin, n);
      secureZero(buffer.get() + begin, n);
      begin += n;
      done += n;
    }
    return done;
  }

 private:
  // One read of what is there (a pipe gives what the peer has written so far).
  bool fill() {
    begin = end = 0;
    const int got = _read(fd, buffer.get(), kCapacity);
    if (got <= 0) return false;
    end = static_cast<std::size_t>(got);
    return true;
  }

  // A pipe's worth: a peer's batch of requests arrives in one read.
  static constexpr unsigned kCapacity = 1u << 16;
  int fd;
  std::unique_ptr<char[]> buffer;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Each reply goes into the stream's buffer and leaves with one flush.
class StreamOutput {
 public:
  explicit StreamOutput(std::FILE* out) : out(out) {}
  void send(const char* header, const char* body, std::size_t length) {
    std::fwrite(header, 1, MessageBlock::kHeaderSize, out);
    if (length > 0) std::fwrite(body, 1, length, out);
    std::fflush(out);
  }

 private:
  std::FILE* out;
};

// Each reply in one write of its own where it fits the local buffer (all but a very long list).
class DescriptorOutput {
 public:
  explicit DescriptorOutput(int fd) : fd(fd) {}
  void send(const char* header, const char* body, std::size_t length) {
    char whole[4096];
    if (length <= sizeof whole - MessageBlock::kHeaderSize) {
      std::memcpy(whole, header, MessageBlock::kHeaderSize);
      if (length > 0) std::memcpy(whole + MessageBlock::kHeaderSize, body, length);
      writeAll(whole, MessageBlock::kHeaderSize + length);
      return;
    }
    writeAll(header, MessageBlock::kHeaderSize);
    writeAll(body, length);
  }

 private:
  // A failed write is not retried: the peer that stopped reading has no use for the rest, and the
  // loop ends when its input does, as it would behind a stdio stream.
  void writeAll(const char* data, std::size_t size) {
    while (size > 0) {
      const int done = _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
      if (done <= 0) return;
      data += done;
      size -= static_cast<std::size_t>(done);
    }
  }

  int fd;
};

}  // namespace winsecurity
