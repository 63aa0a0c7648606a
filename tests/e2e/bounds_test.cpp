// Resource bounds against a client that never reads: 200 offline-message requests on a
// 10 MB store leave the server small, and others are still served at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "tests/support/oscar_client.h"
#include "tests/support/server_process.h"

using namespace vt;

namespace {

long ResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// One stored offline message of the given text, written out from the record layout.
Bytes Record(uint32_t owner, uint32_t from, const std::string& text) {
  size_t m = text.size() + 1, s = m + 53;
  return Cat({Bytes{0x2A, 2}, Be16(0), Be16(static_cast<uint16_t>(s - 6)), Be16(0x15), Be16(3), Be16(0), Be32(0),
              Be16(1), Be16(static_cast<uint16_t>(s - 20)), Le16(static_cast<uint16_t>(s - 22)), Le32(owner),
              Le16(0x41), Le16(2), Le32(from), Le16(2026), Bytes{12, 8, 3, 0, 1, 0}, Le16(static_cast<uint16_t>(m)),
              Text(text), Bytes(10, 0)});
}

TEST(Bounds, AClientThatNeverReadsCannotGrowTheServer) {
  DataDir dir;
  dir.WriteIni(11);
  for (uint32_t u : {1000u, 1001u}) dir.WriteUser(u, "[Main]\nPass=pw\n");
  std::string store;
  Bytes rec = Record(1000, 1001, std::string(7900, 'm'));
  while (store.size() < 10u << 20) store.append(rec.begin(), rec.end());
  dir.WriteFile("olm/1000.olm", store);
  ServerProcess auth, bos;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  long before = ResidentKb(bos.pid());
  OscarClient greedy;
  ASSERT_TRUE(greedy.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  Bytes meta = Cat({Le32(1000), Le16(0x3C), Le16(2)});
  Bytes body = Cat({Be16(1), Be16(static_cast<uint16_t>(meta.size() + 2)), Le16(static_cast<uint16_t>(meta.size())), meta});
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(greedy.SendSnac(0x15, 2, static_cast<uint32_t>(i), body));
  ::usleep(1500 * 1000);
  long after = ResidentKb(bos.pid());
  // Without the bound this grew by hundreds of megabytes. AddressSanitizer's quarantine keeps
  // freed blocks for a while, so a sanitizer build is allowed more.
#if defined(__SANITIZE_ADDRESS__)
  const long allowedKb = 320 * 1024;
#else
  const long allowedKb = 40 * 1024;
#endif
  EXPECT_LT(after - before, allowedKb) << "resident " << before << " kB before, " << after << " kB after";
  // Someone else still gets the hello at once.
  OscarClient other;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(other.Connect(dir.bosPort));
  ASSERT_TRUE(other.ReadFrame(2000).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

}  // namespace

namespace {

TEST(Bounds, AConnectionThatNeverLogsInIsClosedAfterTheLoginTimeOut) {
  DataDir dir;
  dir.WriteIni(0, "LoginTimeout=1\n");
  dir.WriteUser(1000, "[Main]\nPass=pw\n");
  ServerProcess auth, bos;
  ASSERT_TRUE(auth.Start("VornAuth", dir, dir.authPort));
  ASSERT_TRUE(bos.Start("VornBOS", dir, dir.bosPort));
  OscarClient idle, user;
  ASSERT_TRUE(idle.Connect(dir.bosPort));
  ASSERT_TRUE(idle.ReadFrame().has_value());  // the hello
  ASSERT_TRUE(user.SignOn(dir.authPort, dir.bosPort, 1000, "pw"));
  EXPECT_TRUE(idle.WaitClosed(3000));
  EXPECT_NE(dir.Log("VornBOS").find("Login time-out socket="), std::string::npos);
  EXPECT_FALSE(user.WaitClosed(500));  // a logged-in session stays
}

}  // namespace
