#include "server-core/log.h"

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/system.h"
#include "server-core/wire.h"

std::atomic<int16_t> LogLevel{0};
std::atomic<bool> HexDumpBelowZero{false};

namespace {

constexpr size_t kMaxDump = 0x2000;
constexpr size_t kFileBuffer = 1 << 16;
constexpr size_t kLineBuffer = 1024;

// The log's lock. It is taken for every line and is nearly always free (the loop thread
// writes nearly all lines), so taking a free lock is one atomic exchange; a thread that finds
// it taken yields until it is free, which is soon: no holder waits for anything but the file.
class LogLock {
 public:
  void lock() {
    while (busy_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { busy_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> busy_{false};
};

struct LogState {
  LogLock lock;
  std::FILE* file = nullptr;
  int day = 0;
  std::string program = "VornBOS";
  std::string dataPath = plat::kDefaultDataPath;
  // The time stamp has minute resolution: it is made again only when the second changes.
  std::time_t stampSecond = -1;
  std::tm stampTm{};
  char stamp[32] = {};
  size_t stampLen = 0;
  // Lines formatted straight into this buffer, handed to the file in one piece when it fills,
  // at a flush, or at once for a thread that does not defer its flushes.
  char pending[kFileBuffer];
  size_t pendingLen = 0;
  // The head of the last line (stamp, name and number columns): lines about the same
  // connection in the same second share it.
  char headName[48] = {};
  size_t headNameLen = SIZE_MAX;
  uint32_t headNumber = 0;
  std::time_t headSecond = -1;
  char head[96] = {};
  size_t headLen = 0;
};

// Hands the formatted lines to the file.
void Drain(LogState& st) {
  if (st.pendingLen && st.file) std::fwrite(st.pending, 1, st.pendingLen, st.file);
  st.pendingLen = 0;
}

thread_local bool deferFlush = false;

// The state is made on first use (a line may be written before main). After that, finding
// it is one load.
std::atomic<LogState*> made{nullptr};

LogState& MakeState() {
  static LogState s;
  made.store(&s, std::memory_order_release);
  return s;
}

LogState& State() {
  LogState* s = made.load(std::memory_order_acquire);
  return s ? *s : MakeState();
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
  Drain(st);
  st.day = now.tm_mday;
  if (st.file) std::fclose(st.file);
  st.file = std::fopen(LogName(st, now).c_str(), "a+");
  if (st.file) std::setvbuf(st.file, nullptr, _IOFBF, kFileBuffer);
  return st.file != nullptr;
}

// A bounded output that counts what did not fit, like the printf family.
struct Out {
  char* buf;
  size_t size;
  size_t len = 0;
  void put(char c) {
    if (len < size) buf[len] = c;
    ++len;
  }
  void put(const char* s, size_t n) {
    if (len < size) std::memcpy(buf + len, s, std::min(n, size - len));
    len += n;
  }
  void pad(char c, size_t n) {
    if (len < size) std::memset(buf + len, c, std::min(n, size - len));
    len += n;
  }
};


// The decimal digits of v ending at end; numbers that fit 32 bits (nearly all) take the cheaper
// 32-bit arithmetic.
char* DecimalDigits(char* end, unsigned long long v) {
  return v <= 0xFFFFFFFFull ? DigitsBefore(end, static_cast<uint32_t>(v)) : DigitsBefore(end, v);
}

// A plain %d or %u (no flags, width or precision).
void PutDecimal(Out& o, bool negative, unsigned long long v) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = DecimalDigits(end, v);
  if (negative) *--p = '-';
  o.put(p, static_cast<size_t>(end - p));
}

// One integer conversion with the printf rules for the flags '-' and '0', a width and a
// precision.
void PutInteger(Out& o, bool negative, unsigned long long v, unsigned base, bool upper, int width, int prec,
                bool left, bool zero) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  if (!(v == 0 && prec == 0)) {
    if (base == 10) {
      p = DecimalDigits(end, v);
    } else {
      const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
      do {
        *--p = set[v & 15];
        v >>= 4;
      } while (v != 0);
    }
  }
  size_t n = static_cast<size_t>(end - p);
  size_t precZeros = prec > 0 && static_cast<size_t>(prec) > n ? static_cast<size_t>(prec) - n : 0;
  size_t body = (negative ? 1 : 0) + precZeros + n;
  size_t fill = width > 0 && static_cast<size_t>(width) > body ? static_cast<size_t>(width) - body : 0;
  if (fill && !left && !(zero && prec < 0)) o.pad(' ', fill);
  if (negative) o.put('-');
  if (fill && !left && zero && prec < 0) o.pad('0', fill);
  if (precZeros) o.pad('0', precZeros);
  o.put(p, n);
  if (fill && left) o.pad(' ', fill);
}

// One conversion of a format (%d %i %u %x %X %s %c %%, the flags '-' and '0', width,
// precision, the l and ll sizes), after the literal text before it.
struct Piece {
  uint16_t literal = 0;  // offset of the literal run in the format
  uint16_t literalLen = 0;
  char type = 0;  // 0: the format ends after the literal
  uint8_t size = 0;
  bool left = false, zero = false;
  int width = 0, prec = -1;
};

// A format taken apart once. byHand is false when it uses anything else (or is too long to
// describe): such lines are formatted with vsnprintf.
struct ParsedFormat {
  const char* format = nullptr;
  bool byHand = false;
  std::vector<Piece> pieces;
  // Only plain %d, %i and %u of int size (the common lines): the longest text they can make.
  bool plainInts = false;
  size_t longest = 0;
  // The format with kChunk bytes after it, so that its literal runs can be copied in whole
  // chunks.
  std::string padded;
};

// Literal runs are copied kChunk bytes at a time: a fixed-size copy is two moves, where a
// copy of a varying length is a call. The copy may read up to kChunk - 1 bytes past a run
// (the padding of ParsedFormat::padded) and write as far past it (room the caller keeps).
constexpr size_t kChunk = 16;

void CopyInChunks(uint8_t* to, const char* from, size_t n) {
  for (size_t i = 0; i < n; i += kChunk) std::memcpy(to + i, from + i, kChunk);
}

ParsedFormat ParseFormat(const char* format) {
  ParsedFormat pf;
  pf.format = format;
  size_t total = std::strlen(format);
  if (total > 0xFFFF) return pf;
  const char* f = format;
  for (;;) {
    Piece p;
    const char* pct = std::strchr(f, '%');
    p.literal = static_cast<uint16_t>(f - format);
    p.literalLen = static_cast<uint16_t>((pct ? pct : format + total) - f);
    if (!pct) {
      pf.pieces.push_back(p);
      break;
    }
    f = pct + 1;
    for (;; ++f) {
      if (*f == '-') p.left = true;
      else if (*f == '0') p.zero = true;
      else break;
    }
    while (*f >= '0' && *f <= '9') p.width = p.width * 10 + (*f++ - '0');
    if (*f == '.') {
      p.prec = 0;
      ++f;
      while (*f >= '0' && *f <= '9') p.prec = p.prec * 10 + (*f++ - '0');
    }
    if (*f == 'l') {
      ++f;
      p.size = 1;
      if (*f == 'l') {
        ++f;
        p.size = 2;
      }
    }
    p.type = *f;
    switch (p.type) {
      case 'd': case 'i': case 'u': case 'x': case 'X':
        break;
      case 's':
        if (p.size) return pf;
        break;
      case 'c':
        if (p.size || p.prec >= 0) return pf;
        break;
      case '%':
        if (p.size || p.width || p.prec >= 0 || p.left || p.zero) return pf;
        break;
      default:
        return pf;
    }
    pf.pieces.push_back(p);
    ++f;
  }
  pf.byHand = true;
  pf.plainInts = true;
  pf.padded.assign(format, total);
  pf.padded.append(kChunk, '\0');
  for (const Piece& p : pf.pieces) {
    pf.longest += p.literalLen + (p.type ? 11 : 0);
    bool plain = p.type == 'd' || p.type == 'i' || p.type == 'u';
    if (p.type && !(plain && p.size == 0 && p.width == 0 && p.prec < 0 && !p.left && !p.zero)) pf.plainInts = false;
  }
  return pf;
}

// The text of the numbers written lately. Lines repeat their numbers (a message's sender and
// recipient appear in each of its lines, and in the lines of the next messages of the same
// pair): a number found here is copied instead of converted. Used under the log's lock.
struct NumberText {
  char text[11];  // first, so that a chunk copied from it stays inside the entry
  uint8_t len = 0;
  uint32_t value = 0;
};
static_assert(sizeof(NumberText) == kChunk);

uint8_t* PutNumber(uint8_t* w, uint32_t v) {
  static NumberText recent[64];
  NumberText& e = recent[(v * 2654435761u) >> 26];
  if (e.len == 0 || e.value != v) {
    e.value = v;
    e.len = static_cast<uint8_t>(PutDecimalText(reinterpret_cast<uint8_t*>(e.text), v));
  }
  std::memcpy(w, e.text, kChunk);
  return w + e.len;
}

// RenderFormat for a format of plain int conversions, written straight into the buffer,
// which has room for the longest text and a chunk more.
void RenderPlainInts(Out& o, const ParsedFormat& pf, va_list ap) {
  uint8_t* w = reinterpret_cast<uint8_t*>(o.buf + o.len);
  const char* text = pf.padded.data();
  for (const Piece& p : pf.pieces) {
    CopyInChunks(w, text + p.literal, p.literalLen);
    w += p.literalLen;
    if (!p.type) break;
    uint32_t mag;
    if (p.type == 'u') {
      mag = va_arg(ap, unsigned int);
    } else {
      int v = va_arg(ap, int);
      mag = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
      if (v < 0) *w++ = '-';
    }
    w = PutNumber(w, mag);
  }
  o.len = static_cast<size_t>(reinterpret_cast<char*>(w) - o.buf);
}

// The parsed formats of the lines written so far, by the address of their text (the formats
// are string literals). Used under the log's lock.
const ParsedFormat& CachedFormat(const char* format) {
  static ParsedFormat slots[256];
  ParsedFormat& slot = slots[(reinterpret_cast<uintptr_t>(format) >> 3) & 255];
  if (slot.format != format) slot = ParseFormat(format);
  return slot;
}

// Formats the arguments as snprintf does, without its general machinery.
void RenderFormat(Out& o, const ParsedFormat& pf, va_list ap) {
  if (pf.plainInts && o.len <= o.size && o.size - o.len >= pf.longest + kChunk) return RenderPlainInts(o, pf, ap);
  for (const Piece& p : pf.pieces) {
    o.put(pf.format + p.literal, p.literalLen);
    switch (p.type) {
      case 0:
        return;
      case 'd':
      case 'i': {
        long long v = p.size == 2 ? va_arg(ap, long long) : p.size == 1 ? va_arg(ap, long) : va_arg(ap, int);
        unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        if (p.width == 0 && p.prec < 0)
          PutDecimal(o, v < 0, mag);
        else
          PutInteger(o, v < 0, mag, 10, false, p.width, p.prec, p.left, p.zero);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = p.size == 2   ? va_arg(ap, unsigned long long)
                               : p.size == 1 ? va_arg(ap, unsigned long)
                                             : va_arg(ap, unsigned int);
        if (p.type == 'u' && p.width == 0 && p.prec < 0)
          PutDecimal(o, false, v);
        else
          PutInteger(o, false, v, p.type == 'u' ? 10 : 16, p.type == 'X', p.width, p.prec, p.left, p.zero);
        break;
      }
      case 's': {
        const char* text = va_arg(ap, const char*);
        if (!text) text = "(null)";
        size_t n = p.prec >= 0 ? strnlen(text, static_cast<size_t>(p.prec)) : std::strlen(text);
        size_t fill = p.width > 0 && static_cast<size_t>(p.width) > n ? static_cast<size_t>(p.width) - n : 0;
        if (!p.left) o.pad(' ', fill);
        o.put(text, n);
        if (p.left) o.pad(' ', fill);
        break;
      }
      case 'c': {
        char c = static_cast<char>(va_arg(ap, int));
        size_t fill = p.width > 1 ? static_cast<size_t>(p.width) - 1 : 0;
        if (!p.left) o.pad(' ', fill);
        o.put(c);
        if (p.left) o.pad(' ', fill);
        break;
      }
      case '%':
        o.put('%');
        break;
    }
  }
}

// The line head: time stamp, the name right-aligned in 14 columns, the number (signed) in 8
// columns and blank for 0, then " - ".
void PutHead(Out& o, const char* stamp, size_t stampLen, const char* name, uint32_t number) {
  o.put(stamp, stampLen);
  size_t n = name ? std::strlen(name) : 0;
  if (n < 14) o.pad(' ', 14 - n);
  if (n) o.put(name, n);
  o.put(' ');
  int32_t v = static_cast<int32_t>(number);
  unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(static_cast<long long>(v)) : static_cast<unsigned long long>(v);
  PutInteger(o, v < 0, mag, 10, false, 8, 0, false, false);
  o.put(" - ", 3);
}

// Time stamp, name and number columns and the text into buf; returns the length of the whole
// line (without a terminator), which may exceed what fitted.
size_t FormatLine(char* buf, size_t size, LogState& st, const char* name, uint32_t number, const char* format,
                  va_list ap) {
  Out o{buf, size};
  if (!name) name = "";
  size_t nameLen = std::strlen(name);
  if (nameLen == st.headNameLen && number == st.headNumber && st.headSecond == st.stampSecond &&
      std::memcmp(name, st.headName, nameLen) == 0) {
    o.put(st.head, st.headLen);
  } else {
    PutHead(o, st.stamp, st.stampLen, name, number);
    if (nameLen < sizeof st.headName && o.len <= sizeof st.head && o.len <= size) {
      std::memcpy(st.head, buf, o.len);
      st.headLen = o.len;
      std::memcpy(st.headName, name, nameLen);
      st.headNameLen = nameLen;
      st.headNumber = number;
      st.headSecond = st.stampSecond;
    }
  }
  size_t head = o.len;
  const ParsedFormat& pf = CachedFormat(format);
  if (pf.byHand) {
    RenderFormat(o, pf, ap);
    return o.len;
  }
  size_t used = std::min(head, size);
  int text = std::vsnprintf(buf + used, size - used, format, ap);
  return head + (text < 0 ? 0 : static_cast<size_t>(text));
}

char TextChar(uint8_t b) { return (b >= 0x20 && b < 0x7F) || b > 0x70 ? static_cast<char>(b) : '.'; }

}  // namespace

std::string TodayLogPath() {
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  return LogName(st, plat::LocalTimeNow());
}

void SetLogFile(const std::string& program, const std::string& dataPath) {
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  if (st.file && (st.program != program || st.dataPath != dataPath)) {
    Drain(st);
    std::fclose(st.file);
    st.file = nullptr;
  }
  st.program = program;
  st.dataPath = dataPath;
}

void WriteLogLine(const char* format, int16_t level, const char* name, uint32_t number, ...) {
  if (!LogWanted(level)) return;
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  std::time_t t = std::time(nullptr);
  if (t != st.stampSecond) {
    st.stampTm = plat::LocalTime(t);
    st.stampLen = std::strftime(st.stamp, sizeof st.stamp, "%d.%m.%y %H-%M ", &st.stampTm);
    st.stampSecond = t;
  }
  if (!EnsureFile(st, st.stampTm)) return;
  // The whole line is formatted first and goes to the file in one piece.
  if (sizeof st.pending - st.pendingLen < kLineBuffer) Drain(st);
  char* line = st.pending + st.pendingLen;
  size_t room = sizeof st.pending - st.pendingLen;
  va_list ap, again;
  va_start(ap, number);
  va_copy(again, ap);
  size_t len = FormatLine(line, room, st, name, number, format, ap);
  va_end(ap);
  if (len + 1 < room) {
    line[len] = '\n';
    st.pendingLen += len + 1;
  } else {
    Drain(st);
    std::string big(len + 1, '\0');
    FormatLine(big.data(), big.size(), st, name, number, format, again);
    big[len] = '\n';
    std::fwrite(big.data(), 1, big.size(), st.file);
  }
  va_end(again);
  if (!deferFlush) {
    Drain(st);
    std::fflush(st.file);
  }
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

void WriteHexDump(const void* data, size_t len, const char* title) {
  int16_t level = LogLevel.load();
  if (level != 0 && !(level < 0 && HexDumpBelowZero.load())) return;
  std::string text = FormatHexDump(static_cast<const uint8_t*>(data), len);
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  if (!st.file) return;
  Drain(st);
  if (title && *title) std::fputs(title, st.file);
  std::fputs(text.c_str(), st.file);
  std::fputc('\n', st.file);
  if (!deferFlush) std::fflush(st.file);
}

void DeferLogFlush(bool on) { deferFlush = on; }

void CloseLog() {
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  Drain(st);
  if (st.file) std::fclose(st.file);
  st.file = nullptr;
}

void FlushLog() {
  LogState& st = State();
  std::lock_guard<LogLock> g(st.lock);
  Drain(st);
  if (st.file) std::fflush(st.file);
}
