// What differs between the systems below the protocol code: the path separator, program
// names, where the data folder setting lives, the time-zone offset and the MIME types that
// the system knows.
#pragma once
#include <ctime>
#include <memory>
#include <optional>
#include <string>

namespace plat {

#ifdef _WIN32
inline constexpr char kPathSep = '\\';
inline constexpr const char* kDefaultDataPath = ".\\";
inline constexpr const char* kProgramSuffix = ".exe";
// Whether files carry Unix permission bits and owners (Windows keeps rights in ACLs).
inline constexpr bool kUnixRights = false;
#else
inline constexpr char kPathSep = '/';
inline constexpr const char* kDefaultDataPath = "./";
inline constexpr const char* kProgramSuffix = "";
inline constexpr bool kUnixRights = true;
#endif

// The data folder setting: registry value "path" of HKLM "SOFTWARE\Tarn\Vorn" on Windows,
// the environment variable VORN_PATH elsewhere.
enum class SettingRead { kNoKey, kNoValue, kFound };
SettingRead ReadDataPathSetting(std::string& value);

// Seconds east of UTC of a local time taken from LocalTime().
long GmtOffsetSeconds(const std::tm& local);

// The MIME type the system registers for a file extension (without the dot), when the
// system keeps such a table of its own (the registry on Windows); nothing elsewhere.
std::optional<std::string> SystemMimeType(const std::string& extension);

// True when standard input is a terminal (a console on Windows) that a person types at.
bool StdinIsTerminal();

// Turns off the echo of what is typed at the terminal on standard input while it lives, and
// restores the terminal's own settings afterwards; nothing happens when standard input is no
// terminal. Lines are still edited and ended by the terminal as usual.
class EchoOff {
 public:
  EchoOff();
  ~EchoOff();
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  // True when the terminal itself still shows the end of the line (POSIX: ECHONL); where it
  // does not (a Windows console), the caller moves on to the next line.
  bool ShowsNewline() const;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace plat
