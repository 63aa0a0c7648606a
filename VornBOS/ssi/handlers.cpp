#include "VornBOS/ssi/handlers.h"

#include <ctime>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/frames.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"
#include "server-core/wire.h"

namespace {

constexpr size_t kSnacHeader = 10;

const uint8_t* RequestId(const ClientInfo& c) { return c.in.data.data() + 6; }

SsiList Stored(const ClientInfo& c) { return LoadSsi(c.UIN).value_or(SsiList{}); }

std::vector<SsiItem> RequestItems(const ClientInfo& c) {
  if (c.in.length <= kSnacHeader) return {};
  return ParseSsiItems(c.in.data.data() + kSnacHeader, c.in.length - kSnacHeader);
}

// A user whose file says so ([Main] AuthRequired=1) must authorize who watches them.
bool NeedsAuthorization(uint32_t uin) {
  return LeadingNumber(ReadUserString(uin, "Main", "AuthRequired", "0", 8)) != 0;
}

// The number a buddy item lets its owner watch: 0 while it awaits the authorization that its
// target requires.
uint32_t WatchedUin(const SsiItem& item) {
  uint32_t uin = SsiBuddyUin(item);
  if (uin != 0 && SsiHasTlv(item, kSsiAwaitingAuth) && NeedsAuthorization(uin)) return 0;
  return uin;
}

// Watching follows the stored buddies only once the client activated its list.
void Watch(ClientInfo& c, const SsiItem& item) {
  if (c.ssiActive) WatchContact(c, WatchedUin(item));
}

void Unwatch(ClientInfo& c, const SsiItem& item) {
  uint32_t uin = SsiBuddyUin(item);
  if (c.ssiActive && uin != 0) UnwatchContact(c, uin);
}

// A buddy who is connected learns that the owner added them.
void TellAdded(ClientInfo& c, const SsiItem& item) {
  uint32_t uin = WatchedUin(item);
  ClientInfo* target = uin != 0 && uin != c.UIN ? FindUser(uin) : nullptr;
  if (target && target->isLogged && target->ClnSocket >= 0)
    QueueFrame(*target, 2, SsiYouWereAdded(++Cfg.snacReqId, c.UIN));
}

// Saves a changed list and answers with one status word per item.
void FinishEdit(ClientInfo& c, SsiList& list, std::vector<uint16_t>& status, bool changed) {
  if (changed) {
    list.time = static_cast<uint32_t>(std::time(nullptr));
    if (!SaveSsi(c.UIN, list)) {
      WriteLog("Cannot write contact list file", 11, c.addr.c_str(), c.UIN);
      // Nothing was stored: the client must not believe otherwise.
      for (uint16_t& s : status) s = kSsiLimit;
    }
  }
  QueueFrame(c, 2, SsiEditAck(RequestId(c), status));
}

}  // namespace

void SsiRights(ClientInfo& c) { QueueFrame(c, 2, SsiRightsReply(RequestId(c))); }

void SsiSendList(ClientInfo& c) { QueueFrame(c, 2, SsiListReply(RequestId(c), Stored(c))); }

void SsiCheckList(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  uint32_t clientTime = r.be32();
  uint16_t clientCount = r.be16();
  std::optional<SsiList> list = LoadSsi(c.UIN);
  uint32_t time = 0, count = 0;
  if (list) {
    time = list->time;
    count = static_cast<uint32_t>(list->items.size());
  } else {
    ReadListStamp(c.UIN, time, count);
  }
  if (r.ok() && clientTime == time && clientCount == count) {
    if (list)
      QueueFrame(c, 2, SsiUpToDate(RequestId(c), time, static_cast<uint16_t>(count)));
    else
      SendListUpToDate(c);
    return;
  }
  QueueFrame(c, 2, SsiListReply(RequestId(c), list.value_or(SsiList{})));
}

void SsiActivate(ClientInfo& c) {
  if (c.ssiActive) return;
  c.ssiActive = true;
  for (const SsiItem& item : Stored(c).items) Watch(c, item);
}

void SsiAddItems(ClientInfo& c) {
  SsiList list = Stored(c);
  std::vector<uint16_t> status;
  bool changed = false;
  for (SsiItem& item : RequestItems(c)) {
    // A buddy whose target wants to authorize its watchers is added marked as awaiting.
    uint32_t uin = SsiBuddyUin(item);
    if (uin != 0 && !SsiHasTlv(item, kSsiAwaitingAuth) && NeedsAuthorization(uin)) {
      status.push_back(kSsiAuthRequired);
      continue;
    }
    // Adding an item that exists replaces it: clients re-send items they think are new.
    if (SsiItem* old = FindSsiItem(list, item.group, item.id)) {
      Unwatch(c, *old);
      *old = item;
    } else if (list.items.size() >= kSsiMaxItems) {
      status.push_back(kSsiLimit);
      continue;
    } else {
      list.items.push_back(item);
    }
    status.push_back(kSsiOk);
    changed = true;
    Watch(c, item);
    TellAdded(c, item);
  }
  FinishEdit(c, list, status, changed);
}

void SsiUpdateItems(ClientInfo& c) {
  SsiList list = Stored(c);
  std::vector<uint16_t> status;
  bool changed = false;
  for (SsiItem& item : RequestItems(c)) {
    SsiItem* old = FindSsiItem(list, item.group, item.id);
    if (old) {
      Unwatch(c, *old);
      *old = item;
    } else if (list.items.size() < kSsiMaxItems) {
      list.items.push_back(item);  // an update of an item the server never saw stores it
    } else {
      status.push_back(kSsiLimit);
      continue;
    }
    status.push_back(kSsiOk);
    changed = true;
    Watch(c, item);
  }
  FinishEdit(c, list, status, changed);
}

void SsiDeleteItems(ClientInfo& c) {
  SsiList list = Stored(c);
  std::vector<uint16_t> status;
  bool changed = false;
  for (const SsiItem& item : RequestItems(c)) {
    SsiItem* old = FindSsiItem(list, item.group, item.id);
    if (!old) {
      status.push_back(kSsiNotFound);
      continue;
    }
    Unwatch(c, *old);
    list.items.erase(list.items.begin() + (old - list.items.data()));
    status.push_back(kSsiOk);
    changed = true;
  }
  FinishEdit(c, list, status, changed);
}

void SsiEditBracket(ClientInfo&) {}

void SsiFutureAuthGrant(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  std::string_view target = r.text8();
  std::string_view reason = r.bytes(r.be16());
  if (!r.ok()) {
    WriteLog("Bad future authorization request. Size=%d", 11, c.addr.c_str(), c.UIN, c.in.length);
    return;
  }
  ClientInfo* to = FindUser(DecimalPrefix(target));
  if (!to || to->ClnSocket < 0) return;
  QueueFrame(*to, 2,
             SsiFutureAuth(++Cfg.snacReqId, c.UIN, reinterpret_cast<const uint8_t*>(reason.data()), reason.size()));
}

namespace {

// Removes the awaiting-authorization TLV from an item's TLV block.
std::string WithoutAwaitingMark(const std::string& data) {
  std::string out;
  WireReader r(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  while (r.has(4)) {
    size_t start = r.pos();
    uint16_t type = r.be16();
    if (!r.skip(r.be16())) break;
    if (type != kSsiAwaitingAuth) out.append(data, start, r.pos() - start);
  }
  return out;
}

}  // namespace

void SsiAuthReply(ClientInfo& c) {
  ForwardAuthReply(c);
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  uint32_t requester = DecimalPrefix(r.text8());
  uint8_t granted = r.u8();
  if (!r.ok() || granted == 0 || requester == 0) return;
  std::optional<SsiList> list = LoadSsi(requester);
  if (!list) return;
  bool changed = false;
  for (SsiItem& item : list->items) {
    if (SsiBuddyUin(item) != c.UIN || !SsiHasTlv(item, kSsiAwaitingAuth)) continue;
    item.data = WithoutAwaitingMark(item.data);
    changed = true;
  }
  if (!changed || !SaveSsi(requester, *list)) return;
  ClientInfo* r2 = FindUser(requester);
  if (r2 && r2->ssiActive) WatchContact(*r2, c.UIN);
}
