#include "tests/core/core_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

TempDir::TempDir() {
  char tmpl[] = "/tmp/vorn-core-XXXXXX";
  if (::mkdtemp(tmpl) != nullptr) path_ = std::string(tmpl) + "/";
  EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool MakeLoopbackPair(plat::EventLoop& loop, uint32_t msg, uint16_t events, LoopbackPair& out) {
  out.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  if (out.listener < 0 || ::bind(out.listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(out.listener, 4) != 0 ||
      ::getsockname(out.listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    ADD_FAILURE() << "cannot listen on 127.0.0.1";
    return false;
  }
  out.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (out.client < 0 || ::connect(out.client, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ADD_FAILURE() << "cannot connect to 127.0.0.1";
    return false;
  }
  out.server = ::accept4(out.listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (out.server < 0) {
    ADD_FAILURE() << "accept failed";
    return false;
  }
  if (!loop.AsyncSelect(out.server, msg, events)) {
    ADD_FAILURE() << "AsyncSelect failed";
    return false;
  }
  return true;
}

void CloseLoopbackPair(plat::EventLoop& loop, LoopbackPair& p) {
  if (p.server >= 0) loop.Close(p.server);
  if (p.client >= 0) ::close(p.client);
  if (p.listener >= 0) ::close(p.listener);
  p = LoopbackPair{};
}

bool RunLoopFor(plat::EventLoop& loop, const plat::EventLoop::Handler& handler, uint32_t timeoutMs) {
  static uintptr_t nextToken = 1;
  uintptr_t token = nextToken++;
  bool timedOut = false;
  loop.PostDelayed(timeoutMs, kTimeoutMsg, token, 0);
  int err = 0;
  loop.Run(
      [&](const plat::Message& m) {
        if (m.msg == kTimeoutMsg) {
          if (m.wParam == token) {
            timedOut = true;
            loop.PostQuit();
          }
          return;
        }
        handler(m);
      },
      err);
  return !timedOut;
}
