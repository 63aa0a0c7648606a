// Offline messages asked for in the messaging family (SNAC 0x0004/0x0010), as AIM-style
// clients do instead of meta request 0x003C. The same store is replayed: each stored message
// goes out as a channel-1 incoming message (0x0004/0x0007) marked as stored (TLV 0x0006) with
// the time it was sent (TLV 0x0016), other stored frames as they are; then the end reply
// (0x0004/0x0017). A replay that ran to its end removes what it replayed, so each message is
// delivered once whichever way the owner asks.
#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/olm_replay.h"
#include "VornBOS/session.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr size_t kRecordText = 44;  // stored message: offset of its text (length at 42)

// Seconds since 1970 of a UTC date and time.
int64_t UtcSeconds(int64_t y, int64_t m, int64_t d, int64_t hour, int64_t minute) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400 + hour * 3600 + minute * 60;
}

// The storage time of a stored message: UTC, one hour ahead while daylight-saving time was on.
uint32_t SentTime(const uint8_t* rec) {
  int64_t t = UtcSeconds(rec[34] | rec[35] << 8, rec[36], rec[37], rec[38], rec[39]);
  if (plat::LocalTime(static_cast<std::time_t>(t - 3600)).tm_isdst > 0) t -= 3600;
  return t < 0 ? 0 : static_cast<uint32_t>(t);
}

// A stored message (kind 1, SNAC 0x0015/0x0003) as the incoming message that would have been
// delivered: sender, the text in a channel-1 message block (character set 0), TLVs 6 and 0x16.
// Its cookie is the time and the message's place in this replay.
std::vector<uint8_t> IncomingStoredMessage(const uint8_t* rec, const uint8_t reqId[4], uint32_t index) {
  WireReader r(rec, GetBe16(rec + 4) + 6u);
  r.seek(30);
  uint32_t from = r.le32();
  r.seek(42);
  size_t m = r.le16();
  std::string_view text = r.bytes(m > 0 ? m - 1 : 0);  // without its NUL
  uint32_t sent = SentTime(rec);
  WireWriter w(64 + text.size());
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0004).be16(0x0007).be16(0).bytes(reqId, 4);
  w.be32(sent).be32(index);
  w.be16(0x0001).text8(std::to_string(from)).be16(0).be16(0);
  w.be16(0x0002).be16(static_cast<uint16_t>(13 + text.size()));
  w.u8(0x05).u8(0x01).be16(1).u8(0x01);
  w.u8(0x01).u8(0x01).be16(static_cast<uint16_t>(4 + text.size())).be16(0).be16(0).bytes(text);
  w.be16(0x0006).be16(0);
  w.tlv32(0x0016, sent);
  return std::move(w.buffer());
}

bool IsStoredMessage(const uint8_t* rec, size_t size) {
  return size > kRecordText && GetBe16(rec + 6) == 0x0015 && GetBe16(rec + 8) == 0x0003;
}

void SendEnd(ClientInfo& c, const uint8_t reqId[4]) {
  WireWriter w(10);
  w.be16(0x0004).be16(0x0017).be16(0).bytes(reqId, 4);
  QueueFrame(c, 2, w.buffer());
}

}  // namespace

void RetrieveOfflineMessages(ClientInfo& c) {
  std::array<uint8_t, 4> reqId{};
  std::copy(c.in.data.begin() + 6, c.in.data.begin() + 10, reqId.begin());
  OfflineReplayTarget target;
  target.record = [reqId, index = uint32_t{0}](ClientInfo& to, const uint8_t* rec, size_t size) mutable {
    std::vector<uint8_t> frame;
    if (IsStoredMessage(rec, size)) {
      frame = IncomingStoredMessage(rec, reqId.data(), ++index);
    } else {
      frame.assign(rec, rec + size);
      std::copy(reqId.begin(), reqId.end(), frame.begin() + 12);
    }
    WriteLog("Send OffLineMsg. Size=%d", 9, to.addr.c_str(), to.UIN, static_cast<int>(frame.size()));
    QueueSessionFrame(to, std::move(frame));
  };
  target.end = [reqId](ClientInfo& to) {
    SendEnd(to, reqId.data());
    DeleteReplayedOfflineMessages(to);
  };
  if (StartOfflineReplay(c, std::move(target))) return;
  // Nothing stored: the end reply alone. A store that cannot be read gets no answer, so the
  // client does not take it for empty.
  uint64_t size = 0;
  int err = 0;
  if (!plat::FileSize(OlmFilePath(c.UIN), size, err) && err == ENOENT) SendEnd(c, reqId.data());
}
