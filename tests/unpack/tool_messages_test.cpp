// The command-line tool's refusals: a file it cannot open, a file without a cabinet and a
// cabinet cut short each get their own message (the library only says yes or no).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "tests/unpack/support.h"

namespace unpack_test {
namespace {

const std::string kTool = std::string(VORN_BIN_DIR) + "/unpack";

TEST(ToolMessages, CannotOpenNotACabinetAndDamagedAreToldApart) {
  if (Shell("command -v gcab >/dev/null 2>&1") != 0) GTEST_SKIP() << "gcab not installed";
  ScratchDir dir;
  const std::string d = dir.Path();
  WriteFile(d + "/text.txt", "just some text, no cabinet in here\n");
  WriteFile(d + "/big.bin", std::string(20000, 'x'));
  ASSERT_EQ(Shell("cd " + d + " && gcab -c stored.cab big.bin"), 0);  // stored: the data follows the header
  const std::string whole = ReadFile(d + "/stored.cab");
  WriteFile(d + "/cut.cab", whole.substr(0, whole.size() / 2));
  const struct {
    std::string file;
    std::string message;
  } cases[] = {
      {d + "/missing.cab", "unpack: cannot open " + d + "/missing.cab: " + std::strerror(ENOENT)},
      {d, "unpack: cannot open " + d + ": " + std::strerror(EISDIR)},
      {d + "/text.txt", "unpack: not a cabinet (or one cut off before its file list): " + d + "/text.txt"},
      {d + "/cut.cab", "unpack: damaged or incomplete cabinet: " + d + "/cut.cab (stopped part-way)"},
  };
  for (const auto& c : cases) {  // "t" reads every byte; a listing would not see the cut
    const std::string err = d + "/err.txt";
    EXPECT_EQ(Shell(kTool + " t '" + c.file + "' >/dev/null 2>'" + err + "'"), 1) << c.file;
    EXPECT_EQ(ReadFile(err), c.message + "\n");
  }
}

}  // namespace
}  // namespace unpack_test
