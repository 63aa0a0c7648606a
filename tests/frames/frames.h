// Whole-frame checks: every frame a handler queues is compared with bytes written out by hand
// (hex text below each case), never with bytes made by the code being tested.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "VornBOS/dispatcher.h"
#include "tests/bos/bos_fixture.h"

namespace frames {

using Bytes = std::vector<uint8_t>;

// "2A 02 01 00" → bytes; blanks, line breaks and '|' separate nothing; 'text' in single
// quotes stands for its ASCII bytes.
inline Bytes Hex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    char ch = text[i];
    if (ch == '\'') {
      size_t end = text.find('\'', i + 1);
      out.insert(out.end(), text.begin() + static_cast<long>(i) + 1, text.begin() + static_cast<long>(end));
      i = end;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(ch))) continue;
    int v = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::tolower(ch) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  EXPECT_EQ(high, -1) << "odd number of hex digits in: " << text;
  return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Hex text of a frame, for failure messages.
inline std::string Dump(const Bytes& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += (i % 16 == 0) ? '\n' : ' ';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 15];
  }
  return s;
}

class FrameTest : public BosUnit {
 protected:
  // The frames queued on a session since the last call, each whole (header included).
  static std::vector<Bytes> Sent(ClientInfo& c) {
    std::vector<Bytes> out;
    for (const FlapFrame& f : c.sendQueue) out.push_back(f.data);
    c.sendQueue.clear();
    return out;
  }
  // Hands a received frame to the real dispatcher, as the event loop does.
  static void Dispatch(ClientInfo& c, const Bytes& data, uint8_t channel = 2) {
    Receive(c, data, channel);
    c.in.waitBytes = 0;
    ReadFLAP(c);
  }
  static void ExpectFrames(const std::vector<Bytes>& got, const std::vector<Bytes>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(got[i], want[i]) << what << ", frame " << i << "\n got:\n" << Dump(got[i]) << "\n want:\n" << Dump(want[i]);
  }
};

}  // namespace frames
