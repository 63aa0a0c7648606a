#include "bench/vornload/procstat.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vl {

namespace {

// Each thread's schedstat holds the nanoseconds it spent on a processor (the servers do their
// work on a thread of their own); stat's clock ticks are the fallback when the kernel keeps no
// scheduler statistics.
uint64_t CpuNs(pid_t pid) {
  std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  uint64_t total = 0;
  bool any = false;
  if (DIR* d = opendir(taskDir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream sched(taskDir + "/" + e->d_name + "/schedstat");
      uint64_t ns = 0;
      if (sched >> ns) total += ns, any = true;
    }
    closedir(d);
  }
  if (any) return total;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command: state is field 3, utime 14, stime 15.
  const char* p = line.c_str() + close + 2;
  uint64_t utime = 0, stime = 0;
  for (int field = 3; field <= 15 && *p; ++field) {
    if (field == 14) utime = std::strtoull(p, nullptr, 10);
    if (field == 15) stime = std::strtoull(p, nullptr, 10);
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
  }
  return (utime + stime) * (1000000000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK)));
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

}  // namespace

ProcSample SampleProcess(pid_t pid) {
  ProcSample s;
  if (pid <= 0) return s;
  s.cpuNs = CpuNs(pid);
  s.rssKb = RssKb(pid);
  return s;
}

}  // namespace vl
