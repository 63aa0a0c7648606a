#include "VornBOS/presence/offline.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <thread>

#include "VornBOS/admin/metrics.h"
#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/olm_replay.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/flap.h"
#include "server-core/log.h"
#include "server-core/server_host.h"
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

// The ICBM error codes a sender is given for a message that was not stored: the recipient's
// store is full, or the disk refused the record.
constexpr uint16_t kErrorStoreFull = 0x0017;        // queue full
constexpr uint16_t kErrorStoreFailed = 0x0005;      // service unavailable

// Group commit: the records of one event round are written at once and flushed together at
// the round's end; only then are the senders told.
plat::AppendBatch& Batch() {
  static plat::AppendBatch batch(0600);
  return batch;
}

// What the stores of the message being routed came to, until the messaging handler answers.
struct Tally {
  const ClientInfo* sender = nullptr;
  uint64_t created = 0;
  uint32_t reqId = 0;
  StoreOutcome outcome;
};
Tally tally;

void Count(ClientInfo& sender, const std::string& path, bool ok, uint16_t code) {
  uint32_t reqId = sender.in.length >= 10 ? (static_cast<uint32_t>(GetBe16(sender.in.data.data() + 6)) << 16 | GetBe16(sender.in.data.data() + 8)) : 0;
  if (tally.sender != &sender || tally.created != sender.created || tally.reqId != reqId)
    tally = Tally{&sender, sender.created, reqId, {}};
  if (!ok) {
    tally.outcome.failed = true;
    if (tally.outcome.errorCode != kErrorStoreFailed) tally.outcome.errorCode = code;
  } else if (std::find(tally.outcome.files.begin(), tally.outcome.files.end(), path) == tally.outcome.files.end()) {
    tally.outcome.files.push_back(path);
  }
}

// An answer waiting for the flush of the files it depends on.
struct Waiting {
  plat::Socket socket = -1;
  uint64_t created = 0;
  std::vector<std::string> files;
  std::vector<uint8_t> ack;    // empty: no acknowledgement was asked for
  std::vector<uint8_t> error;  // sent when a file did not make it to the disk
};
std::vector<Waiting> waiting;

// Stored authorization frames whose failure can only be logged.
struct AuthStore {
  uint32_t from = 0;
  uint32_t target = 0;
  std::string addr;
  std::string path;
  const char* failedLine;
};
std::vector<AuthStore> authStores;

std::vector<uint8_t> ErrorReply(const uint8_t reqId[4], uint16_t code) {
  WireWriter w(12);
  w.be16(0x0004).be16(0x0001).be16(0).bytes(reqId, 4).be16(code);
  return std::move(w.buffer());
}

// Appends one record to the recipient's store, whole or not at all, within OLMMaxBytes. The
// record reaches the disk at the end of the round (CommitOfflineStores).
bool AppendOlm(ClientInfo& from, uint32_t recipient, const std::vector<uint8_t>& record, const char* openFailedLine,
               uint16_t& code) {
  const char* a = from.addr.c_str();
  int err = 0;
  code = kErrorStoreFailed;
  switch (Batch().Append(OlmFilePath(recipient), record.data(), record.size(), Cfg.OLMMaxBytes, err)) {
    case plat::AppendResult::Ok:
      ::Count(Counters().offlineStored);
      return true;
    case plat::AppendResult::OpenFailed:
      ::Count(Counters().offlineRefused);
      WriteLog(openFailedLine, 11, a, from.UIN, recipient);
      WriteLog("OLM open failed to %d: %s", 11, a, from.UIN, recipient, std::strerror(err));
      return false;
    case plat::AppendResult::TooLarge:
      ::Count(Counters().offlineRefused);
      code = kErrorStoreFull;
      WriteLog("OLM full to %d (max=%llu). Record refused", 11, a, from.UIN, recipient,
               static_cast<unsigned long long>(Cfg.OLMMaxBytes));
      return false;
    case plat::AppendResult::ShortWrite:
    case plat::AppendResult::FlushFailed:
      ::Count(Counters().offlineRefused);
      WriteLog("OLM write failed to %d. Record removed (%s)", 11, a, from.UIN, recipient, std::strerror(err));
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
  uint16_t code = 0;
  if (!AppendOlm(from, target, frame, failedLine, code)) return;
  WriteLog(storedLine, 9, from.addr.c_str(), from.UIN, from.UIN, target);
  authStores.push_back(AuthStore{from.UIN, target, from.addr, OlmFilePath(target), failedLine});
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
  uint16_t code = 0;
  bool ok = AppendOlm(sender, recipientUin, record, "Can't create OLM to %d", code);
  Count(sender, OlmFilePath(recipientUin), ok, code);
}

bool StoreOutcomeWaiting() { return tally.sender != nullptr; }

StoreOutcome TakeStoreOutcome(const ClientInfo& sender) {
  if (!tally.sender) return {};  // nothing was stored since the last take (the common case)
  uint32_t reqId = sender.in.length >= 10 ? (static_cast<uint32_t>(GetBe16(sender.in.data.data() + 6)) << 16 | GetBe16(sender.in.data.data() + 8)) : 0;
  StoreOutcome out;
  if (tally.sender == &sender && tally.created == sender.created && tally.reqId == reqId) out = std::move(tally.outcome);
  tally = Tally{};
  return out;
}

void AnswerStoredMessage(ClientInfo& sender, const StoreOutcome& stored, std::vector<uint8_t> ack) {
  uint8_t reqId[4] = {0, 0, 0, 0};
  if (sender.in.length >= 10) std::copy(sender.in.data.begin() + 6, sender.in.data.begin() + 10, reqId);
  if (stored.failed) {
    // Not stored for every recipient: no acknowledgement, the sender learns it was not delivered.
    QueueFrame(sender, 2, ErrorReply(reqId, stored.errorCode));
    return;
  }
  if (stored.files.empty()) {
    if (!ack.empty()) QueueFrame(sender, 2, ack);
    return;
  }
  waiting.push_back(Waiting{sender.ClnSocket, sender.created, stored.files, std::move(ack),
                            ErrorReply(reqId, kErrorStoreFailed)});
}

namespace {

// A flush running on its own thread, so that the event loop never waits for the disk, with
// the answers and log lines that wait for it. One runs at a time; the records appended
// meanwhile form the next batch.
struct InFlight {
  bool active = false;
  uintptr_t id = 0;
  plat::AppendBatch::Flush flush;
  std::vector<Waiting> waiting;
  std::vector<AuthStore> auth;
  std::thread thread;
};
InFlight flight;

// Answers for a finished flush. A file whose flush failed was cut back, which takes the
// records of the batch now being written with it: they are reported lost as well.
void Settle(plat::AppendBatch::Flush& flush, std::vector<Waiting>& due, std::vector<AuthStore>& auth) {
  std::vector<plat::AppendBatch::Outcome> flushed = flush.Finish();
  auto failure = [&](const std::string& path) {
    for (const auto& o : flushed)
      if (o.path == path) return o.err;
    return 0;
  };
  for (const auto& o : flushed) {
    if (o.err == 0) continue;
    ::Count(Counters().offlineRefused);
    WriteLog("OLM flush failed (%s): %s. Records of this round removed", 11, "", 0, o.path.c_str(),
             std::strerror(o.err));
    Batch().Poison(o.path, o.keptSize, o.err);
  }
  for (const AuthStore& a : auth)
    if (failure(a.path) != 0) WriteLog(a.failedLine, 11, a.addr.c_str(), a.from, a.target);
  for (Waiting& w : due) {
    ClientInfo* c = FindBySocket(w.socket);
    if (!c || c->created != w.created) continue;  // the sender has gone
    bool durable = true;
    for (const std::string& f : w.files) durable = durable && failure(f) == 0;
    if (!durable)
      QueueFrame(*c, 2, w.error);
    else if (!w.ack.empty())
      QueueFrame(*c, 2, w.ack);
  }
}

// Connections whose close waits for the answers of a flush: (socket, session).
std::vector<std::pair<plat::Socket, uint64_t>> closing;

// Hands the waiting closes back to the loop once their answers are queued.
void ResumeCloses() {
  std::vector<std::pair<plat::Socket, uint64_t>> due;
  for (const auto& [s, created] : closing) {
    ClientInfo* c = FindBySocket(s);
    if (!c || c->created != created) continue;
    if (OfflineAnswersWaiting(*c))
      due.emplace_back(s, created);
    else if (EventWindow)
      EventWindow->PostSocket(WM_SOCKET_EVENT, s, plat::MakeSelectLParam(plat::FD_CLOSE, 0));
  }
  closing.swap(due);
}

void WaitForFlight() {
  if (!flight.active) return;
  flight.thread.join();
  flight.active = false;
  std::vector<Waiting> due = std::move(flight.waiting);
  std::vector<AuthStore> auth = std::move(flight.auth);
  flight.waiting.clear();
  flight.auth.clear();
  plat::AppendBatch::Flush flush = std::move(flight.flush);
  Settle(flush, due, auth);
  ResumeCloses();
}

}  // namespace

void CommitOfflineStoresAtRoundEnd() {
  if (!EventWindow) return CommitOfflineStores();
  if (flight.active || Batch().empty()) return;
  flight.active = true;
  uintptr_t id = ++flight.id;
  flight.flush = Batch().Detach();
  flight.waiting = std::move(waiting);
  flight.auth = std::move(authStores);
  waiting.clear();
  authStores.clear();
  flight.thread = std::thread([id] {
    flight.flush.Run();
    PostToServerLoop(WM_OLM_FLUSHED, id);
  });
}

void OnOfflineStoresFlushed(uintptr_t id) {
  if (flight.active && id == flight.id) WaitForFlight();  // else settled already
}

void CommitOfflineStores() {
  WaitForFlight();
  plat::AppendBatch::Flush flush = Batch().Detach();
  std::vector<Waiting> due = std::move(waiting);
  std::vector<AuthStore> auth = std::move(authStores);
  waiting.clear();
  authStores.clear();
  flush.Run();
  Settle(flush, due, auth);
  ResumeCloses();
}

bool DeferCloseForOfflineAnswers(ClientInfo& c) {
  if (!EventWindow || !OfflineAnswersWaiting(c)) return false;
  closing.emplace_back(c.ClnSocket, c.created);
  return true;
}

bool OfflineAnswersWaiting(const ClientInfo& c) {
  for (const auto* list : {&waiting, &flight.waiting})
    for (const Waiting& w : *list)
      if (w.socket == c.ClnSocket && w.created == c.created) return true;
  return false;
}

void FlushOfflineStoresBefore(const std::string&) {
  // The file is about to be cut: every record appended so far, and the flush in progress,
  // settle first.
  CommitOfflineStores();
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

bool ForwardAuthReply(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  uint32_t target = 0;
  bool ok = ReadAuthTarget(r, target);
  uint8_t flag = r.u8() != 0 ? 1 : 0;
  if (!ok || !r.ok()) {
    BadSnac(c);
    return false;
  }
  // The reason is optional after a grant; when present it must lie inside the SNAC.
  std::string_view reason;
  if (r.remaining() >= 2) {
    reason = r.bytes(r.be16());
    if (!r.ok()) {
      BadSnac(c);
      return false;
    }
  }
  // 13/1B in the form clients read for a grant and a refusal alike: the replier's number,
  // the flag, the reason.
  WireWriter w(32 + reason.size());
  w.u8(0x2A).u8(2).be16(0).be16(0);
  w.be16(0x0013).be16(0x001B).be16(0).be32(++Cfg.snacReqId);
  w.text8(std::to_string(c.UIN)).u8(flag).be16(static_cast<uint16_t>(reason.size())).bytes(reason);
  DeliverOrStore(c, target, std::move(w.buffer()), "Create OLM-auth commit from %d to %d",
                 "Can't create OLM-auth commit to %d");
  return true;
}

void SendOfflineMessages(const MetaRequest& req) { StartOfflineReplay(req); }

void DeleteOfflineMessages(ClientInfo& c) { DeleteReplayedOfflineMessages(c); }
