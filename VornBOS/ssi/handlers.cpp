#include "VornBOS/ssi/handlers.h"

#include <algorithm>
#include <ctime>
#include <map>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/offline.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/frames.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr size_t kSnacHeader = 10;

const uint8_t* RequestId(const ClientInfo& c) { return c.in.data.data() + 6; }

std::vector<SsiItem> RequestItems(const ClientInfo& c) {
  if (c.in.length <= kSnacHeader) return {};
  return ParseSsiItems(c.in.data.data() + kSnacHeader, c.in.length - kSnacHeader);
}

// A change moves the time stamp forward, even twice within one second, so that a client's
// cached copy never looks up to date after it.
uint32_t NewTime(uint32_t old) { return std::max(static_cast<uint32_t>(std::time(nullptr)), old + 1); }

bool Names(const SsiList& list, uint32_t uin) {
  return std::any_of(list.items.begin(), list.items.end(), [uin](const SsiItem& it) { return SsiBuddyUin(it) == uin; });
}

// The watches of the numbers an edit touched follow the list: a number stays watched while
// any buddy item names it.
void FollowTouched(ClientInfo& c, const SsiList& list, const std::vector<uint32_t>& touched) {
  if (!c.ssiActive || touched.empty()) return;
  std::vector<uint32_t> wanted = c.ssiContacts;
  for (uint32_t uin : touched) {
    wanted.erase(std::remove(wanted.begin(), wanted.end(), uin), wanted.end());
    if (Names(list, uin) && MayWatch(list, c.UIN, uin)) wanted.push_back(uin);
  }
  SetStoredWatches(c, std::move(wanted));
}

// A buddy who is connected learns that the owner added them (13/1C), once per request.
void TellAdded(ClientInfo& c, uint32_t uin) {
  ClientInfo* target = uin != c.UIN ? FindUser(uin) : nullptr;
  if (target && target->ClnSocket >= 0) QueueFrame(*target, 2, SsiYouWereAdded(++Cfg.snacReqId, c.UIN));
}

enum class Op { Add, Update, Delete };

// One request's edits against the owner's list. Per-type counts are taken once per request.
struct EditRun {
  ClientInfo& c;
  SsiOwner& o;
  std::map<uint16_t, size_t> perType;
  std::vector<uint32_t> touched, added;

  EditRun(ClientInfo& client, SsiOwner& owner) : c(client), o(owner) {
    for (const SsiItem& it : o.list.items) ++perType[it.type];
  }
  bool Full(uint16_t type) { return perType[type] >= SsiTypeLimit(type); }
  bool Touched(uint32_t uin) const { return std::find(touched.begin(), touched.end(), uin) != touched.end(); }
  // A buddy of a target who requires authorization must carry the awaiting mark until a grant.
  bool NeedsMark(const SsiItem& item) const {
    uint32_t uin = SsiBuddyUin(item);
    return uin != 0 && !SsiHasTlv(item, kSsiAwaitingAuth) && !MayWatch(o.list, c.UIN, uin);
  }
  void Named(uint32_t uin, bool wasNamed) {
    if (uin == 0) return;
    if (!wasNamed && !Touched(uin) && MayWatch(o.list, c.UIN, uin)) added.push_back(uin);
    if (!Touched(uin)) touched.push_back(uin);
  }

  uint16_t Add(SsiItem& item) {
    if (FindSsiItem(o.list, item.group, item.id)) return kSsiIdInUse;
    size_t size = SsiWireSize(item);
    if (size > kSsiItemBudget || o.bytes + size > kSsiListBudget || Full(item.type)) return kSsiLimit;
    if (NeedsMark(item)) return kSsiAuthRequired;
    uint32_t uin = SsiBuddyUin(item);
    bool wasNamed = uin != 0 && !Touched(uin) && Names(o.list, uin);
    o.bytes += size;
    ++perType[item.type];
    o.list.items.push_back(std::move(item));
    Named(uin, wasNamed);
    return kSsiOk;
  }

  uint16_t Update(SsiItem& item) {
    SsiItem* old = FindSsiItem(o.list, item.group, item.id);
    if (!old) return kSsiNotFound;
    size_t size = SsiWireSize(item), oldSize = SsiWireSize(*old);
    if (size > kSsiItemBudget || o.bytes - oldSize + size > kSsiListBudget) return kSsiLimit;
    if (item.type != old->type && Full(item.type)) return kSsiLimit;
    if (NeedsMark(item)) return kSsiAuthRequired;
    uint32_t uin = SsiBuddyUin(item), oldUin = SsiBuddyUin(*old);
    bool wasNamed = uin != 0 && (uin == oldUin || (!Touched(uin) && Names(o.list, uin)));
    o.bytes = o.bytes - oldSize + size;
    --perType[old->type];
    ++perType[item.type];
    *old = std::move(item);
    if (oldUin != 0 && !Touched(oldUin)) touched.push_back(oldUin);
    Named(uin, wasNamed);
    return kSsiOk;
  }

  uint16_t Delete(const SsiItem& item) {
    SsiItem* old = FindSsiItem(o.list, item.group, item.id);
    if (!old) return kSsiNotFound;
    uint32_t uin = SsiBuddyUin(*old);
    o.bytes -= SsiWireSize(*old);
    --perType[old->type];
    o.list.items.erase(o.list.items.begin() + (old - o.list.items.data()));
    if (uin != 0 && !Touched(uin)) touched.push_back(uin);
    return kSsiOk;
  }
};

// An add, update or delete request: the edits are made in memory and written off the event
// loop, at once or at the end of the open 13/11 ... 13/12 bracket. Outside a bracket the
// acknowledgement waits for the write; when the write fails the list goes back to the file's
// content and the client is told that nothing was stored. Inside a bracket every edit is
// acknowledged at once (clients wait for each before the next) and written at its end.
void Edit(ClientInfo& c, Op op) {
  std::vector<SsiItem> items = RequestItems(c);
  std::vector<uint16_t> status;
  SsiOwner& o = OwnerList(c.UIN);
  if (o.failed) {
    status.assign(items.size(), kSsiNotStored);
    QueueFrame(c, 2, SsiEditAck(RequestId(c), status));
    return;
  }
  SsiPrivacy before = o.privacy;
  EditRun run(c, o);
  bool changed = false;
  for (SsiItem& item : items) {
    uint16_t s = op == Op::Add ? run.Add(item) : op == Op::Update ? run.Update(item) : run.Delete(item);
    changed |= s == kSsiOk;
    status.push_back(s);
  }
  if (changed) {
    o.list.time = NewTime(o.list.time);
    o.dirty = true;
    RecountOwner(o);
    FollowTouched(c, o.list, run.touched);
    for (uint32_t uin : run.added) TellAdded(c, uin);
    RefreshPresence(c, before);
  }
  if (o.bracket > 0) {
    QueueFrame(c, 2, SsiEditAck(RequestId(c), status));
    return;
  }
  AckEdit(c, o, RequestId(c), status, changed);
}

// Serves the list, or logs why it cannot: a list that could not be read is never sent shorter.
bool Servable(ClientInfo& c, const SsiOwner& o) {
  if (!o.failed) return true;
  WriteLog("Contact list not served: its file cannot be read", 11, c.addr.c_str(), c.UIN);
  return false;
}

void SendWholeList(ClientInfo& c, const SsiOwner& o) {
  for (auto& frame : SsiListReplies(RequestId(c), o.list)) QueueFrame(c, 2, frame);
}

// Records that granter authorized owner: in memory when the owner is signed on, else in the
// owner's file. Returns the owner's list in memory, if any.
SsiOwner* RecordAuthorization(uint32_t owner, uint32_t granter, std::vector<SsiItem>* unmarked) {
  auto apply = [&](SsiList& list) {
    if (std::find(list.authorizedBy.begin(), list.authorizedBy.end(), granter) == list.authorizedBy.end())
      list.authorizedBy.push_back(granter);
    bool moved = false;
    for (SsiItem& item : list.items) {
      if (SsiBuddyUin(item) != granter || !SsiHasTlv(item, kSsiAwaitingAuth)) continue;
      item.data = [&] {
        std::string out;
        WireReader r(reinterpret_cast<const uint8_t*>(item.data.data()), item.data.size());
        while (r.has(4)) {
          size_t start = r.pos();
          uint16_t type = r.be16();
          if (!r.skip(r.be16())) break;
          if (type != kSsiAwaitingAuth) out.append(item.data, start, r.pos() - start);
        }
        return out;
      }();
      if (unmarked) unmarked->push_back(item);
      moved = true;
    }
    if (moved) list.time = NewTime(list.time);
  };
  if (FindUser(owner)) {
    SsiOwner& o = OwnerList(owner);
    if (o.failed) return nullptr;
    apply(o.list);
    o.dirty = true;
    RecountOwner(o);
    if (o.bracket == 0) ScheduleWrite(owner, o);
    return &o;
  }
  SsiList list;
  SsiRead read = ReadSsi(owner, list);
  if (read == SsiRead::Error) {
    WriteLog("Authorization from %d not recorded: contact list file unreadable", 11, "", owner, granter);
    return nullptr;
  }
  if (read == SsiRead::Absent) list.time = static_cast<uint32_t>(std::time(nullptr));
  apply(list);
  if (!SaveSsi(owner, list)) WriteLog("Cannot write contact list file", 11, "", owner);
  return nullptr;
}

}  // namespace

void SsiRights(ClientInfo& c) { QueueFrame(c, 2, SsiRightsReply(RequestId(c))); }

void SsiSendList(ClientInfo& c) {
  SsiOwner& o = OwnerList(c.UIN);
  if (Servable(c, o)) SendWholeList(c, o);
}

void SsiCheckList(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  uint32_t clientTime = r.be32();
  uint16_t clientCount = r.be16();
  SsiOwner& o = OwnerList(c.UIN);
  if (!Servable(c, o)) return;
  if (!o.stored && !o.dirty) {
    // Never stored: the stamp an administrator keeps in the user file decides.
    uint32_t time = 0, count = 0;
    ReadListStamp(c.UIN, time, count);
    if (r.ok() && clientTime == time && clientCount == count) return SendListUpToDate(c);
  } else if (r.ok() && clientTime == o.list.time && clientCount == o.list.items.size()) {
    QueueFrame(c, 2, SsiUpToDate(RequestId(c), o.list.time, static_cast<uint16_t>(o.list.items.size())));
    return;
  }
  SendWholeList(c, o);
}

void SsiActivate(ClientInfo& c) {
  if (c.ssiActive) return;
  SsiOwner& o = OwnerList(c.UIN);
  if (o.failed) return;
  c.ssiActive = true;
  SetStoredWatches(c, SsiWatched(o.list, c.UIN));
}

void SsiAddItems(ClientInfo& c) { Edit(c, Op::Add); }
void SsiUpdateItems(ClientInfo& c) { Edit(c, Op::Update); }
void SsiDeleteItems(ClientInfo& c) { Edit(c, Op::Delete); }

void SsiEditStart(ClientInfo& c) { OwnerList(c.UIN).bracket = 1; }

void SsiEditEnd(ClientInfo& c) {
  SsiOwner& o = OwnerList(c.UIN);
  o.bracket = 0;
  ScheduleWrite(c.UIN, o);
}

void SsiFutureAuthGrant(ClientInfo& c) {
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  std::string_view target = r.text8();
  std::string_view reason = r.bytes(r.be16());
  uint32_t to = DecimalPrefix(target);
  if (!r.ok() || to == 0) {
    WriteLog("Bad future authorization request. Size=%d", 11, c.addr.c_str(), c.UIN, c.in.length);
    return;
  }
  // Recorded with the target, so that its later add of this user needs no request.
  RecordAuthorization(to, c.UIN, nullptr);
  ClientInfo* t = FindUser(to);
  if (!t || t->ClnSocket < 0) return;
  QueueFrame(*t, 2,
             SsiFutureAuth(++Cfg.snacReqId, c.UIN, reinterpret_cast<const uint8_t*>(reason.data()), reason.size()));
}

void SsiAuthReply(ClientInfo& c) {
  if (!ForwardAuthReply(c)) return;
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(kSnacHeader);
  uint32_t requester = DecimalPrefix(r.text8());
  uint8_t granted = r.u8();
  if (!r.ok() || granted == 0 || requester == 0 || requester == c.UIN) return;
  std::vector<SsiItem> unmarked;
  SsiOwner* o = RecordAuthorization(requester, c.UIN, &unmarked);
  ClientInfo* req = FindUser(requester);
  if (!o || !req) return;
  // The requester's client learns which of its items changed, and starts seeing the granter.
  if (!unmarked.empty()) QueueFrame(*req, 2, SsiServerUpdate(++Cfg.snacReqId, unmarked));
  FollowTouched(*req, o->list, {c.UIN});
}
