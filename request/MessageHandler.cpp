#include "MessageHandler.h"

namespace winsecurity {

void MessageHandler::waitMessage() {}

}  // namespace winsecurity
