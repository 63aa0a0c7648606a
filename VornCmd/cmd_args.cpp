#include "VornCmd/cmd_args.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "platform/net.h"
#include "platform/system.h"

namespace vorn::cmd {
namespace {

bool WordIs(const char* word, const char* name) { return strcasecmp(word, name) == 0; }

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CmdLine& out) {
  const int args = argc - 1;
  if (args != 3 && args != 4 && args != 6) return false;
  out.host = argv[1];
  out.port = argv[2];
  out.word = argv[3];
  if (WordIs(argv[3], "STAT")) {
    if (args < 4) return false;
    out.command = Command::Stat;
    out.statUin = argv[4];
    return true;
  }
  if (WordIs(argv[3], "MSG")) {
    out.command = Command::Msg;
  } else if (WordIs(argv[3], "MSGF")) {
    out.command = Command::MsgFile;
  } else {
    return false;
  }
  if (args < 6) return false;
  out.uinFrom = argv[4];
  out.uinTo = argv[5];
  out.text = argv[6];
  return true;
}

std::string ProgramName(const char* argv0) {
  const std::string full = argv0 != nullptr ? argv0 : "VornCmd";
  const size_t slash = full.find_last_of(plat::kPathSep);
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

uint32_t UinFromText(const std::string& text) {
  return static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
}

bool ParsePort(const std::string& arg, uint16_t& port) {
  const char* begin = arg.c_str();
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(begin, &end, 0);
  const bool numeric = end != begin && *end == '\0' && errno == 0 && arg[0] != '-';
  if (numeric && v <= 0xFFFF) {
    port = static_cast<uint16_t>(v);
    return true;
  }
  return plat::ResolveServicePort(arg, port);
}

bool IsUserNumber(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char ch : text)
    if (ch < '0' || ch > '9') return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  return v != 0 && v <= 0xFFFFFFFFull;
}

void PrintUsage(std::FILE* out) {
  std::fputs("VornCmd. Send message to Vorn\n", out);
  std::fputs("Copyright (c) Tarn\n", out);
  std::fputs("\n", out);
  std::fputs("Use for send command:\n", out);
  std::fputs("VornCmd ip-address port MSG uin-from uin-to \"message text\"\n", out);
  std::fputs("\tsend message from command line\n", out);
  std::fputs("VornCmd ip-address port MSGF uin-from uin-to file-name\n", out);
  std::fputs("\tsend msg from file\n", out);
  std::fputs("VornCmd ip-address port STAT uin\n", out);
  std::fputs("\trequest info about uin\n", out);
}

}  // namespace vorn::cmd
