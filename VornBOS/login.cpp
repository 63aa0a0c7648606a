#include "VornBOS/login.h"

#include <algorithm>

#include "VornBOS/admin/metrics.h"
#include "VornBOS/session.h"
#include "VornBOS/templates.h"
#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/log.h"

namespace {

constexpr size_t kCookieSize = 256;
constexpr size_t kCookieOffset = 8;  // data offset of the cookie in the login frame
constexpr const char* kErrorUrl = "http://127.0.0.1/vorn/login-error.html";

uint32_t UinFromCookie(const uint8_t* cookie) {
  return (uint32_t(cookie[33]) << 24) | (uint32_t(cookie[159]) << 16) | (uint32_t(cookie[97]) << 8) | cookie[125];
}

bool CookieMatches(ClientInfo& c, const uint8_t* cookie) {
  std::string path = Cfg.cookieDir + std::to_string(static_cast<int32_t>(c.UIN));
  // The read takes the lock the authorization server writes under; a file that is being
  // rewritten right now counts as a different cookie, without a log line.
  bool busy = false;
  auto stored = plat::ReadFileLocked(path, kCookieSize, busy);
  if (!stored) {
    if (!busy) WriteLog("Cannot open cookie.", 11, c.addr.c_str(), c.UIN);
    return false;
  }
  return stored->size() == kCookieSize && std::equal(stored->begin(), stored->end(), cookie);
}

void SendRefusal(ClientInfo& c) {
  Count(Counters().signonRefused);
  WireWriter w(128);
  PutTLV(w, 0x0001, {c.UIN, nullptr, {}});
  PutTLV(w, 0x0004, {0, nullptr, kErrorUrl});
  PutTLV(w, 0x0008, {0x0005, nullptr, {}});
  QueueFrame(c, 1, w.buffer());
}

}  // namespace

void LoginByCookie(ClientInfo& c) {
  SetSessionUin(c, 0);
  if (c.in.length < kCookieOffset + kCookieSize) {
    SendRefusal(c);
    return;
  }
  const uint8_t* cookie = c.in.data.data() + kCookieOffset;
  uint32_t uin = UinFromCookie(cookie);
  ClientInfo* older = uin != 0 ? FindByUin(uin) : nullptr;
  SetSessionUin(c, uin);
  if (!CookieMatches(c, cookie)) {
    SendRefusal(c);
    return;
  }
  if (older && older != &c) {
    WriteLog("First connection - disconnect", 9, older->addr.c_str(), older->UIN);
    DestroySession(*older);
  }
  WriteLog("Connect", 9, c.addr.c_str(), c.UIN);
  c.isLogged = true;
  Count(Counters().signonOk);
  Counters().sessions.fetch_add(1, std::memory_order_relaxed);
  std::fill(c.Status, c.Status + 4, 0);
  ReqId id = MakeReqId(Cfg.snacReqId++);
  SendTemplate(c, ServiceFamiliesFrame(), id.b);
}
