// The server's own work for one status change: NotifyStatusChange building the online notice
// and queueing a copy for each of W watchers among S sessions, in-process (no sockets, so the
// time is the handler's alone; the writes to the watchers' sockets are measured from outside
// by vornload presence). Two session counts side by side show whether the cost depends on S.
// Usage: presence_bench [watchers] [sessions ...]   (default 1000, 1000 10000 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "server-core/log.h"
#include "server-core/wire.h"

namespace {

constexpr int kRounds = 200;

double MedianMicros(int watchers, int sessions) {
  std::vector<ClientInfo*> all;
  for (int i = 0; i < sessions; ++i) {
    ClientInfo& c = CreateSession(100000 + i);  // descriptor numbers only; nothing is opened
    SetSessionUin(c, 1000000 + static_cast<uint32_t>(i));
    c.isLogged = true;
    uint32_t listed = i >= 1 && i <= watchers ? 1000000u : 1000001u + static_cast<uint32_t>((i * 7919) % (sessions - 1));
    c.contacts.push_back(listed);
    AddWatch(c, listed);
    all.push_back(&c);
  }
  ClientInfo& subject = *all[0];
  WireWriter w;
  w.be16(0x0001).be16(0x001E).be16(0).be32(1).be16(0x0006).be16(4).be32(0);
  subject.in.data = w.buffer();
  subject.in.length = static_cast<uint16_t>(subject.in.data.size());
  std::vector<double> times;
  size_t wrong = 0;
  for (int r = 0; r < kRounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    NotifyStatusChange(subject);
    std::chrono::duration<double, std::micro> us = std::chrono::steady_clock::now() - start;
    times.push_back(us.count());
    size_t queued = 0;
    for (ClientInfo* c : all) queued += c->sendQueue.size(), c->sendQueue.clear();
    wrong += queued != static_cast<size_t>(watchers);
  }
  for (ClientInfo* c : all) {
    c->UIN = 0;  // no departure notices while the bench tears down
    DestroySession(*c);
  }
  if (wrong) std::printf("  %zu rounds queued a wrong number of notices\n", wrong);
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  LogLevel = 20;
  int watchers = argc > 1 ? std::atoi(argv[1]) : 1000;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1000, 10000, 100000};
  for (int sessions : counts) {
    int w = std::min(watchers, sessions - 1);
    std::printf("status change to %d watchers among %6d sessions: %.1f us (median of %d)\n", w, sessions,
                MedianMicros(w, sessions), kRounds);
  }
  return 0;
}
