// Resource use of a server process, read from /proc.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace vl {

struct ProcSample {
  uint64_t cpuNs = 0;  // time on a processor (schedstat), user and system together
  long rssKb = 0;      // resident memory
};

ProcSample SampleProcess(pid_t pid);

}  // namespace vl
