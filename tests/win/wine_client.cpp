// The Linux side of the Windows smoke suite: an OSCAR client that signs on at the servers
// running under Wine (over loopback) and checks what they send.
//   wine_client exchange AUTHPORT BOSPORT [UIN PASSWORD UIN PASSWORD]
//                                                 two users (1000 and 1001 of the demo folder
//                                                 unless named) sign on, the first messages
//                                                 the second
//   wine_client badpass AUTHPORT UIN PASSWORD     the login server refuses the password
//   wine_client receive AUTHPORT BOSPORT UIN PASSWORD TEXT SECONDS
//                                                 signs on, prints "ready", waits for TEXT
//   wine_client refused BOSPORT                   the server closes a new connection at once
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/oscar_client.h"

namespace {

bool Contains(const vt::Bytes& data, const std::string& text) {
  return std::search(data.begin(), data.end(), text.begin(), text.end()) != data.end();
}

uint16_t Port(const char* s) { return static_cast<uint16_t>(std::atoi(s)); }

int Exchange(uint16_t authPort, uint16_t bosPort, uint32_t from, const char* fromPassword, uint32_t to,
             const char* toPassword) {
  vt::OscarClient a, b;
  if (!a.SignOn(authPort, bosPort, from, fromPassword)) return std::printf("sign-on of %u failed\n", from), 1;
  if (!b.SignOn(authPort, bosPort, to, toPassword)) return std::printf("sign-on of %u failed\n", to), 1;
  a.SendMessage(to, "hello through the Windows services");
  auto in = b.WaitSnac(0x0004, 0x0007, 5000);
  if (!in || !Contains(in->data, "hello through the Windows services")) return std::puts("message not received"), 1;
  std::puts("exchange ok");
  return 0;
}

int Receive(uint16_t authPort, uint16_t bosPort, uint32_t uin, const char* password, const std::string& text,
            int seconds) {
  vt::OscarClient c;
  if (!c.SignOn(authPort, bosPort, uin, password)) return std::puts("sign-on failed"), 1;
  c.SetStatus(0x00000012);  // a status the status query then reports (18)
  std::puts("ready");
  std::fflush(stdout);
  auto in = c.WaitSnac(0x0004, 0x0007, seconds * 1000);
  if (!in || !Contains(in->data, text)) return std::puts("message not received"), 1;
  std::puts("received");
  std::fflush(stdout);
  c.Quiet(5000);  // stays signed on for the status query that follows the message
  return 0;
}

// A reply without a cookie (TLV 6) but with an error code (TLV 8).
int BadPassword(uint16_t authPort, uint32_t uin, const char* password) {
  vt::OscarClient c;
  auto reply = c.AuthLogin(authPort, uin, password);
  if (!reply) return std::puts("no reply from the login server"), 1;
  auto tlvs = vt::ParseTlvs(reply->data, 0);
  if (tlvs.count(6) || !tlvs.count(8)) return std::puts("the password was not refused"), 1;
  std::puts("password refused");
  return 0;
}

int Refused(uint16_t bosPort) {
  vt::OscarClient c;
  if (!c.Connect(bosPort)) return std::puts("connect failed"), 1;
  // Paused: accepted and closed at once, without the hello frame.
  if (c.ReadFrame(3000)) return std::puts("hello frame received while paused"), 1;
  std::puts("closed at once");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "exchange" && argc == 4) return Exchange(Port(argv[2]), Port(argv[3]), 1000, "alice", 1001, "bob");
  if (mode == "exchange" && argc == 8)
    return Exchange(Port(argv[2]), Port(argv[3]), static_cast<uint32_t>(std::atol(argv[4])), argv[5],
                    static_cast<uint32_t>(std::atol(argv[6])), argv[7]);
  if (mode == "badpass" && argc == 5) return BadPassword(Port(argv[2]), static_cast<uint32_t>(std::atol(argv[3])), argv[4]);
  if (mode == "receive" && argc == 8)
    return Receive(Port(argv[2]), Port(argv[3]), static_cast<uint32_t>(std::atol(argv[4])), argv[5], argv[6],
                   std::atoi(argv[7]));
  if (mode == "refused" && argc == 3) return Refused(Port(argv[2]));
  std::fprintf(stderr, "usage: wine_client exchange|badpass|receive|refused ...\n");
  return 2;
}
