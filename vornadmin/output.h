// Output for people (plain text) and for scripts (--json): a small JSON writer.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vornadmin {

// A JSON string. Profile values are 8-bit text in the clients' code page; bytes of 0x80 and
// above are written as the code points U+0080 to U+00FF.
std::string JsonString(const std::string& s);

// A JSON object built field by field, in order.
class JsonObject {
 public:
  JsonObject& Str(const std::string& key, const std::string& value);
  JsonObject& Num(const std::string& key, uint64_t value);
  JsonObject& Bool(const std::string& key, bool value);
  JsonObject& Raw(const std::string& key, const std::string& json);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

std::string JsonArray(const std::vector<std::string>& items);

}  // namespace vornadmin
