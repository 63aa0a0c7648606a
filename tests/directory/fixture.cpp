#include "tests/directory/fixture.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "server-core/config.h"
#include "server-core/log.h"
#include "server-core/userdb.h"

void DirectoryTest::SetUp() {
  char tmpl[] = "/tmp/vorn-directory-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = std::string(tmpl) + "/";
  SetDataPath(dir_);
  std::filesystem::create_directory(Cfg.userDir);
  CloseLog();
  SetLogFile("VornBOS", dir_);
  LogLevel = 3;
  client_.UIN = kSelf;
  client_.addr = "127.0.0.1";
}

void DirectoryTest::TearDown() {
  CloseLog();
  std::filesystem::remove_all(dir_);
}

std::vector<Reply> DirectoryTest::Call(void (*handler)(const MetaRequest&), uint16_t subtype,
                                       const std::vector<uint8_t>& data) {
  // An allocation of exactly the request's size, so a read past it is caught by the sanitizer.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
  std::copy(data.begin(), data.end(), exact.get());
  client_.sendQueue.clear();
  MetaRequest req{client_, {1, 2, 3, 4}, 0x1234, 0x07D0, subtype, exact.get(), data.size()};
  handler(req);

  std::vector<Reply> out;
  for (const FlapFrame& f : client_.sendQueue) {
    const std::vector<uint8_t>& b = f.data;
    EXPECT_GE(b.size(), 33u);
    if (b.size() < 33) continue;
    EXPECT_EQ(b[1], 2);
    EXPECT_EQ(GetBe16(&b[4]), b.size() - 6);
    EXPECT_EQ(GetBe16(&b[6]), 0x0015);
    EXPECT_EQ(GetBe16(&b[8]), 0x0003);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 12, b.begin() + 16), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(GetBe16(&b[18]), b.size() - 20);
    EXPECT_EQ(b[20] | (b[21] << 8), static_cast<int>(b.size() - 22));
    EXPECT_EQ(b[26] | (b[27] << 8), 0x07DA);
    EXPECT_EQ(b[28] | (b[29] << 8), 0x1234);
    Reply r;
    r.frame = b;
    r.subtype = static_cast<uint16_t>(b[30] | (b[31] << 8));
    r.result = b[32];
    r.data.assign(b.begin() + 33, b.end());
    out.push_back(std::move(r));
  }
  return out;
}

void DirectoryTest::WriteFile(const std::string& name, const std::string& text) {
  std::ofstream(Cfg.userDir + name, std::ios::binary) << text;
}

std::string DirectoryTest::FileText(uint32_t uin) {
  std::ifstream in(UserFilePath(uin), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string DirectoryTest::Value(uint32_t uin, const char* section, const char* key) {
  return ReadUserString(uin, section, key, "<missing>", 1000);
}

std::string DirectoryTest::LogText() {
  FlushLog();
  std::string all;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    if (e.path().extension() != ".log") continue;
    std::ifstream in(e.path());
    std::stringstream ss;
    ss << in.rdbuf();
    all += ss.str();
  }
  return all;
}

std::string ReplyReader::str() {
  uint16_t len = le16();
  std::string s;
  for (uint16_t i = 0; i < len; ++i) s += static_cast<char>(u8());
  if (!s.empty() && s.back() == '\0')
    s.pop_back();
  else
    bad_ = true;
  return s;
}
