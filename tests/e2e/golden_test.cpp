// The golden vectors of docs/protocol-vectors.json, replayed against morvik byte for byte, and the
// vectors docs/protocol.md shows checked against that file, so the document cannot drift.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "e2e/harness.h"

namespace {

using nlohmann::json;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot read " << path;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

json vectors() { return json::parse(readFile(std::string(MORVIK_SOURCE_DIR) + "/docs/protocol-vectors.json")); }

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The reserved header bytes of every reply are undefined: compare them as zero.
std::string withoutReserved(std::string replies) {
  for (size_t at = 0; at + 32 <= replies.size();) {
    const std::string header = replies.substr(at, 32);
    int32_t length;
    std::memcpy(&length, header.data() + 12, 4);
    replies.replace(at + 24, 8, 8, '\0');
    if (length < 0) break;
    at += 32 + static_cast<size_t>(length);
  }
  return replies;
}

}  // namespace

TEST(GoldenVectors, EveryVectorGetsExactlyItsReplies) {
  const json file = vectors();
  const std::string platform = e2e::underWine() ? "wine" : "native";
  int replayed = 0;
  for (const json& v : file.at("vectors")) {
    bool applies = false;
    for (const json& p : v.at("platforms")) applies |= p.get<std::string>() == platform;
    if (!applies) continue;
    SCOPED_TRACE(v.at("name").get<std::string>());
    const e2e::Run run = e2e::runMorvik(fromHex(v.at("request")), file.at("machine").dump());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(withoutReserved(run.out), fromHex(v.at("reply")));
    ++replayed;
  }
  EXPECT_GT(replayed, 0) << "no vector for " << platform;
}

TEST(GoldenVectors, TheProtocolDocumentShowsTheVectorsOfTheDataFile) {
  const json file = vectors();
  const std::string doc = readFile(std::string(MORVIK_SOURCE_DIR) + "/docs/protocol.md");
  // Each vector shown on the page: its request in a first block, its reply in an optional second
  // one; dots stand for undefined bytes.
  const std::regex block("```hex vector=([a-z0-9-]+)\\n([^`]*)```");
  std::map<std::string, int> seen;
  int shown = 0;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), block); it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    std::string shownHex;
    for (char c : std::string((*it)[2]))
      if (std::isxdigit(static_cast<unsigned char>(c)) || c == '.') shownHex.push_back(static_cast<char>(std::tolower(c)));
    SCOPED_TRACE(name);
    const json* found = nullptr;
    for (const json& v : file.at("vectors"))
      if (v.at("name") == name) found = &v;
    ASSERT_NE(found, nullptr) << "the page shows a vector the data file lacks";
    const std::string expected = (*found).at(seen[name]++ == 0 ? "request" : "reply");
    ASSERT_LE(shownHex.size(), expected.size());
    for (size_t i = 0; i < shownHex.size(); ++i)
      if (shownHex[i] != '.') {
        ASSERT_EQ(shownHex[i], expected[i]) << "at hex digit " << i;
      }
    ++shown;
  }
  EXPECT_GE(shown, 2);
}
