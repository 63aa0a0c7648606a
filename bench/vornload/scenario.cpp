#include "bench/vornload/scenario.h"

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/vornload/engine.h"
#include "bench/vornload/probe.h"
#include "bench/vornload/procstat.h"

namespace vl {

namespace {

enum class Phase { Idle, AuthHello, AuthReply, BosConnect, BosHello, Families, Startup, Ready, Failed };

struct Client : Conn {
  uint32_t uin = 0;
  Phase phase = Phase::Idle;
  Bytes cookie;
  sockaddr_in bos{};
  uint16_t seq = 0;
  uint64_t started = 0;
  std::vector<uint32_t> contacts;
  int partner = -1;
  int inflight = 0;
  uint32_t reqId = 1;
  bool infoReply = false;  // a 0x01/0x0F arrived since it was last cleared
};

struct Percentiles {
  double p50 = 0, p99 = 0, p999 = 0;
};

struct MessageResult {
  double perSecond = 0;
  Percentiles latencyMs;
  double cpuShare = 0;  // server processor time per second of the run
  uint64_t lost = 0;
};

bool IsSnac(const uint8_t* d, size_t n, uint16_t family, uint16_t subtype) {
  return n >= 10 && Be16(d) == family && Be16(d + 2) == subtype;
}

double Ms(uint64_t ns) { return static_cast<double>(ns) / 1e6; }

Percentiles Take(std::vector<uint64_t>& v) {
  Percentiles p;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return Ms(v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))]); };
  p.p50 = at(0.50);
  p.p99 = at(0.99);
  p.p999 = at(0.999);
  return p;
}

class Load {
 public:
  explicit Load(const Options& o)
      : o_(o),
        engine_(o.sources, [this](Conn& c, uint8_t ch, const uint8_t* d, size_t n) { OnFrame(static_cast<Client&>(c), ch, d, n); },
                [this](Conn& c) { OnClosed(static_cast<Client&>(c)); }) {}

  int Run();

 private:
  // Sign-on
  void MakeClients(std::vector<Client>& v, int count, uint32_t firstUin);
  void RandomContacts(int watchersOfFirst);
  double SignOn(std::vector<Client>& v, size_t from, size_t to);
  void StartSignOn(Client& c);
  void Fail(Client& c);
  void OnFrame(Client& c, uint8_t ch, const uint8_t* d, size_t n);
  void OnReady(Client& c, uint8_t ch, const uint8_t* d, size_t n);
  void OnClosed(Client& c);
  void PollOnce(int ms);
  void Quiet(int ms);

  // Messages
  MessageResult Messages(std::vector<Client>& v, double rate, const char* label, pid_t pid);
  void Pump(Client& c);
  void SendOne(Client& c);
  void OnMessage(Client& r, const uint8_t* d, size_t n);
  bool ConnectRelay();

  // Scenarios
  int RunMessages();
  int RunPresence();
  int RunOffline();
  int RunCounts();
  bool ConnectRouter();
  uint64_t CountedMessages(std::vector<Client>& v, size_t clients, int window, bool oneWay, uint64_t total);
  int RunStoredList();
  void OnStoredListFrame(Client& c, uint16_t family, uint16_t subtype);
  void PumpEditor();
  void Ping();
  void PrintServers(const char* when);

  const Options& o_;
  Engine engine_;
  std::vector<Client> clients_;
  std::vector<Client> relayClients_;
  std::vector<Client*> pendingBos_;
  std::mt19937 rng_{12345};
  size_t signedOn_ = 0, failed_ = 0;
  // message phase
  std::vector<Client>* active_ = nullptr;
  bool sending_ = false, recording_ = false;
  uint64_t base_ = 0, sent_ = 0, received_ = 0, closedReady_ = 0;
  double tokens_ = 0;
  double rateNow_ = 0;  // messages per second in all; 0 flat out
  int window_ = 0;      // messages in flight per sending client
  bool oneWay_ = false; // only the even-numbered client of each pair sends
  uint64_t limit_ = ~0ull;  // messages to send in the phase
  std::vector<uint64_t> latencies_;
  // presence
  bool counting_ = false;
  size_t notified_ = 0;
  std::string subjectText_;
  // offline
  size_t offlineFrames_ = 0;
  bool offlineEnd_ = false;
  // stored list: clients 0 and 1 exchange messages one at a time, client 2 edits its list
  bool listMode_ = false, editing_ = false, rttRecording_ = false;
  uint64_t pingAt_ = 0, edits_ = 0, editBytes_ = 0, acks_ = 0, editSerial_ = 0;
  std::vector<uint64_t> rtts_;
};

void Load::MakeClients(std::vector<Client>& v, int count, uint32_t firstUin) {
  v.clear();
  v.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    v[static_cast<size_t>(i)].index = i;
    v[static_cast<size_t>(i)].uin = firstUin + static_cast<uint32_t>(i);
    v[static_cast<size_t>(i)].partner = (i ^ 1) < count ? (i ^ 1) : -1;
    v[static_cast<size_t>(i)].seq = static_cast<uint16_t>(rng_());
  }
}

// Every client lists o_.contacts others drawn at random; the first watchersOfFirst clients
// after the first one also list the first client.
void Load::RandomContacts(int watchersOfFirst) {
  size_t n = clients_.size();
  std::uniform_int_distribution<size_t> pick(watchersOfFirst > 0 ? 1 : 0, n - 1);
  for (size_t i = 0; i < n; ++i) {
    auto& list = clients_[i].contacts;
    if (watchersOfFirst > 0 && i >= 1 && i <= static_cast<size_t>(watchersOfFirst)) list.push_back(clients_[0].uin);
    for (int k = 0; k < o_.contacts && n > 2; ++k) {
      size_t j = pick(rng_);
      if (j != i) list.push_back(clients_[j].uin);
    }
  }
}

void Load::StartSignOn(Client& c) {
  c.phase = Phase::AuthHello;
  c.started = NowNs();
  if (!engine_.Connect(c, Loopback(o_.authPort))) Fail(c);
}

void Load::Fail(Client& c) {
  if (c.phase == Phase::Failed) return;
  engine_.Close(c);
  c.phase = Phase::Failed;
  ++failed_;
}

void Load::OnClosed(Client& c) {
  if (c.phase == Phase::Ready) {
    ++closedReady_;
    c.phase = Phase::Failed;
  } else if (c.phase != Phase::Idle && c.phase != Phase::Failed) {
    c.phase = Phase::Idle;  // Fail() counts it
    Fail(c);
  }
}

void Load::OnFrame(Client& c, uint8_t ch, const uint8_t* d, size_t n) {
  switch (c.phase) {
    case Phase::AuthHello:
      if (ch != 1) return;
      AppendFlap(c.out, 1, c.seq++, AuthLoginData(c.uin, o_.password));
      c.phase = Phase::AuthReply;
      engine_.Flush(c);
      return;
    case Phase::AuthReply: {
      if (ch != 4) return;
      c.cookie = FindTlv(d, n, 0, 0x0006);
      Bytes addr = FindTlv(d, n, 0, 0x0005);
      std::string a(addr.begin(), addr.end());
      size_t colon = a.rfind(':');
      if (c.cookie.size() != 256 || colon == std::string::npos) return Fail(c);
      c.bos = Loopback(static_cast<uint16_t>(std::atoi(a.c_str() + colon + 1)), a.substr(0, colon));
      engine_.Close(c);
      c.phase = Phase::BosConnect;
      pendingBos_.push_back(&c);
      return;
    }
    case Phase::BosHello:
      if (ch != 1) return;
      AppendFlap(c.out, 1, c.seq++, CookieLoginData(c.cookie));
      c.phase = Phase::Families;
      engine_.Flush(c);
      return;
    case Phase::Families:
      if (ch == 1) return Fail(c);  // the refusal
      if (!IsSnac(d, n, 0x01, 0x03)) return;
      AppendStartup(c.out, c.seq, c.contacts, 0);
      c.phase = Phase::Startup;
      engine_.Flush(c);
      return;
    case Phase::Startup:
      // The answer to the contact-list check: "up to date", or the stored list itself.
      if (!IsSnac(d, n, 0x13, 0x0F) && !IsSnac(d, n, 0x13, 0x06)) return;
      c.phase = Phase::Ready;
      ++signedOn_;
      return;
    case Phase::Ready:
      return OnReady(c, ch, d, n);
    default:
      return;
  }
}

void Load::OnReady(Client& c, uint8_t ch, const uint8_t* d, size_t n) {
  if (ch != 2 || n < 10) return;
  uint16_t family = Be16(d), subtype = Be16(d + 2);
  if (listMode_) return OnStoredListFrame(c, family, subtype);
  if (family == 0x04 && (subtype == 0x07 || subtype == 0x06)) return OnMessage(c, d, n);
  if (family == 0x03 && subtype == 0x0B && counting_ && n > 11 && d[10] == subjectText_.size() &&
      std::memcmp(d + 11, subjectText_.data(), subjectText_.size()) == 0 && n >= 11 + subjectText_.size()) {
    ++notified_;
    return;
  }
  if (family == 0x01 && subtype == 0x0F) c.infoReply = true;
  if (family == 0x15 && subtype == 0x03 && n >= 22) {
    uint16_t type = static_cast<uint16_t>(d[20] | (d[21] << 8));
    if (type == 0x0041) ++offlineFrames_;
    if (type == 0x0042) offlineEnd_ = true;
  }
}

void Load::OnMessage(Client& r, const uint8_t* d, size_t n) {
  if (!active_ || r.partner < 0 || n < static_cast<size_t>(o_.textSize)) return;
  const char* text = reinterpret_cast<const char*>(d + n - static_cast<size_t>(o_.textSize));
  uint64_t sentAt = std::strtoull(std::string(text, 16).c_str(), nullptr, 16);
  Client& s = (*active_)[static_cast<size_t>(r.partner)];
  if (s.inflight > 0) --s.inflight;
  if (recording_) {
    ++received_;
    latencies_.push_back(NowNs() - base_ - sentAt);
  }
  if (rateNow_ == 0) Pump(s);
}

void Load::Pump(Client& c) {
  if (!sending_ || rateNow_ > 0 || c.phase != Phase::Ready || c.partner < 0) return;
  if (oneWay_ && c.index % 2) return;
  bool any = false;
  while (c.inflight < window_ && sent_ < limit_) {
    SendOne(c);
    any = true;
  }
  if (any) engine_.FlushLater(c);
}

// Queues one message to the partner; its text starts with the send time in hexadecimal.
void Load::SendOne(Client& c) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(NowNs() - base_));
  std::string t(text, 16);
  t.resize(static_cast<size_t>(o_.textSize), '.');
  AppendMessage(c.out, c.seq, (*active_)[static_cast<size_t>(c.partner)].uin, c.reqId++, t);
  ++c.inflight;
  ++sent_;
}


void Load::PollOnce(int ms) {
  engine_.Poll(ms);
  // Connections to the session server start after the event batch, so that no event of the
  // closed authorization connection can reach the new one.
  std::vector<Client*> pending;
  pending.swap(pendingBos_);
  for (Client* c : pending) {
    if (c->phase != Phase::BosConnect) continue;  // given up meanwhile
    c->phase = Phase::BosHello;
    if (!engine_.Connect(*c, c->bos)) Fail(*c);
  }
}

void Load::Quiet(int ms) {
  uint64_t end = NowNs() + static_cast<uint64_t>(ms) * 1000000;
  while (NowNs() < end) PollOnce(5);
}

// Signs on clients [from, to) with at most o_.concurrency in progress; returns the seconds taken.
double Load::SignOn(std::vector<Client>& v, size_t from, size_t to) {
  uint64_t start = NowNs(), lastReport = start;
  size_t next = from, doneBefore = signedOn_ + failed_;
  auto finished = [&] { return signedOn_ + failed_ - doneBefore; };
  while (finished() < to - from) {
    while (next < to && next - from - finished() < static_cast<size_t>(o_.concurrency)) StartSignOn(v[next++]);
    PollOnce(5);
    uint64_t now = NowNs();
    if (now - lastReport > 1000000000ull) {
      std::fprintf(stderr, "  sign-on: %zu of %zu done, %zu failed\n", signedOn_, to - from, failed_);
      lastReport = now;
      // A sign-on that has not finished in 20 s has failed (a server out of descriptors
      // leaves the connection waiting in its backlog).
      for (size_t i = from; i < next; ++i) {
        Client& c = v[i];
        if (c.phase != Phase::Ready && c.phase != Phase::Failed && now - c.started > 20000000000ull) Fail(c);
      }
    }
    if (now - start > 600000000000ull) break;
  }
  return static_cast<double>(NowNs() - start) / 1e9;
}

MessageResult Load::Messages(std::vector<Client>& v, double rate, const char* label, pid_t pid) {
  active_ = &v;
  window_ = o_.window;
  rateNow_ = rate;
  tokens_ = 0;
  sent_ = received_ = 0;
  latencies_.clear();
  base_ = NowNs();
  sending_ = true;
  recording_ = false;
  double warm = std::min(1.0, o_.duration * 0.2);
  uint64_t warmEnd = base_ + static_cast<uint64_t>(warm * 1e9);
  uint64_t end = base_ + static_cast<uint64_t>(o_.duration * 1e9);
  for (auto& c : v) Pump(c);
  ProcSample cpu0{};
  uint64_t t0 = 0, last = base_, lastReport = base_;
  size_t cursor = 0;
  for (;;) {
    PollOnce(rate > 0 ? 1 : 10);
    uint64_t now = NowNs();
    if (!recording_ && now >= warmEnd) {
      recording_ = true;
      cpu0 = SampleProcess(pid);
      t0 = now;
    }
    if (now >= end) break;
    if (rate > 0) {
      // Spread the allowance over the senders, one message each per pass.
      tokens_ = std::min(tokens_ + rate * static_cast<double>(now - last) / 1e9, rate * 0.01 + 1);
      bool progress = true;
      while (tokens_ >= 1 && progress) {
        progress = false;
        for (size_t k = 0; k < v.size() && tokens_ >= 1; ++k) {
          Client& c = v[(cursor + k) % v.size()];
          if (c.inflight >= o_.window || c.phase != Phase::Ready || c.partner < 0) continue;
          SendOne(c);
          tokens_ -= 1;
          engine_.Flush(c);
          progress = true;
        }
        cursor = (cursor + 1) % v.size();
      }
    }
    last = now;
    if (now - lastReport > 1000000000ull) {
      std::fprintf(stderr, "  %s: %llu messages received\n", label, static_cast<unsigned long long>(received_));
      lastReport = now;
    }
  }
  uint64_t t1 = NowNs();
  ProcSample cpu1 = SampleProcess(pid);
  uint64_t got = received_;
  std::vector<uint64_t> lat;
  lat.swap(latencies_);
  recording_ = false;
  sending_ = false;
  // Let the messages in flight arrive before the next phase.
  uint64_t drainEnd = NowNs() + 3000000000ull;
  auto inFlight = [&] {
    long total = 0;
    for (auto& c : v) total += c.inflight;
    return total;
  };
  while (inFlight() > 0 && NowNs() < drainEnd) PollOnce(10);
  MessageResult r;
  double secs = static_cast<double>(t1 - t0) / 1e9;
  r.perSecond = static_cast<double>(got) / secs;
  r.latencyMs = Take(lat);
  r.cpuShare = pid > 0 ? static_cast<double>(cpu1.cpuNs - cpu0.cpuNs) / 1e9 / secs : 0;
  r.lost = static_cast<uint64_t>(inFlight());
  for (auto& c : v) c.inflight = 0;
  active_ = nullptr;
  return r;
}

bool Load::ConnectRelay() {
  size_t n = clients_.size() - clients_.size() % 2;
  MakeClients(relayClients_, static_cast<int>(n), o_.firstUin);
  for (auto& c : relayClients_) {
    if (!engine_.Connect(c, Loopback(o_.relayPort))) return false;
    // The relay pairs connections by the number in their first frame.
    Bytes id;
    PutBe32(id, static_cast<uint32_t>(c.index / 2));
    AppendFlap(c.out, 1, c.seq++, id);
    c.phase = Phase::Ready;
  }
  uint64_t end = NowNs() + 10000000000ull;
  auto allConnected = [&] {
    for (auto& c : relayClients_)
      if (!c.connected) return false;
    return true;
  };
  while (!allConnected() && NowNs() < end) PollOnce(10);
  Quiet(200);
  return allConnected();
}

void Load::PrintServers(const char* when) {
  struct {
    const char* name;
    pid_t pid;
  } servers[] = {{"VornAuth", o_.authPid}, {"VornBOS", o_.bosPid}, {"relay", o_.relayPid}};
  for (auto& s : servers) {
    if (s.pid <= 0) continue;
    ProcSample p = SampleProcess(s.pid);
    std::printf("  %-8s %s: processor time %.2f s, resident memory %.1f MiB\n", s.name, when,
                static_cast<double>(p.cpuNs) / 1e9, static_cast<double>(p.rssKb) / 1024.0);
  }
}

void PrintMessages(const char* label, const MessageResult& r) {
  std::printf("%s: %.0f messages/s, latency p50 %.3f ms, p99 %.3f ms, p99.9 %.3f ms, server CPU %.0f%%%s\n", label,
              r.perSecond, r.latencyMs.p50, r.latencyMs.p99, r.latencyMs.p999, r.cpuShare * 100,
              r.lost ? " (some messages never arrived)" : "");
}

int Load::RunMessages() {
  MakeClients(clients_, o_.clients, o_.firstUin);
  RandomContacts(0);
  ProcSample before = SampleProcess(o_.bosPid);
  ProcSample authCpu0 = SampleProcess(o_.authPid);
  double secs = SignOn(clients_, 0, clients_.size());
  ProcSample authCpu1 = SampleProcess(o_.authPid), bosCpu1 = SampleProcess(o_.bosPid);
  std::printf("sign-on: %zu of %zu clients in %.2f s: %.0f sign-ons/s with %d at once (%zu failed); "
              "server CPU per sign-on: VornAuth %.0f us, VornBOS %.0f us\n",
              signedOn_, clients_.size(), secs, static_cast<double>(signedOn_) / secs, o_.concurrency, failed_,
              signedOn_ ? static_cast<double>(authCpu1.cpuNs - authCpu0.cpuNs) / 1e3 / static_cast<double>(signedOn_) : 0,
              signedOn_ ? static_cast<double>(bosCpu1.cpuNs - before.cpuNs) / 1e3 / static_cast<double>(signedOn_) : 0);
  Quiet(500);
  ProcSample idle = SampleProcess(o_.bosPid);
  if (o_.bosPid > 0 && signedOn_ > 0)
    std::printf("sessions: %zu signed on, VornBOS resident memory %.1f MiB -> %.1f MiB, %.0f bytes per session\n",
                signedOn_, static_cast<double>(before.rssKb) / 1024.0, static_cast<double>(idle.rssKb) / 1024.0,
                static_cast<double>(idle.rssKb - before.rssKb) * 1024.0 / static_cast<double>(signedOn_));
  PrintServers("after sign-on");
  int rc = failed_ == 0 ? 0 : 1;
  if (o_.duration <= 0) return rc;
  MessageResult vorn = Messages(clients_, o_.rate, "VornBOS", o_.bosPid);
  PrintMessages("messages (VornBOS)", vorn);
  if (vorn.perSecond <= 0) rc = 1;
  if (o_.half && vorn.perSecond > 0) {
    MessageResult half = Messages(clients_, vorn.perSecond / 2, "VornBOS at half rate", o_.bosPid);
    PrintMessages("messages (VornBOS, half the reached rate)", half);
  }
  if (o_.relay && o_.relayPort) {
    if (!ConnectRelay()) {
      std::printf("relay: could not connect every pair\n");
      return 1;
    }
    MessageResult relay = Messages(relayClients_, o_.rate, "relay", o_.relayPid);
    PrintMessages("messages (relay)", relay);
    if (relay.perSecond > 0)
      std::printf("ratio VornBOS / relay: %.2f (%zu pairs, %d in flight per client, LogLevel %d)\n",
                  vorn.perSecond / relay.perSecond, clients_.size() / 2, o_.window, o_.logLevel);
    for (auto& c : relayClients_) engine_.Close(c);
  }
  PrintServers("at the end");
  return rc;
}

int Load::RunPresence() {
  MakeClients(clients_, o_.clients, o_.firstUin);
  int watchers = std::min(o_.watchers, o_.clients - 1);
  RandomContacts(watchers);
  double secs = SignOn(clients_, 0, clients_.size());
  std::printf("sign-on: %zu of %zu clients in %.2f s (%zu failed)\n", signedOn_, clients_.size(), secs, failed_);
  if (failed_) return 1;
  Quiet(1000);
  subjectText_ = std::to_string(clients_[0].uin);
  std::vector<uint64_t> wall;
  ProcSample cpu0 = SampleProcess(o_.bosPid);
  for (int r = 0; r < o_.rounds; ++r) {
    notified_ = 0;
    counting_ = true;
    uint64_t t = NowNs();
    AppendSetStatus(clients_[0].out, clients_[0].seq, static_cast<uint32_t>(r + 1));
    engine_.Flush(clients_[0]);
    while (notified_ < static_cast<size_t>(watchers) && NowNs() - t < 5000000000ull) PollOnce(1);
    wall.push_back(NowNs() - t);
    counting_ = false;
    if (notified_ < static_cast<size_t>(watchers)) {
      std::printf("presence: only %zu of %d watchers were told\n", notified_, watchers);
      return 1;
    }
  }
  ProcSample cpu1 = SampleProcess(o_.bosPid);
  Percentiles p = Take(wall);
  std::printf("presence: one status change to %d watchers among %zu sessions: VornBOS processor time %.3f ms per "
              "change; from request to the last notice read %.2f ms (median of %d, includes this program reading "
              "%d sockets)\n",
              watchers, clients_.size(), static_cast<double>(cpu1.cpuNs - cpu0.cpuNs) / 1e6 / o_.rounds, p.p50,
              o_.rounds, watchers);
  return 0;
}

int Load::RunOffline() {
  MakeClients(clients_, 2, o_.firstUin);
  Client& sender = clients_[0];
  Client& owner = clients_[1];
  SignOn(clients_, 0, 1);
  if (failed_) return 1;
  Quiet(200);
  for (int m = 0; m < o_.messages; ++m)
    AppendMessage(sender.out, sender.seq, owner.uin, sender.reqId++, "offline message " + std::to_string(m));
  sender.infoReply = false;
  AppendSnac(sender.out, sender.seq, 0x01, 0x0E, 0x0E0E, {});  // answered once every message is stored
  engine_.Flush(sender);
  uint64_t t = NowNs();
  while (!sender.infoReply && NowNs() - t < 120000000000ull) PollOnce(10);
  double storeSecs = static_cast<double>(NowNs() - t) / 1e9;
  SignOn(clients_, 1, 2);
  if (failed_) return 1;
  Quiet(300);
  ProcSample cpu0 = SampleProcess(o_.bosPid);
  t = NowNs();
  AppendMeta(owner.out, owner.seq, owner.uin, 0x003C);
  engine_.Flush(owner);
  while (!offlineEnd_ && NowNs() - t < 60000000000ull) PollOnce(1);
  uint64_t took = NowNs() - t;
  ProcSample cpu1 = SampleProcess(o_.bosPid);
  std::printf("offline: %d messages stored in %.2f s; replay of %zu messages to one client: %.1f ms from request to "
              "the end-of-offline reply read, VornBOS processor time %.1f ms\n",
              o_.messages, storeSecs, offlineFrames_, Ms(took), static_cast<double>(cpu1.cpuNs - cpu0.cpuNs) / 1e6);
  return offlineEnd_ && offlineFrames_ == static_cast<size_t>(o_.messages) ? 0 : 1;
}

// Sends total messages between the first `clients` clients of v (pairs), window in flight per
// sender, and waits until all have arrived; returns the messages received.
uint64_t Load::CountedMessages(std::vector<Client>& v, size_t clients, int window, bool oneWay, uint64_t total) {
  active_ = &v;
  window_ = window;
  oneWay_ = oneWay;
  limit_ = total;
  rateNow_ = 0;
  sent_ = received_ = 0;
  base_ = NowNs();
  sending_ = true;
  recording_ = true;
  for (size_t i = 0; i < clients && i < v.size(); ++i) Pump(v[i]);
  uint64_t lastProgress = NowNs(), seen = 0;
  while (received_ < total) {
    PollOnce(10);
    if (received_ != seen) {
      seen = received_;
      lastProgress = NowNs();
    } else if (NowNs() - lastProgress > 30000000000ull) {
      break;  // nothing arrived for 30 s
    }
  }
  sending_ = recording_ = false;
  oneWay_ = false;
  limit_ = ~0ull;
  latencies_.clear();
  for (auto& c : v) c.inflight = 0;
  active_ = nullptr;
  return received_;
}

bool Load::ConnectRouter() {
  for (auto& c : clients_) {
    if (!engine_.Connect(c, Loopback(o_.routerPort))) return false;
    Bytes id;
    PutBe32(id, c.uin);
    AppendFlap(c.out, 1, c.seq++, id);
    c.phase = Phase::Ready;
  }
  uint64_t end = NowNs() + 10000000000ull;
  auto allConnected = [&] {
    for (auto& c : clients_)
      if (!c.connected) return false;
    return true;
  };
  while (!allConnected() && NowNs() < end) PollOnce(10);
  Quiet(300);
  return allConnected();
}

// Counts per sign-on and per routed message, taken on the server processes for each phase
// alone: sign-on of every client, ping-pong (one pair, one message in flight), pipelined
// (every pair, --window in flight per client, both ways).
int Load::RunCounts() {
  bool router = o_.target == "router";
  MakeClients(clients_, o_.clients, o_.firstUin);
  Probe probe(o_.probe, o_.cgDir);
  pid_t server = router ? o_.routerPid : o_.bosPid;
  const char* name = router ? "router" : "VornBOS";
  auto per = [](double v, double n) { return n > 0 ? v / n : 0.0; };
  if (router) {
    if (!ConnectRouter()) {
      std::printf("router: could not connect every client\n");
      return 1;
    }
  } else {
    if (probe.active()) probe.Start({o_.authPid, o_.bosPid});
    SignOn(clients_, 0, clients_.size());
    Quiet(300);
    auto c = probe.Stop();
    if (failed_) {
      std::printf("sign-on: %zu clients failed\n", failed_);
      return 1;
    }
    double n = static_cast<double>(signedOn_);
    if (o_.probe == "syscalls")
      std::printf("COUNT signon VornAuth syscalls %.1f sends %.2f | VornBOS syscalls %.1f sends %.2f (per sign-on, %zu sign-ons)\n",
                  per(c[o_.authPid].syscalls, n), per(c[o_.authPid].sends, n), per(c[o_.bosPid].syscalls, n),
                  per(c[o_.bosPid].sends, n), signedOn_);
    if (o_.probe == "instructions")
      std::printf("COUNT signon VornAuth instructions %.0f | VornBOS instructions %.0f (per sign-on, %zu sign-ons)\n",
                  per(c[o_.authPid].instructions, n), per(c[o_.bosPid].instructions, n), signedOn_);
  }
  struct {
    const char* label;
    size_t clients;
    int window;
    bool oneWay;
    int total;
  } phases[] = {{"pingpong", 2, 1, true, o_.pingMessages},
                {"pipelined", clients_.size(), o_.window, false, o_.pipeMessages}};
  int rc = 0;
  for (auto& ph : phases) {
    if (probe.active()) probe.Start({server});
    uint64_t t0 = NowNs();
    uint64_t got = CountedMessages(clients_, ph.clients, ph.window, ph.oneWay, static_cast<uint64_t>(ph.total));
    double secs = static_cast<double>(NowNs() - t0) / 1e9;
    auto c = probe.Stop();
    double n = static_cast<double>(got);
    if (got < static_cast<uint64_t>(ph.total)) rc = 1;
    if (o_.probe == "syscalls")
      std::printf("COUNT %s %s syscalls %.2f sends %.3f writes %.3f (per message, %llu messages)\n", ph.label, name,
                  per(c[server].syscalls, n), per(c[server].sends, n), per(c[server].writes, n),
                  static_cast<unsigned long long>(got));
    else if (o_.probe == "instructions")
      std::printf("COUNT %s %s instructions %.0f (per message, %llu messages)\n", ph.label, name,
                  per(c[server].instructions, n), static_cast<unsigned long long>(got));
    else
      std::printf("COUNT %s %s rate %.0f (messages/s, %llu messages)\n", ph.label, name, n / secs,
                  static_cast<unsigned long long>(got));
    Quiet(200);
  }
  if (o_.relay && o_.relayPort && o_.duration > 0) {
    MessageResult mine = Messages(clients_, 0, name, server);
    if (!ConnectRelay()) {
      std::printf("relay: could not connect every pair\n");
      return 1;
    }
    MessageResult relay = Messages(relayClients_, 0, "relay", o_.relayPid);
    std::printf("COUNT ratio %s %.3f (%.0f against %.0f messages/s, %zu pairs, %d in flight per client, LogLevel %d)\n",
                name, relay.perSecond > 0 ? mine.perSecond / relay.perSecond : 0, mine.perSecond, relay.perSecond,
                clients_.size() / 2, o_.window, o_.logLevel);
    for (auto& c : relayClients_) engine_.Close(c);
  }
  return rc;
}

// A buddy item with a 12-byte nick (TLV 0x0131) and an 80-byte comment (TLV 0x013C).
Bytes BuddyItem(uint32_t uin, uint16_t id) {
  std::string name = std::to_string(uin);
  Bytes b;
  PutBe16(b, static_cast<uint16_t>(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  PutBe16(b, 1);
  PutBe16(b, id);
  PutBe16(b, 0);
  PutBe16(b, 4 + 12 + 4 + 80);
  PutBe16(b, 0x0131);
  PutBe16(b, 12);
  b.insert(b.end(), 12, 'n');
  PutBe16(b, 0x013C);
  PutBe16(b, 80);
  b.insert(b.end(), 80, 'c');
  return b;
}

void Load::OnStoredListFrame(Client& c, uint16_t family, uint16_t subtype) {
  Client& a = clients_[0];
  Client& b = clients_[1];
  Client& editor = clients_[2];
  if (family == 0x04 && subtype == 0x07 && &c == &b) {
    AppendMessage(b.out, b.seq, a.uin, b.reqId++, "pong");
    engine_.Flush(b);
  } else if (family == 0x04 && subtype == 0x07 && &c == &a) {
    if (rttRecording_) rtts_.push_back(NowNs() - pingAt_);
    Ping();
  } else if (family == 0x13 && subtype == 0x0E && &c == &editor) {
    ++acks_;
    if (editor.inflight > 0) --editor.inflight;
    if (editing_) ++edits_;
    PumpEditor();
  }
}

void Load::Ping() {
  Client& a = clients_[0];
  pingAt_ = NowNs();
  AppendMessage(a.out, a.seq, clients_[1].uin, a.reqId++, "ping");
  engine_.Flush(a);
}

// Keeps --window edit requests in flight: an added buddy, then its removal.
void Load::PumpEditor() {
  Client& e = clients_[2];
  if (!editing_) return;
  size_t before = e.out.size();
  while (e.inflight < o_.window) {
    uint64_t k = editSerial_++;
    uint16_t slot = static_cast<uint16_t>((k / 2) % 4000);
    Bytes item = BuddyItem(900000 + slot, static_cast<uint16_t>(20000 + slot));
    AppendSnac(e.out, e.seq, 0x13, k % 2 == 0 ? 0x08 : 0x0A, e.reqId++, item);
    ++e.inflight;
  }
  editBytes_ += e.out.size() - before;
  if (e.out.size() > before) engine_.Flush(e);
}

// One pair's message round trip while another user edits its stored list flat out.
int Load::RunStoredList() {
  MakeClients(clients_, 3, o_.firstUin);
  clients_[2].partner = -1;
  SignOn(clients_, 0, 3);
  if (failed_) return 1;
  listMode_ = true;
  Client& editor = clients_[2];
  // The editor's list first: --list-size buddies with nick and comment, 50 to a request.
  for (int k = 0; k < o_.listSize; k += 50) {
    Bytes body;
    for (int i = k; i < std::min(k + 50, o_.listSize); ++i) {
      Bytes item = BuddyItem(800000 + static_cast<uint32_t>(i), static_cast<uint16_t>(1 + i));
      body.insert(body.end(), item.begin(), item.end());
    }
    AppendSnac(editor.out, editor.seq, 0x13, 0x08, editor.reqId++, body);
    ++editor.inflight;
  }
  engine_.Flush(editor);
  uint64_t t = NowNs();
  while (editor.inflight > 0 && NowNs() - t < 60000000000ull) PollOnce(5);
  if (editor.inflight > 0) return 1;
  auto phase = [&](bool edit, const char* label) {
    rtts_.clear();
    edits_ = editBytes_ = 0;
    editing_ = edit;
    PumpEditor();
    Ping();
    Quiet(200);  // warm-up
    rttRecording_ = true;
    ProcSample cpu0 = SampleProcess(o_.bosPid);
    uint64_t start = NowNs();
    while (NowNs() - start < static_cast<uint64_t>(o_.duration * 1e9)) PollOnce(1);
    double secs = static_cast<double>(NowNs() - start) / 1e9;
    ProcSample cpu1 = SampleProcess(o_.bosPid);
    rttRecording_ = false;
    editing_ = false;
    size_t trips = rtts_.size();
    Percentiles p = Take(rtts_);
    std::printf("%s: %zu round trips, median %.3f ms, p99 %.3f ms; %llu edits acknowledged (%.0f/s, %.1f KB/s of "
                "requests); VornBOS processor time %.0f%%\n",
                label, trips, p.p50, p.p99, static_cast<unsigned long long>(edits_), static_cast<double>(edits_) / secs,
                static_cast<double>(editBytes_) / secs / 1024, 100.0 * static_cast<double>(cpu1.cpuNs - cpu0.cpuNs) / 1e9 / secs);
    // Let the last message and the edits in flight finish before the next phase.
    uint64_t settle = NowNs();
    while ((editor.inflight > 0) && NowNs() - settle < 10000000000ull) PollOnce(5);
    Quiet(100);
    return p;
  };
  std::printf("stored list: %d buddies with nick and comment, edit window %d\n", o_.listSize, o_.window);
  Percentiles idle = phase(false, "pair alone           ");
  Percentiles busy = phase(true, "pair while list edits");
  (void)idle;
  return busy.p50 > 0 ? 0 : 1;
}

int Load::Run() {
  if (o_.scenario == "counts") return RunCounts();
  if (o_.scenario == "presence") return RunPresence();
  if (o_.scenario == "offline") return RunOffline();
  if (o_.scenario == "list") return RunStoredList();
  return RunMessages();
}

}  // namespace

int RunScenario(const Options& o) {
  auto load = std::make_unique<Load>(o);
  return load->Run();
}

}  // namespace vl
