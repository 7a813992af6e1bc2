// The request loop of morvik: reads request messages, serves commands 1 to 10 through talvane and
// writes one reply per served request. Stateless: nothing survives from one request to the next.
#pragma once

#include <cstdio>

#include "request/MessageBlock.h"

namespace winsecurity {

class MessageHandler {
 public:
  // A request body longer than this ends the conversation like a body cut short: no request of
  // the protocol comes near it (four short strings and a path), and a peer's header must not make
  // the process allocate whatever it announces.
  static constexpr int kMaxBodyLength = 1 << 20;  // 1 MiB

  // Serves requests on standard input and output until the input ends, a message cannot be read
  // whole, or a terminate message (type 3) arrives; the descriptors are used as by
  // waitMessage(int, int).
  void waitMessage();
  // The same loop over the given streams (their descriptors, if any, are switched to binary mode).
  // It reads exactly the messages it serves: the stream is left just after the last one.
  void waitMessage(std::FILE* in, std::FILE* out);
  // The same loop over two descriptors (switched to binary mode), without stdio: input is read
  // ahead through a buffer of the loop's own that it zeroes as it hands bytes on and when it ends
  // (request bytes carry passwords), so it may consume input past the message that ends the loop;
  // each reply is one write where it fits 4 KiB. Returns at once if either descriptor is negative.
  void waitMessage(int in, int out);

  // One whole message from standard input (or `in`) as a new block the caller deletes; null when
  // the input ends inside the header or body, or the header announces a body length below 0 or
  // above kMaxBodyLength (nothing more is read then).
  MessageBlock* readMessage();
  MessageBlock* readMessage(std::FILE* in);

  // Writes `reply` to standard output (or `out`) and flushes once; sets the reply's body length.
  // The body is what follows the leading 4-byte size of `data` (a memory block or an error copy);
  // no body when `data` is null or its size is below 4. Neither argument is released.
  void sendMessage(MessageBlock* reply, char* data);
  void sendMessage(std::FILE* out, MessageBlock* reply, char* data);

  // A new reply to `request` (the caller deletes it): type 2, command 1, the result, and the
  // request's sender and receiver ids swapped.
  MessageBlock* createReplyMessage(MessageBlock* request, int result);

 private:
  // Reads and serves requests until the loop ends (sources and sinks: Streams.h).
  template <class Input, class Output>
  void serveAll(Input& input, Output& output);
  // Serves one request: runs its command's handler, writes the reply, releases what it produced.
  // False for a command without a handler (nothing is written).
  template <class Output>
  bool serve(Output& output, MessageBlock* request);

  int handleValidateUser(MessageBlock* request, char** error);
  int handleGetGroupList(MessageBlock* request, char** payload, char** error);
  int handleConnect(MessageBlock* request, char** error);
  int handleGetAccessList(MessageBlock* request, char** payload, char** error);
  int handleAccessCheck(MessageBlock* request, char** error);
  int handleIsNTFS(MessageBlock* request, char** error);
  int handleGetComputerName(MessageBlock* request, char** payload, char** error);
  int handleGetDomainName(MessageBlock* request, char** payload, char** error);
  int handleDisconnect(MessageBlock* request, char** error);
  int handleIsMappedDrive(MessageBlock* request, char** error);
};

}  // namespace winsecurity
