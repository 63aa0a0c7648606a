// Measures the servers as processes on loopback:
//   memory     resident memory of VornBOS with N idle connections (bytes per connection)
//   signon     full sign-ons per second (password login, cookie login, start-up requests)
//   messages   messages per second routed between connected clients
//   status     time one status change takes to reach W watchers among S other sessions, for two
//              session counts side by side (the ratio shows whether it depends on S)
// Usage: server_bench [memory N] [signon N THREADS] [messages N] [status W S1 S2]
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// A cookie file for uin, so sessions can log in at the session server without VornAuth.
Bytes WriteCookie(const DataDir& dir, uint32_t uin) {
  Bytes cookie(256, 0x5A);
  cookie[33] = static_cast<uint8_t>(uin >> 24);
  cookie[97] = static_cast<uint8_t>(uin >> 8);
  cookie[125] = static_cast<uint8_t>(uin);
  cookie[159] = static_cast<uint8_t>(uin >> 16);
  dir.WriteFile("Cookie/" + std::to_string(uin), std::string(cookie.begin(), cookie.end()));
  return cookie;
}

void Memory(int n) {
  DataDir dir;
  dir.WriteIni(8);
  ServerProcess bos;
  if (!bos.Start("VornBOS", dir, dir.bosPort)) return;
  usleep(200000);
  long before = RssKb(bos.pid());
  std::vector<OscarClient> clients(static_cast<size_t>(n));
  for (auto& c : clients)
    if (!c.Connect(dir.bosPort) || !c.ReadFrame(5000)) return (void)std::printf("memory: connect failed\n");
  usleep(300000);
  long after = RssKb(bos.pid());
  std::printf("memory: %d idle connections: RSS %ld KiB -> %ld KiB, %.0f bytes per connection\n", n, before, after,
              (after - before) * 1024.0 / n);
}

void SignOn(int n, int threads) {
  DataDir dir;
  dir.WriteIni(8);
  for (int u = 0; u < threads; ++u) dir.WriteUser(10000 + u, "[Main]\nPass=pw\n");
  ServerProcess auth, bos;
  if (!auth.Start("VornAuth", dir, dir.authPort) || !bos.Start("VornBOS", dir, dir.bosPort)) return;
  std::atomic<int> done{0}, failed{0};
  auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int i = t; i < n; i += threads) {
        OscarClient c;
        if (!c.SignOn(dir.authPort, dir.bosPort, 10000 + t, "pw")) {
          ++failed;
          continue;
        }
        c.SendSnac(1, 0x17, 1, {});
        c.SendSnac(1, 0x06, 2, {});
        c.SendSnac(1, 0x0E, 3, {});
        c.SendSnac(2, 0x02, 4, {});
        c.SendSnac(3, 0x02, 5, {});
        c.SendSnac(4, 0x04, 6, {});
        c.SendSnac(9, 0x02, 7, {});
        if (c.WaitSnac(9, 0x03, 5000)) ++done; else ++failed;
      }
    });
  for (auto& th : pool) th.join();
  double s = Seconds(start, Clock::now());
  std::printf("signon: %d full sign-ons with %d clients at once in %.2f s: %.0f sign-ons/s (%d failed)\n", done.load(),
              threads, s, done / s, failed.load());
}

void Messages(int n) {
  DataDir dir;
  dir.WriteIni(8);
  ServerProcess bos;
  if (!bos.Start("VornBOS", dir, dir.bosPort)) return;
  OscarClient a, b;
  if (!a.BosLogin(dir.bosPort, WriteCookie(dir, 1000)) || !b.BosLogin(dir.bosPort, WriteCookie(dir, 1001))) return;
  std::atomic<int> got{0};
  std::thread reader([&] {
    while (got < n && b.WaitSnac(4, 7, 5000)) ++got;
  });
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) a.SendMessage(1001, "benchmark message " + std::to_string(i));
  reader.join();
  double s = Seconds(start, Clock::now());
  std::printf("messages: %d channel-1 messages routed in %.2f s: %.0f messages/s\n", got.load(), s, got / s);
}

// Median time for one status change of user 1 to reach all watchers.
double StatusChange(int watchers, int sessions) {
  DataDir dir;
  dir.WriteIni(8);
  ServerProcess bos;
  if (!bos.Start("VornBOS", dir, dir.bosPort)) return -1;
  OscarClient subject;
  subject.BosLogin(dir.bosPort, WriteCookie(dir, 1));
  std::vector<OscarClient> others(static_cast<size_t>(sessions));
  for (int i = 0; i < sessions; ++i) {
    if (!others[i].BosLogin(dir.bosPort, WriteCookie(dir, 100000 + i))) return -1;
    // Every session lists one contact, so the server holds sessions with contact lists.
    others[i].AddContacts({i < watchers ? 1u : 2u});
  }
  usleep(300000);
  std::vector<double> times;
  for (int round = 0; round < 15; ++round) {
    auto start = Clock::now();
    subject.SendSnac(1, 0x1E, 1, Cat({Be16(6), Be16(4), Be32(static_cast<uint32_t>(round))}));
    for (int i = 0; i < watchers; ++i)
      if (!others[i].WaitSnac(3, 0x0B, 5000)) return -1;
    times.push_back(Seconds(start, Clock::now()));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void Status(int watchers, int s1, int s2) {
  double a = StatusChange(watchers, s1);
  double b = StatusChange(watchers, s2);
  std::printf("status: one status change to %d watchers: %.2f ms among %d sessions, %.2f ms among %d sessions "
              "(ratio %.2f)\n", watchers, a * 1000, s1, b * 1000, s2, b / a);
}

}  // namespace

int main(int argc, char** argv) {
  plat::RaiseFileLimit();
  for (int i = 1; i < argc; ++i) {
    std::string what = argv[i];
    auto arg = [&](int k, int def) { return i + k < argc ? std::atoi(argv[i + k]) : def; };
    if (what == "memory") Memory(arg(1, 10000)), i += 1;
    else if (what == "signon") SignOn(arg(1, 2000), arg(2, 16)), i += 2;
    else if (what == "messages") Messages(arg(1, 50000)), i += 1;
    else if (what == "status") Status(arg(1, 1000), arg(2, 1000), arg(3, 10000)), i += 3;
  }
  return 0;
}
