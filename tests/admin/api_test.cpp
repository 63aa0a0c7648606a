// The management API against the real servers, with real OSCAR clients signed on.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <algorithm>

#include "tests/admin/admin_support.h"
#include "tests/support/oscar_client.h"

using namespace vt;
using nlohmann::json;

namespace {

class Api : public ::testing::Test {
 protected:
  void SetUp() override {
    apiPort = FreePort();
    dir.WriteIni(8, "[Lists]\n0=9001\n\n[Admin]\nListen=127.0.0.1:" + std::to_string(apiPort) +
                        "\nTimeout=1\nSampleSeconds=1\n");
    WriteAdminToken(dir, kToken);
    dir.WriteUser(1000, "[Main]\nPass=pw\nNick=alice\n");
    dir.WriteUser(1001, "[Main]\nPass=pw\nNick=bob\n");
    dir.WriteUser(9001, "[List]\n0=1000\n1=1001\n");
    ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
    ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
    ASSERT_TRUE(WaitFor([&] { return Call("GET", "/api/version").status == 200; }));
  }

  struct Answer {
    int status = 0;
    std::string body;
    json j() const { return json::parse(body, nullptr, false); }
  };
  Answer Call(const std::string& method, const std::string& path, const std::string& body = "{}",
              const std::string& token = kToken) {
    httplib::Client c("127.0.0.1", apiPort);
    c.set_read_timeout(5, 0);
    httplib::Headers h;
    if (!token.empty()) h.emplace("Authorization", token.rfind("Basic", 0) == 0 ? token : "Bearer " + token);
    httplib::Result r = method == "GET"      ? c.Get(path.c_str(), h)
                        : method == "DELETE" ? c.Delete(path.c_str(), h, body, "application/json")
                        : method == "PUT"    ? c.Put(path.c_str(), h, body, "application/json")
                                             : c.Post(path.c_str(), h, body, "application/json");
    if (!r) return {};
    return {r->status, r->body};
  }

  static constexpr const char* kToken = "0123456789abcdef-test-token";
  DataDir dir;
  ServerProcess auth, bos;
  uint16_t apiPort = 0;
};

// A raw TCP connection to the API port; true when the server closes it within the time.
bool ClosedWithin(uint16_t port, const std::string& send, int ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(0x7F000001);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
  if (!send.empty()) (void)!::write(fd, send.data(), send.size());
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[512];
  long n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
  }
  ::close(fd);
  return n == 0;
}

TEST_F(Api, AccessNeedsTheTokenAndAnAllowedAddress) {
  struct Case {
    const char* path;
    std::string token;
    int status;
  } cases[] = {
      {"/api/stats", "", 401},          {"/api/stats", "wrong", 401},      {"/metrics", "", 401},
      {"/api/stats", "Basic abc", 401}, {"/api/stats", kToken, 200},       {"/metrics", kToken, 200},
      {"/", "", 200},                   {"/app.js", "", 200},              {"/api/openapi.yml", "", 401},
  };
  for (const Case& c : cases) EXPECT_EQ(Call("GET", c.path, "", c.token).status, c.status) << c.path << " " << c.token;
  EXPECT_NE(dir.Log("VornBOS").find("Admin request without a valid token: GET /api/stats"), std::string::npos);

  // Bodies are bounded; idle and slow connections are closed after [Admin] Timeout (1 s).
  EXPECT_EQ(Call("POST", "/api/messages", std::string(70 * 1024, 'x')).status, 413);
  EXPECT_TRUE(ClosedWithin(apiPort, "", 4000));
  EXPECT_TRUE(ClosedWithin(apiPort, "GET /api/stats HTTP/1.1\r\nHost: x\r\n", 4000));

  // The address filter is reloaded with the configuration: 127.0.0.1 left out, 403 and a line.
  std::string ini = dir.ReadFile("vorn.ini");
  ini.replace(ini.find("[Admin]\n"), 8, "[Admin]\nAllow=10.0.0.1\n");
  dir.WriteFile("vorn.ini", ini);
  EXPECT_EQ(Call("POST", "/api/reload").status, 200);
  EXPECT_EQ(Call("GET", "/api/stats").status, 403);
  EXPECT_EQ(Call("GET", "/").status, 403);
  EXPECT_NE(dir.Log("VornBOS").find("Admin request refused ([Admin] Allow): GET /api/stats"), std::string::npos);
}

TEST_F(Api, SessionsListAndEnd) {
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  a.SetStatus(0x00000001);  // away
  json page = Call("GET", "/api/sessions").j();
  ASSERT_EQ(page["total"], 1) << page;
  json s = page["sessions"][0];
  EXPECT_EQ(s["uin"], 1000);
  EXPECT_EQ(s["nick"], "alice");
  EXPECT_EQ(s["address"], "127.0.0.1");
  EXPECT_EQ(s["status"], 1);
  EXPECT_EQ(s["status_name"], "away");
  EXPECT_LE(s["idle_seconds"].get<int>(), 2);
  EXPECT_LE(std::abs(s["signed_on_unix"].get<long>() - static_cast<long>(::time(nullptr))), 5);
  EXPECT_EQ(Call("GET", "/api/sessions?q=ALI").j()["total"], 1);
  EXPECT_EQ(Call("GET", "/api/sessions?q=bob").j()["total"], 0);

  EXPECT_EQ(Call("DELETE", "/api/sessions/1000").status, 200);
  EXPECT_TRUE(a.WaitClosed(2000));
  EXPECT_EQ(Call("DELETE", "/api/sessions/1000").status, 404);
  EXPECT_EQ(Call("GET", "/api/sessions").j()["total"], 0);
}

TEST_F(Api, LockedUserIsSignedOffAndRefused) {
  OscarClient b;
  ASSERT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  json r = Call("POST", "/api/users/1001/lock").j();
  EXPECT_EQ(r["locked"], true);
  EXPECT_EQ(r["session_ended"], true);
  EXPECT_TRUE(b.WaitClosed(2000));
  EXPECT_NE(dir.ReadFile("Db/1001.ini").find("Locked=1\n"), std::string::npos);
  EXPECT_EQ(Call("GET", "/api/users/1001").j()["locked"], true);

  // The right password now gets the wrong-password error (TLV 8 = 0x0005) and no cookie.
  OscarClient again;
  auto reply = again.AuthLogin(dir.authPort, 1001, "pw");
  ASSERT_TRUE(reply);
  auto tlvs = ParseTlvs(reply->data, 0);
  EXPECT_EQ(tlvs[8], (Bytes{0x00, 0x05}));
  EXPECT_EQ(tlvs.count(6), 0u);

  EXPECT_EQ(Call("POST", "/api/users/1001/unlock").status, 200);
  EXPECT_TRUE(again.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  EXPECT_EQ(Call("POST", "/api/users/4000000000/lock").status, 404);
}

TEST_F(Api, MessagesArriveByteForByte) {
  OscarClient a, b;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  ASSERT_TRUE(b.SignOn(dir.authPort, dir.bosPort, 1001, "pw"));
  // The incoming message 04/07 from 555 as a command client sends it (channel 4, plain text).
  auto expected = [](const std::string& text) {
    return Cat({Be16(4), Be16(7), Be16(0), Bytes{0xF3, 0x3A, 0xC1, 0x0C, 0x70, 0x18, 0x00, 0x00}, Be16(4),
                Bytes{3}, Text("555"), Be16(0), Be16(4), Be16(1), Be16(2), Be16(0x50), Be16(6), Be16(4),
                Be32(0xFFFFFFFF), Be16(0x0F), Be16(4), Be32(0x42E0), Be16(3), Be16(4), Be32(0x3E375BD7), Be16(5),
                Be16(static_cast<uint16_t>(text.size() + 17)), Le32(555), Bytes{1, 0},
                Le16(static_cast<uint16_t>(text.size() + 1)), Text(text), Bytes{0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}});
  };
  auto withoutReqId = [](Bytes d) {
    if (d.size() >= 10) d.erase(d.begin() + 6, d.begin() + 10);
    return d;
  };
  // Code points U+0001..U+00FF of the JSON text are the message's bytes, as profile values
  // are shown; anything beyond is refused.
  json r = Call("POST", "/api/messages", R"({"from":555,"to":1000,"text":"caf\u00e9 <b>\"q\"\u0001"})").j();
  auto in = a.WaitSnac(0x0004, 0x0007);
  ASSERT_TRUE(in);
  EXPECT_EQ(withoutReqId(in->data), expected("caf\xE9 <b>\"q\"\x01"));
  EXPECT_EQ(r["delivered_online"], 1);
  EXPECT_EQ(Call("POST", "/api/messages", R"({"from":555,"to":1000,"text":"\u20ac"})").status, 400);

  r = Call("POST", "/api/messages", json{{"from", 555}, {"to", "everyone"}, {"text", "all of you"}}.dump()).j();
  EXPECT_EQ(r["delivered_online"], 2);
  for (OscarClient* c : {&a, &b}) {
    auto m = c->WaitSnac(0x0004, 0x0007);
    ASSERT_TRUE(m);
    EXPECT_EQ(withoutReqId(m->data), expected("all of you"));
  }
  // A broadcast list; an offline user's copy goes to the offline store.
  b.Close();
  ASSERT_TRUE(WaitFor([&] { return Call("GET", "/api/sessions").j()["total"] == 1; }));
  r = Call("POST", "/api/messages", json{{"from", 555}, {"to", "9001"}, {"text", "list"}}.dump()).j();
  EXPECT_EQ(r["delivered_online"], 1);
  EXPECT_EQ(r["stored_offline"], 1);
  EXPECT_TRUE(a.WaitSnac(0x0004, 0x0007));
  EXPECT_TRUE(dir.Exists("olm/1001.olm"));

  for (const char* bad : {R"({"from":0,"to":1000,"text":"x"})", R"({"from":555,"to":"x1","text":"x"})",
                          R"({"from":555,"to":1000})", "not json", "[]"})
    EXPECT_EQ(Call("POST", "/api/messages", bad).status, 400) << bad;
}

TEST_F(Api, UsersListsAndContacts) {
  // Create, then sign on over OSCAR with the new user.
  Answer made = Call("POST", "/api/users", R"({"uin":2000,"password":"s3cret","nick":"dave","email":"d@x.test"})");
  ASSERT_EQ(made.status, 201) << made.body;
  EXPECT_EQ(Call("POST", "/api/users", R"({"uin":2000,"password":"x"})").status, 409);
  EXPECT_EQ(Call("POST", "/api/users", R"({"uin":2001})").status, 400);
  OscarClient d;
  ASSERT_TRUE(d.SignOn(dir.authPort, dir.bosPort, 2000, "s3cret"));
  json u = Call("GET", "/api/users/2000").j();
  EXPECT_EQ(u["nick"], "dave");
  EXPECT_EQ(u["online"], true);
  EXPECT_EQ(u["locked"], false);
  EXPECT_EQ(u["stored_list_items"], 0);

  // Paging and search.
  json page = Call("GET", "/api/users?limit=2&offset=1").j();
  EXPECT_EQ(page["total"], 3);
  ASSERT_EQ(page["users"].size(), 2u);
  EXPECT_EQ(page["users"][0]["uin"], 1001);
  EXPECT_EQ(Call("GET", "/api/users?q=D%40X").j()["users"][0]["uin"], 2000);

  // The stored contact list as the client keeps it.
  dir.WriteFile("Db/2000.ssi", "[List]\nTime=5\nCount=2\n\n[Item0]\nType=1\nGroup=1\nId=0\nName=Friends\nData=\n\n"
                               "[Item1]\nType=0\nGroup=1\nId=7\nName=1000\nData=00660000\n");
  json list = Call("GET", "/api/users/2000/contacts").j();
  ASSERT_EQ(list["items"].size(), 2u) << list;
  EXPECT_EQ(list["items"][1], (json{{"name", "1000"}, {"type", 0}, {"type_name", "buddy"}, {"group", 1}, {"id", 7},
                                    {"awaiting_authorization", true}}));

  ASSERT_EQ(Call("PUT", "/api/users/2000/password", R"({"password":"n3w"})").status, 200);
  EXPECT_NE(dir.ReadFile("Db/2000.ini").find("Pass=n3w\n"), std::string::npos);

  // Lists: create, change members, send to it, delete.
  EXPECT_EQ(Call("POST", "/api/lists", R"({"list":9100,"members":[1000]})").status, 201);
  EXPECT_EQ(Call("POST", "/api/lists", R"({"list":9100})").status, 409);
  EXPECT_EQ(Call("PUT", "/api/lists/9100", R"({"members":[2000,1001]})").j()["members"], (json{2000, 1001}));
  EXPECT_EQ(Call("GET", "/api/lists/9100").j()["members"], (json{2000, 1001}));
  EXPECT_EQ(Call("POST", "/api/messages", R"({"from":555,"to":9100,"text":"to the list"})").j()["delivered_online"], 1);
  EXPECT_TRUE(d.WaitSnac(0x0004, 0x0007));
  EXPECT_EQ(Call("DELETE", "/api/lists/9100").status, 200);
  EXPECT_EQ(Call("GET", "/api/lists/9100").status, 404);

  // Delete ends the session and removes every file.
  json del = Call("DELETE", "/api/users/2000").j();
  EXPECT_EQ(del["session_ended"], true);
  EXPECT_TRUE(d.WaitClosed(2000));
  EXPECT_FALSE(dir.Exists("Db/2000.ini"));
  EXPECT_FALSE(dir.Exists("Db/2000.ssi"));
  EXPECT_EQ(Call("GET", "/api/users/2000").status, 404);
}

TEST_F(Api, MetricsCountWhatHappened) {
  OscarClient a;
  ASSERT_TRUE(a.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  OscarClient bad;
  bad.BosLogin(dir.bosPort, Bytes(256, 0x11));  // a cookie nobody was given
  a.SendMessage(1001, "to an offline user");
  ASSERT_TRUE(WaitFor([&] { return dir.Exists("olm/1001.olm"); }));
  std::string m = Call("GET", "/metrics").body;
  for (const char* line : {"vorn_sessions 1\n", "vorn_signons_total{outcome=\"ok\"} 1\n",
                           "vorn_signons_total{outcome=\"refused\"} 1\n", "vorn_messages_routed_total{channel=\"1\"} 1\n",
                           "vorn_offline_messages_total{event=\"stored\"} 1\n", "# TYPE vorn_sessions gauge\n",
                           "vorn_send_queue_overflows_total 0\n", "vorn_sms_total{result=\"failed\"} 0\n"})
    EXPECT_NE(m.find(line), std::string::npos) << line << m;
  json s = Call("GET", "/api/stats").j();
  EXPECT_EQ(s["sessions"], 1);
  EXPECT_EQ(s["messages_routed"]["1"], 1);
  // A request is counted once its answer is written, so the count of the one before may trail.
  EXPECT_TRUE(WaitFor([&] { return Call("GET", "/api/stats").j()["admin_requests"]["ok"].get<int>() >= 3; }, 4000));
  EXPECT_TRUE(WaitFor([&] { return Call("GET", "/api/stats/history").j()["samples"].size() >= 3; }, 4000));
  EXPECT_EQ(Call("GET", "/api/health").j()["status"], "ok");
}

// Every path and method of docs/api.yml is routed: the answer is never the bare 404 of an
// unknown route (numbers that name nobody keep the calls harmless).
TEST_F(Api, EveryDocumentedPathAnswers) {
  std::ifstream f(VORN_SOURCE_DIR "/docs/api.yml");
  std::string line, path;
  int checked = 0;
  while (std::getline(f, line)) {
    // Paths stand at two blanks' indent ("  /api/x:"), their methods at four ("    get:").
    if (line.rfind("  /", 0) == 0 && line.back() == ':') {
      path = line.substr(2, line.size() - 3);
      for (size_t open; (open = path.find('{')) != std::string::npos;)
        path.replace(open, path.find('}', open) - open + 1, "4000000000");
      continue;
    }
    for (std::string method : {"get", "post", "put", "delete"}) {
      if (path.empty() || line.rfind("    " + method + ":", 0) != 0) continue;
      std::transform(method.begin(), method.end(), method.begin(), ::toupper);
      Answer a = Call(method, path);
      EXPECT_TRUE(a.status != 0 && (a.status != 404 || !a.body.empty())) << method << " " << path << " " << a.status;
      ++checked;
    }
  }
  EXPECT_GE(checked, 20);
  EXPECT_NE(Call("GET", "/api/openapi.yml").body.find("openapi: 3"), std::string::npos);
}

}  // namespace
