#include "server-core/startup_check.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "server-core/config.h"
#include "server-core/log.h"

namespace {

void Complain(const char* program, const char* what, const std::string& path, int err) {
  std::fprintf(stderr, "%s: cannot write %s %s: %s\n", program, what, path.c_str(), std::strerror(err));
}

}  // namespace

bool CheckDataFolders(const char* program) {
  bool ok = true;
  int err = 0;
  std::string log = TodayLogPath();
  if (!plat::FileAppendable(log, err)) {
    Complain(program, "the log file", log, err);
    ok = false;
  }
  const std::pair<const char*, const std::string*> folders[] = {
      {"the user folder", &Cfg.userDir}, {"the cookie folder", &Cfg.cookieDir}, {"the offline-message folder", &Cfg.olmDir}};
  for (const auto& [what, dir] : folders) {
    if (!plat::DirWritable(*dir, err)) {
      Complain(program, what, *dir, err);
      ok = false;
    }
  }
  if (!ok) std::fprintf(stderr, "%s: not started (data folder %s)\n", program, Cfg.DataPath.c_str());
  return ok;
}

void RemoveStaleTemporaries() {
  for (const std::string* dir : {&Cfg.DataPath, &Cfg.userDir, &Cfg.cookieDir, &Cfg.olmDir})
    for (const std::string& name : plat::RemoveStaleTempFiles(*dir, 60))
      WriteLog("Removed stale temporary file %s%s", 11, "", 0, dir->c_str(), name.c_str());
}
