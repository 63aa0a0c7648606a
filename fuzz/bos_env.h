// The session server's state for the fuzz targets: a data folder in memory (/dev/shm) with a
// few users, two logged-in sessions and one that has not logged in, each on a real socket.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VornBOS/session.h"

namespace fz {

struct BosEnv {
  ClientInfo* user = nullptr;      // logged in as 1000
  ClientInfo* friendOf = nullptr;  // logged in as 1001, watching 1000
  ClientInfo* anonymous = nullptr; // connected, not logged in
  int peer[3] = {-1, -1, -1};      // the client ends of their sockets
};

// Sets the folder and sessions up once; later calls only reset what one input changed.
BosEnv& Env();
// Empties the sessions' queues and the store and log files every so many inputs.
void ResetBetweenInputs();
// Reads and drops whatever the server wrote to the client ends.
void DrainPeers();
// Splits the input into frames: a 2-byte length before each, clipped to what is left.
std::vector<std::vector<uint8_t>> SplitFrames(const uint8_t* data, size_t size);

}  // namespace fz
