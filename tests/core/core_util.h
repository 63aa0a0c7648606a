// Helpers shared by the foundation tests: a scratch folder, whole-file reads and a
// loopback connection pair registered in an event loop.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_loop.h"

// A fresh folder under /tmp (ending in '/'), removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& text);
std::vector<std::string> DirEntries(const std::string& dir);

// A listening socket on 127.0.0.1 (ephemeral port) and a blocking client connected to it.
// The server side is accepted through the loop and registered for `events` as `msg`.
struct LoopbackPair {
  int listener = -1;
  int client = -1;   // blocking, not registered in the loop
  int server = -1;   // the accepted side, registered in the loop
};
// Returns false (with a gtest failure) when the connection could not be made.
bool MakeLoopbackPair(plat::EventLoop& loop, uint32_t msg, uint16_t events, LoopbackPair& out);
void CloseLoopbackPair(plat::EventLoop& loop, LoopbackPair& p);

// Runs the loop until the handler has posted WM_QUIT or timeoutMs has passed (a timer
// posts WM_QUIT then, so a test never hangs). Returns true when the handler stopped it.
bool RunLoopFor(plat::EventLoop& loop, const plat::EventLoop::Handler& handler, uint32_t timeoutMs);
constexpr uint32_t kTimeoutMsg = plat::WM_USER + 999;
