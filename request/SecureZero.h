// Zeroing that the optimiser may not drop even though the memory is released right after: request
// bodies and parameter values carry passwords, which must not outlive the request in freed memory.
#pragma once

#include <cstddef>
#include <string>

namespace winsecurity {

inline void secureZero(void* data, std::size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size--) *p++ = 0;
}

// Zeroes the characters in place; the size stays.
inline void secureZero(std::string& s) {
  if (!s.empty()) secureZero(&s[0], s.size());
}

}  // namespace winsecurity
