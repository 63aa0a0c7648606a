#include "bench/vornload/probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace vl {

namespace {

int RunQuiet(const std::vector<std::string>& args) {
  std::fflush(nullptr);  // a child must not write this program's buffered output again
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The instruction total of the newest callgrind dump of pid in dir (its "totals:" line).
double NewestDumpTotal(const std::string& dir, pid_t pid) {
  std::string prefix = "cg.out." + std::to_string(pid) + ".";
  int best = -1;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) best = std::max(best, std::atoi(e->d_name + prefix.size()));
    }
    closedir(d);
  }
  if (best < 0) return -1;
  std::ifstream f(dir + "/" + prefix + std::to_string(best));
  std::string line;
  double total = -1;
  while (std::getline(f, line)) {
    if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0) total = std::atof(line.c_str() + line.find(':') + 1);
  }
  return total;
}

}  // namespace

void Probe::Start(const std::vector<pid_t>& pids) {
  pids_ = pids;
  if (kind_ == "instructions") {
    for (pid_t p : pids_) {
      RunQuiet({"callgrind_control", "-z", std::to_string(p)});
      RunQuiet({"callgrind_control", "-i", "on", std::to_string(p)});
    }
  } else if (kind_ == "syscalls") {
    for (pid_t p : pids_) {
      std::string out = "/tmp/vornload-perf." + std::to_string(getpid()) + "." + std::to_string(p);
      std::fflush(nullptr);
      pid_t child = fork();
      if (child == 0) {
        std::string ps = std::to_string(p);
        execlp("perf", "perf", "stat", "-x", ",", "-o", out.c_str(), "-e",
               "raw_syscalls:sys_enter,syscalls:sys_enter_sendto,syscalls:sys_enter_sendmsg,"
               "syscalls:sys_enter_writev,syscalls:sys_enter_write",
               "-p", ps.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      perf_[p] = child;
      perfOut_[p] = out;
    }
    // perf needs a moment to attach its counters.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
  }
}

std::map<pid_t, PhaseCounts> Probe::Stop() {
  std::map<pid_t, PhaseCounts> r;
  if (kind_ == "instructions") {
    for (pid_t p : pids_) {
      RunQuiet({"callgrind_control", "-i", "off", std::to_string(p)});
      RunQuiet({"callgrind_control", "-d", std::to_string(p)});
      PhaseCounts c;
      c.instructions = NewestDumpTotal(cgDir_, p);
      c.ok = c.instructions >= 0;
      r[p] = c;
    }
  } else if (kind_ == "syscalls") {
    for (auto& [p, child] : perf_) {
      kill(child, SIGINT);
      waitpid(child, nullptr, 0);
      PhaseCounts c;
      std::ifstream f(perfOut_[p]);
      std::string line;
      while (std::getline(f, line)) {
        // count,unit,event,...
        std::stringstream s(line);
        std::string count, unit, event;
        if (!std::getline(s, count, ',') || !std::getline(s, unit, ',') || !std::getline(s, event, ',')) continue;
        double v = std::atof(count.c_str());
        if (event == "raw_syscalls:sys_enter") c.syscalls = v, c.ok = true;
        else if (event == "syscalls:sys_enter_write") c.writes = v;
        else if (event.rfind("syscalls:sys_enter_send", 0) == 0 || event == "syscalls:sys_enter_writev") c.sends += v;
      }
      std::remove(perfOut_[p].c_str());
      r[p] = c;
    }
    perf_.clear();
    perfOut_.clear();
  }
  return r;
}

}  // namespace vl
