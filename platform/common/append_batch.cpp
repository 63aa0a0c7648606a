// The parts of a group-commit batch that do not depend on the system's file calls.
#include <algorithm>

#include "platform/files.h"

namespace plat {

bool AppendBatch::Holds(const std::string& path) const {
  for (const Open& f : files_)
    if (f.path == path) return true;
  return false;
}

AppendBatch::Flush AppendBatch::Detach() {
  Flush f(std::move(files_));
  files_.clear();
  return f;
}

std::vector<AppendBatch::Outcome> AppendBatch::Commit() {
  Flush f = Detach();
  f.Run();
  return f.Finish();
}

void AppendBatch::Poison(const std::string& path, uint64_t keptSize, int err) {
  for (Open& f : files_)
    if (f.path == path) {
      f.err = err;
      f.startSize = std::min(f.startSize, keptSize);
    }
}

}  // namespace plat
