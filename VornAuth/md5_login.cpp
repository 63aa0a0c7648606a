#include "VornAuth/md5_login.h"

#include "VornAuth/auth.h"
#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

constexpr std::string_view kSuffix = "AOL Instant Messenger (SM)";
constexpr const char* kErrorUrl = "http://127.0.0.1/vorn/login-error.html";
constexpr uint16_t kTlvUin = 0x0001;
constexpr uint16_t kTlvDigest = 0x0025;
constexpr uint16_t kTlvHashedFirst = 0x004C;
constexpr uint16_t kErrorPassword = 0x0005;
constexpr size_t kKeyDigits = 10;

std::string FreshKey() {
  uint8_t raw[kKeyDigits];
  if (!TakeRandomBytes(raw, sizeof(raw)))
    for (auto& b : raw) b = static_cast<uint8_t>(std::rand());
  std::string key;
  for (uint8_t b : raw) key += static_cast<char>('0' + b % 10);
  return key;
}

void ResumeReading(AuthClient& c) {
  c.in.waitBytes = kFlapHeader;
  if (!c.onePass) PostSocketEvent(c.ClnSocket, plat::FD_READ);  // a one-pass reader goes on by itself
}

WireWriter ReplyHeader(const AuthClient& c, uint16_t subtype) {
  WireWriter w(320);
  w.be16(0x0017).be16(subtype).be16(0).bytes(c.in.data.data() + 6, 4);
  return w;
}

struct LoginTlvs {
  std::string uin;
  std::string digest;
  bool hashedFirst = false;
};

LoginTlvs ReadTlvs(const AuthClient& c) {
  LoginTlvs t;
  WireReader r(c.in.data.data(), c.in.length);
  r.seek(10);
  while (r.has(4)) {
    uint16_t type = r.be16();
    std::string_view value = r.bytes(r.be16());
    if (!r.ok()) break;
    if (type == kTlvUin) t.uin = std::string(value);
    else if (type == kTlvDigest) t.digest = std::string(value);
    else if (type == kTlvHashedFirst) t.hashedFirst = true;
  }
  return t;
}

void SendKey(AuthClient& c) {
  std::string key = FreshKey();
  c.md5Key = key;
  WireWriter w = ReplyHeader(c, 0x0007);
  w.be16(static_cast<uint16_t>(key.size())).bytes(key);
  QueueFrame(c, 2, w.buffer());
  ResumeReading(c);
}

bool Accepted(AuthClient& c, const LoginTlvs& t) {
  // A key serves one attempt.
  std::string key = std::move(c.md5Key);
  c.md5Key.clear();
  if (key.empty()) {
    WriteLog("Login without key", 9, c.addr.c_str(), c.UIN);
    return false;
  }
  std::string stored;
  bool locked = false;
  if (!ReadStoredPassword(c, stored, locked)) return false;
  if (stored.empty()) {
    WriteLog("User pass not find", 11, c.addr.c_str(), c.UIN);
    return false;
  }
  if (!Md5DigestMatches(key, stored, t.hashedFirst, t.digest)) {
    WriteLog("User pass not eqvil", 9, c.addr.c_str(), c.UIN);
    return false;
  }
  // A locked user gets the same refusal as a wrong password.
  if (locked) {
    WriteLog("User locked", 9, c.addr.c_str(), c.UIN);
    return false;
  }
  return true;
}

// Checks the digest, replaces the cookie file as the roasted login does and answers.
void AnswerLogin(AuthClient& c) {
  LoginTlvs t = ReadTlvs(c);
  c.UIN = LeadingNumber(t.uin);
  bool accepted = Accepted(c, t);
  std::vector<uint8_t> cookie = accepted ? MakeCookie(c.UIN) : std::vector<uint8_t>();
  if (!WriteCookieFile(c, cookie)) accepted = false;
  WireWriter w = ReplyHeader(c, 0x0003);
  PutTLV(w, 0x0001, {c.UIN, nullptr, {}});
  if (accepted) {
    PutTLV(w, 0x0005);
    w.be16(0x0006).be16(static_cast<uint16_t>(cookie.size())).bytes(cookie.data(), cookie.size());
  } else {
    PutTLV(w, 0x0004, {0, nullptr, kErrorUrl});
    PutTLV(w, 0x0008, {kErrorPassword, nullptr, {}});
  }
  QueueFrame(c, 2, w.buffer());
  WriteLog(accepted ? "User auth OK (MD5)" : "User auth failed (MD5)", 7, c.addr.c_str(), c.UIN);
}

}  // namespace

bool Md5DigestMatches(std::string_view key, const std::string& password, bool hashedFirst, std::string_view digest) {
  if (digest.size() != 16) return false;
  std::string secret = password;
  if (hashedFirst) {
    Md5Digest h = Md5(password);
    secret.assign(h.begin(), h.end());
  }
  std::string base = std::string(key) + secret;
  for (const std::string& text : {base + std::string(kSuffix), base}) {
    Md5Digest d = Md5(text);
    if (std::string_view(reinterpret_cast<const char*>(d.data()), d.size()) == digest) return true;
  }
  return false;
}

Md5Step HandleMd5Frame(AuthClient& c) {
  const uint8_t* d = c.in.data.data();
  size_t len = c.in.length;
  // The bare hello that precedes the key request is not a login.
  if (c.in.channel() == 1 && len == 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) {
    ResumeReading(c);
    return Md5Step::Continue;
  }
  if (c.in.channel() != 2 || len < 10 || GetBe16(d) != 0x0017) return Md5Step::NotMine;
  switch (GetBe16(d + 2)) {
    case 0x0006:
      // A few keys serve a client that retries; a connection that asks on and on is closed.
      if (++c.keyRequests > kMaxKeyRequests) {
        WriteLog("Too many key requests. Closed", 9, c.addr.c_str(), c.UIN);
        return Md5Step::Close;
      }
      SendKey(c);
      return Md5Step::Continue;
    case 0x0002:
      AnswerLogin(c);
      return Md5Step::Answered;
    default:
      return Md5Step::NotMine;
  }
}
