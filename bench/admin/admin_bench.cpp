// The management API beside the event loop: message round trips of a signed-on pair with the
// API idle and while clients hammer it (sessions, users, stats, metrics), and how long the
// API's pages take with 1,000 users and 1,000 sessions.
// Usage: admin_bench [ROUNDS] [HAMMER_CLIENTS] [SESSIONS]
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kToken = "bench-token";

struct Figures {
  double p50, p99, max;
};

Figures Percentiles(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 99 / 100], v.back()};
}

// One round trip: a message from a to b, then from b to a, each read by its recipient.
std::vector<double> RoundTrips(OscarClient& a, OscarClient& b, int rounds) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    a.SendMessage(1001, "ping");
    if (!b.WaitSnac(0x0004, 0x0007, 5000)) std::exit((std::fprintf(stderr, "lost message\n"), 1));
    b.SendMessage(1000, "pong");
    if (!a.WaitSnac(0x0004, 0x0007, 5000)) std::exit((std::fprintf(stderr, "lost message\n"), 1));
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return us;
}

double TimeGetMs(httplib::Client& c, const char* path, int times) {
  auto t0 = Clock::now();
  for (int i = 0; i < times; ++i) {
    auto r = c.Get(path);
    if (!r || r->status != 200) std::exit((std::fprintf(stderr, "GET %s failed\n", path), 1));
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / times;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  int hammers = argc > 2 ? std::atoi(argv[2]) : 4;
  int sessions = argc > 3 ? std::atoi(argv[3]) : 1000;
  DataDir dir;
  uint16_t apiPort = FreePort();
  dir.WriteIni(0, "[Admin]\nListen=127.0.0.1:" + std::to_string(apiPort) + "\n");
  dir.WriteFile("admin.token", std::string(kToken) + "\n");
  for (uint32_t u = 1000; u < 1000 + static_cast<uint32_t>(std::max(sessions, 2)); ++u)
    dir.WriteUser(u, "[Main]\nPass=pw\nNick=user" + std::to_string(u) + "\nEmail=u" + std::to_string(u) +
                         "@example.org\n");
  ServerProcess auth, bos;
  if (!auth.Start("VornAuth", dir, dir.authPort) || !bos.Start("VornBOS", dir, dir.bosPort)) return 1;

  // Sessions beside the measured pair, so the sessions page has rows to build.
  std::vector<std::unique_ptr<OscarClient>> others;
  for (int i = 2; i < sessions; ++i) {
    others.push_back(std::make_unique<OscarClient>());
    if (!others.back()->SignOn(dir.authPort, dir.bosPort, 1000 + static_cast<uint32_t>(i), "pw")) return 1;
  }
  OscarClient a, b;
  if (!a.SignOn(dir.authPort, dir.bosPort, 1000, "pw") || !b.SignOn(dir.authPort, dir.bosPort, 1001, "pw")) return 1;

  httplib::Client api("127.0.0.1", apiPort);
  api.set_bearer_token_auth(kToken);
  api.set_keep_alive(true);
  api.set_tcp_nodelay(true);
  std::printf("API pages with %d users and %d sessions (mean of 20 each):\n", std::max(sessions, 2), sessions);
  for (const char* p : {"/api/users?limit=50", "/api/users?limit=50&q=user1999", "/api/sessions?limit=50",
                        "/api/sessions?limit=50&q=user1500", "/api/stats", "/metrics"})
    std::printf("  GET %-36s %7.2f ms\n", p, TimeGetMs(api, p, 20));

  RoundTrips(a, b, 200);  // warm-up
  Figures idle = Percentiles(RoundTrips(a, b, rounds));

  std::atomic<bool> stop{false};
  std::atomic<long> requests{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < hammers; ++t)
    threads.emplace_back([&, t] {
      httplib::Client c("127.0.0.1", apiPort);
      c.set_bearer_token_auth(kToken);
      c.set_keep_alive(true);
      c.set_tcp_nodelay(true);
      const char* paths[] = {"/api/sessions?limit=50", "/api/users?limit=50", "/api/stats", "/metrics",
                             "/api/sessions?limit=50&q=user12"};
      for (int i = t; !stop; ++i) {
        auto r = c.Get(paths[i % 5]);
        if (r && r->status == 200) ++requests;
      }
    });
  auto t0 = Clock::now();
  Figures busy = Percentiles(RoundTrips(a, b, rounds));
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  stop = true;
  for (auto& t : threads) t.join();

  std::printf("message round trip of a signed-on pair, %d rounds (microseconds):\n", rounds);
  std::printf("  API idle:                      p50 %8.1f  p99 %8.1f  max %8.1f\n", idle.p50, idle.p99, idle.max);
  std::printf("  %d clients hammering the API:   p50 %8.1f  p99 %8.1f  max %8.1f  (%.0f API requests/s)\n", hammers,
              busy.p50, busy.p99, busy.max, static_cast<double>(requests) / secs);
  return 0;
}
