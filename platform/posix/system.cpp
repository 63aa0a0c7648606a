#include "platform/system.h"

#include <termios.h>
#include <unistd.h>

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

bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

struct EchoOff::Saved {
  termios old{};
  bool restore = false;
};

// Echo off, but the newline still shown (ECHONL); input typed ahead is dropped.
EchoOff::EchoOff() : saved_(std::make_unique<Saved>()) {
  saved_->restore = ::tcgetattr(STDIN_FILENO, &saved_->old) == 0;
  if (!saved_->restore) return;
  termios quiet = saved_->old;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  quiet.c_lflag |= ECHONL;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
}

EchoOff::~EchoOff() {
  if (saved_->restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_->old);
}

bool EchoOff::ShowsNewline() const { return true; }

}  // namespace plat
