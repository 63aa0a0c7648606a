// Running vornadmin in-process (streams in, exit code and both outputs back) and as a real
// program (as another user, with standard input), against test data folders.
#pragma once
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/server_process.h"
#include "vornadmin/admin.h"

namespace vt {

struct AdminRun {
  int code = -1;
  std::string out, err;
};

inline AdminRun Admin(const DataDir& dir, std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), {"--data", dir.path()});
  std::istringstream in(input);
  std::ostringstream out, err;
  AdminRun r;
  r.code = vornadmin::RunAdmin(args, in, out, err, false);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// The management API's token file, private to its owner as the servers expect.
inline void WriteAdminToken(const DataDir& dir, const std::string& token) {
  dir.WriteFile("admin.token", token + "\n");
  ::chmod((dir.path() + "admin.token").c_str(), 0600);
}

}  // namespace vt
