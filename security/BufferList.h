// Builder of memory blocks: one contiguous buffer holding its total size, a string count, and each
// string as a 32-bit length and its bytes (little-endian, unaligned, no terminators).
#pragma once

#include <cstdint>
#include <vector>

#include "talvane_export.h"

namespace winsecurity {

class TALVANE_EXPORT BufferList {
 public:
  BufferList();
  ~BufferList();
  BufferList(const BufferList&) = delete;
  BufferList& operator=(const BufferList&) = delete;

  // Copies the string; null and empty strings are dropped.
  void addString(char* string);
  // A new block of the strings added so far; the caller owns it and releases it with freeMemBlock
  // (or freeMemblk of WinSecurity / NetConnection). Never null.
  char* createMemBlock();
  void freeMemBlock(char* block);
  // The total size a block made now would have.
  int getMemSize();

 private:
  int32_t entriesSize;
  std::vector<char*> strings;
};

}  // namespace winsecurity
