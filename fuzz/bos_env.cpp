#include "fuzz/bos_env.h"

#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <memory>

#include "VornBOS/presence/presence.h"
#include "VornBOS/tables.h"
#include "platform/event_loop.h"
#include "server-core/config.h"
#include "server-core/flap.h"
#include "server-core/log.h"

namespace fz {

namespace {

std::string dataDir;
std::unique_ptr<plat::EventLoop> loop;

void Write(const std::string& rel, const std::string& text) { std::ofstream(dataDir + rel) << text; }

ClientInfo* Connect(BosEnv& env, int index, uint32_t uin, bool logged) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0) std::abort();
  ClientInfo& c = CreateSession(fds[0]);
  c.addr = "127.0.0.1";
  env.peer[index] = fds[1];
  if (uin) SetSessionUin(c, uin);
  c.isLogged = logged;
  if (logged) std::fill(c.Status, c.Status + 4, 0);
  return &c;
}

void Watch(ClientInfo& c) {
  c.contacts.push_back(1000);
  AddWatch(c, 1000);
}

}  // namespace

BosEnv& Env() {
  static BosEnv* env = [] {
    auto* e = new BosEnv;
    dataDir = "/dev/shm/vorn-fuzz-" + std::to_string(::getpid()) + "/";
    for (const char* d : {"", "Db", "Cookie", "olm"}) std::filesystem::create_directories(dataDir + d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dataDir, ec);
    });
    Write("vorn.ini", "[Main]\nLogLevel=0\n[SendSetting]\nsms0=<sign>7</sign><to>%number%@sms.invalid</to>"
                      "<subj>SMS %number%</subj>\nsmtp_server=-\n");
    Write("Db/1000.ini", "[Main]\nPass=secret\nNick=alpha\nFirst=Ann\nLast=Lee\nEmail=ann@example.org\n"
                         "[Contacts]\nSize=3\nDate=06.12.26 17:30\n");
    Write("Db/1001.ini", "[Main]\nPass=other\nNick=beta\nFirst=Bo\nLast=Ray\nAge=30\nGender=2\n");
    Write("Db/1002.ini", "[Main]\nPass=x\nNick=gamma\nCity=Oslo\n");
    ::setenv("VORN_PATH", dataDir.c_str(), 1);
    LoadConfiguration(ServerTablesHooks());
    LogLevel = 0;
    loop = std::make_unique<plat::EventLoop>();
    EventWindow = loop.get();
    e->user = Connect(*e, 0, 1000, true);
    e->friendOf = Connect(*e, 1, 1001, true);
    Watch(*e->friendOf);
    e->anonymous = Connect(*e, 2, 0, false);
    return e;
  }();
  return *env;
}

// A session the input closed (a bad frame, a refused login) comes back as a new one.
void Revive(BosEnv& e) {
  static uint64_t created[3] = {0, 0, 0};
  ClientInfo** slots[3] = {&e.user, &e.friendOf, &e.anonymous};
  for (int i = 0; i < 3; ++i) {
    ClientInfo* c = *slots[i];
    if (created[i] == 0) created[i] = c->created;
    bool alive = false;  // compared by address first: a closed session's record is gone
    for (auto& s : SessionList())
      if (&s == c && s.created == created[i]) alive = true;
    if (alive) continue;
    ::close(e.peer[i]);
    *slots[i] = Connect(e, i, i == 0 ? 1000 : i == 1 ? 1001 : 0, i != 2);
    if (i == 1) Watch(*e.friendOf);
    created[i] = (*slots[i])->created;
  }
}

void ResetBetweenInputs() {
  static unsigned count = 0;
  BosEnv& e = Env();
  Revive(e);
  for (ClientInfo* c : {e.user, e.friendOf, e.anonymous}) {
    c->sendQueue.clear();
    c->queuedBytes = 0;
    c->queueOverflow = false;
  }
  if (++count % 2000 == 0) {
    CloseLog();
    for (auto& f : std::filesystem::directory_iterator(dataDir))
      if (f.path().extension() == ".log") std::filesystem::remove(f.path());
    std::filesystem::remove_all(dataDir + "olm");
    std::filesystem::create_directories(dataDir + "olm");
    // Posted events pile up with no loop running them: start a fresh queue.
    EventWindow = nullptr;
    loop = std::make_unique<plat::EventLoop>();
    EventWindow = loop.get();
  }
}

void DrainPeers() {
  BosEnv& e = Env();
  uint8_t buf[65536];
  for (int fd : e.peer)
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

std::vector<std::vector<uint8_t>> SplitFrames(const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> frames;
  size_t pos = 0;
  while (pos + 2 <= size && frames.size() < 16) {
    size_t len = (size_t(data[pos]) << 8) | data[pos + 1];
    pos += 2;
    len = std::min(len, size - pos);
    frames.emplace_back(data + pos, data + pos + len);
    pos += len;
  }
  return frames;
}

}  // namespace fz
