// MessageBlock: header and body decoding, reply encoding, the diagnostic text. Every body is decoded
// from a heap buffer of exactly its own size, so that the sanitizer build catches any read past it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "request/MessageBlock.h"
#include "support.h"

using testsupport::le;
using testsupport::item;

using winsecurity::MessageBlock;
using Map = std::map<std::string, std::string>;

namespace {

// Decodes `body` from a buffer holding exactly its bytes.
Map decode(const std::string& body) {
  std::unique_ptr<char[]> exact(new char[body.size()]);
  std::memcpy(exact.get(), body.data(), body.size());
  MessageBlock block;
  block.readBody(exact.get(), static_cast<int>(body.size()));
  return block.getParams();
}

// The 55-byte request for command 6 with "filepath" = "C:\" from sender 5 to receiver 9, written out
// byte by byte.
const unsigned char kNtfsRequest[55] = {
    1, 0, 0, 0,  6, 0, 0, 0,  0, 0, 0, 0,  23, 0, 0, 0,  5, 0, 0, 0,  9, 0, 0, 0,  // header
    0, 0, 0, 0,  0, 0, 0, 0,                                                      // reserved
    1, 0, 0, 0,                                                                   // count
    8, 0, 0, 0,  'f', 'i', 'l', 'e', 'p', 'a', 't', 'h',                          // key
    3, 0, 0, 0,  'C', ':', '\\'};                                                 // value

}  // namespace

TEST(MessageBlock, FreshBlockIsAllZeroWithNoParameters) {
  MessageBlock block;
  EXPECT_EQ(block.getMessageType(), 0);
  EXPECT_EQ(block.getCommand(), 0);
  EXPECT_EQ(block.getResult(), 0);
  EXPECT_EQ(block.getBodyLength(), 0);
  EXPECT_EQ(block.getSenderId(), 0);
  EXPECT_EQ(block.getReceiverId(), 0);
  EXPECT_TRUE(block.getParams().empty());
}

TEST(MessageBlock, DecodesTheWorkedCommand6Request) {
  std::unique_ptr<char[]> bytes(new char[sizeof kNtfsRequest]);
  std::memcpy(bytes.get(), kNtfsRequest, sizeof kNtfsRequest);
  MessageBlock block;
  block.readHeader(bytes.get());
  EXPECT_EQ(block.getMessageType(), 1);
  EXPECT_EQ(block.getCommand(), 6);
  EXPECT_EQ(block.getResult(), 0);
  EXPECT_EQ(block.getBodyLength(), 23);
  EXPECT_EQ(block.getSenderId(), 5);
  EXPECT_EQ(block.getReceiverId(), 9);
  block.readBody(bytes.get() + MessageBlock::kHeaderSize);  // decodes getBodyLength() bytes
  EXPECT_EQ(block.getParams(), (Map{{"filepath", "C:\\"}}));
}

TEST(MessageBlock, EncodesTheWorkedCommand6RequestByteForByte) {
  MessageBlock block;
  block.setMessageType(1);
  block.setCommand(6);
  block.setSenderId(5);
  block.setReceiverId(9);
  std::string body(reinterpret_cast<const char*>(kNtfsRequest) + 32, 23);
  std::unique_ptr<char[]> message(block.createMessage(body.data(), 23));
  EXPECT_EQ(std::string(message.get(), 55), std::string(reinterpret_cast<const char*>(kNtfsRequest), 55));
  EXPECT_EQ(block.getBodyLength(), 23);
}

TEST(MessageBlock, EncodesTheWorkedTwoStringReply) {
  // The 24-byte memory block of "abc" and "hello"; the reply body is the block after its size.
  const std::string memoryBlock = le(24) + le(2) + item("abc") + item("hello");
  ASSERT_EQ(memoryBlock.size(), 24u);
  MessageBlock reply;
  reply.setMessageType(2);
  reply.setCommand(1);
  reply.setResult(1);
  reply.setSenderId(9);
  reply.setReceiverId(5);
  std::string body = memoryBlock.substr(4);
  std::unique_ptr<char[]> message(reply.createMessage(body.data(), 20));
  const std::string expected = le(2) + le(1) + le(1) + le(20) + le(9) + le(5) + std::string(8, '\0') + body;
  ASSERT_EQ(expected.size(), 52u);
  EXPECT_EQ(std::string(message.get(), 52), expected);
  EXPECT_EQ(reply.getBodyLength(), 20);
}

TEST(MessageBlock, CreateMessageWithoutBodyIsABareHeader) {
  for (const int length : {0, -1, INT_MIN}) {
    SCOPED_TRACE(length);
    MessageBlock block;
    block.setBodyLength(77);
    block.setResult(-1);
    // The body is never touched without a positive length: null is fine.
    std::unique_ptr<char[]> message(block.createMessage(nullptr, length));
    EXPECT_EQ(std::string(message.get(), 32), le(0) + le(0) + le(-1) + le(0) + le(0) + le(0) + std::string(8, '\0'));
    EXPECT_EQ(block.getBodyLength(), 0);
  }
}

TEST(MessageBlock, ReadHeaderAcceptsAnyValuesAndIgnoresTheReservedBytes) {
  const struct {
    int32_t fields[6];
    char reserved;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0}, '\0'},
      {{3, -1, INT_MIN, INT_MAX, -7, 0x01020304}, '\xff'},
      {{INT_MIN, INT_MAX, 1, -1, INT_MAX, INT_MIN}, '\x5a'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields[0]);
    std::string header;
    for (const int32_t f : c.fields) header += le(f);
    header += std::string(8, c.reserved);
    MessageBlock block;
    block.readHeader(header.data());
    EXPECT_EQ(block.getMessageType(), c.fields[0]);
    EXPECT_EQ(block.getCommand(), c.fields[1]);
    EXPECT_EQ(block.getResult(), c.fields[2]);
    EXPECT_EQ(block.getBodyLength(), c.fields[3]);
    EXPECT_EQ(block.getSenderId(), c.fields[4]);
    EXPECT_EQ(block.getReceiverId(), c.fields[5]);
  }
}

TEST(MessageBlock, DebugMessageOfAFreshBlockIs78CharactersThenZeros) {
  MessageBlock block;
  std::unique_ptr<char[]> text(block.debugMessage());
  const std::string expected = "MessageType:0 \nHeader\nCommand:0\nResult:0\nbodyLength:0\nsenderId:0\nreceiverId:0\n";
  ASSERT_EQ(expected.size(), 78u);
  EXPECT_EQ(std::string(text.get(), 78), expected);
  EXPECT_EQ(std::string(text.get() + 78, 256 - 78), std::string(256 - 78, '\0'));
}

TEST(MessageBlock, DebugMessageOfTheLongestHeaderFits) {
  MessageBlock block;
  block.setMessageType(INT_MIN);
  block.setCommand(INT_MIN);
  block.setResult(INT_MIN);
  block.setBodyLength(INT_MIN);
  block.setSenderId(INT_MIN);
  block.setReceiverId(INT_MIN);
  std::unique_ptr<char[]> text(block.debugMessage());
  const std::string m = "-2147483648";
  const std::string expected = "MessageType:" + m + " \nHeader\nCommand:" + m + "\nResult:" + m + "\nbodyLength:" + m +
                               "\nsenderId:" + m + "\nreceiverId:" + m + "\n";
  EXPECT_EQ(expected.size(), 138u);
  EXPECT_EQ(std::string(text.get()), expected);
  EXPECT_EQ(text[255], '\0');
}

TEST(MessageBlock, GetParamsReturnsACopy) {
  MessageBlock block;
  const std::string body = le(1) + item("user") + item("alice");
  block.readBody(body.data(), static_cast<int>(body.size()));
  Map copy = block.getParams();
  copy["user"] = "mallory";
  copy["extra"] = "x";
  EXPECT_EQ(block.getParams(), (Map{{"user", "alice"}}));
}

TEST(MessageBlock, DecodesWellFormedBodies) {
  const std::string pair = item("user") + item("alice");
  const struct {
    const char* name;
    std::string body;
    Map expected;
  } cases[] = {
      {"count 0", le(0) + pair, {}},
      {"negative count", le(-1) + pair, {}},
      {"count INT_MIN", le(INT_MIN) + pair, {}},
      {"four keys", le(4) + item("user") + item("u") + item("password") + item("p") + item("domain") + item("d") +
                        item("filepath") + item("C:\\x"),
       {{"user", "u"}, {"password", "p"}, {"domain", "d"}, {"filepath", "C:\\x"}}},
      {"repeated key keeps its first value", le(3) + pair + item("user") + item("bob") + item("user") + item(""),
       {{"user", "alice"}}},
      {"zero byte cuts a value; the next pair follows its last byte",
       le(2) + item("user") + item(std::string("a\0b", 3)) + item("domain") + item("d"),
       {{"user", "a"}, {"domain", "d"}}},
      {"zero byte cuts a key", le(1) + item(std::string("user\0zz", 7)) + item("v"), {{"user", "v"}}},
      {"value of only zero bytes is empty", le(1) + item("user") + item(std::string(3, '\0')), {{"user", ""}}},
      {"empty key and empty value", le(2) + item("") + item("v") + item("k") + item(""), {{"", "v"}, {"k", ""}}},
      {"bytes after the last pair are ignored", le(1) + pair + "trailing garbage" + le(-1), {{"user", "alice"}}},
      {"bytes are kept as they are", le(1) + item("user") + item("\xc3\xa9\xff\x01"), {{"user", "\xc3\xa9\xff\x01"}}},
      {"keys match byte for byte", le(2) + item("User") + item("x") + item("user") + item("y"),
       {{"User", "x"}, {"user", "y"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.body), c.expected);
  }
}

TEST(MessageBlock, ReadBodyAddsToTheMapWithoutClearingIt) {
  MessageBlock block;
  const std::string first = le(1) + item("user") + item("alice");
  const std::string second = le(2) + item("user") + item("bob") + item("domain") + item("CORP");
  block.readBody(first.data(), static_cast<int>(first.size()));
  block.readBody(second.data(), static_cast<int>(second.size()));
  EXPECT_EQ(block.getParams(), (Map{{"user", "alice"}, {"domain", "CORP"}}));
}

// Bodies outside the format: decoding stops at the fault, keeps the pairs before it, and never reads
// a byte outside the body (the sanitizer build would stop on that).
TEST(MessageBlock, MalformedBodiesKeepThePairsBeforeTheFault) {
  const std::string pair = item("user") + item("alice");
  const Map kept{{"user", "alice"}};
  const struct {
    const char* name;
    std::string body;
    Map expected;
  } cases[] = {
      {"empty body", "", {}},
      {"body of 1 byte", "\x01", {}},
      {"body of 3 bytes", std::string("\x01\x00\x00", 3), {}},
      {"count with nothing after it", le(1), {}},
      {"count INT_MAX, one pair", le(INT_MAX) + pair, kept},
      {"key length cut short", le(2) + pair + std::string("\x04\x00", 2), kept},
      {"negative key length", le(2) + pair + le(-1) + "domain", kept},
      {"key length INT_MIN", le(2) + pair + le(INT_MIN) + "domain", kept},
      {"key length INT_MAX", le(2) + pair + le(INT_MAX) + "domain", kept},
      {"key runs past the body by one byte", le(2) + pair + le(7) + "domain", kept},
      {"value length missing", le(2) + pair + item("domain"), kept},
      {"negative value length", le(2) + pair + item("domain") + le(-1) + "CORP", kept},
      {"value length INT_MAX", le(2) + pair + item("domain") + le(INT_MAX) + "CORP", kept},
      {"value runs past the body by one byte", le(2) + pair + item("domain") + le(5) + "CORP", kept},
      {"first key already broken", le(1) + le(-4) + pair, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.body), c.expected);
  }
}

TEST(MessageBlock, ReadBodyDecodesOnlyTheAnnouncedBodyLength) {
  // The buffer holds two pairs; the header says the body ends after the first.
  const std::string first = le(2) + item("user") + item("alice");
  const std::string body = first + item("domain") + item("CORP");
  const struct {
    int bodyLength;
    Map expected;
  } cases[] = {
      {static_cast<int>(body.size()), {{"user", "alice"}, {"domain", "CORP"}}},
      {static_cast<int>(first.size()), {{"user", "alice"}}},
      {static_cast<int>(first.size()) - 1, {}},
      {3, {}},
      {0, {}},
      {-1, {}},
      {INT_MIN, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bodyLength);
    std::string bytes = body;
    MessageBlock block;
    block.setBodyLength(c.bodyLength);
    block.readBody(bytes.data());
    EXPECT_EQ(block.getParams(), c.expected);
  }
}
