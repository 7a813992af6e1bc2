#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "security/BufferList.h"
#include "support.h"

using winsecurity::BufferList;

namespace {

std::string bytes(const char* block) {
  return std::string(block, static_cast<size_t>(winsecurity::wire::getInt32(block)));
}

}  // namespace

TEST(BufferList, TwoStringsMakeTheDocumentedTwentyOneBytes) {
  BufferList list;
  list.addString(const_cast<char*>("ab"));
  list.addString(const_cast<char*>("xyz"));
  char* block = list.createMemBlock();
  const std::string expected("\x15\0\0\0\x02\0\0\0\x02\0\0\0ab\x03\0\0\0xyz", 21);
  EXPECT_EQ(bytes(block), expected);
  EXPECT_EQ(list.getMemSize(), 21);
  list.freeMemBlock(block);
}

TEST(BufferList, EmptyListGivesEightByteBlock) {
  BufferList list;
  EXPECT_EQ(list.getMemSize(), 8);
  char* block = list.createMemBlock();
  EXPECT_EQ(bytes(block), std::string("\x08\0\0\0\0\0\0\0", 8));
  list.freeMemBlock(block);
}

TEST(BufferList, NullAndEmptyStringsAreDropped) {
  BufferList list;
  list.addString(const_cast<char*>("a"));
  list.addString(nullptr);
  list.addString(const_cast<char*>(""));
  EXPECT_EQ(list.getMemSize(), 8 + 5);
  char* block = list.createMemBlock();
  EXPECT_EQ(testsupport::blockStrings(block), std::vector<std::string>{"a"});
  list.freeMemBlock(block);
}

TEST(BufferList, EachStringAddsFourPlusItsLengthAndNoTerminator) {
  BufferList list;
  int expected = 8;
  for (const char* s : {"x", "hello", "a longer string of bytes"}) {
    list.addString(const_cast<char*>(s));
    expected += 4 + static_cast<int>(std::strlen(s));
    EXPECT_EQ(list.getMemSize(), expected);
  }
  char* block = list.createMemBlock();
  const std::string all = bytes(block);
  EXPECT_EQ(static_cast<int>(all.size()), expected);
  // Zero bytes appear only inside the integer fields (all small, so their top three bytes).
  EXPECT_EQ(all.find(std::string("x\0", 2)), std::string::npos);
  list.freeMemBlock(block);
}

TEST(BufferList, StringsAreCopiedWhenAdded) {
  BufferList list;
  char buffer[] = "before";
  list.addString(buffer);
  std::strcpy(buffer, "after!");
  char* block = list.createMemBlock();
  EXPECT_EQ(testsupport::blockStrings(block), std::vector<std::string>{"before"});
  list.freeMemBlock(block);
}

TEST(BufferList, BlocksAreIndependentOfEachOtherAndOfTheList) {
  BufferList list;
  list.addString(const_cast<char*>("one"));
  list.addString(const_cast<char*>("one"));
  char* first = list.createMemBlock();
  char* second = list.createMemBlock();
  EXPECT_NE(first, second);
  EXPECT_EQ(bytes(first), bytes(second));
  list.freeMemBlock(first);
  list.addString(const_cast<char*>("two"));
  EXPECT_EQ(testsupport::blockStrings(second), (std::vector<std::string>{"one", "one"}));
  char* third = list.createMemBlock();
  EXPECT_EQ(testsupport::blockStrings(third), (std::vector<std::string>{"one", "one", "two"}));
  list.freeMemBlock(second);
  list.freeMemBlock(third);
  list.freeMemBlock(nullptr);
}
