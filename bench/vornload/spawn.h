// Starts the servers (and the relay) as child processes on free loopback ports, with a fresh
// data folder holding vorn.ini and one user file per simulated client.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vl {

uint16_t FreePort();

struct Spawned {
  std::string dataDir;  // ends in '/'
  uint16_t authPort = 0, bosPort = 0, relayPort = 0, routerPort = 0;
  pid_t authPid = -1, bosPid = -1, relayPid = -1, routerPid = -1;
};

// Writes the data folder: vorn.ini with the ports and the log level, and a user file with the
// password for every number from firstUin to firstUin + users - 1.
bool MakeDataDir(Spawned& s, int logLevel, uint32_t firstUin, int users, const std::string& password);
// Starts a program from the folder this program lives in, under the words of wrap when given
// (e.g. a valgrind command line); waits until the port accepts.
pid_t StartProgram(const std::string& name, const std::vector<std::string>& args, const std::string& vornPath,
                   uint16_t port, const std::string& wrap = "");
void StopProgram(pid_t& pid);
// Removes the data folder.
void RemoveDataDir(const Spawned& s);

}  // namespace vl
