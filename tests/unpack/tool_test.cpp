// The command-line tool: names are kept inside the chosen folder, and its
// extraction matches cabextract's.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/unpack/support.h"
#include "unpack/tool/safe_path.h"

namespace unpack_test {
namespace {

using unpack_tool::SafeRelativePath;

const std::string kTool = std::string(VORN_BIN_DIR) + "/unpack";

TEST(SafePath, NamesStayBelowTheFolder) {
  EXPECT_EQ("a/b/c.txt", SafeRelativePath("a\\b\\c.txt"));
  EXPECT_EQ("etc/passwd", SafeRelativePath("/etc/passwd"));
  EXPECT_EQ("server/etc/passwd", SafeRelativePath("\\\\server\\etc/passwd"));
  EXPECT_EQ("windows/win.ini", SafeRelativePath("C:\\windows\\win.ini"));
  EXPECT_EQ("windows/win.ini", SafeRelativePath("c:windows\\win.ini"));
  EXPECT_EQ("__/__/x", SafeRelativePath("../..\\x"));
  EXPECT_EQ("a/__/b", SafeRelativePath("a/./../b"));
  EXPECT_EQ("..x/y..", SafeRelativePath("..x/y.."));
  EXPECT_EQ("_", SafeRelativePath(""));
  EXPECT_EQ("_", SafeRelativePath("/./"));
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = CorpusDir();
    if (corpus_.empty()) GTEST_SKIP() << "cabinet corpus not present";
  }
  std::string corpus_;
};

TEST_F(Tool, ExtractionNeverLeavesTheFolder) {
  for (const char* cab : {"cabextract/dirwalk-vulns.cab", "cabextract/utf8-stresstest.cab", "cabextract/dir.cab"}) {
    ScratchDir root;
    const std::string out = root.Path() + "/out";
    Shell(kTool + " x " + corpus_ + "/" + cab + " " + out + " >/dev/null 2>&1");
    const auto files = root.Files();
    EXPECT_FALSE(files.empty()) << cab;
    for (const auto& f : files) EXPECT_EQ(0u, f.rfind("out/", 0)) << cab << ": " << f;
  }
}

TEST_F(Tool, ExtractionMatchesCabextract) {
  if (Shell("command -v cabextract >/dev/null 2>&1") != 0) GTEST_SKIP() << "cabextract not installed";
  for (const char* cab : {"generated/gcab-mszip.cab", "libmspack/mszip_lzx_qtm.cab", "libarchive/test_fuzz.cab"}) {
    ScratchDir mine;
    ScratchDir theirs;
    ASSERT_EQ(0, Shell(kTool + " x " + corpus_ + "/" + cab + " " + mine.Path() + " >/dev/null")) << cab;
    ASSERT_EQ(0, Shell("cabextract -q -d " + theirs.Path() + " " + corpus_ + "/" + cab)) << cab;
    const auto files = theirs.Files();
    EXPECT_EQ(files.size(), mine.Files().size()) << cab;
    for (const auto& f : files) {
      EXPECT_EQ(FileSha256(theirs.Path() + "/" + f), FileSha256(mine.Path() + "/" + f)) << cab << ": " << f;
    }
  }
}

TEST_F(Tool, ListAndTestReportThroughTheExitCode) {
  EXPECT_EQ(0, Shell(kTool + " l " + corpus_ + "/libmspack/mszip_lzx_qtm.cab >/dev/null"));
  EXPECT_EQ(0, Shell(kTool + " t " + corpus_ + "/libmspack/mszip_lzx_qtm.cab >/dev/null"));
  EXPECT_EQ(1, Shell(kTool + " t " + corpus_ + "/generated/badcsum-data-stored.cab >/dev/null 2>&1"));
  EXPECT_EQ(1, Shell(kTool + " l " + corpus_ + "/libmspack/bad_signature.cab >/dev/null 2>&1"));
  EXPECT_EQ(2, Shell(kTool + " q >/dev/null 2>&1"));
}

}  // namespace
}  // namespace unpack_test
