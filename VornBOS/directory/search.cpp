// White-pages search: by first name, last name and nickname, by number and by e-mail address.
// The name and e-mail searches walk the user index, which is brought in line with the user
// directory before every walk (user_index.h), so each request sees the folder as it is.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VornBOS/directory/dirtext.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/directory/user_index.h"
#include "VornBOS/session.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

constexpr uint16_t kNameMore = 0x0190;
constexpr uint16_t kNameLast = 0x019A;
constexpr uint16_t kEmailMore = 0x01A4;
constexpr uint16_t kEmailLast = 0x01AE;

constexpr uint16_t kTlvFirst = 0x0140;
constexpr uint16_t kTlvLast = 0x014A;
constexpr uint16_t kTlvNick = 0x0154;
constexpr uint16_t kTlvEmail = 0x015E;
// The TLV-form white-pages search; its results go out with the e-mail search's subtypes,
// the only ones some clients read.
constexpr uint16_t kWhitePagesTlv = 0x055F;

constexpr size_t kCompareSize = 100;  // values compared: at most 99 characters
constexpr size_t kNickMax = 22;
constexpr size_t kNameMax = 23;
constexpr size_t kEmailMax = 99;

struct Found {
  uint32_t uin = 0;
  std::string nick, first, last, email;
};

// Result record: length, UIN, four strings and six zero bytes (the trailer is added for the
// last result only).
std::vector<uint8_t> ResultRecord(const Found& f) {
  WireWriter w;
  size_t textLen = f.nick.size() + f.first.size() + f.last.size() + f.email.size();
  w.le16(static_cast<uint16_t>(textLen + 44)).le32(f.uin);
  w.metaString(f.nick).metaString(f.first).metaString(f.last).metaString(f.email);
  w.zeros(6);
  return std::move(w.buffer());
}

void SendRecord(const MetaRequest& req, uint16_t subtype, const std::vector<uint8_t>& record,
                bool last) {
  WireWriter w = StartMetaReply(subtype, kMetaSuccess);
  w.bytes(record.data(), record.size());
  if (last) w.zeros(4);
  FinishMetaReply(req, std::move(w.buffer()));
}

// Sends the results of a walk: each one is held back until the next turns up, so that the last
// one can go out with the last-result subtype and the trailer.
class ResultSender {
 public:
  ResultSender(const MetaRequest& req, uint16_t more, uint16_t last)
      : req_(req), more_(more), last_(last) {}

  void add(const Found& f) {
    if (held_) SendRecord(req_, more_, *held_, false);
    held_ = ResultRecord(f);
  }
  // Sends the last result, or the nothing-found reply when there was none.
  void finish() {
    if (held_)
      SendRecord(req_, last_, *held_, true);
    else
      SendMetaTemplate(req_, CannedReply(last_));
  }

 private:
  const MetaRequest& req_;
  uint16_t more_, last_;
  std::optional<std::vector<uint8_t>> held_;
};

// Visits every user file whose name is its user's number.
template <typename F>
void ForEachUser(F&& visit) {
  ForEachIndexedUser(visit);
}

std::string Read(uint32_t uin, const char* key, const char* def, size_t size) {
  return IndexedUserString(uin, key, def, size);
}

struct NameKeys {
  std::string first, last, nick, email;
  bool empty() const { return first.empty() && last.empty() && nick.empty() && email.empty(); }
};

// The keys of a name search: a series of little-endian TLVs up to the end of the data. A TLV
// whose header or value does not fit in the data ends the scan.
NameKeys ParseNameKeys(const MetaRequest& req) {
  NameKeys keys;
  WireReader r(req.data, req.len);
  while (r.has(4)) {
    uint16_t type = r.le16();
    uint16_t length = r.le16();
    if (!r.has(length)) break;
    std::string_view value = r.bytes(length);
    switch (type) {
      case kTlvFirst: keys.first = ClippedMetaText(value); break;
      case kTlvLast: keys.last = ClippedMetaText(value); break;
      case kTlvNick: keys.nick = ClippedMetaText(value); break;
      case kTlvEmail: keys.email = ClippedMetaText(value); break;
      default:
        WriteLog("Uknow tlv type=0x%x in find request ", 7, req.client.addr.c_str(),
                 req.client.UIN, static_cast<unsigned>(type));
    }
  }
  return keys;
}

// Compares one stored value with a key; an empty key matches anything. The value is read only
// when it is needed.
bool KeyMatches(uint32_t uin, const char* name, const std::string& key, std::string& value) {
  value = Read(uin, name, "", kCompareSize);
  return key.empty() || SameTextNoCase(key, value);
}

// Runs a name (and e-mail) search and sends its results with the given subtypes.
void RunNameSearch(const MetaRequest& req, const NameKeys& keys, uint16_t more, uint16_t last) {
  if (keys.empty()) {
    SendMetaTemplate(req, CannedReply(last));
    return;
  }
  ResultSender results(req, more, last);
  ForEachUser([&](uint32_t uin) {
    Found f;
    if (!KeyMatches(uin, "First", keys.first, f.first) ||
        !KeyMatches(uin, "Last", keys.last, f.last) ||
        !KeyMatches(uin, "nick", keys.nick, f.nick))
      return;
    if (!keys.email.empty() && !SameTextNoCase(keys.email, Read(uin, "email", "", kCompareSize))) return;
    f.uin = uin;
    f.nick = Clip(std::move(f.nick), kNickMax);
    f.first = Clip(std::move(f.first), kNameMax);
    f.last = Clip(std::move(f.last), kNameMax);
    f.email = Read(uin, "Email", " ", kEmailMax + 1);
    results.add(f);
  });
  results.finish();
}

}  // namespace

void SearchByName(const MetaRequest& req) {
  if (req.subtype == kWhitePagesTlv)
    RunNameSearch(req, ParseNameKeys(req), kEmailMore, kEmailLast);
  else
    RunNameSearch(req, ParseNameKeys(req), kNameMore, kNameLast);
}

void SearchWhitePages(const MetaRequest& req) {
  // Fixed fields: first, last, nick and e-mail as meta strings; the rest is not searched.
  WireReader r(req.data, req.len);
  NameKeys keys;
  for (std::string* key : {&keys.first, &keys.last, &keys.nick, &keys.email}) {
    std::string_view v = r.metaString();
    if (!r.ok()) break;
    *key = MetaText(v);
  }
  RunNameSearch(req, keys, kEmailMore, kEmailLast);
}

void SearchByEmail(const MetaRequest& req) {
  std::string_view data(reinterpret_cast<const char*>(req.data), req.len);
  std::string wanted = data.size() > 4 ? ClippedMetaText(data.substr(4)) : std::string();
  if (wanted.size() <= 3) {
    SendMetaTemplate(req, CannedReply(kEmailLast));
    return;
  }
  ResultSender results(req, kEmailMore, kEmailLast);
  ForEachUser([&](uint32_t uin) {
    std::string email = Read(uin, "email", "", kCompareSize);
    if (email.empty() || !SameTextNoCase(email, wanted)) return;
    Found f;
    f.uin = uin;
    f.email = std::move(email);
    f.nick = Read(uin, "nick", "", kNickMax + 1);
    f.first = Read(uin, "First", " ", kNameMax + 1);
    f.last = Read(uin, "Last", " ", kNameMax + 1);
    results.add(f);
  });
  results.finish();
}

void SearchByUin(const MetaRequest& req) {
  WireReader r(req.data, req.len);
  r.skip(4);  // TLV type and length
  uint32_t uin = r.le32();
  Found f;
  if (r.ok()) f.nick = Read(uin, "nick", "", 24);
  if (f.nick.empty()) {
    SendMetaTemplate(req, CannedReply(kNameLast));
    return;
  }
  f.uin = uin;
  f.email = Read(uin, "email", " ", 128);
  f.first = Read(uin, "First", " ", 24);
  f.last = Read(uin, "Last", " ", 24);
  SendRecord(req, kNameLast, ResultRecord(f), true);
}
