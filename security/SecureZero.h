// Zeroing that the optimiser may not drop even though the memory is released right after: request
// bodies, parameter values and the library's credential copies carry passwords, which must not
// outlive the request in freed memory.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace winsecurity {

inline void secureZero(void* data, std::size_t size) {
  if (size == 0) return;
  std::memset(data, 0, size);
  // The empty statement claims to read the memory, so the stores above are not dead to the
  // optimiser; a whole memset stays far cheaper than a volatile loop over each byte.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

// Zeroes the characters in place; the size stays.
inline void secureZero(std::string& s) {
  if (!s.empty()) secureZero(&s[0], s.size());
}

}  // namespace winsecurity
