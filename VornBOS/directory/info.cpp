// Full and short info of a user, read from the user's file at the time of the request.
#include <optional>
#include <string>
#include <vector>

#include "VornBOS/directory/dirtext.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/session.h"
#include "platform/clock.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

constexpr size_t kInfoValueSize = 300;  // texts are sent with at most 299 characters

constexpr uint16_t kShortInfo = 0x0104;
constexpr uint16_t kHomeInfo = 0x00C8;
constexpr uint16_t kMoreInfo = 0x00DC;
constexpr uint16_t kMoreEmails = 0x00EB;
constexpr uint16_t kWorkInfo = 0x00D2;
constexpr uint16_t kAboutInfo = 0x00E6;

// The user asked about, from the first four bytes of the subtype data.
bool TargetUin(const MetaRequest& req, uint32_t& uin) {
  WireReader r(req.data, req.len);
  uin = r.le32();
  if (r.ok()) return true;
  WriteLog("Info request too short, %u bytes", 7, req.client.addr.c_str(), req.client.UIN,
           static_cast<unsigned>(req.len));
  return false;
}

class UserReader {
 public:
  explicit UserReader(uint32_t uin) : uin_(uin) {}
  std::string text(const char* section, const char* key, const char* def = "") const {
    return ReadUserString(uin_, section, key, def, kInfoValueSize);
  }
  uint32_t number(const char* section, const char* key, const char* def) const {
    return LeadingNumber(text(section, key, def));
  }
  // An empty stored code is code 0, not the two missing characters decoded.
  uint16_t country(const char* section) const {
    std::string code = text(section, "country", "00");
    return code.empty() ? 0 : DecodeCountry(code);
  }
  std::vector<std::string> list(const char* section) const {
    return ReadUserList(uin_, section, kInfoValueSize);
  }

 private:
  uint32_t uin_;
};

void SendHomeInfo(const MetaRequest& req, const UserReader& u) {
  WireWriter w = StartMetaReply(kHomeInfo, kMetaSuccess);
  for (const char* key : {"nick", "First", "Last", "Email", "City", "State", "Phone", "Fax",
                          "Street", "Cell", "Zip"})
    w.metaString(u.text("Main", key));
  w.le16(u.country("Main"));
  w.u8(static_cast<uint8_t>(u.number("Main", "timezone", "0")));
  w.u8(static_cast<uint8_t>(u.number("Main", "Publish", "1")));
  w.u8(0x02).u8(0x00);
  FinishMetaReply(req, std::move(w.buffer()));
}

struct BirthDate {
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
};

// A stored birth date counts only as exactly ten characters, DD.MM.YYYY.
std::optional<BirthDate> ParseBirthDate(const std::string& text) {
  if (text.size() != 10) return std::nullopt;
  BirthDate d;
  d.day = static_cast<uint8_t>(LeadingNumber(text.substr(0, 2)));
  d.month = static_cast<uint8_t>(LeadingNumber(text.substr(3, 2)));
  d.year = static_cast<uint16_t>(LeadingNumber(text.substr(6, 4)));
  return d;
}

void SendMoreInfo(const MetaRequest& req, const UserReader& u) {
  std::optional<BirthDate> birth = ParseBirthDate(u.text("Etc", "BirthDay"));
  uint16_t age = static_cast<uint16_t>(u.number("Etc", "Age", "0"));
  if (birth) age = AgeOn(birth->year, birth->month, birth->day, plat::LocalTimeNow());
  std::string sex = u.text("Etc", "Sex", "0");

  WireWriter w = StartMetaReply(kMoreInfo, kMetaSuccess);
  w.le16(age);
  w.u8(sex.empty() ? 0 : static_cast<uint8_t>(sex[0] - 0x30));
  w.metaString(u.text("Etc", "Homepage"));
  BirthDate d = birth.value_or(BirthDate{});
  w.le16(d.year).u8(d.month).u8(d.day);
  for (const char* key : {"lang1", "lang2", "lang3"})
    w.u8(static_cast<uint8_t>(u.number("Etc", key, "0")));
  static const uint8_t kTail[11] = {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0};
  w.bytes(kTail, sizeof kTail);
  FinishMetaReply(req, std::move(w.buffer()));
}

void SendMoreEmails(const MetaRequest& req, const UserReader& u) {
  std::vector<std::string> mails = u.list("MAIL");
  WireWriter w = StartMetaReply(kMoreEmails, kMetaSuccess);
  w.u8(static_cast<uint8_t>(mails.size()));
  for (const std::string& m : mails) w.u8(0x01).metaString(m);
  FinishMetaReply(req, std::move(w.buffer()));
}

void SendWorkInfo(const MetaRequest& req, const UserReader& u) {
  WireWriter w = StartMetaReply(kWorkInfo, kMetaSuccess);
  for (const char* key : {"city", "state", "phone", "fax", "Street", "ZIP"})
    w.metaString(u.text("Work", key));
  w.le16(u.country("Work"));
  for (const char* key : {"COMPANY", "DEPARTMENT", "POSITION"}) w.metaString(u.text("Work", key));
  w.le16(static_cast<uint16_t>(u.number("Work", "OCCUPATION", "")));
  w.metaString(u.text("Work", "homepage"));
  FinishMetaReply(req, std::move(w.buffer()));
}

void SendAboutInfo(const MetaRequest& req, const UserReader& u) {
  WireWriter w = StartMetaReply(kAboutInfo, kMetaSuccess);
  w.metaString(JoinAboutLines(u.list("About")));
  FinishMetaReply(req, std::move(w.buffer()));
}

}  // namespace

void SendFullInfo(const MetaRequest& req) {
  uint32_t uin = 0;
  if (!TargetUin(req, uin)) return;
  WriteLog("Request info ext about uin=%d", 9, req.client.addr.c_str(), req.client.UIN,
           static_cast<int>(uin));
  UserReader u(uin);
  size_t first = req.client.sendQueue.size();
  SendHomeInfo(req, u);
  SendMoreInfo(req, u);
  SendMoreEmails(req, u);
  SendMetaTemplate(req, CannedReply(0x010E));
  SendWorkInfo(req, u);
  SendAboutInfo(req, u);
  SendMetaTemplate(req, CannedReply(0x00F0));
  SendMetaTemplate(req, CannedReply(0x00FA));
  MarkMoreRepliesFollow(req.client, first);
}

void SendShortInfo(const MetaRequest& req) {
  uint32_t uin = 0;
  if (!TargetUin(req, uin)) return;
  WriteLog("Request info about uin=%d", 9, req.client.addr.c_str(), req.client.UIN,
           static_cast<int>(uin));
  UserReader u(uin);
  WireWriter w = StartMetaReply(kShortInfo, kMetaSuccess);
  for (const char* key : {"nick", "first", "last", "Email"}) w.metaString(u.text("Main", key));
  FinishMetaReply(req, std::move(w.buffer()));
}
