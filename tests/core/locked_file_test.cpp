// The cookie file's in-place replacement and its locked read: a reader sees the old bytes or
// the new ones, never a mix, and the file always ends up exactly as long as the last write.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/files.h"
#include "tests/core/core_util.h"

namespace {

ino_t Inode(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(LockedFile, InPlaceWritesKeepTheFileAndItsExactLength) {
  TempDir dir;
  std::string path = dir.path() + "123456";
  std::string a(256, 'a'), b(256, 'b');
  ASSERT_TRUE(plat::WriteFileInPlace(path, a.data(), a.size()));
  ino_t inode = Inode(path);
  EXPECT_EQ(ReadWholeFile(path), a);
  ASSERT_TRUE(plat::WriteFileInPlace(path, b.data(), b.size()));
  EXPECT_EQ(ReadWholeFile(path), b);
  ASSERT_TRUE(plat::WriteFileInPlace(path, nullptr, 0));  // a refused login empties the file
  EXPECT_EQ(ReadWholeFile(path), "");
  WriteWholeFile(path, std::string(1000, 'x'));  // a longer file left by someone else
  ASSERT_TRUE(plat::WriteFileInPlace(path, a.data(), a.size()));
  EXPECT_EQ(ReadWholeFile(path), a);
  EXPECT_EQ(Inode(path), inode);
  EXPECT_FALSE(plat::WriteFileInPlace(dir.path() + "missing/1", a.data(), a.size()));
}

TEST(LockedFile, RecordFilesAreNarrowedOnceAndThenWrittenWithoutALook) {
  TempDir dir;
  std::string a(256, 'a'), b(256, 'b');
  WriteWholeFile(dir.path() + "1", a);
  ASSERT_EQ(::chmod((dir.path() + "1").c_str(), 0644), 0);
  WriteWholeFile(dir.path() + "2", std::string(1000, 'x'));
  ASSERT_EQ(::chmod((dir.path() + "2").c_str(), 0600), 0);
  WriteWholeFile(dir.path() + "3", a);
  ASSERT_EQ(::chmod((dir.path() + "3").c_str(), 0600), 0);
  auto changed = plat::NarrowRecordFiles(dir.path(), 256);
  std::sort(changed.begin(), changed.end());
  EXPECT_EQ(changed, (std::vector<std::string>{"1", "2"}));
  struct stat st{};
  ASSERT_EQ(::stat((dir.path() + "1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadWholeFile(dir.path() + "1"), a);
  EXPECT_EQ(ReadWholeFile(dir.path() + "2"), "");

  std::string path = dir.path() + "2";
  ino_t inode = Inode(path);
  ASSERT_TRUE(plat::WriteRecordFileInPlace(path, a.data(), a.size(), 0600));
  EXPECT_EQ(ReadWholeFile(path), a);
  ASSERT_TRUE(plat::WriteRecordFileInPlace(path, nullptr, 0, 0600));  // a refused login
  EXPECT_EQ(ReadWholeFile(path), "");
  ASSERT_TRUE(plat::WriteRecordFileInPlace(path, b.data(), b.size(), 0600));
  EXPECT_EQ(ReadWholeFile(path), b);
  EXPECT_EQ(Inode(path), inode);
}

TEST(LockedFile, ReadersNeverSeeAMixOfTwoWrites) {
  TempDir dir;
  std::string path = dir.path() + "7";
  std::string a(256, 'a'), b(256, 'b');
  ASSERT_TRUE(plat::WriteFileInPlace(path, a.data(), a.size()));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      const std::string& v = i % 2 ? a : b;
      plat::WriteFileInPlace(path, v.data(), v.size());
    }
    stop = true;
  });
  int reads = 0, bad = 0;
  while (!stop) {
    bool busy = false;
    auto got = plat::ReadFileLocked(path, 256, busy);
    if (!got) continue;
    std::string s(got->begin(), got->end());
    ++reads;
    if (s != a && s != b) ++bad;
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(bad, 0);
}

// A reader that holds its lock does not hold the writer up: the file is then replaced by a
// renamed copy, and the reader still reads the old bytes whole.
TEST(LockedFile, HeldLocksMakeTheWriterRenameAndTheReaderWait) {
  TempDir dir;
  std::string path = dir.path() + "9";
  std::string a(256, 'a'), b(256, 'b');
  ASSERT_TRUE(plat::WriteFileInPlace(path, a.data(), a.size()));
  ino_t before = Inode(path);
  int reader = ::open(path.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(reader, LOCK_SH), 0);
  ASSERT_TRUE(plat::WriteFileInPlace(path, b.data(), b.size()));
  EXPECT_NE(Inode(path), before);
  EXPECT_EQ(ReadWholeFile(path), b);
  char old[300];
  EXPECT_EQ(::pread(reader, old, sizeof old, 0), 256);
  EXPECT_EQ(std::string(old, 256), a);
  ::close(reader);

  int writer = ::open(path.c_str(), O_WRONLY);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  bool busy = false;
  EXPECT_FALSE(plat::ReadFileLocked(path, 256, busy));
  EXPECT_TRUE(busy);
  ::close(writer);
  auto got = plat::ReadFileLocked(path, 256, busy);
  ASSERT_TRUE(got);
  EXPECT_FALSE(busy);
  EXPECT_EQ(std::string(got->begin(), got->end()), b);
  EXPECT_FALSE(plat::ReadFileLocked(dir.path() + "none", 256, busy));
  EXPECT_FALSE(busy);
}

}  // namespace
