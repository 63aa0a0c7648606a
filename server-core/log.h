// The daily log file and the hex dump of raw traffic.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Lowest level of the lines written; 0 also turns on hex dumps.
extern std::atomic<int16_t> LogLevel;

// Program name in the log file name ("VornBOS" gives "VornBOS.DD.MM.YY.log") and the
// folder the files go to (joined by plain concatenation).
void SetLogFile(const std::string& program, const std::string& dataPath);

// True when lines of this level are written.
inline bool LogWanted(int16_t level) { return level >= LogLevel.load(std::memory_order_relaxed); }

// One log line: time stamp, 14-character name column, 8-character number column
// (signed; blank for 0), then the formatted text. Safe to call from any thread.
void WriteLogLine(const char* format, int16_t level, const char* name, uint32_t number, ...)
    __attribute__((format(printf, 1, 5)));

// WriteLogLine behind the level test, so that a line below the level costs one comparison
// and its arguments are not even computed (none of them has side effects).
#define WriteLog(format, level, ...)                                          \
  do {                                                                        \
    if (LogWanted(level)) WriteLogLine(format, level, __VA_ARGS__);           \
  } while (0)

// When set, negative log levels turn on hex dumps as well (the authorization server's rule).
extern std::atomic<bool> HexDumpBelowZero;

// Hex and text dump of a byte range, written only at LogLevel 0 (or below, see above).
void WriteHexDump(const void* data, size_t len, const char* title);
inline bool HexDumpWanted() { return LogLevel.load(std::memory_order_relaxed) <= 0; }
inline void HexDump(const void* data, size_t len, const char* title) {
  if (HexDumpWanted()) WriteHexDump(data, len, title);
}

// Builds the dump text without writing it (the layout HexDump writes).
std::string FormatHexDump(const uint8_t* data, size_t len);

// The file today's lines go to.
std::string TodayLogPath();

void CloseLog();
void FlushLog();

// While on for the calling thread, its lines wait in the file's buffer instead of being flushed
// one by one; the server thread turns it on and flushes before each wait for socket events, so
// every line is in the file before the event round that wrote it ends. Lines of other threads
// (service control, mail) are flushed at once, together with any waiting ones.
void DeferLogFlush(bool on);
