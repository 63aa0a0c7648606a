#include "platform/system.h"

#include <windows.h>

#include <algorithm>

namespace plat {

SettingRead ReadDataPathSetting(std::string& value) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarn\\Vorn", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return SettingRead::kNoKey;
  char buf[260] = {};
  DWORD size = sizeof buf - 1;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, "path", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return SettingRead::kNoValue;
  buf[std::min<DWORD>(size, sizeof buf - 1)] = '\0';
  value = buf;
  return SettingRead::kFound;
}

std::optional<std::string> SystemMimeType(const std::string& extension) {
  HKEY key;
  std::string name = "." + extension;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  char buf[256] = {};
  DWORD size = sizeof buf - 1;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, "Content Type", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ || buf[0] == '\0') return std::nullopt;
  return std::string(buf);
}

// A console answers GetConsoleMode; a pipe, a file or the NUL device does not.
bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

struct EchoOff::Saved {
  HANDLE input = INVALID_HANDLE_VALUE;
  DWORD mode = 0;
  bool restore = false;
};

// The console keeps reading whole lines (ENABLE_LINE_INPUT) without showing them; input
// typed ahead is dropped.
EchoOff::EchoOff() : saved_(std::make_unique<Saved>()) {
  saved_->input = GetStdHandle(STD_INPUT_HANDLE);
  saved_->restore = GetConsoleMode(saved_->input, &saved_->mode) != 0;
  if (!saved_->restore) return;
  FlushConsoleInputBuffer(saved_->input);
  SetConsoleMode(saved_->input, (saved_->mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
}

EchoOff::~EchoOff() {
  if (saved_->restore) SetConsoleMode(saved_->input, saved_->mode);
}

bool EchoOff::ShowsNewline() const { return false; }

}  // namespace plat
