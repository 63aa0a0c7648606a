// The offline store under load and faults: replay of a file far past 64 MiB without holding
// it, the per-recipient size limit, a full disk, and a file damaged by an older partial write.
#include <unistd.h>

#include "VornBOS/directory/meta.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/olm_replay.h"
#include "VornBOS/presence/presence.h"
#include "server-core/wire.h"
#include "tests/bos/bos_fixture.h"
#include "tests/support/scratch_mount.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A channel-1 message SNAC to `to` with the given text.
Bytes TextMessage(const std::string& to, const std::string& text) {
  WireWriter frag;
  frag.u8(5).u8(1).be16(1).u8(1).u8(1).u8(1).be16(static_cast<uint16_t>(text.size() + 4)).be16(0).be16(0).bytes(text);
  WireWriter w;
  w.be16(4).be16(6).be16(0).be32(1).zeros(8).be16(1).text8(to).be16(2).be16(static_cast<uint16_t>(frag.size()));
  w.bytes(frag.buffer().data(), frag.size());
  return w.buffer();
}

// A stored offline record written out by hand: 0x15/0x03 meta reply, type 0x0041, text + NUL.
Bytes StoredRecord(uint32_t owner, uint32_t from, const std::string& text) {
  size_t m = text.size() + 1, s = m + 53;
  WireWriter w;
  w.u8(0x2A).u8(2).be16(0).be16(static_cast<uint16_t>(s - 6)).be16(0x15).be16(3).be16(0).be32(0);
  w.be16(1).be16(static_cast<uint16_t>(s - 20)).le16(static_cast<uint16_t>(s - 22)).le32(owner);
  w.le16(0x41).le16(2).le32(from).le16(2026).u8(12).u8(8).u8(3).u8(0).u8(1).u8(0);
  w.le16(static_cast<uint16_t>(m)).bytes(text).u8(0).zeros(9);
  return w.buffer();
}

MetaRequest OfflineRequest(ClientInfo& c) { return MetaRequest{c, {9, 8, 7, 6}, 0x0102, 0x003C, 0, nullptr, 0}; }

// The text of a delivered offline-message frame.
std::string TextOf(const Bytes& frame) {
  if (frame.size() < 53 || GetBe16(&frame[6]) != 0x15) return "?";
  size_t m = frame[42] | (frame[43] << 8);
  return std::string(frame.begin() + 44, frame.begin() + 44 + static_cast<long>(m) - 1);
}

class OlmStore : public BosUnit {
 protected:
  void TearDown() override {
    Cfg.OLMMaxBytes = 16u << 20;
    BosUnit::TearDown();
  }
  // Lets the client read everything: pops each frame as if written, as the server does.
  std::vector<Bytes> Drain(ClientInfo& c, size_t* peakQueued = nullptr) {
    std::vector<Bytes> out;
    while (!c.sendQueue.empty()) {
      if (peakQueued) *peakQueued = std::max(*peakQueued, c.queuedBytes);
      out.push_back(c.sendQueue.front().data);
      PopSentFrame(c);
      ContinueOfflineReplay(c);
    }
    return out;
  }
  static bool IsEndReply(const Bytes& f) { return f.size() == 31 && f[26] == 0x42; }
};

TEST_F(OlmStore, AFileFarPast64MiBIsReplayedWholeWhileLittleIsQueued) {
  LogLevel = 11;  // no dump of 67 MB
  std::string path = dir_ + "olm/1001.olm";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const int kRecords = 8800;  // 8800 records of 7 653 bytes: 67.3 MB
  for (int i = 0; i < kRecords; ++i) {
    std::string text = std::to_string(i) + std::string(7600 - std::to_string(i).size(), '.');
    Bytes rec = StoredRecord(1001, 1000, text);
    std::fwrite(rec.data(), 1, rec.size(), f);
  }
  std::fclose(f);
  ASSERT_GT(std::filesystem::file_size(path), 64ull << 20);
  ClientInfo& b = Session(1001);
  SendOfflineMessages(OfflineRequest(b));
  EXPECT_LT(b.queuedBytes, 200u * 1024);  // not the whole file at once
  size_t peak = 0;
  std::vector<Bytes> frames = Drain(b, &peak);
  EXPECT_LT(peak, 200u * 1024);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kRecords) + 1);
  EXPECT_EQ(TextOf(frames[0]).substr(0, 2), "0.");
  EXPECT_EQ(TextOf(frames[kRecords - 1]).substr(0, 5), "8799.");
  EXPECT_TRUE(IsEndReply(frames.back()));
  EXPECT_EQ(Log().find("OLM record cut"), std::string::npos);
}

TEST_F(OlmStore, RecordsPastTheLimitAreRefusedWithALogLine) {
  Cfg.OLMMaxBytes = 200;  // three 59-byte records fit
  ClientInfo& a = Session(1000);
  for (const char* text : {"one..", "two..", "three", "four."}) {
    Receive(a, TextMessage("2000", text));
    RouteMessage(a);
  }
  EXPECT_EQ(ReadFile("olm/2000.olm").size(), 3u * 59);
  EXPECT_NE(Log().find("OLM full to 2000 (max=200). Record refused"), std::string::npos);
  Cfg.OLMMaxBytes = 0;  // no limit
  Receive(a, TextMessage("2000", "five."));
  RouteMessage(a);
  EXPECT_EQ(ReadFile("olm/2000.olm").size(), 4u * 59);
}

TEST_F(OlmStore, AFullDiskLosesOnlyTheRecordThatDidNotFit) {
  vt::ScratchMount m(64 * 1024);
  VORN_REQUIRE_MOUNT(m);
  std::filesystem::create_directory(m.path() + "olm");
  Cfg.olmDir = m.path() + "olm/";
  {
    std::ofstream fill(m.path() + "filler", std::ios::binary);
    fill << std::string(60 * 1024, 'f');
  }
  ClientInfo& a = Session(1000);
  Receive(a, TextMessage("2000", std::string(8000, 'L')));  // does not fit in what is left
  RouteMessage(a);
  EXPECT_NE(Log().find("OLM write failed to 2000. Record removed"), std::string::npos);
  ::unlink((m.path() + "filler").c_str());  // space comes back
  for (int i = 0; i < 20; ++i) {
    Receive(a, TextMessage("2000", "msg" + std::to_string(i)));
    RouteMessage(a);
  }
  ClientInfo& b = Session(2000);
  SendOfflineMessages(OfflineRequest(b));
  std::vector<Bytes> frames = Drain(b);
  ASSERT_EQ(frames.size(), 21u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(TextOf(frames[i]), "msg" + std::to_string(i));
  EXPECT_TRUE(IsEndReply(frames.back()));
}

TEST_F(OlmStore, ReplaySkipsAPartialRecordInsteadOfMergingTheNextOnes) {
  Bytes r1 = StoredRecord(1001, 1000, "first"), partial = StoredRecord(1001, 1000, std::string(8000, 'p'));
  Bytes r2 = StoredRecord(1001, 1000, "second"), r3 = StoredRecord(1001, 1000, "third");
  partial.resize(5740);  // what a full disk left of it
  std::string file;
  for (const Bytes* b : {&r1, &partial, &r2, &r3}) file.append(b->begin(), b->end());
  WriteFile("olm/1001.olm", file);
  ClientInfo& b = Session(1001);
  SendOfflineMessages(OfflineRequest(b));
  std::vector<Bytes> frames = Drain(b);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(TextOf(frames[0]), "first");
  EXPECT_EQ(TextOf(frames[1]), "second");
  EXPECT_EQ(TextOf(frames[2]), "third");
  EXPECT_TRUE(IsEndReply(frames[3]));
  EXPECT_NE(Log().find("OLM record damaged. Offset=" + std::to_string(r1.size())), std::string::npos);
}

TEST(SoundRecord, ChecksInnerLengthsTailAndTheNextStart) {
  Bytes r = StoredRecord(1, 2, "hi");
  EXPECT_EQ(SoundRecordLength(r.data(), r.size()), r.size());
  Bytes next = r;
  next.push_back(0x2A);
  EXPECT_EQ(SoundRecordLength(next.data(), next.size()), r.size());
  next.back() = 'x';
  EXPECT_EQ(SoundRecordLength(next.data(), next.size()), 0u);
  Bytes tail = r;
  tail[tail.size() - 3] = 1;
  EXPECT_EQ(SoundRecordLength(tail.data(), tail.size()), 0u);
  EXPECT_EQ(SoundRecordLength(r.data(), r.size() - 1), 0u);
  // The TLV length (big-endian, at 18) and the meta length (little-endian, at 20) must both
  // agree with the frame's.
  for (size_t low : {size_t{19}, size_t{20}}) {
    Bytes bad = r;
    bad[low] += 1;
    EXPECT_EQ(SoundRecordLength(bad.data(), bad.size()), 0u) << low;
  }
}

}  // namespace
