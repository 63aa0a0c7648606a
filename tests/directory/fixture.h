// A temporary data directory, a logged-in session and helpers to build meta requests and read
// the replies queued on the session.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "VornBOS/directory/handlers.h"
#include "VornBOS/session.h"

// One queued reply: its subtype, result and the data after the result byte.
struct Reply {
  std::vector<uint8_t> frame;
  uint16_t subtype = 0;
  uint8_t result = 0;
  std::vector<uint8_t> data;
};

// Builds subtype data with little-endian numbers and meta strings.
class Req {
 public:
  Req& u8(uint8_t v) { return b_.push_back(v), *this; }
  Req& le16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
  Req& le32(uint32_t v) { return le16(static_cast<uint16_t>(v)).le16(static_cast<uint16_t>(v >> 16)); }
  Req& raw(const std::string& s) { return b_.insert(b_.end(), s.begin(), s.end()), *this; }
  Req& str(const std::string& s) { return le16(static_cast<uint16_t>(s.size() + 1)).raw(s).u8(0); }
  // A name-search TLV holding a meta string.
  Req& tlvStr(uint16_t type, const std::string& s) {
    return le16(type).le16(static_cast<uint16_t>(s.size() + 3)).str(s);
  }
  std::vector<uint8_t>& bytes() { return b_; }

 private:
  std::vector<uint8_t> b_;
};

class DirectoryTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kSelf = 1000;

  void SetUp() override;
  void TearDown() override;

  // Calls a handler with the given subtype data and returns the replies it queued.
  std::vector<Reply> Call(void (*handler)(const MetaRequest&), uint16_t subtype,
                          const std::vector<uint8_t>& data);
  // Writes a user file with the given lines.
  void WriteFile(const std::string& name, const std::string& text);
  std::string FileText(uint32_t uin);
  std::string Value(uint32_t uin, const char* section, const char* key);
  std::string LogText();

  std::string dir_;
  ClientInfo client_;
};

// Reads the meta strings and numbers of a reply's data.
class ReplyReader {
 public:
  explicit ReplyReader(std::vector<uint8_t> d) : d_(std::move(d)) {}
  uint8_t u8() { return pos_ < d_.size() ? d_[pos_++] : (bad_ = true, 0); }
  uint16_t le16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t le32() { return le16() | (static_cast<uint32_t>(le16()) << 16); }
  std::string str();
  bool atEnd() const { return pos_ == d_.size() && !bad_; }
  size_t pos() const { return pos_; }

 private:
  std::vector<uint8_t> d_;
  size_t pos_ = 0;
  bool bad_ = false;
};
