#include "VornBOS/session.h"

#include <algorithm>
#include <cstdlib>

#include "VornBOS/admin/metrics.h"
#include "VornBOS/presence/presence.h"
#include "VornBOS/ssi/owner.h"
#include "server-core/log.h"

namespace {

std::list<ClientInfo> sessions;  // oldest first
std::unordered_map<plat::Socket, ClientInfo*> bySocket;
std::unordered_map<uint32_t, std::vector<ClientInfo*>> byUin;  // each vector oldest first
uint64_t createdCounter = 0;

void IndexUin(ClientInfo& c) {
  auto& v = byUin[c.UIN];
  auto pos = std::upper_bound(v.begin(), v.end(), &c,
                              [](const ClientInfo* a, const ClientInfo* b) { return a->created < b->created; });
  v.insert(pos, &c);
}

void UnindexUin(ClientInfo& c) {
  auto it = byUin.find(c.UIN);
  if (it == byUin.end()) return;
  auto& v = it->second;
  v.erase(std::remove(v.begin(), v.end(), &c), v.end());
  if (v.empty()) byUin.erase(it);
}

}  // namespace

std::list<ClientInfo>& SessionList() { return sessions; }

ClientInfo& CreateSession(plat::Socket s) {
  sessions.emplace_back();
  ClientInfo& c = sessions.back();
  c.self = std::prev(sessions.end());
  c.contacts.reserve(100);
  c.Seq = FirstSequence();
  c.connectTime = static_cast<uint32_t>(std::time(nullptr));
  c.created = ++createdCounter;
  c.ClnSocket = s;
  bySocket[s] = &c;
  IndexUin(c);
  return c;
}

namespace {
uint64_t destroyed = 0;
}

uint64_t SessionsDestroyed() { return destroyed; }

void DestroySession(ClientInfo& c) {
  ++destroyed;
  // Only a logged-in user went offline: a refused login or a command connection merely
  // carries a number and must not announce that user's departure.
  if (c.isLogged) {
    NotifyDeparture(c);
    Counters().sessions.fetch_sub(1, std::memory_order_relaxed);
  }
  DropWatches(c);
  SsiSessionEnded(c);
  if (c.ClnSocket >= 0) {
    bySocket.erase(c.ClnSocket);
    FlushLog();  // the lines about this connection are in the file before its peer sees the close
    if (EventWindow) EventWindow->Close(c.ClnSocket);
    c.ClnSocket = -1;
  }
  UnindexUin(c);
  sessions.erase(c.self);
}

void QueueSessionFrame(ClientInfo& c, std::vector<uint8_t>&& frame) {
  if (frame.size() < kFlapHeader) return;
  PutBe16(&frame[2], NextSeq(c));
  QueueRawFrame(c, std::move(frame));
}

ClientInfo* FindBySocket(plat::Socket s) {
  auto it = bySocket.find(s);
  return it == bySocket.end() ? nullptr : it->second;
}

ClientInfo* FindByUin(uint32_t uin) {
  auto it = byUin.find(uin);
  if (it == byUin.end()) return nullptr;
  const auto& v = it->second;
  for (auto s = v.rbegin(); s != v.rend(); ++s)
    if ((*s)->isLogged) return *s;
  return nullptr;
}

ClientInfo* FindUser(uint32_t uin) { return uin != 0 ? FindByUin(uin) : nullptr; }

void SetSessionUin(ClientInfo& c, uint32_t uin) {
  if (c.UIN == uin) return;
  UnindexUin(c);
  c.UIN = uin;
  IndexUin(c);
}

size_t SessionCount() { return sessions.size(); }

void DumpSessions() {
  ForEachSession([](ClientInfo& c) {
    const char* a = c.addr.c_str();
    WriteLog("Socket=%d Port=%d", 6, a, c.UIN, c.ClnSocket, c.Port);
    WriteLog("ipExt=%d.%d.%d.%d", 6, "", c.UIN, c.ipExt[0], c.ipExt[1], c.ipExt[2], c.ipExt[3]);
    WriteLog("ipInt=%d.%d.%d.%d", 6, "", c.UIN, c.ipInt[0], c.ipInt[1], c.ipInt[2], c.ipInt[3]);
    WriteLog("Recv: waitBytes=%d isWaitHead=%d", 6, "", c.UIN, c.in.waitBytes, c.in.isWaitHead ? 1 : 0);
    if (c.sendQueue.empty())
      WriteLog("Send: Num FLAP=0", 6, "", c.UIN);
    else
      WriteLog("Send: Num FLAP=%d waitBytes=%d isWaitHead=%d", 6, "", c.UIN,
               static_cast<int>(c.sendQueue.size()), c.sendQueue.front().waitBytes,
               c.sendQueue.front().isWaitHead ? 1 : 0);
    auto asInt = [](const uint8_t b[4]) {
      return static_cast<int32_t>((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
    };
    WriteLog("Cookie=%d Version=%d Seq=%d  Status=%d", 6, "", c.UIN, asInt(c.Cookie), c.Version,
             static_cast<int32_t>(c.Seq), asInt(c.Status));
    for (uint32_t uin : c.contacts) WriteLog("%d", 6, "", c.UIN, uin);
  });
}
