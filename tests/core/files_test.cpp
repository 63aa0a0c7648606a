// Whole-file helpers and the ordered directory listing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/ini.h"
#include "tests/core/core_util.h"

namespace {

TEST(ListFilesTest, RegularFilesOnlyOrderedByLeadingNumberThenName) {
  TempDir dir;
  for (const char* name : {"10.ini", "9.ini", "abc.ini", "9a.ini", "2.INI", "5.txt", "100.ini", "ini"})
    WriteWholeFile(dir.path() + name, "x");
  std::filesystem::create_directory(dir.path() + "7.ini");
  std::filesystem::create_symlink(dir.path() + "10.ini", dir.path() + "11.ini");
  std::filesystem::create_symlink(dir.path() + "7.ini", dir.path() + "12.ini");
  std::vector<std::string> expected{"abc.ini", "2.INI", "9.ini", "9a.ini", "10.ini", "11.ini", "100.ini"};
  EXPECT_EQ(plat::ListFiles(dir.path(), ".ini"), expected);
}

TEST(ListFilesTest, MissingFolderGivesNothing) {
  EXPECT_TRUE(plat::ListFiles("/tmp/vorn-core-no-such-folder/", ".ini").empty());
}

TEST(WriteFileAtomicTest, ReplacesContentAndLeavesNoTemporary) {
  TempDir dir;
  std::string path = dir.path() + "f.bin";
  WriteWholeFile(path, "a much longer old content");
  ASSERT_TRUE(plat::WriteFileAtomic(path, "new", 3));
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"f.bin"});
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_FALSE(plat::WriteFileAtomic(dir.path() + "none/f.bin", "x", 1));
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"f.bin"});
}

TEST(AppendRecordTest, AppendsAndCreates) {
  TempDir dir;
  std::string path = dir.path() + "log.olm";
  ASSERT_EQ(plat::AppendRecord(path, "ab", 2, 0), plat::AppendResult::Ok);
  ASSERT_EQ(plat::AppendRecord(path, "cde", 3, 0), plat::AppendResult::Ok);
  EXPECT_EQ(ReadWholeFile(path), "abcde");
  EXPECT_EQ(plat::AppendRecord(dir.path() + "none/x", "a", 1, 0), plat::AppendResult::OpenFailed);
}

TEST(ReadFileBytesTest, StopsAtLimitAndReportsMissingFile) {
  TempDir dir;
  WriteWholeFile(dir.path() + "f", "0123456789");
  auto bytes = plat::ReadFileBytes(dir.path() + "f", 4);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "0123");
  EXPECT_TRUE(plat::ReadFileBytes(dir.path() + "missing", 4).absent());
}

TEST(RandomBytesTest, FillsBufferWithVaryingBytes) {
  std::vector<uint8_t> a(256, 0), b(256, 0);
  ASSERT_TRUE(plat::RandomBytes(a.data(), a.size()));
  ASSERT_TRUE(plat::RandomBytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<uint8_t>(256, 0));
}

}  // namespace

// A replaced file keeps its permissions (a private user file stays private), and several
// profile edits land in one replacement.
TEST(AtomicWrites, KeepModeAndApplySeveralEdits) {
  char tmpl[] = "/tmp/vorn-mode-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/1000.ini";
  ASSERT_TRUE(plat::WriteFileAtomic(path, "[Main]\n", 7));
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(plat::WriteProfileStrings({{"Main", "Pass", "pw"}, {"Main", "Nick", "ann"}, {"Etc", "Age", "3"},
                                         {"Main", "Missing", std::nullopt}},
                                        path));
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto bytes = plat::ReadFileBytes(path, 1000);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "[Main]\nPass=pw\nNick=ann\n[Etc]\nAge=3\n");
  std::string fresh = std::string(tmpl) + "/new.ini";
  ASSERT_TRUE(plat::WriteProfileString("Main", "Nick", "x", fresh));
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::filesystem::remove_all(tmpl);
}
