// vornload: signs on many ICQ clients through VornAuth and VornBOS from one process (epoll,
// non-blocking sockets), uploads contact lists from a random graph, sets statuses and sends
// channel-1 messages flat out or at a given rate. Prints sign-ons per second, messages per
// second, message latency percentiles and the servers' processor time and resident memory;
// progress goes to standard error. With --relay the same message load runs against
// bench/relay in the same run and the ratio is printed.
//
// Scenarios (first argument):
//   run       sign-ons, then messages between client pairs (default)
//   presence  one status change of one user with --watchers watchers among --clients sessions
//   offline   --messages messages stored for an absent user, then their replay to that user
//   list      one pair's message round trip, alone and while a third user edits its stored
//             list (--list-size buddies) flat out with --window requests in flight
//   counts    system calls or instructions per sign-on and per message, phase by phase, of
//             VornBOS or of bench/router (--target router); see bench/counts
//
// By default the programs are started here (next to this one) with a fresh data folder;
// --auth PORT / --bos-pid PID aim at servers that are already running instead.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/vornload/engine.h"
#include "bench/vornload/procstat.h"
#include "bench/vornload/scenario.h"
#include "bench/vornload/spawn.h"

using namespace vl;

namespace {

Spawned* running = nullptr;

// Interrupted: the servers started here go down with this program.
void OnSignal(int sig) {
  if (running) {
    for (pid_t pid : {running->authPid, running->bosPid, running->relayPid, running->routerPid})
      if (pid > 0) kill(pid, SIGTERM);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void Usage() {
  std::fprintf(stderr,
               "usage: vornload [run|presence|offline|list] [options]\n"
               "  --clients N       signed-on clients (run: pairs of them exchange messages)   [200]\n"
               "  --concurrency N   sign-ons in progress at once                               [200]\n"
               "  --contacts N      contacts per client, drawn at random                       [10]\n"
               "  --duration S      seconds of messages                                        [5]\n"
               "  --window N        messages in flight per sending client                      [16]\n"
               "  --rate N          messages per second in all (0: flat out)                   [0]\n"
               "  --half            afterwards, measure latency again at half the reached rate\n"
               "  --relay           the same message load against bench/relay, side by side\n"
               "  --text N          message text bytes                                         [32]\n"
               "  --log-level N     LogLevel of the servers started here                       [8]\n"
               "  --sources N       loopback source addresses 127.0.0.1 up                     [8]\n"
               "  --watchers N      presence: watchers of the one user                         [1000]\n"
               "  --rounds N        presence: status changes                                   [50]\n"
               "  --messages N      offline: messages stored and replayed                      [10000]\n"
               "  --list-size N     list: buddies on the editing user's stored list             [1000]\n"
               "  --first-uin N     number of the first client                                 [100000]\n"
               "  --password P                                                                 [pw]\n"
               "  --auth PORT --bos-pid PID --auth-pid PID   use running servers (and the relay\n"
               "                    with --relay-port PORT --relay-pid PID)\n"
               "  counts: --target bos|router  --probe syscalls|instructions  --ping N  --pipelined N\n"
               "          --wrap 'CMD ...' (the measured servers start under it)  --cg-dir DIR\n");
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);

  Options o;
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') o.scenario = argv[i++];
  for (; i < argc; ++i) {
    std::string k = argv[i];
    auto next = [&]() -> long { return i + 1 < argc ? std::atol(argv[++i]) : 0; };
    if (k == "--clients") o.clients = static_cast<int>(next());
    else if (k == "--concurrency") o.concurrency = static_cast<int>(next());
    else if (k == "--contacts") o.contacts = static_cast<int>(next());
    else if (k == "--duration") o.duration = static_cast<double>(next());
    else if (k == "--window") o.window = static_cast<int>(next());
    else if (k == "--rate") o.rate = static_cast<double>(next());
    else if (k == "--half") o.half = true;
    else if (k == "--relay") o.relay = true;
    else if (k == "--text") o.textSize = static_cast<int>(next());
    else if (k == "--log-level") o.logLevel = static_cast<int>(next());
    else if (k == "--sources") o.sources = static_cast<int>(next());
    else if (k == "--watchers") o.watchers = static_cast<int>(next());
    else if (k == "--rounds") o.rounds = static_cast<int>(next());
    else if (k == "--messages") o.messages = static_cast<int>(next());
    else if (k == "--list-size") o.listSize = static_cast<int>(next());
    else if (k == "--first-uin") o.firstUin = static_cast<uint32_t>(next());
    else if (k == "--password") o.password = i + 1 < argc ? argv[++i] : "";
    else if (k == "--auth") o.authPort = static_cast<uint16_t>(next());
    else if (k == "--auth-pid") o.authPid = static_cast<pid_t>(next());
    else if (k == "--bos-pid") o.bosPid = static_cast<pid_t>(next());
    else if (k == "--relay-port") o.relayPort = static_cast<uint16_t>(next());
    else if (k == "--relay-pid") o.relayPid = static_cast<pid_t>(next());
    else if (k == "--target") o.target = i + 1 < argc ? argv[++i] : "";
    else if (k == "--probe") o.probe = i + 1 < argc ? argv[++i] : "";
    else if (k == "--wrap") o.wrap = i + 1 < argc ? argv[++i] : "";
    else if (k == "--cg-dir") o.cgDir = i + 1 < argc ? argv[++i] : "";
    else if (k == "--ping") o.pingMessages = static_cast<int>(next());
    else if (k == "--pipelined") o.pipeMessages = static_cast<int>(next());
    else {
      Usage();
      return 2;
    }
  }
  if (o.textSize < 16) o.textSize = 16;
  if (o.clients < 2) o.clients = 2;
  if (o.scenario == "list") o.clients = 3;

  Spawned sp;
  bool spawn = o.authPort == 0;
  if (spawn) {
    int users = o.clients + (o.scenario == "offline" ? 1 : 0);
    if (!MakeDataDir(sp, o.logLevel, o.firstUin, users, o.password)) {
      std::fprintf(stderr, "cannot make a data folder\n");
      return 1;
    }
    bool router = o.target == "router";
    if (router) {
      sp.routerPort = FreePort();
      sp.routerPid = StartProgram("router", {std::to_string(sp.routerPort)}, "", sp.routerPort, o.wrap);
    } else {
      sp.authPid = StartProgram("VornAuth", {}, sp.dataDir, sp.authPort, o.wrap);
      sp.bosPid = StartProgram("VornBOS", {}, sp.dataDir, sp.bosPort, o.wrap);
    }
    if (o.relay) sp.relayPid = StartProgram("relay", {std::to_string(sp.relayPort)}, "", sp.relayPort);
    if ((router ? sp.routerPid < 0 : (sp.authPid < 0 || sp.bosPid < 0)) || (o.relay && sp.relayPid < 0)) {
      std::fprintf(stderr, "cannot start the servers from the program folder\n");
      StopProgram(sp.authPid), StopProgram(sp.bosPid), StopProgram(sp.relayPid), StopProgram(sp.routerPid);
      RemoveDataDir(sp);
      return 1;
    }
    running = &sp;
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    o.authPort = sp.authPort;
    o.authPid = sp.authPid;
    o.bosPid = sp.bosPid;
    o.relayPort = sp.relayPort;
    o.relayPid = sp.relayPid;
    o.routerPort = sp.routerPort;
    o.routerPid = sp.routerPid;
  }

  int rc = RunScenario(o);

  if (spawn) {
    running = nullptr;
    StopProgram(sp.relayPid);
    StopProgram(sp.routerPid);
    StopProgram(sp.authPid);
    StopProgram(sp.bosPid);
    RemoveDataDir(sp);
  }
  return rc;
}
