#include "request/MessageHandler.h"

int main() {
  winsecurity::MessageHandler handler;
  handler.waitMessage();
  return 0;
}
