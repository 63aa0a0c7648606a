// The INI engine on a random file: reads never go wrong, and a value written reads back.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/dev/shm/vorn-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
  // The last bytes choose the section and key asked for; the rest is the file.
  size_t nameLen = size > 0 ? data[size - 1] % 16 : 0;
  if (nameLen + 1 > size) nameLen = 0;
  std::string file(reinterpret_cast<const char*>(data), size - (size ? 1 : 0) - nameLen);
  std::string key(reinterpret_cast<const char*>(data) + file.size(), nameLen);
  std::ofstream(path, std::ios::binary) << file;
  for (const char* section : {"Main", "Lists", "SendSetting"})
    (void)plat::GetProfileString(section, key, "-", 300, path);
  std::string value = plat::GetProfileString("Main", "Nick", "def", 300, path);
  if (value.size() > 299) std::abort();
  // A clean key and value survive a write into whatever the file holds.
  if (plat::WriteProfileString("Vorn", "Probe", std::string("v1 2"), path)) {
    if (plat::GetProfileString("Vorn", "Probe", "", 300, path) != "v1 2" &&
        file.find("[Vorn]") == std::string::npos && file.find("[vorn]") == std::string::npos)
      std::abort();
  }
  ::unlink(path.c_str());
  return 0;
}
