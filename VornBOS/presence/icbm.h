// The parts of an ICBM message SNAC (0x04/0x06) that routing reads, located and checked
// against the received length once, so the handlers never read past the SNAC.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

struct IcbmMessage {
  const uint8_t* snac = nullptr;
  size_t len = 0;           // SNAC length (the FLAP data length)
  uint8_t channel = 0;      // low byte of the message channel
  size_t tl = 0;            // recipient text length
  uint32_t recipient = 0;   // leading digits of the recipient text
  size_t tlvPos = 0;        // offset of the first TLV (21 + tl)
  size_t tlvLen = 0;        // its value length n
  // The message text inside the first TLV, when the channel's layout holds one.
  bool hasText = false;
  bool textOverrun = false;  // the announced text runs past the first TLV
  size_t textLenPos = 0;     // offset of the text length field
  size_t textPos = 0;
  size_t textLen = 0;        // without the terminating NUL
};

// False when the recipient text, the first TLV or the announced text runs past the SNAC.
bool ParseIcbm(const uint8_t* snac, size_t len, IcbmMessage& m);

// Channel 2/4 inner fields: sender UIN and type + flags * 256 (needs 8 value bytes).
bool IcbmInnerHeader(const IcbmMessage& m, uint32_t& senderUin, uint16_t& typeAndFlags);

uint32_t DecimalPrefix(std::string_view text);
