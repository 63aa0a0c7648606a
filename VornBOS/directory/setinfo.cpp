// The set-info requests: a client changes the details in its own user file. Fields are read in
// order; a request that ends inside a field stores nothing from that field on. All fields of
// one request are written in one durable replacement of the file, or none is: the reply says
// which (result 0x0A when written, 0x32 when not).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "VornBOS/directory/dirtext.h"
#include "VornBOS/directory/handlers.h"
#include "VornBOS/session.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

namespace {

constexpr int kAboutKeys = 20;

// Reads the fields of one request and collects them for one section of the session user's file.
class FieldWriter {
 public:
  FieldWriter(const MetaRequest& req, const char* section) : r_(req.data, req.len), section_(section) {}

  const std::vector<plat::ProfileEdit>& edits() const { return edits_; }

  bool text(const char* key) {
    std::optional<std::string> t = TakeMetaText(r_);
    return t && store(key, ProfileValue(OneLine(*t)));
  }
  bool country(const char* key) {
    if (!r_.has(2)) return false;
    return store(key, EncodeCountry(r_.le16()));
  }
  bool byteNumber(const char* key) {
    if (!r_.has(1)) return false;
    return store(key, std::to_string(r_.u8()));
  }
  bool wordNumber(const char* key) {
    if (!r_.has(2)) return false;
    return store(key, std::to_string(r_.le16()));
  }
  bool byteChar(const char* key) {
    if (!r_.has(1)) return false;
    return store(key, EncodeByteChar(r_.u8()));
  }
  // Year (signed 16 bits), month and day, stored as DD.MM.YYYY.
  bool birthDay(const char* key) {
    if (!r_.has(4)) return false;
    auto year = static_cast<int16_t>(r_.le16());
    unsigned month = r_.u8();
    unsigned day = r_.u8();
    char text[40];
    std::snprintf(text, sizeof text, "%2.2u.%2.2u.%4.4u", day, month,
                  static_cast<unsigned>(static_cast<int>(year)));
    return store(key, text);
  }

 private:
  bool store(const char* key, const std::string& value) {
    edits_.push_back(plat::ProfileEdit{section_, key, value});
    return true;
  }

  WireReader r_;
  const char* section_;
  std::vector<plat::ProfileEdit> edits_;
};

void LogSet(const MetaRequest& req, const char* what) {
  WriteLog("%s", 9, req.client.addr.c_str(), req.client.UIN, what);
}

// Writes the request's fields in one replacement and answers with the reply subtype: success
// when written, failure (logged) when not.
void StoreAndReply(const MetaRequest& req, const std::vector<plat::ProfileEdit>& edits, uint16_t reply) {
  if (WriteUserStrings(req.client.UIN, edits)) {
    SendMetaTemplate(req, CannedReply(reply));
    return;
  }
  WriteLog("User file not written (%s). Nothing changed", 11, req.client.addr.c_str(), req.client.UIN,
           std::strerror(errno ? errno : EIO));
  SendMetaTemplate(req, StartMetaReply(reply, kMetaFailure).buffer());
}

}  // namespace

void SetHomeInfo(const MetaRequest& req) {
  LogSet(req, "Set general");
  FieldWriter f(req, "Main");
  (void)(f.text("Nick") && f.text("First") && f.text("Last") && f.text("Email") &&
         f.text("City") && f.text("State") && f.text("Phone") && f.text("Fax") &&
         f.text("Street") && f.text("Cell") && f.text("Zip") && f.country("Country") &&
         f.byteNumber("timezone") && f.byteChar("Publish"));
  StoreAndReply(req, f.edits(), 0x0064);
}

void SetWorkInfo(const MetaRequest& req) {
  LogSet(req, "Set work");
  FieldWriter f(req, "Work");
  (void)(f.text("City") && f.text("State") && f.text("Phone") && f.text("Fax") &&
         f.text("Street") && f.text("ZIP") && f.country("Country") && f.text("COMPANY") &&
         f.text("DEPARTMENT") && f.text("POSITION") && f.wordNumber("OCCUPATION") &&
         f.text("homepage"));
  StoreAndReply(req, f.edits(), 0x006E);
}

void SetMoreInfo(const MetaRequest& req) {
  LogSet(req, "Set more");
  FieldWriter f(req, "Etc");
  (void)(f.wordNumber("Age") && f.byteChar("Sex") && f.text("Homepage") &&
         f.birthDay("BirthDay") && f.byteNumber("Lang1") && f.byteNumber("Lang2") &&
         f.byteNumber("Lang3"));
  StoreAndReply(req, f.edits(), 0x0078);
}

void SetAbout(const MetaRequest& req) {
  LogSet(req, "Set about");
  WireReader r(req.data, req.len);
  std::vector<plat::ProfileEdit> edits;
  if (std::optional<std::string> text = TakeMetaText(r)) {
    std::vector<std::string> lines = SplitAboutText(*text);
    int n = 0;
    for (const std::string& line : lines) edits.push_back({"About", std::to_string(n++), ProfileValue(line)});
    for (; n < kAboutKeys; ++n) edits.push_back({"About", std::to_string(n), std::nullopt});
  }
  StoreAndReply(req, edits, 0x0082);
}

// A password is stored exactly as sent, quoted when a profile read would change it. One holding
// a line break cannot be stored as sent and could never be used to log in: the old password is
// kept and the acknowledgement reports the failure.
void SetPassword(const MetaRequest& req) {
  static const std::vector<uint8_t> refused = StartMetaReply(0x00AA, kMetaFailure).buffer();
  LogSet(req, "Set pass");
  WireReader r(req.data, req.len);
  std::optional<std::string> pass = TakeMetaText(r);
  if (pass && pass->find_first_of("\r\n") != std::string::npos) {
    WriteLog("Password with a line break not stored", 9, req.client.addr.c_str(), req.client.UIN);
    SendMetaTemplate(req, refused);
    return;
  }
  std::vector<plat::ProfileEdit> edits;
  if (pass) edits.push_back({"Main", "Pass", ProfileValue(*pass)});
  StoreAndReply(req, edits, 0x00AA);
}
