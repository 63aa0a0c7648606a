#include "VornBOS/templates.h"

#include <initializer_list>
#include <utility>

#include "server-core/flap.h"
#include "server-core/wire.h"

std::vector<uint8_t> SnacTemplate(uint16_t family, uint16_t subtype, const std::vector<uint8_t>& body) {
  WireWriter w(body.size() + 10);
  w.be16(family).be16(subtype).be16(0).be32(0).bytes(body.data(), body.size());
  return MakeTemplate(2, w.buffer());
}

namespace {

std::vector<uint8_t> Tlv16s(std::initializer_list<std::pair<uint16_t, uint16_t>> tlvs) {
  WireWriter w;
  for (auto [type, value] : tlvs) w.tlv16(type, value);
  return w.buffer();
}

struct RateClass {
  uint16_t id;
  uint32_t window, clear, alert, limit, disconnect, current, maximum, lastTime;
};

constexpr RateClass kRateClasses[] = {
    {1, 80, 2500, 2000, 1500, 800, 5861, 6000, 0},
    {2, 80, 3000, 2000, 1500, 1000, 6000, 6000, 836},
    {3, 20, 5100, 5000, 4000, 3000, 6000, 6000, 836},
    {4, 20, 5500, 5300, 4200, 3000, 6000, 8000, 836},
    {5, 10, 5500, 5300, 4200, 3000, 6000, 8000, 836},
};

struct SubtypeRange {
  uint16_t family, first, last;
};

// Class 1 members, as ranges of subtypes per family.
constexpr SubtypeRange kClass1[] = {
    {0x01, 0x01, 0x21}, {0x02, 0x01, 0x04}, {0x02, 0x06, 0x08}, {0x02, 0x0A, 0x0A}, {0x02, 0x0C, 0x15},
    {0x03, 0x01, 0x03}, {0x03, 0x06, 0x0C}, {0x04, 0x01, 0x05}, {0x04, 0x07, 0x14}, {0x06, 0x01, 0x03},
    {0x08, 0x01, 0x02}, {0x09, 0x01, 0x04}, {0x09, 0x09, 0x0B}, {0x0A, 0x01, 0x03}, {0x0B, 0x01, 0x04},
    {0x0C, 0x01, 0x03}, {0x13, 0x01, 0x28}, {0x15, 0x01, 0x03},
};
constexpr SubtypeRange kClass2[] = {{0x03, 0x04, 0x05}, {0x09, 0x05, 0x08}};
constexpr SubtypeRange kClass3[] = {{0x02, 0x05, 0x05}, {0x04, 0x06, 0x06}};
constexpr SubtypeRange kClass4[] = {{0x02, 0x09, 0x09}, {0x02, 0x0B, 0x0B}};

template <size_t N>
void PutGroup(WireWriter& w, uint16_t classId, const SubtypeRange (&ranges)[N]) {
  w.be16(classId);
  size_t countPos = w.size();
  w.be16(0);
  uint16_t pairs = 0;
  for (const auto& r : ranges)
    for (uint16_t sub = r.first; sub <= r.last; ++sub, ++pairs) w.be16(r.family).be16(sub);
  w.patchBe16(countPos, pairs);
}

std::vector<uint8_t> BuildRateInfo() {
  WireWriter w;
  w.be16(5);
  for (const auto& c : kRateClasses) {
    w.be16(c.id).be32(c.window).be32(c.clear).be32(c.alert).be32(c.limit);
    w.be32(c.disconnect).be32(c.current).be32(c.maximum).be32(c.lastTime).u8(0);
  }
  PutGroup(w, 1, kClass1);
  PutGroup(w, 2, kClass2);
  PutGroup(w, 3, kClass3);
  PutGroup(w, 4, kClass4);
  w.be16(5).be16(0);
  return SnacTemplate(0x0001, 0x0007, w.buffer());
}

}  // namespace

const std::vector<uint8_t>& ServiceFamiliesFrame() {
  static const std::vector<uint8_t> f = [] {
    WireWriter w;
    for (uint16_t fam : {0x01, 0x02, 0x03, 0x04, 0x06, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x13, 0x15}) w.be16(fam);
    return SnacTemplate(0x0001, 0x0003, w.buffer());
  }();
  return f;
}

const std::vector<uint8_t>& MotdFrame() {
  static const std::vector<uint8_t> f = [] {
    WireWriter w;
    w.be16(0x0005).tlv16(0x0002, 0x001E).tlv16(0x0003, 0x04B0);
    return SnacTemplate(0x0001, 0x0013, w.buffer());
  }();
  return f;
}

const std::vector<uint8_t>& RateInfoFrame() {
  static const std::vector<uint8_t> f = BuildRateInfo();
  return f;
}

const std::vector<uint8_t>& LocationRightsFrame() {
  static const std::vector<uint8_t> f =
      SnacTemplate(0x0002, 0x0003, Tlv16s({{0x0001, 0x0400}, {0x0002, 0x0010}, {0x0003, 0x000A}}));
  return f;
}

const std::vector<uint8_t>& BuddyRightsFrame() {
  static const std::vector<uint8_t> f =
      SnacTemplate(0x0003, 0x0003, Tlv16s({{0x0002, 0x02EE}, {0x0001, 0x0258}, {0x0003, 0x0200}}));
  return f;
}

const std::vector<uint8_t>& MessagingParamsFrame() {
  static const std::vector<uint8_t> f = [] {
    WireWriter w;
    w.be16(0x0002).be32(3).be16(0x1F40).be16(0x03E7).be16(0x03E7).be32(0);
    return SnacTemplate(0x0004, 0x0005, w.buffer());
  }();
  return f;
}

const std::vector<uint8_t>& PrivacyRightsFrame() {
  static const std::vector<uint8_t> f =
      SnacTemplate(0x0009, 0x0003, Tlv16s({{0x0002, 0x00DC}, {0x0001, 0x00DC}}));
  return f;
}
