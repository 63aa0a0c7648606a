#include "server-core/log.h"

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "platform/system.h"

std::atomic<int16_t> LogLevel{0};
std::atomic<bool> HexDumpBelowZero{false};

namespace {

constexpr size_t kMaxDump = 0x2000;
constexpr size_t kFileBuffer = 1 << 16;
constexpr size_t kLineBuffer = 1024;

struct LogState {
  std::mutex lock;
  std::FILE* file = nullptr;
  int day = 0;
  std::string program = "VornBOS";
  std::string dataPath = plat::kDefaultDataPath;
  // The time stamp has minute resolution: it is made again only when the second changes.
  std::time_t stampSecond = -1;
  std::tm stampTm{};
  char stamp[32] = {};
  size_t stampLen = 0;
};

thread_local bool deferFlush = false;

LogState& State() {
  static LogState s;
  return s;
}

std::string LogName(const LogState& st, const std::tm& now) {
  char name[64];
  std::string fmt = st.program + ".%d.%m.%y.log";
  std::strftime(name, sizeof name, fmt.c_str(), &now);
  return st.dataPath + name;
}

// Opens today's file when none is open or the day of the month has changed.
bool EnsureFile(LogState& st, const std::tm& now) {
  if (st.file && st.day == now.tm_mday) return true;
  st.day = now.tm_mday;
  if (st.file) std::fclose(st.file);
  st.file = std::fopen(LogName(st, now).c_str(), "a+");
  if (st.file) std::setvbuf(st.file, nullptr, _IOFBF, kFileBuffer);
  return st.file != nullptr;
}

// Time stamp, name and number columns and the text into buf; returns the length of the whole
// line (without a terminator), which may exceed what fitted.
size_t FormatLine(char* buf, size_t size, const char* stamp, const char* name, uint32_t number,
                  const char* format, va_list ap) {
  int head = std::snprintf(buf, size, "%s%14s %8.0d - ", stamp, name ? name : "", static_cast<int32_t>(number));
  if (head < 0) return 0;
  size_t used = std::min(static_cast<size_t>(head), size);
  int text = std::vsnprintf(buf + used, size - used, format, ap);
  return static_cast<size_t>(head) + (text < 0 ? 0 : static_cast<size_t>(text));
}

char TextChar(uint8_t b) { return (b >= 0x20 && b < 0x7F) || b > 0x70 ? static_cast<char>(b) : '.'; }

}  // namespace

std::string TodayLogPath() {
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  return LogName(st, plat::LocalTimeNow());
}

void SetLogFile(const std::string& program, const std::string& dataPath) {
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (st.file && (st.program != program || st.dataPath != dataPath)) {
    std::fclose(st.file);
    st.file = nullptr;
  }
  st.program = program;
  st.dataPath = dataPath;
}

void WriteLog(const char* format, int16_t level, const char* name, uint32_t number, ...) {
  if (level < LogLevel.load()) return;
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  std::time_t t = std::time(nullptr);
  if (t != st.stampSecond) {
    st.stampTm = plat::LocalTime(t);
    st.stampLen = std::strftime(st.stamp, sizeof st.stamp, "%d.%m.%y %H-%M ", &st.stampTm);
    st.stampSecond = t;
  }
  if (!EnsureFile(st, st.stampTm)) return;
  // The whole line is formatted first and goes to the file in one piece.
  char line[kLineBuffer];
  va_list ap, again;
  va_start(ap, number);
  va_copy(again, ap);
  size_t len = FormatLine(line, sizeof line, st.stamp, name, number, format, ap);
  va_end(ap);
  if (len + 1 < sizeof line) {
    line[len] = '\n';
    std::fwrite(line, 1, len + 1, st.file);
  } else {
    std::string big(len + 1, '\0');
    FormatLine(big.data(), big.size(), st.stamp, name, number, format, again);
    big[len] = '\n';
    std::fwrite(big.data(), 1, big.size(), st.file);
  }
  va_end(again);
  if (!deferFlush) std::fflush(st.file);
}

std::string FormatHexDump(const uint8_t* data, size_t len) {
  bool cut = len > kMaxDump;
  if (cut) len = kMaxDump;
  std::string out;
  out.reserve(77 * (len / 16 + 1) + 79);
  out += "\n0000: ";
  char hex[8];
  size_t lineStart = 0;
  for (size_t i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%02X ", data[i]);
    out += hex;
    size_t inLine = i - lineStart + 1;
    if (inLine == 8) out += ' ';
    if (inLine == 16 && i + 1 < len) {
      for (size_t k = lineStart; k <= i; ++k) out += TextChar(data[k]);
      std::snprintf(hex, sizeof hex, "\n%04X: ", static_cast<unsigned>(i + 1));
      out += hex;
      lineStart = i + 1;
    }
  }
  if (cut) {
    out += "...";
  } else {
    size_t inLine = len - lineStart;
    if (inLine < 16) {
      if (inLine <= 8) out += ' ';
      out.append(3 * (16 - inLine), ' ');
    }
    for (size_t k = lineStart; k < len; ++k) out += TextChar(data[k]);
  }
  out += '\n';
  return out;
}

void HexDump(const void* data, size_t len, const char* title) {
  int16_t level = LogLevel.load();
  if (level != 0 && !(level < 0 && HexDumpBelowZero.load())) return;
  std::string text = FormatHexDump(static_cast<const uint8_t*>(data), len);
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (!st.file) return;
  if (title && *title) std::fputs(title, st.file);
  std::fputs(text.c_str(), st.file);
  std::fputc('\n', st.file);
  if (!deferFlush) std::fflush(st.file);
}

void DeferLogFlush(bool on) { deferFlush = on; }

void CloseLog() {
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (st.file) std::fclose(st.file);
  st.file = nullptr;
}

void FlushLog() {
  LogState& st = State();
  std::lock_guard<std::mutex> g(st.lock);
  if (st.file) std::fflush(st.file);
}
