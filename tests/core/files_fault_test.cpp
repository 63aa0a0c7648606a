// Files under faults: a full disk, a read-only folder, a record-size limit, secrets kept
// private, and what an interrupted atomic write leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <string>

#include "platform/files.h"
#include "platform/ini.h"
#include "tests/core/core_util.h"
#include "tests/support/scratch_mount.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(AppendRecordFaults, ALimitRefusesTheRecordAndLeavesTheFile) {
  TempDir dir;
  std::string path = dir.path() + "1.olm";
  ASSERT_EQ(plat::AppendRecord(path, "12345", 5, 8), plat::AppendResult::Ok);
  EXPECT_EQ(plat::AppendRecord(path, "6789", 4, 8), plat::AppendResult::TooLarge);
  EXPECT_EQ(plat::AppendRecord(path, "678", 3, 8), plat::AppendResult::Ok);
  EXPECT_EQ(ReadWholeFile(path), "12345678");
}

TEST(AppendRecordFaults, AFullDiskLeavesNoPartOfTheRecord) {
  vt::ScratchMount m(64 * 1024);
  VORN_REQUIRE_MOUNT(m);
  std::string path = m.path() + "2000.olm";
  std::string record(8050, 'r');
  int stored = 0;
  plat::AppendResult last = plat::AppendResult::Ok;
  for (int i = 0; i < 20 && last == plat::AppendResult::Ok; ++i) {
    last = plat::AppendRecord(path, record.data(), record.size(), 0);
    if (last == plat::AppendResult::Ok) ++stored;
  }
  ASSERT_EQ(last, plat::AppendResult::ShortWrite);
  EXPECT_EQ(ReadWholeFile(path).size(), static_cast<size_t>(stored) * record.size());
  // A record that fits starts exactly where the last whole one ended.
  ASSERT_EQ(plat::AppendRecord(path, "abc", 3, 0), plat::AppendResult::Ok);
  std::string all = ReadWholeFile(path);
  ASSERT_EQ(all.size(), static_cast<size_t>(stored) * record.size() + 3);
  EXPECT_EQ(all.substr(all.size() - 4), "rabc");
}

TEST(ReadFileAtTest, ReadsFromTheOffsetToTheEnd) {
  TempDir dir;
  WriteWholeFile(dir.path() + "f", "0123456789");
  auto part = plat::ReadFileAt(dir.path() + "f", 7, 100);
  ASSERT_TRUE(part.has_value());
  EXPECT_EQ(std::string(part->begin(), part->end()), "789");
  EXPECT_TRUE(plat::ReadFileAt(dir.path() + "f", 20, 4)->empty());
  EXPECT_FALSE(plat::ReadFileAt(dir.path() + "missing", 0, 4).has_value());
}

TEST(SecretFiles, AreCreatedPrivateWhateverTheUmask) {
  TempDir dir;
  mode_t old = ::umask(022);
  ASSERT_TRUE(plat::WriteFileAtomic(dir.path() + "1000", "cookie", 6, 0600));
  ASSERT_TRUE(plat::WriteProfileString("Main", "Pass", std::string("secret"), dir.path() + "1000.ini", 0600));
  ASSERT_TRUE(plat::WriteProfileString("Main", "Nick", std::string("n"), dir.path() + "1000.ini", 0600));
  ::umask(old);
  EXPECT_EQ(ModeOf(dir.path() + "1000"), 0600u);
  EXPECT_EQ(ModeOf(dir.path() + "1000.ini"), 0600u);
}

TEST(DirWritableTest, TellsAWritableFolderFromAReadOnlyOrMissingOne) {
  TempDir dir;
  int err = 0;
  EXPECT_TRUE(plat::DirWritable(dir.path(), err));
  EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{});  // the probe is gone
  EXPECT_FALSE(plat::DirWritable(dir.path() + "none/", err));
  EXPECT_EQ(err, ENOENT);
  vt::ScratchMount m(16 * 1024);
  VORN_REQUIRE_MOUNT(m);
  ASSERT_TRUE(m.SetReadOnly(true));
  EXPECT_FALSE(plat::DirWritable(m.path(), err));
  EXPECT_EQ(err, EROFS);
  EXPECT_FALSE(plat::FileAppendable(m.path() + "VornBOS.log", err));
}

TEST(DirWritableTest, AFullDiskIsNotWritable) {
  vt::ScratchMount m(16 * 1024);
  VORN_REQUIRE_MOUNT(m);
  WriteWholeFile(m.path() + "filler", std::string(64 * 1024, 'f'));  // stops where the disk is full
  int err = 0;
  EXPECT_FALSE(plat::DirWritable(m.path(), err));
  EXPECT_EQ(err, ENOSPC);
}

TEST(StaleTempFiles, OnlyOldLeftoversOfAtomicWritesAreRemoved) {
  TempDir dir;
  for (const char* name : {"1015.ini.Xx3Xon", "1015.ini", "1000.Ab12Cd", "vorn.ini.q1W2e3", "notes.backup",
                           "1016.ini.young1", "2000.olm", "x.ini.tooLong7", "1015.ssi.p0Q9r8", ".write-probe.Zz9Yy8"})
    WriteWholeFile(dir.path() + name, "x");
  utimbuf old{1000000000, 1000000000};
  for (const char* name : {"1015.ini.Xx3Xon", "1000.Ab12Cd", "vorn.ini.q1W2e3", "notes.backup", "x.ini.tooLong7",
                           "1015.ssi.p0Q9r8", ".write-probe.Zz9Yy8"})
    ::utime((dir.path() + name).c_str(), &old);
  auto removed = plat::RemoveStaleTempFiles(dir.path(), 60);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{".write-probe.Zz9Yy8", "1000.Ab12Cd", "1015.ini.Xx3Xon",
                                               "1015.ssi.p0Q9r8", "vorn.ini.q1W2e3"}));
  EXPECT_EQ(DirEntries(dir.path()),
            (std::vector<std::string>{"1015.ini", "1016.ini.young1", "2000.olm", "notes.backup", "x.ini.tooLong7"}));
}

}  // namespace
