// Counting probes attached to running server processes for one phase of a run: system calls
// through the kernel's tracepoints (perf stat), user-space instructions through callgrind
// (servers started under valgrind with instrumentation off, switched on for the phase only).
#pragma once
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vl {

struct PhaseCounts {
  double syscalls = 0;  // every system call entered
  double sends = 0;     // sendto, sendmsg and writev
  double writes = 0;    // write (the log file)
  double instructions = 0;
  bool ok = false;
};

class Probe {
 public:
  // kind: "syscalls", "instructions" or "" (nothing counted). cgDir: the folder the servers'
  // callgrind output files go to (cg.out.PID.N).
  Probe(std::string kind, std::string cgDir) : kind_(std::move(kind)), cgDir_(std::move(cgDir)) {}
  bool active() const { return !kind_.empty(); }
  void Start(const std::vector<pid_t>& pids);
  // Stops counting; the counts of each process since Start.
  std::map<pid_t, PhaseCounts> Stop();

 private:
  std::string kind_, cgDir_;
  std::vector<pid_t> pids_;
  std::map<pid_t, pid_t> perf_;  // server -> perf stat attached to it
  std::map<pid_t, std::string> perfOut_;
};

}  // namespace vl
