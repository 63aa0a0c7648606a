#include "VornBOS/presence/offline.h"

#include <ctime>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/olm_replay.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

// A stored frame must fit the 16-bit FLAP length like any other.
constexpr size_t kMaxFrame = 0xFFFF;

// Storage time: UTC, plus one hour while local time is in daylight-saving time.
std::tm StorageTime() {
  std::time_t now = std::time(nullptr);
  std::tm local = plat::LocalTime(now);
  return plat::UtcTime(now + (local.tm_isdst > 0 ? 3600 : 0));
}

std::vector<uint8_t> OfflineRecord(uint32_t owner, uint32_t from, const std::string& relay,
                                   std::string_view text) {
  size_t m = relay.size() + text.size() + 1;
  size_t s = m + 53;
  std::tm t = StorageTime();
  WireWriter w(s);
  w.u8(0x2A).u8(2).be16(0).be16(static_cast<uint16_t>(s - 6));
  w.be16(0x0015).be16(0x0003).be16(0).be32(0);
  w.be16(0x0001).be16(static_cast<uint16_t>(s - 20)).le16(static_cast<uint16_t>(s - 22));
  w.le32(owner).le16(0x0041).le16(0x0002).le32(from);
  w.le16(static_cast<uint16_t>(t.tm_year + 1900)).u8(static_cast<uint8_t>(t.tm_mon + 1));
  w.u8(static_cast<uint8_t>(t.tm_mday)).u8(static_cast<uint8_t>(t.tm_hour)).u8(static_cast<uint8_t>(t.tm_min));
  w.u8(0x01).u8(0x00).le16(static_cast<uint16_t>(m));
  w.bytes(relay).bytes(text).u8(0).zeros(9);
  return std::move(w.buffer());
}

// Appends one record to the recipient's store, whole or not at all, within OLMMaxBytes.
bool AppendOlm(ClientInfo& from, uint32_t recipient, const std::vector<uint8_t>& record, const char* openFailedLine) {
  const char* a = from.addr.c_str();
  switch (plat::AppendRecord(OlmFilePath(recipient), record.data(), record.size(), Cfg.OLMMaxBytes)) {
    case plat::AppendResult::Ok:
      return true;
    case plat::AppendResult::OpenFailed:
      WriteLog(openFailedLine, 11, a, from.UIN, recipient);
      return false;
    case plat::AppendResult::TooLarge:
      WriteLog("OLM full to %d (max=%llu). Record refused", 11, a, from.UIN, recipient,
               static_cast<unsigned long long>(Cfg.OLMMaxBytes));
      return false;
    case plat::AppendResult::ShortWrite:
      WriteLog("OLM write failed to %d. Record removed", 11, a, from.UIN, recipient);
      return false;
  }
  return false;
}

void BadSnac(ClientInfo& c) {
  WriteLog("Bad message SNAC from %d. Size=%d", 11, c.addr.c_str(), c.UIN, c.UIN, c.in.length);
}

// Delivers an authorization frame to a connected target or appends it to its store.
void DeliverOrStore(ClientInfo& from, uint32_t target, std::vector<uint8_t>&& frame, const char* storedLine,
                    const char* failedLine) {
  if (frame.size() > kMaxFrame) return BadSnac(from);
  if (ClientInfo* t = FindUser(target)) {
    QueueSessionFrame(*t, std::move(frame));
    return;
  }
  PutBe16(&frame[4], static_cast<uint16_t>(frame.size() - 6));
  if (AppendOlm(from, target, frame, failedLine)) WriteLog(storedLine, 9, from.addr.c_str(), from.UIN, from.UIN, target);
}

// The authorization SNAC's target text; false when it runs past the SNAC.
bool ReadAuthTarget(WireReader& r, uint32_t& target) {
  r.skip(10);
  std::string_view text = r.text8();
  target = DecimalPrefix(text);
  return r.ok();
}

}  // namespace

std::string OlmFilePath(uint32_t uin) {
  return Cfg.olmDir + std::to_string(static_cast<int32_t>(uin)) + ".olm";
}

void StoreOfflineMessage(ClientInfo& sender, const IcbmMessage& msg, uint32_t recipientUin, uint32_t from) {
  const char* a = sender.addr.c_str();
  if (msg.channel != 1 && msg.channel != 2 && msg.channel != 4) {
    // Other channels carry no text the store can find.
    WriteLog("Not store msg format=%d from %d to %d", 9, a, sender.UIN, msg.channel, from, recipientUin);
    return;
  }
  if (!msg.hasText || msg.textLen + 54 > kMaxFrame) {
    BadSnac(sender);
    return;
  }
  std::string relay = from != sender.UIN ? RenderRelayText(sender) : std::string();
  WriteLog("Create OLM from %d to %d", 9, a, sender.UIN, from, recipientUin);
  std::string_view text(reinterpret_cast<const char*>(msg.snac + msg.textPos), msg.textLen);
  if (relay.size() + text.size() + 54 > kMaxFrame) relay.clear();  // the text comes first
  std::vector<uint8_t> record = OfflineRecord(recipientUin, from, relay, text);
  AppendOlm(sender, recipientUin, record, "Can't create OLM to %d");
}

void ForwardAuthRequest(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  uint32_t target = 0;
  bool ok = ReadAuthTarget(r, target);
  uint16_t reasonLen = r.be16();
  std::string_view reason = r.bytes(reasonLen);
  if (!ok || !r.ok()) return BadSnac(c);
  size_t tail = r.remaining();
  WireWriter w(32 + reason.size() + tail);
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0013).be16(0x0019).be16(0).be32(++Cfg.snacReqId);
  w.text8(std::to_string(c.UIN)).be16(reasonLen).bytes(reason).zeros(tail);
  DeliverOrStore(c, target, std::move(w.buffer()), "Create OLM-auth from %d to %d", "Can't create OLM-auth to %d");
}

void ForwardAuthReply(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  uint32_t target = 0;
  bool ok = ReadAuthTarget(r, target);
  uint8_t flag = r.u8();
  if (!ok || !r.ok()) return BadSnac(c);
  WireWriter w(64);
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0013).be16(flag == 0 ? 0x001B : 0x001C).be16(0).be32(++Cfg.snacReqId);
  w.be16(0x0006).be16(0x0001).be16(0x0002).be16(0x0002).text8(std::to_string(c.UIN));
  if (flag == 0) {
    uint16_t reasonLen = r.be16();
    std::string_view reason = r.bytes(reasonLen);
    if (!r.ok()) {
      Cfg.snacReqId -= 1;
      return BadSnac(c);
    }
    w.u8(0).be16(reasonLen).bytes(reason).zeros(r.remaining());
  }
  DeliverOrStore(c, target, std::move(w.buffer()), "Create OLM-auth commit from %d to %d",
                 "Can't create OLM-auth commit to %d");
}

void SendOfflineMessages(const MetaRequest& req) { StartOfflineReplay(req); }

void DeleteOfflineMessages(ClientInfo& c) { plat::RemoveFile(OlmFilePath(c.UIN)); }
