#include "security/BufferList.h"

#include <cstring>

#include "security/wire.h"

namespace winsecurity {

BufferList::BufferList() : entriesSize(0) {}

BufferList::~BufferList() {
  for (char* s : strings) delete[] s;
}

void BufferList::addString(char* string) {
  if (!string || !*string) return;
  size_t length = std::strlen(string);
  char* copy = new char[length + 1]();
  std::memcpy(copy, string, length);
  strings.push_back(copy);
  entriesSize += static_cast<int32_t>(length) + 4;
}

char* BufferList::createMemBlock() {
  const int32_t size = entriesSize + 8;
  char* block = new char[static_cast<size_t>(size)]();
  wire::putInt32(block, size);
  wire::putInt32(block + 4, static_cast<int32_t>(strings.size()));
  char* cursor = block + 8;
  for (const char* s : strings) {
    const size_t length = std::strlen(s);
    wire::putInt32(cursor, static_cast<int32_t>(length));
    std::memcpy(cursor + 4, s, length);
    cursor += 4 + length;
  }
  return block;
}

void BufferList::freeMemBlock(char* block) { delete[] block; }

int BufferList::getMemSize() { return entriesSize + 8; }

}  // namespace winsecurity
