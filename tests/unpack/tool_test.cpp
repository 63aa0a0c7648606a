// The command-line tool: names are kept inside the chosen folder, and its
// extraction matches cabextract's.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/unpack/support.h"
#include "unpack/tool/safe_path.h"

namespace unpack_test {
namespace {

using unpack_tool::SafeRelativePath;

std::vector<std::string> ScratchDirFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) names.push_back(std::filesystem::relative(e.path(), dir).string());
  return names;
}

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

TEST(SafePath, CollidingNamesGetNumberedSuffixes) {
  unpack_tool::PathRegistry paths;
  const std::pair<const char*, const char*> cases[] = {
      {"_", "_"},          {"_", "_~1"},           {"_", "_~2"},
      {"a.txt", "a.txt"},  {"a.txt", "a~1.txt"},   {".cfg", ".cfg"},  {".cfg", ".cfg~1"},
      {"d/x", "d/x"},      {"d", "d~1"},           {"d/y", "d/y"},    // a file never takes a folder's name
      {"a.txt/b", "a~2.txt/b"},                    // nor a folder a file's
      {"v1.2/z", "v1.2/z"}, {"v1.2/z", "v1.2/z~1"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(out, paths.Claim(in)) << in;
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

TEST_F(Tool, NamesThatCleanAlikeGoToDistinctFilesAndAreReported) {
  ScratchDir root;
  const std::string out = root.Path() + "/out";
  const std::string log = root.Path() + "/log";
  ASSERT_EQ(0, Shell(kTool + " x " + corpus_ + "/cabextract/dirwalk-vulns.cab " + out + " >" + log + " 2>&1"));
  const std::string text = ReadFile(log);
  // 29 entries: "/", "\\" and the runs of them all clean to "_", and "\\absolute\\path\\..."
  // needs a folder where "/absolute/path" is a file.
  EXPECT_EQ(29u, root.Files().size() - 1);  // the log file is there too
  EXPECT_NE(text.find("\n29 file(s)\n"), std::string::npos) << text;
  for (const char* line : {"renamed, path already used: \\ -> _~1\n", "renamed, path already used: /////////// -> _~2\n",
                           "renamed, path already used: \\absolute\\path\\reverse\\slashes -> absolute/path~1/reverse/slashes\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(ToolLongNames, NamesLongerThanTheTargetFieldAreExtracted) {
  if (Shell("command -v gcab >/dev/null 2>&1") != 0) GTEST_SKIP() << "gcab not installed";
  ScratchDir root;
  const std::string name = std::string(247, 'L') + ".txt";
  WriteFile(root.Path() + "/" + name, "long name content\n");
  ASSERT_EQ(0, Shell("cd " + root.Path() + " && gcab -c long.cab " + name));
  const std::string out = root.Path() + "/out";
  EXPECT_EQ(0, Shell(kTool + " x " + root.Path() + "/long.cab " + out + " >" + root.Path() + "/log"));
  EXPECT_EQ("long name content\n", ReadFile(out + "/" + name));
  EXPECT_EQ(std::vector<std::string>{name}, ScratchDirFiles(out));
  EXPECT_EQ(out + "/" + name + "\n1 file(s)\n", ReadFile(root.Path() + "/log"));
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
