// The Linux side of the Windows smoke suite: an OSCAR client that signs on at the servers
// running under Wine (over loopback) and checks what they send.
//   wine_client exchange AUTHPORT BOSPORT        two users sign on, one messages the other
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

int Exchange(uint16_t authPort, uint16_t bosPort) {
  vt::OscarClient a, b;
  if (!a.SignOn(authPort, bosPort, 1000, "alice")) return std::puts("sign-on of 1000 failed"), 1;
  if (!b.SignOn(authPort, bosPort, 1001, "bob")) return std::puts("sign-on of 1001 failed"), 1;
  a.SendMessage(1001, "hello through the Windows services");
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
  if (mode == "exchange" && argc == 4) return Exchange(Port(argv[2]), Port(argv[3]));
  if (mode == "receive" && argc == 8)
    return Receive(Port(argv[2]), Port(argv[3]), static_cast<uint32_t>(std::atol(argv[4])), argv[5], argv[6],
                   std::atoi(argv[7]));
  if (mode == "refused" && argc == 3) return Refused(Port(argv[2]));
  std::fprintf(stderr, "usage: wine_client exchange|receive|refused ...\n");
  return 2;
}
