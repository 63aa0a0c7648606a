#include "platform/system.h"

#include <cstdlib>

namespace plat {

SettingRead ReadDataPathSetting(std::string& value) {
  const char* v = std::getenv("VORN_PATH");
  if (v == nullptr) return SettingRead::kNoKey;
  if (*v == '\0') return SettingRead::kNoValue;
  value = v;
  return SettingRead::kFound;
}

long GmtOffsetSeconds(const std::tm& local) { return local.tm_gmtoff; }

std::optional<std::string> SystemMimeType(const std::string&) { return std::nullopt; }

}  // namespace plat
