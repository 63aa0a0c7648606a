#include "VornBOS/ssi/owner.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/frames.h"
#include "VornBOS/ssi/writer.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

std::unordered_map<uint32_t, SsiOwner> owners;

constexpr uint16_t kInvisible = 0x0100;  // in the status word (the last two status bytes)

bool Has(const std::vector<uint32_t>& sorted, uint32_t uin) {
  return std::binary_search(sorted.begin(), sorted.end(), uin);
}

void SortUnique(std::vector<uint32_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

void Load(uint32_t uin, SsiOwner& o) {
  o.loaded = true;
  switch (ReadSsi(uin, o.list)) {
    case SsiRead::Ok:
      o.stored = true;
      break;
    case SsiRead::Absent:
      // A list never stored still has a real time stamp: clients read 0 as "more to come".
      o.list.time = static_cast<uint32_t>(std::time(nullptr));
      break;
    case SsiRead::Error:
      o.failed = true;
      o.list = SsiList{};
      WriteLog("Contact list file unreadable or over budget: %s", 11, "", uin, SsiFilePath(uin).c_str());
      break;
  }
  RecountOwner(o);
}

}  // namespace

SsiPrivacy BuildPrivacy(const SsiList& list) {
  SsiPrivacy p;
  for (const SsiItem& it : list.items) {
    switch (it.type) {
      case kSsiBuddy:
        if (uint32_t u = SsiBuddyUin(it)) p.buddies.push_back(u);
        break;
      case kSsiPermit:
        if (uint32_t u = SsiPrivacyUin(it)) p.permit.push_back(u);
        break;
      case kSsiDeny:
        if (uint32_t u = SsiPrivacyUin(it)) p.deny.push_back(u);
        break;
      case kSsiIgnore:
        if (uint32_t u = SsiPrivacyUin(it)) p.ignore.push_back(u);
        break;
      case kSsiVisibility:
        p.mode = SsiTlvByte(it, kSsiModeTlv);
        break;
      default:
        break;
    }
  }
  for (auto* v : {&p.permit, &p.deny, &p.ignore, &p.buddies}) SortUnique(*v);
  return p;
}

void RecountOwner(SsiOwner& o) {
  o.bytes = 0;
  for (const SsiItem& it : o.list.items) o.bytes += SsiWireSize(it);
  o.privacy = BuildPrivacy(o.list);
}

namespace {

void Release(uint32_t uin, std::vector<SsiHeldAck>& acks) {
  ClientInfo* c = FindUser(uin);
  for (const SsiHeldAck& a : acks)
    if (c && c->created == a.session && c->ClnSocket >= 0) QueueFrame(*c, 2, SsiEditAck(a.reqId, a.status));
  acks.clear();
}

void StartWrite(uint32_t uin, SsiOwner& o) {
  o.writing = true;
  o.dirty = false;
  o.inflight = std::move(o.held);
  o.held.clear();
  WriteListLater(uin, SsiFilePath(uin), RenderSsiText(uin, o.list));
}

}  // namespace

void ScheduleWrite(uint32_t uin, SsiOwner& o) {
  if (o.writing || o.failed || o.discard) return;
  if (!o.dirty) return Release(uin, o.held);
  StartWrite(uin, o);
}

void AckEdit(ClientInfo& c, SsiOwner& o, const uint8_t reqId[4], const std::vector<uint16_t>& status, bool changed) {
  if (!changed && !o.writing && o.held.empty()) {
    QueueFrame(c, 2, SsiEditAck(reqId, status));
    return;
  }
  SsiHeldAck a;
  a.session = c.created;
  std::copy(reqId, reqId + 4, a.reqId);
  a.status = status;
  o.held.push_back(std::move(a));
  ScheduleWrite(c.UIN, o);
}

void SsiWriteDone(uint32_t uin, bool ok) {
  auto it = owners.find(uin);
  if (it == owners.end()) return;
  SsiOwner& o = it->second;
  o.writing = false;
  std::vector<SsiHeldAck> acks = std::move(o.inflight);
  o.inflight.clear();
  if (ok) {
    o.stored = true;
  } else {
    WriteLog("Cannot write contact list file", 11, "", uin);
    // Back to what the file holds: no change that is not on the disk stays, and none is
    // acknowledged as done.
    SsiPrivacy before = o.privacy;
    SsiList disk;
    switch (ReadSsi(uin, disk)) {
      case SsiRead::Ok:
        o.list = std::move(disk);
        break;
      case SsiRead::Absent:
        o.list = SsiList{};
        o.list.time = static_cast<uint32_t>(std::time(nullptr));
        break;
      case SsiRead::Error:
        o.list = SsiList{};
        o.failed = true;
        break;
    }
    o.dirty = false;
    RecountOwner(o);
    for (auto& a : o.held) acks.push_back(std::move(a));
    o.held.clear();
    for (auto& a : acks)
      for (uint16_t& s : a.status)
        if (s == kSsiOk) s = kSsiNotStored;
    if (ClientInfo* c = FindUser(uin)) {
      if (c->ssiActive) SetStoredWatches(*c, SsiWatched(o.list, uin));
      RefreshPresence(*c, before);
    }
  }
  Release(uin, acks);
  if (o.leaving && !FindUser(uin)) {
    if (o.dirty && !o.failed && !o.discard) return StartWrite(uin, o);
    owners.erase(it);
    return;
  }
  o.leaving = false;
  ScheduleWrite(uin, o);
}

void FlushAllOwnerLists() {
  DrainListWrites();
  for (auto& [uin, o] : owners) {
    o.writing = false;
    FlushOwner(uin, o);
  }
}

SsiOwner& OwnerList(uint32_t uin) {
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    SetListWrittenCallback(SsiWriteDone);
  }
  SsiOwner& o = owners[uin];
  if (!o.loaded) Load(uin, o);
  return o;
}

SsiOwner* LoadedOwnerList(uint32_t uin) {
  auto it = owners.find(uin);
  return it == owners.end() ? nullptr : &it->second;
}

bool FlushOwner(uint32_t uin, SsiOwner& o) {
  if (!o.dirty || o.failed || o.discard) return true;
  if (!SaveSsi(uin, o.list)) {
    WriteLog("Cannot write contact list file", 11, "", uin);
    return false;
  }
  o.dirty = false;
  o.stored = true;
  return true;
}

void SsiSessionEnded(ClientInfo& c) {
  if (c.UIN == 0 || !c.isLogged) return;
  ClientInfo* other = FindUser(c.UIN);
  if (other && other != &c) return;  // a newer session of the same user keeps the list
  auto it = owners.find(c.UIN);
  if (it == owners.end()) return;
  SsiOwner& o = it->second;
  o.bracket = 0;
  if (o.dirty && !o.writing) ScheduleWrite(c.UIN, o);
  if (o.writing) {
    o.leaving = true;  // forgotten once the write is done
    return;
  }
  owners.erase(it);
}

void DiscardOwnerList(uint32_t uin) {
  owners.erase(uin);
  DrainListWrites();  // a write in flight lands before the files are removed
}

std::vector<uint32_t> SsiWatched(const SsiList& list, uint32_t owner) {
  std::vector<uint32_t> out;
  for (const SsiItem& it : list.items)
    if (uint32_t u = SsiBuddyUin(it)) out.push_back(u);
  SortUnique(out);
  out.erase(std::remove_if(out.begin(), out.end(), [&](uint32_t u) { return !MayWatch(list, owner, u); }), out.end());
  return out;
}

SsiPrivacy PrivacyOf(uint32_t uin) {
  if (SsiOwner* o = LoadedOwnerList(uin)) return o->privacy;
  SsiList list;
  if (ReadSsi(uin, list) != SsiRead::Ok) return SsiPrivacy{};
  return BuildPrivacy(list);
}

bool MaySee(const SsiPrivacy& p, const uint8_t status[4], uint32_t owner, uint32_t viewer) {
  if (viewer == owner) return true;
  if (Has(p.deny, viewer)) return false;
  uint16_t word = static_cast<uint16_t>(status[2] << 8 | status[3]);
  if (word & kInvisible) return Has(p.permit, viewer);
  switch (p.mode) {
    case 2:
      return false;
    case 3:
      return Has(p.permit, viewer);
    case 5:
      return Has(p.buddies, viewer);
    default:
      return true;
  }
}

bool MaySee(ClientInfo& owner, uint32_t viewer) {
  return MaySee(OwnerList(owner.UIN).privacy, owner.Status, owner.UIN, viewer);
}

namespace {

MessageVerdict Verdict(const SsiPrivacy& p, uint32_t sender) {
  if (Has(p.deny, sender)) return MessageVerdict::Refuse;
  if (Has(p.ignore, sender)) return MessageVerdict::Drop;
  return MessageVerdict::Deliver;
}

}  // namespace

MessageVerdict MessageVerdictFor(uint32_t recipient, uint32_t sender, const ClientInfo* session) {
  if (recipient == 0 || recipient == sender) return MessageVerdict::Deliver;
  if (session) return Verdict(OwnerList(recipient).privacy, sender);
  return Verdict(PrivacyOf(recipient), sender);
}

MessageVerdict MessageVerdictFor(uint32_t recipient, uint32_t sender) {
  return MessageVerdictFor(recipient, sender, recipient == 0 || recipient == sender ? nullptr : FindUser(recipient));
}

bool NeedsAuthorization(uint32_t uin) {
  return LeadingNumber(ReadUserString(uin, "Main", "AuthRequired", "0", 8)) != 0;
}

bool MayWatch(const SsiList& watcherList, uint32_t watcher, uint32_t target) {
  if (target == 0 || target == watcher) return true;
  const auto& by = watcherList.authorizedBy;
  if (std::find(by.begin(), by.end(), target) != by.end()) return true;
  return !NeedsAuthorization(target);
}
