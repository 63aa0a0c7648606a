#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "VornBOS/presence/icbm.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/owner.h"
#include "platform/clock.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

std::unordered_map<uint32_t, std::vector<ClientInfo*>> watchers;

}  // namespace

const std::vector<ClientInfo*>& WatchersOf(uint32_t uin) {
  static const std::vector<ClientInfo*> none;
  auto it = watchers.find(uin);
  return it == watchers.end() ? none : it->second;
}

void AddWatch(ClientInfo& watcher, uint32_t uin) {
  auto& v = watchers[uin];
  if (std::find(v.begin(), v.end(), &watcher) == v.end()) v.push_back(&watcher);
}

namespace {

void Unindex(ClientInfo& watcher, uint32_t uin) {
  auto it = watchers.find(uin);
  if (it == watchers.end()) return;
  auto& v = it->second;
  v.erase(std::remove(v.begin(), v.end(), &watcher), v.end());
  if (v.empty()) watchers.erase(it);
}

}  // namespace

void DropWatches(ClientInfo& watcher) {
  for (uint32_t uin : watcher.contacts) Unindex(watcher, uin);
  for (uint32_t uin : watcher.ssiContacts) Unindex(watcher, uin);
}

namespace {

// Tells the watcher about a user who is online now, as an upload does, unless that user's
// privacy hides them from the watcher.
void SendOnlineNow(ClientInfo& c, uint32_t uin) {
  ClientInfo* online = FindByUin(uin);
  if (online && online->ClnSocket >= 0 && MaySee(*online, c.UIN)) {
    ReqId id = MakeReqId(++Cfg.snacReqId);
    SendTemplate(c, BuildOnlineNotice(*online), id.b);
  }
}

}  // namespace

void AddContacts(ClientInfo& c) {
  const uint8_t* snac = c.in.data.data();
  size_t len = c.in.length;
  size_t p = 11;
  while (p < len) {
    size_t n = snac[p - 1];
    if (n > 14) {
      WriteLog("Error in  Add contact", 11, c.addr.c_str(), c.UIN);
      return;
    }
    // An entry whose text runs past the SNAC is cut at its end.
    size_t avail = std::min(n, len - p);
    uint32_t uin = DecimalPrefix(std::string_view(reinterpret_cast<const char*>(snac + p), avail));
    // Entries of both paths (upload and stored list) count against MaxContacts.
    if (uin != 0 && Cfg.MaxContacts != 0 && c.contacts.size() + c.ssiContacts.size() >= Cfg.MaxContacts) {
      WriteLog("Contact list full (max=%u). Rest of upload ignored", 11, c.addr.c_str(), c.UIN, Cfg.MaxContacts);
      return;
    }
    // A user who requires authorization is watched only after granting it.
    if (uin != 0 && !MayWatch(OwnerList(c.UIN).list, c.UIN, uin)) {
      WriteLog("Contact %d requires authorization. Not watched", 9, c.addr.c_str(), c.UIN, uin);
    } else if (uin != 0) {
      SendOnlineNow(c, uin);
      c.contacts.push_back(uin);
      AddWatch(c, uin);
    }
    p += n + 1;
  }
}

void SetStoredWatches(ClientInfo& c, std::vector<uint32_t> wanted) {
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  wanted.erase(std::remove(wanted.begin(), wanted.end(), 0u), wanted.end());
  if (Cfg.MaxContacts != 0) {
    size_t room = Cfg.MaxContacts > c.contacts.size() ? Cfg.MaxContacts - c.contacts.size() : 0;
    if (wanted.size() > room) {
      WriteLog("Contact list full (max=%u). Rest of stored list not watched", 11, c.addr.c_str(), c.UIN,
               Cfg.MaxContacts);
      wanted.resize(room);
    }
  }
  auto uploaded = [&](uint32_t uin) { return std::find(c.contacts.begin(), c.contacts.end(), uin) != c.contacts.end(); };
  std::vector<uint32_t> gone, added;
  std::set_difference(c.ssiContacts.begin(), c.ssiContacts.end(), wanted.begin(), wanted.end(), std::back_inserter(gone));
  std::set_difference(wanted.begin(), wanted.end(), c.ssiContacts.begin(), c.ssiContacts.end(), std::back_inserter(added));
  c.ssiContacts = std::move(wanted);
  for (uint32_t uin : gone)
    if (!uploaded(uin)) Unindex(c, uin);
  for (uint32_t uin : added) {
    if (uploaded(uin)) continue;
    SendOnlineNow(c, uin);
    AddWatch(c, uin);
  }
}

namespace {

// "DD.MM.YY HH:MM" as local time; anything else gives -1.
int32_t ParseListDate(const std::string& text) {
  if (text.size() != 14) return -1;
  auto two = [&](size_t pos) { return (text[pos] - '0') * 10 + (text[pos + 1] - '0'); };
  std::tm tm{};
  tm.tm_mday = two(0);
  tm.tm_mon = two(3) - 1;
  tm.tm_year = 100 + two(6);
  tm.tm_hour = two(9);
  tm.tm_min = two(12);
  tm.tm_isdst = 0;
  return static_cast<int32_t>(plat::MakeLocalTime(tm));
}

}  // namespace

void ReadListStamp(uint32_t uin, uint32_t& time, uint32_t& count) {
  count = LeadingNumber(ReadUserString(uin, "Contacts", "Size", "0", 100));
  time = static_cast<uint32_t>(ParseListDate(ReadUserString(uin, "Contacts", "Date", "0", 100)));
}

// The reply carries the request's own request id and the connection's next sequence number,
// so that clients can match it to their request.
void SendListUpToDate(ClientInfo& c) {
  uint32_t count = 0, when = 0;
  ReadListStamp(c.UIN, when, count);
  WireWriter w(16);
  w.be16(0x0013).be16(0x000F).be16(0).bytes(c.in.data.data() + 6, 4);
  w.le32(when).le16(static_cast<uint16_t>(count));
  QueueFrame(c, 2, w.buffer());
}
