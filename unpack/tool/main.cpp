// unpack: lists, tests or extracts a cabinet from the shell.
//   unpack l <cabinet>           list the files
//   unpack t <cabinet>           extract into a private temporary folder and discard
//   unpack x <cabinet> [folder]  extract into folder (default: the current one)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "unpack/tool/safe_path.h"
#include "unpack/unpack.h"

namespace {

enum class Mode { List, Test, Extract };

Mode g_mode = Mode::List;
std::string g_root;
unsigned g_files = 0;
unsigned g_skipped = 0;
unsigned g_seen = 0;  // file records the library handed over
unpack_tool::PathRegistry g_paths;
// Where the file being written goes when its path is too long for the file record: the
// library writes it under a short name in the folder, and it is renamed when done.
std::string g_longTarget;
const char kLongTemp[] = ".unpack-long-name";

void Report(const char* what, const char* name, const std::string& path) {
  std::fputs(what, stderr);
  std::fputs(name, stderr);
  if (!path.empty()) {
    std::fputs(" -> ", stderr);
    std::fputs(path.c_str(), stderr);
  }
  std::fputc('\n', stderr);
}

void PrintName(const char* name) {
  std::fwrite(name, 1, std::strlen(name), stdout);
  std::fputc('\n', stdout);
}

void PrintEntry(const UnpackFileRecord& f) {
  const unsigned date = f.dateTime >> 16;
  const unsigned time = f.dateTime & 0xFFFF;
  std::printf("%10u  %04u-%02u-%02u %02u:%02u:%02u  ", f.size, 1980 + (date >> 9), (date >> 5) & 0x0F,
              date & 0x1F, time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2);
  PrintName(f.name);
}

bool SetTarget(UnpackFileRecord& f, const std::string& target) {
  std::remove(target.c_str());  // a fresh file, not an overwrite that keeps an old tail
  std::string written = target;
  g_longTarget.clear();
  if (target.size() >= sizeof f.targetPath) {
    written = g_root + "/" + kLongTemp;
    if (written.size() >= sizeof f.targetPath) {
      Report("skipped, path too long: ", f.name, "");
      ++g_skipped;
      return false;
    }
    std::remove(written.c_str());
    g_longTarget = target;
  }
  std::memcpy(f.targetPath, written.c_str(), written.size() + 1);
  return true;
}

// The path the file finally has; a long one is moved there from its short name.
bool FinishTarget(const UnpackFileRecord& f, std::string& path) {
  path = f.targetPath;
  if (g_longTarget.empty()) return true;
  std::string target;
  target.swap(g_longTarget);
  if (std::rename(f.targetPath, target.c_str()) != 0) {
    Report("skipped, cannot be renamed: ", f.name, target);
    std::remove(f.targetPath);
    ++g_skipped;
    return false;
  }
  path = target;
  return true;
}

int32_t BeforeFile(UnpackFileRecord& f) {
  ++g_seen;
  if (g_mode == Mode::List) {
    PrintEntry(f);
    return 0;
  }
  if (g_mode == Mode::Test) return SetTarget(f, g_root + "/file") ? 1 : 0;
  const std::string cleaned = unpack_tool::SafeRelativePath(f.name);
  const std::string relative = g_paths.Claim(cleaned);
  if (relative != cleaned) Report("renamed, path already used: ", f.name, relative);
  if (!unpack_tool::MakeParents(g_root, relative)) {
    Report("skipped, folder cannot be made: ", f.name, relative);
    ++g_skipped;
    return 0;
  }
  return SetTarget(f, g_root + "/" + relative) ? 1 : 0;
}

int32_t Callback(int32_t code, void* record) {
  if (code == UNPACK_BEFORE_FILE) return BeforeFile(*static_cast<UnpackFileRecord*>(record));
  if (code == UNPACK_AFTER_FILE) {
    const auto& f = *static_cast<UnpackFileRecord*>(record);
    if (g_mode == Mode::Test) {
      ++g_files;
      std::remove(f.targetPath);
      std::fputs("OK  ", stdout);
      PrintName(f.name);
      return 0;
    }
    std::string path;
    if (!FinishTarget(f, path)) return 0;
    ++g_files;
    PrintName(path.c_str());
  }
  return 0;
}

int Usage(const char* self) {
  std::fprintf(stderr, "usage: %s l|t|x <cabinet> [folder]\n", self);
  return 2;
}

void Fail(const char* self, const std::string& text) {
  const std::string program = self;
  const size_t slash = program.find_last_of("/\\");
  std::fprintf(stderr, "%s: %s\n", program.substr(slash == std::string::npos ? 0 : slash + 1).c_str(), text.c_str());
}

// The library only says yes or no; the tool first tells a file it cannot read from one that
// holds no cabinet, so the operator knows whether to look at the name or at the file.
bool Readable(const char* self, const char* path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) {
    Fail(self, std::string("cannot open ") + path + ": " + ec.message());
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    Fail(self, std::string("cannot open ") + path + ": " + std::strerror(EISDIR));
    return false;
  }
  std::FILE* f = std::fopen(path, "rb");
  if (!f) {
    Fail(self, std::string("cannot open ") + path + ": " + std::strerror(errno));
    return false;
  }
  std::fclose(f);
  if (std::strlen(path) > 255) {
    Fail(self, std::string("cannot open ") + path + ": the name is longer than 255 characters");
    return false;
  }
  return true;
}

// A new folder of the system's temporary folder that only this user can enter ("" and a
// message when none can be made).
std::string PrivateScratchFolder() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path tmp = fs::temp_directory_path(ec);
  if (ec) {
    std::fprintf(stderr, "temporary folder: %s\n", ec.message().c_str());
    return std::string();
  }
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "unpack-test-%08x", static_cast<unsigned>(random()));
    const fs::path dir = tmp / name;
    if (!fs::create_directory(dir, ec)) {
      if (ec) break;
      continue;  // the name was taken
    }
    fs::permissions(dir, fs::perms::owner_all, ec);
    if (ec) {
      fs::remove(dir, ec);
      break;
    }
    return dir.string();
  }
  std::fprintf(stderr, "%s: cannot make a folder: %s\n", tmp.string().c_str(), ec ? ec.message().c_str() : "names taken");
  return std::string();
}

bool ParseMode(const char* word) {
  const std::string w = word;
  if (w == "l" || w == "list") g_mode = Mode::List;
  else if (w == "t" || w == "test") g_mode = Mode::Test;
  else if (w == "x" || w == "extract") g_mode = Mode::Extract;
  else return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || !ParseMode(argv[1]) || (argc == 4 && g_mode != Mode::Extract)) {
    return Usage(argv[0]);
  }
  if (g_mode == Mode::Extract) {
    g_root = argc == 4 ? argv[3] : ".";
    std::error_code ec;
    std::filesystem::create_directory(g_root, ec);
    if (ec && ec != std::errc::file_exists) {
      std::fprintf(stderr, "%s: %s\n", g_root.c_str(), ec.message().c_str());
      return 1;
    }
  }
  if (!Readable(argv[0], argv[2])) return 1;
  if (g_mode == Mode::Test) {
    g_root = PrivateScratchFolder();
    if (g_root.empty()) return 1;
  }
  // The library finds a cabinet also inside a larger file and reads it lazily: a file in which
  // it found no file record at all holds no cabinet.
  const bool ok = Open(argv[2]) == 1 && Enumerate(Callback) == 1;
  Close();
  if (!g_longTarget.empty()) std::remove((g_root + "/" + kLongTemp).c_str());  // stopped mid-file
  if (g_mode == Mode::Test) {
    std::remove((g_root + "/file").c_str());
    std::error_code ec;
    std::filesystem::remove(g_root, ec);
  }
  if (!ok && g_seen == 0) {
    Fail(argv[0], std::string("not a cabinet (or one cut off before its file list): ") + argv[2]);
    return 1;
  }
  if (!ok) {
    Fail(argv[0], std::string("damaged or incomplete cabinet: ") + argv[2] + " (stopped part-way)");
    return 1;
  }
  if (g_mode != Mode::List) std::printf("%u file(s)\n", g_files);
  return g_skipped == 0 ? 0 : 1;
}
