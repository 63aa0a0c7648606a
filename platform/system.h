// What differs between the systems below the protocol code: the path separator, program
// names, where the data folder setting lives, the time-zone offset and the MIME types that
// the system knows.
#pragma once
#include <ctime>
#include <optional>
#include <string>

namespace plat {

#ifdef _WIN32
inline constexpr char kPathSep = '\\';
inline constexpr const char* kDefaultDataPath = ".\\";
inline constexpr const char* kProgramSuffix = ".exe";
#else
inline constexpr char kPathSep = '/';
inline constexpr const char* kDefaultDataPath = "./";
inline constexpr const char* kProgramSuffix = "";
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

}  // namespace plat
