// FormatMessageW for system message numbers.
#include <cstring>
#include <string>

#include "messages.h"
#include "state.h"

using namespace winsim::detail;

namespace {

constexpr DWORD kLangEnglish = 0x09;
constexpr DWORD kErrorResourceLangNotFound = 1815;

const char16_t* findText(uint32_t number) {
  // An HRESULT of the form 0x8007xxxx carries a Win32 number and gets its text.
  if ((number & 0xFFFF0000u) == 0x80070000u) number &= 0xFFFFu;
  for (size_t i = 0; i < kMessageCount; ++i)
    if (kMessages[i].number == number) return kMessages[i].text;
  return nullptr;
}

}  // namespace

extern "C" DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                       LPWSTR buffer, DWORD size, void* arguments) {
  (void)source;
  (void)arguments;
  uint32_t error;
  if (enter(__func__, &error)) {
    SetLastError(error);
    return 0;
  }
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Only the English table exists: a specific other language has no text, as on a machine
  // without that language pack. Neutral (0), user and system default search the table.
  const DWORD primaryLanguage = languageId & 0x3FF;
  if (primaryLanguage != LANG_NEUTRAL && primaryLanguage != kLangEnglish) {
    SetLastError(kErrorResourceLangNotFound);
    return 0;
  }
  const char16_t* found = findText(messageId);
  if (!found) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string text = std::u16string(found) + u"\r\n";
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* out = static_cast<WCHAR*>(allocate(state().local, (text.size() + 1) * sizeof(WCHAR), true));
    if (!out) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    *reinterpret_cast<WCHAR**>(buffer) = out;
  } else {
    if (size < text.size() + 1) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
  }
  return static_cast<DWORD>(text.size());
}
