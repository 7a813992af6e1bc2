// The request loop of morvik: reads request messages, serves commands 1 to 10 through talvane and
// writes one reply per served request. Stateless: nothing survives from one request to the next.
#pragma once

#include <cstdio>

#include "MessageBlock.h"

namespace winsecurity {

class MessageHandler {
 public:
  // A request body longer than this ends the conversation like a body cut short: no request of
  // the protocol comes near it (four short strings and a path), and a peer's header must not make
  // the process allocate whatever it announces.
  static constexpr int kMaxBodyLength = 1 << 20;  // 1 MiB

  // Switches standard input and output to binary mode and serves requests until the input ends,
  // a message cannot be read whole, or a terminate message (type 3) arrives.
  void waitMessage();
  // The same loop over the given streams (their descriptors, if any, are switched to binary mode).
  void waitMessage(std::FILE* in, std::FILE* out);

  // One whole message from standard input (or `in`) as a new block the caller deletes; null when
  // the input ends inside the header or body, or the header announces a body length below 0 or
  // above kMaxBodyLength (nothing more is read then).
  MessageBlock* readMessage();
  MessageBlock* readMessage(std::FILE* in);

  // Writes `reply` to standard output (or `out`) with one write and one flush. The body is what
  // follows the leading 4-byte size of `data` (a memory block or an error copy); no body when
  // `data` is null or its size is below 4. Neither argument is released.
  void sendMessage(MessageBlock* reply, char* data);
  void sendMessage(std::FILE* out, MessageBlock* reply, char* data);

  // A new reply to `request` (the caller deletes it): type 2, command 1, the result, and the
  // request's sender and receiver ids swapped.
  MessageBlock* createReplyMessage(MessageBlock* request, int result);

 private:
  // Serves one request: runs its command's handler, writes the reply, releases what it produced.
  // False for a command without a handler (nothing is written).
  bool serve(std::FILE* out, MessageBlock* request);

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
