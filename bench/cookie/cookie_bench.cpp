// The cookie handover's file write, alone: a temporary file renamed over the cookie file
// against one write of the 256 bytes into the existing file, side by side in one run.
// Usage: cookie_bench [writes]   (default 20000), in a temporary folder on the same disk as /tmp.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"

namespace {

double TimeWrites(const std::string& dir, int writes, bool inPlace) {
  std::vector<uint8_t> cookie(256);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < writes; ++i) {
    cookie[0] = static_cast<uint8_t>(i);
    std::string path = dir + std::to_string(100000 + i % 1000);  // 1000 users, each logging in again
    bool ok = inPlace ? plat::WriteFileInPlace(path, cookie.data(), cookie.size())
                      : plat::WriteFileAtomic(path, cookie.data(), cookie.size());
    if (!ok) return -1;
  }
  std::chrono::duration<double, std::micro> us = std::chrono::steady_clock::now() - start;
  return us.count() / writes;
}

}  // namespace

int main(int argc, char** argv) {
  int writes = argc > 1 ? std::atoi(argv[1]) : 20000;
  char tmpl[] = "/tmp/vorn-cookie-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = std::string(tmpl) + "/";
  double renamed = TimeWrites(dir, writes, false);
  double inPlace = TimeWrites(dir, writes, true);
  double renamed2 = TimeWrites(dir, writes, false);
  std::printf("cookie file write, %d writes over 1000 users: temporary file and rename %.1f us, "
              "in place %.1f us (rename again %.1f us); ratio %.1f\n",
              writes, renamed, inPlace, renamed2, (renamed + renamed2) / 2 / inPlace);
  std::filesystem::remove_all(dir);
  return 0;
}
