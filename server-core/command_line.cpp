#include "server-core/command_line.h"

#include <cstring>

#include "platform/system.h"
#include "vorn_version.h"

namespace {

bool SameWord(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if ((*a | 0x20) != (*b | 0x20)) return false;
  return *a == *b;
}

}  // namespace

std::string ServerUsage(const ServerCommandNames& names) {
  std::string p = std::string(names.program) + plat::kProgramSuffix;
  return names.banner + "\n\nUsage:\n\t" + p + " setup \t- install services\n\t" + p + " delete \t- remove services\n";
}

int AnswerServerCommandLine(const ServerCommandNames& names, int argc, char** argv, std::FILE* out,
                            std::FILE* err) {
  if (argc < 2) return -1;
  const char* word = argv[1];
  if (SameWord(word, "setup") || SameWord(word, "delete")) return -1;  // further arguments ignored
  if (argc == 2 && std::strcmp(word, "/?") == 0) {
    std::fputs(ServerUsage(names).c_str(), out);
    return 0;
  }
  if (argc == 2 && std::strcmp(word, "--version") == 0) {
    std::fprintf(out, "%s %s\n", names.program, VORN_VERSION);
    return 0;
  }
  std::string more = std::string("\t") + names.program + plat::kProgramSuffix +
                     " \t- run the server in the foreground (VORN_PATH names the data folder)\n\t" +
                     names.program + plat::kProgramSuffix + " --version \t- print the version\n";
  if (argc == 2 && (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0)) {
    std::fputs((ServerUsage(names) + more).c_str(), out);
    return 0;
  }
  bool known = std::strcmp(word, "/?") == 0 || std::strcmp(word, "--version") == 0 ||
               std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0;
  std::fprintf(err, "%s: unknown argument \"%s\"\n", names.program, known ? argv[2] : word);
  std::fputs((ServerUsage(names) + more).c_str(), err);
  return 2;
}
