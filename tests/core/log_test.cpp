// The daily log file: line layout, level filtering, file naming and the hex dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "server-core/log.h"
#include "tests/core/core_util.h"

namespace {

std::string Strftime(const char* fmt, const std::tm& tm) {
  char buf[64];
  std::strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

// True when text matches pattern, where '9' in the pattern stands for any digit.
bool MatchesDigits(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool ok = pattern[i] == '9' ? text[i] >= '0' && text[i] <= '9' : text[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = LogLevel.load();
    CloseLog();
    SetLogFile("VornBOS", dir_.path());
    LogLevel = 8;
    before_ = plat::LocalTimeNow();
  }
  void TearDown() override {
    CloseLog();
    SetLogFile("VornBOS", "./");
    LogLevel = saved_;
  }
  // Today's log file; a test that runs across midnight may find yesterday's name instead.
  std::string LogPath() const {
    std::string today = dir_.path() + Strftime("VornBOS.%d.%m.%y.log", plat::LocalTimeNow());
    std::string started = dir_.path() + Strftime("VornBOS.%d.%m.%y.log", before_);
    return ReadWholeFile(today).empty() ? started : today;
  }
  std::string Log() const { return ReadWholeFile(LogPath()); }
  std::vector<std::string> Lines() const { return SplitLines(Log()); }
  // The line without its time stamp, after checking that the stamp is "DD.MM.YY HH-MM ".
  std::string Body(const std::string& line) const {
    EXPECT_TRUE(MatchesDigits(line.substr(0, 15), "99.99.99 99-99 ")) << line;
    std::string s = line.substr(0, 15);
    std::string a = Strftime("%d.%m.%y %H-%M ", before_);
    std::string b = Strftime("%d.%m.%y %H-%M ", plat::LocalTimeNow());
    EXPECT_TRUE(s == a || s == b) << "stamp '" << s << "' expected '" << a << "'";
    return line.size() >= 15 ? line.substr(15) : std::string();
  }

  TempDir dir_;
  int16_t saved_ = 0;
  std::tm before_{};
};

TEST_F(LogTest, LineLayoutWithNameAndNumberColumns) {
  WriteLog("Connect", 9, "192.168.0.5", 123456);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), "   192.168.0.5   123456 - Connect");
}

TEST_F(LogTest, FileIsNamedForTodayInDataPath) {
  WriteLog("x", 11, "", 0);
  std::string name = Strftime("VornBOS.%d.%m.%y.log", before_);
  std::string later = Strftime("VornBOS.%d.%m.%y.log", plat::LocalTimeNow());
  auto entries = DirEntries(dir_.path());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0] == name || entries[0] == later) << entries[0];
  EXPECT_TRUE(MatchesDigits(entries[0], "VornBOS.99.99.99.log"));
}

TEST_F(LogTest, NumberZeroLeavesEightSpacesAndArgumentsAreFormatted) {
  WriteLog("a=%d b=%s c=%x", 11, "", 0, -3, "text", 255u);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), std::string(14, ' ') + " " + std::string(8, ' ') + " - a=-3 b=text c=ff");
}

TEST_F(LogTest, LongNameIsWrittenWholeAndShiftsTheLine) {
  WriteLog("Text", 11, "a-name-longer-than-14", 7);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), "a-name-longer-than-14 " + std::string(7, ' ') + "7 - Text");
}

TEST_F(LogTest, NumberColumnIsSigned) {
  // Numbers from 2^31 up show as the negative numbers the user file names carry.
  WriteLog("T", 11, "User dir", 4294967295u);
  WriteLog("T", 11, "", 2147483648u);
  WriteLog("T", 11, "", 2147483647u);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Body(lines[0]), "      User dir       -1 - T");
  EXPECT_EQ(Body(lines[1]), std::string(14, ' ') + " -2147483648 - T");
  EXPECT_EQ(Body(lines[2]), std::string(14, ' ') + " 2147483647 - T");
}

TEST_F(LogTest, ConversionsMatchThePrintfRules) {
  // Every conversion the servers' lines use, with the edge values of each, and two the log
  // never formats itself (a size of h, a '+' flag), which must come out the same.
  WriteLog("%d|%d|%d|%i", 11, "", 0, 0, -1, -2147483647 - 1, 2147483647);
  WriteLog("%u|%u|%llu|%llu", 11, "", 0, 0u, 4294967295u, 0ull, 18446744073709551615ull);
  WriteLog("%x|%x|%X|%02x|%02x|%02x", 11, "", 0, 0u, 0xFFFFFFFFu, 0xABu, 5u, 0xABCu, 0u);
  WriteLog("[%s][%5s][%-5s][%.2s][%s]", 11, "", 0, "", "ab", "ab", "abc", "100%");
  WriteLog("[%5d][%-5d][%05d][%8.0d][%.3d][%c][%%]", 11, "", 0, -42, 42, -42, 0, 7, 'Q');
  WriteLog("[%hd][%+d]", 11, "", 0, 70000, 3);
  // Every digit count, at both of its ends.
  WriteLog("%u %u %u %u %u %u %u %u %u %u", 11, "", 0, 9u, 10u, 99u, 100u, 999u, 1000u, 9999u, 10000u, 99999u, 100000u);
  WriteLog("%u %u %u %u %u %u %u %u %d", 11, "", 0, 999999u, 1000000u, 9999999u, 10000000u, 99999999u, 100000000u,
           999999999u, 1000000000u, -100000);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 8u);
  std::string head = std::string(14, ' ') + " " + std::string(8, ' ') + " - ";
  EXPECT_EQ(Body(lines[0]), head + "0|-1|-2147483648|2147483647");
  EXPECT_EQ(Body(lines[1]), head + "0|4294967295|0|18446744073709551615");
  EXPECT_EQ(Body(lines[2]), head + "0|ffffffff|AB|05|abc|00");
  EXPECT_EQ(Body(lines[3]), head + "[][   ab][ab   ][ab][100%]");
  EXPECT_EQ(Body(lines[4]), head + "[  -42][42   ][-0042][        ][007][Q][%]");
  EXPECT_EQ(Body(lines[5]), head + "[4464][+3]");
  EXPECT_EQ(Body(lines[6]), head + "9 10 99 100 999 1000 9999 10000 99999 100000");
  EXPECT_EQ(Body(lines[7]), head + "999999 1000000 9999999 10000000 99999999 100000000 999999999 1000000000 -100000");
}

TEST_F(LogTest, LevelEightWritesNineButNotSeven) {
  LogLevel = 8;
  WriteLog("nine", 9, "", 0);
  WriteLog("seven", 7, "", 0);
  WriteLog("eight", 8, "", 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("nine"), std::string::npos);
  EXPECT_NE(lines[1].find("eight"), std::string::npos);
}

TEST_F(LogTest, LevelTwelveWritesNothing) {
  LogLevel = 12;
  WriteLog("error", 11, "", 0);
  EXPECT_TRUE(Log().empty());
}

TEST_F(LogTest, NegativeLevelWritesAllLinesButNoDump) {
  LogLevel = -1;
  WriteLog("noise", 0, "", 0);
  WriteLog("minus", -1, "", 0);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  HexDump(bytes, sizeof bytes, "Recive head");
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Log().find("Recive head"), std::string::npos);
}

TEST_F(LogTest, LevelZeroWritesLinesAndDumps) {
  LogLevel = 0;
  WriteLog("line", 0, "", 0);
  const uint8_t bytes[4] = {0x2A, 0x02, 'A', 0x7F};
  HexDump(bytes, sizeof bytes, "Recive head");
  HexDump(bytes, 2, "");
  std::string log = Log();
  std::string firstDump = "Recive head" + FormatHexDump(bytes, 4) + "\n";
  std::string secondDump = FormatHexDump(bytes, 2) + "\n";
  size_t at = log.find('\n');
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(log.substr(at + 1), firstDump + secondDump);
}

TEST_F(LogTest, DumpWithoutOpenFileIsDropped) {
  LogLevel = 0;
  const uint8_t bytes[2] = {1, 2};
  HexDump(bytes, 2, "Send head");
  EXPECT_TRUE(DirEntries(dir_.path()).empty());
}

TEST_F(LogTest, UnwritableFolderLosesLinesSilentlyAndRetries) {
  CloseLog();
  SetLogFile("VornBOS", dir_.path() + "missing/");
  WriteLog("lost", 11, "", 0);
  SetLogFile("VornBOS", dir_.path());
  WriteLog("kept", 11, "", 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("kept"), std::string::npos);
}

TEST_F(LogTest, LinesFromSeveralThreadsStayWhole) {
  const int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) WriteLog("thread %d line %d end", 11, "worker", 42, t, i);
    });
  for (auto& th : threads) th.join();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> perThread(kThreads, 0);
  for (const auto& l : lines) {
    int t = -1, i = -1;
    char end[8] = "";
    std::string body = l.size() > 15 ? l.substr(15) : "";
    ASSERT_TRUE(MatchesDigits(l.substr(0, 15), "99.99.99 99-99 ")) << l;
    ASSERT_EQ(std::sscanf(body.c_str(), "        worker       42 - thread %d line %d %3s", &t, &i, end), 3) << l;
    ASSERT_EQ(body, "        worker       42 - thread " + std::to_string(t) + " line " + std::to_string(i) + " end");
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    EXPECT_EQ(i, perThread[t]++) << "each thread's lines in order";
  }
}

// --- dump layout ---

std::vector<uint8_t> Letters(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>('A' + i % 26);
  return v;
}

TEST(HexDumpLayoutTest, SixteenBytesAreOneFullLine) {
  auto d = Letters(16);
  EXPECT_EQ(FormatHexDump(d.data(), d.size()),
            "\n0000: 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP\n");
}

TEST(HexDumpLayoutTest, SeventeenBytesPadTheSecondLine) {
  auto d = Letters(17);
  EXPECT_EQ(FormatHexDump(d.data(), d.size()),
            "\n0000: 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP"
            "\n0010: 51 " + std::string(1 + 15 * 3, ' ') + "Q\n");
}

TEST(HexDumpLayoutTest, NineBytesLineUpWithFullLines) {
  auto d = Letters(9);
  std::string full = FormatHexDump(Letters(16).data(), 16);
  std::string nine = FormatHexDump(d.data(), d.size());
  EXPECT_EQ(nine, "\n0000: 41 42 43 44 45 46 47 48  49 " + std::string(7 * 3, ' ') + "ABCDEFGHI\n");
  EXPECT_EQ(full.find("ABC"), 56u);
  EXPECT_EQ(nine.find("ABC"), 56u) << "text column";
}

TEST(HexDumpLayoutTest, EightBytesGetTheMiddleSpaceAndThePadSpace) {
  // Eight bytes or fewer: one space for the missing middle, then three per missing byte.
  auto d = Letters(8);
  EXPECT_EQ(FormatHexDump(d.data(), d.size()),
            "\n0000: 41 42 43 44 45 46 47 48  " + std::string(1 + 8 * 3, ' ') + "ABCDEFGH\n");
}

TEST(HexDumpLayoutTest, ZeroBytesGiveAnEmptyPaddedLine) {
  EXPECT_EQ(FormatHexDump(nullptr, 0), "\n0000: " + std::string(1 + 16 * 3, ' ') + "\n");
}

TEST(HexDumpLayoutTest, TextColumnShowsPrintableAndHighBytes) {
  const uint8_t d[16] = {0x00, 0x09, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80,
                         0xC0, 0xFF, 0x0A, 0x0D, 0x30, 0x71, 0x70, 0x6F};
  std::string out = FormatHexDump(d, sizeof d);
  std::string text = out.substr(out.size() - 17, 16);
  EXPECT_EQ(text, std::string("... A~\x7F\x80\xC0\xFF..0qpo"));
  EXPECT_EQ(out.substr(0, 56),
            "\n0000: 00 09 1F 20 41 7E 7F 80  C0 FF 0A 0D 30 71 70 6F ");
}

TEST(HexDumpLayoutTest, LongRangeIsCutAtEightKilobytes) {
  std::vector<uint8_t> d(10000);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i);
  std::string out = FormatHexDump(d.data(), d.size());
  ASSERT_GE(out.size(), 5u);
  EXPECT_EQ(out.substr(out.size() - 4), "...\n");
  EXPECT_EQ(out.substr(out.size() - 7), "FF ...\n") << "the last byte shown is byte 8191";
  EXPECT_NE(out.find("\n1FF0: F0 F1"), std::string::npos);
  EXPECT_EQ(out.find("\n2000: "), std::string::npos);
  // 512 lines: 511 full lines with their text, the last one cut before its text.
  size_t lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 513u);
  // Every line but the last has the same length as a full line.
  EXPECT_EQ(out.find("\n0010: "), 1u + 6 + 16 * 3 + 1 + 16);
}

TEST(HexDumpLayoutTest, ExactlyEightKilobytesIsNotCut) {
  std::vector<uint8_t> d(0x2000, 'z');
  std::string out = FormatHexDump(d.data(), d.size());
  EXPECT_EQ(out.substr(out.size() - 18), " zzzzzzzzzzzzzzzz\n");
  EXPECT_EQ(out.find("..."), std::string::npos);
}

}  // namespace

// The server thread's lines wait in the buffer until the flush before the next wait for
// events; a line from another thread goes out at once and takes the waiting ones with it,
// in the order written.
TEST_F(LogTest, DeferredLinesReachTheFileAtTheFlushInOrder) {
  DeferLogFlush(true);
  WriteLog("first", 11, "", 0);
  WriteLog("second", 11, "", 0);
  EXPECT_TRUE(Log().empty());
  std::thread([] { WriteLog("from another thread", 11, "", 0); }).join();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("- first"), std::string::npos);
  EXPECT_NE(lines[2].find("- from another thread"), std::string::npos);
  WriteLog("third", 11, "", 0);
  EXPECT_EQ(Lines().size(), 3u);
  FlushLog();
  DeferLogFlush(false);
  lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find("- third"), std::string::npos);
}

// A line longer than the formatting buffer is written whole.
TEST_F(LogTest, VeryLongLineIsWrittenWhole) {
  std::string text(5000, 'x');
  WriteLog("%s|", 11, std::string(2000, 'n').c_str(), 5, text.c_str());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Body(lines[0]), std::string(2000, 'n') + " " + std::string(7, ' ') + "5 - " + text + "|");
}
