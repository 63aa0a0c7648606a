// Sessions without sockets: queued frames are inspected directly (no event loop runs, so
// nothing is written), and user files live in a temporary data folder.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "VornBOS/presence/offline.h"
#include "VornBOS/session.h"
#include "server-core/config.h"
#include "server-core/log.h"

class BosUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vorn-unit-XXXXXX";
    dir_ = std::string(::mkdtemp(tmpl)) + "/";
    for (const char* d : {"Db", "Cookie", "olm"}) std::filesystem::create_directory(dir_ + d);
    SetDataPath(dir_);
    SetLogFile("VornBOS", dir_);
    LogLevel = 0;
    Cfg.snacReqId = 0;
  }
  void TearDown() override {
    CommitOfflineStores();  // the round's appends end with the test
    while (SessionCount() > 0) DestroySession(SessionList().front());
    CloseLog();
    std::filesystem::remove_all(dir_);
  }
  // A logged-in session with a fake descriptor, holding the given SNAC as its received frame.
  ClientInfo& Session(uint32_t uin) {
    ClientInfo& c = CreateSession(next_++);
    SetSessionUin(c, uin);
    c.isLogged = true;
    std::fill(std::begin(c.Status), std::end(c.Status), 0);  // online, as the cookie login leaves it
    return c;
  }
  static void Receive(ClientInfo& c, const std::vector<uint8_t>& snac, uint8_t channel = 2) {
    c.in.head[1] = channel;
    c.in.data = snac;
    c.in.length = static_cast<uint16_t>(snac.size());
  }
  void WriteFile(const std::string& rel, const std::string& text) { std::ofstream(dir_ + rel, std::ios::binary) << text; }
  std::string ReadFile(const std::string& rel) {
    std::ifstream in(dir_ + rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Log() {
    FlushLog();
    for (auto& e : std::filesystem::directory_iterator(dir_))
      if (e.path().extension() == ".log") return ReadFile(e.path().filename());
    return std::string();
  }
  std::string dir_;
  int next_ = 100000;
};
