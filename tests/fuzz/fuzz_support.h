// What the fuzz targets share: a check that stops the run so that libFuzzer keeps the input, and
// the wire format read independently of request/ (a decoder checked against itself proves nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace fuzzsupport {

// A broken invariant is a finding: say which, then abort so libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void require(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline int32_t le32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                              (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24));
}

inline void appendLe32(std::string& out, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

using Params = std::map<std::string, std::string>;

// The parameter map a request body decodes to: pairs in order, the first occurrence of a key kept,
// each key and value cut at its first zero byte, decoding ended (keeping what came before) by a
// count or length that is negative or runs past the body. A body shorter than its count is empty.
inline Params decodeBody(const uint8_t* data, std::size_t size) {
  Params out;
  if (size < 4) return out;
  const int32_t count = le32(data);
  std::size_t at = 4;
  auto item = [&](std::string* text) {
    if (size - at < 4) return false;
    const int32_t n = le32(data + at);
    at += 4;
    if (n < 0 || static_cast<std::size_t>(n) > size - at) return false;
    const std::string raw(reinterpret_cast<const char*>(data + at), static_cast<std::size_t>(n));
    *text = raw.substr(0, raw.find('\0'));
    at += static_cast<std::size_t>(n);
    return true;
  };
  for (int32_t i = 0; i < count; ++i) {
    std::string key, value;
    if (!item(&key) || !item(&value)) break;
    out.emplace(std::move(key), std::move(value));
  }
  return out;
}

// A well-formed body carrying `params`.
inline std::string encodeBody(const Params& params) {
  std::string body;
  appendLe32(body, static_cast<int32_t>(params.size()));
  for (const auto& [key, value] : params) {
    appendLe32(body, static_cast<int32_t>(key.size()));
    body += key;
    appendLe32(body, static_cast<int32_t>(value.size()));
    body += value;
  }
  return body;
}

// The strings of a string-list body (count, then length-prefixed strings, filling it exactly);
// false when the body is not exactly that.
inline bool parseStringList(const uint8_t* data, std::size_t size, std::vector<std::string>* out) {
  out->clear();
  if (size < 4) return false;
  const int32_t count = le32(data);
  if (count < 0) return false;
  std::size_t at = 4;
  for (int32_t i = 0; i < count; ++i) {
    if (size - at < 4) return false;
    const int32_t n = le32(data + at);
    at += 4;
    if (n < 0 || static_cast<std::size_t>(n) > size - at) return false;
    out->emplace_back(reinterpret_cast<const char*>(data + at), static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
  }
  return at == size;
}

}  // namespace fuzzsupport
