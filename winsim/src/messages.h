#pragma once

#include <cstddef>
#include <cstdint>

namespace winsim::detail {

struct MessageText {
  uint32_t number;
  const char16_t* text;  // without the trailing CR LF
};
extern const MessageText kMessages[];
extern const size_t kMessageCount;

}  // namespace winsim::detail
