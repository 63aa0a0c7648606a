// The load scenarios: sign-ons and messages, presence fan-out, offline replay.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vl {

struct Options {
  std::string scenario = "run";
  int clients = 200;
  int concurrency = 200;
  int contacts = 10;
  double duration = 5;
  int window = 16;
  double rate = 0;
  bool half = false;
  bool relay = false;
  int textSize = 32;
  int logLevel = 8;
  int sources = 8;
  int watchers = 1000;
  int rounds = 50;
  int messages = 10000;
  int listSize = 1000;
  uint32_t firstUin = 100000;
  std::string password = "pw";
  uint16_t authPort = 0;
  uint16_t relayPort = 0;
  pid_t authPid = -1, bosPid = -1, relayPid = -1;
  // counts: what is counted ("syscalls", "instructions" or "" for the rates only), against
  // which server ("bos" or "router"), and the fixed message counts of its phases.
  std::string probe;
  std::string target = "bos";
  std::string cgDir;  // callgrind output folder of servers started under valgrind
  std::string wrap;   // command the measured servers are started under (valgrind ...)
  int pingMessages = 5000;
  int pipeMessages = 50000;
  uint16_t routerPort = 0;
  pid_t routerPid = -1;
};

// Runs the scenario named in the options; 0 when every client did what it was meant to.
int RunScenario(const Options& o);

}  // namespace vl
