// Little-endian, unaligned 32-bit integers: the one place that fixes the byte order of the wire
// format and of memory blocks.
#pragma once

#include <cstdint>

namespace winsecurity::wire {

inline void putInt32(char* at, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  at[0] = static_cast<char>(v & 0xFF);
  at[1] = static_cast<char>((v >> 8) & 0xFF);
  at[2] = static_cast<char>((v >> 16) & 0xFF);
  at[3] = static_cast<char>((v >> 24) & 0xFF);
}

inline int32_t getInt32(const char* at) {
  const auto* b = reinterpret_cast<const unsigned char*>(at);
  return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                              (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24));
}

}  // namespace winsecurity::wire
