// Times the white-pages searches over a user directory of many files.
// Usage: directory_bench [count ...]   (default 10000 100000)
// Each count gets a fresh temporary data folder with that many user files; one user in a
// thousand is called John. The folder is removed afterwards. The first search builds the user
// index; the later ones only bring it up to date. Beside them, the same walk reading the three
// keys of every file afresh (what a search cost without the index), in the same run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "VornBOS/directory/dirtext.h"
#include "VornBOS/directory/handlers.h"
#include "server-core/userdb.h"
#include "VornBOS/session.h"
#include "server-core/config.h"
#include "server-core/log.h"

namespace {

void MakeUsers(const std::string& userDir, int count) {
  std::filesystem::create_directories(userDir);
  for (int i = 0; i < count; ++i) {
    uint32_t uin = 100000 + static_cast<uint32_t>(i);
    std::string first = i % 1000 == 0 ? "John" : "First" + std::to_string(i);
    std::ofstream(userDir + std::to_string(uin) + ".ini")
        << "[Main]\nNick=nick" << i << "\nFirst=" << first << "\nLast=Last" << i
        << "\nEmail=user" << i << "@example.org\nCity=Town\nCountry=70\ntimezone=250\n"
        << "Publish=1\nPass=secret" << i << "\n[Etc]\nAge=30\nSex=1\nBirthDay=01.02.1980\n"
        << "[About]\n0=Hello\n1=World\n";
  }
}

std::vector<uint8_t> NameRequest(const std::string& first) {
  WireWriter w;
  w.le16(0x0140).le16(static_cast<uint16_t>(first.size() + 3)).metaString(first);
  return w.buffer();
}

std::vector<uint8_t> EmailRequest(const std::string& mail) {
  WireWriter w;
  w.le16(0x015E).le16(0).metaString(mail);
  return w.buffer();
}

// Runs one search and prints its time and the number of replies.
void Time(const char* what, int count, void (*handler)(const MetaRequest&),
          const std::vector<uint8_t>& data) {
  ClientInfo client;
  client.UIN = 1;
  client.addr = "bench";
  MetaRequest req{client, {0, 0, 0, 1}, 1, 0x07D0, 0, data.data(), data.size()};
  auto start = std::chrono::steady_clock::now();
  handler(req);
  std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
  std::printf("%7d files  %-12s %9.1f ms  %zu replies\n", count, what, ms.count(),
              client.sendQueue.size());
}

// The name search's walk without the index: three keys read from every user file.
void TimeFileWalk(int count) {
  auto start = std::chrono::steady_clock::now();
  size_t found = 0;
  EnumerateUserFiles([&](uint32_t, const std::string& path) {
    std::optional<uint32_t> uin = UserFileUin(path);
    if (!uin) return;
    std::string first = ReadUserString(*uin, "Main", "First", "", 100);
    std::string last = ReadUserString(*uin, "Main", "Last", "", 100);
    std::string nick = ReadUserString(*uin, "Main", "nick", "", 100);
    if (SameTextNoCase(first, "JOHN")) ++found;
  });
  std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
  std::printf("%7d files  %-12s %9.1f ms  %zu matches\n", count, "file walk", ms.count(), found);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10000, 100000};
  LogLevel = 20;  // no log lines during the runs

  for (int count : counts) {
    char tmpl[] = "/tmp/vorn-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = std::string(tmpl) + "/";
    SetDataPath(dir);
    MakeUsers(Cfg.userDir, count);
    Time("name, first", count, SearchByName, NameRequest("JOHN"));
    Time("name", count, SearchByName, NameRequest("JOHN"));
    Time("name nomatch", count, SearchByName, NameRequest("Nobody"));
    Time("email", count, SearchByEmail, EmailRequest("user7@example.org"));
    // An operator's edit between two searches: the next one reads that file again.
    std::ofstream(Cfg.userDir + "100001.ini") << "[Main]\nFirst=John\n";
    Time("name, edited", count, SearchByName, NameRequest("JOHN"));
    TimeFileWalk(count);
    std::filesystem::remove_all(dir);
  }
  return 0;
}
