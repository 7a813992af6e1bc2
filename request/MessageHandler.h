#pragma once

namespace winsecurity {

class MessageHandler {
 public:
  void waitMessage();
};

}  // namespace winsecurity
