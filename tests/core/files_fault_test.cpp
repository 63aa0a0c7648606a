// Files under faults: a full disk, a read-only folder, a record-size limit, secrets kept
// private, and what an interrupted atomic write leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <optional>
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
  ASSERT_TRUE(part.ok());
  EXPECT_EQ(std::string(part->begin(), part->end()), "789");
  EXPECT_TRUE(plat::ReadFileAt(dir.path() + "f", 20, 4)->empty());
  EXPECT_TRUE(plat::ReadFileAt(dir.path() + "missing", 0, 4).absent());
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
                           "1016.ini.young1", "2000.olm", "x.ini.tooLong7", "1015.ssi.p0Q9r8", ".write-probe.Zz9Yy8", "2000.olm.k8J7h6"})
    WriteWholeFile(dir.path() + name, "x");
  utimbuf old{1000000000, 1000000000};
  for (const char* name : {"1015.ini.Xx3Xon", "1000.Ab12Cd", "vorn.ini.q1W2e3", "notes.backup", "x.ini.tooLong7",
                           "1015.ssi.p0Q9r8", ".write-probe.Zz9Yy8", "2000.olm.k8J7h6"})
    ::utime((dir.path() + name).c_str(), &old);
  auto removed = plat::RemoveStaleTempFiles(dir.path(), 60);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{".write-probe.Zz9Yy8", "1000.Ab12Cd", "1015.ini.Xx3Xon",
                                               "1015.ssi.p0Q9r8", "2000.olm.k8J7h6", "vorn.ini.q1W2e3"}));
  EXPECT_EQ(DirEntries(dir.path()),
            (std::vector<std::string>{"1015.ini", "1016.ini.young1", "2000.olm", "notes.backup", "x.ini.tooLong7"}));
}

}  // namespace

namespace {

// Clears the fault plan when a test ends, pass or fail.
struct FaultPlan {
  explicit FaultPlan(const std::string& plan) { EXPECT_TRUE(plat::SetFaultPlan(plan)) << plan; }
  ~FaultPlan() { plat::SetFaultPlan(""); }
};

TEST(FaultPlanTest, ParsesRulesAndFailsTheNthOrEveryLaterOperation) {
  EXPECT_FALSE(plat::SetFaultPlan("write:*.olm:0:EIO"));
  EXPECT_FALSE(plat::SetFaultPlan("chmod:*:1:EIO"));
  EXPECT_FALSE(plat::SetFaultPlan("read:*:1:EWHAT"));
  FaultPlan plan("open:*/a:2:EMFILE;write:*/b:2+:28");
  std::vector<int> got;
  for (int i = 0; i < 4; ++i) got.push_back(plat::InjectedFault(plat::FileOp::Open, "/x/a"));
  for (int i = 0; i < 4; ++i) got.push_back(plat::InjectedFault(plat::FileOp::Write, "/x/b"));
  got.push_back(plat::InjectedFault(plat::FileOp::Read, "/x/a"));
  EXPECT_EQ(got, (std::vector<int>{0, EMFILE, 0, 0, 0, ENOSPC, ENOSPC, ENOSPC, 0}));
}

TEST(HonestReads, AbsentErrorAndContentAreThreeAnswers) {
  TempDir dir;
  WriteWholeFile(dir.path() + "f", std::string(20000, 'x'));
  EXPECT_TRUE(plat::ReadFileBytes(dir.path() + "none", 100).absent());
  EXPECT_EQ(plat::ReadFileBytes(dir.path() + "f", 1u << 20)->size(), 20000u);
  // A read that fails after the first piece is an error, never a short file.
  FaultPlan plan("read:*/f:2:EIO;open:*/g:1:EIO");
  plat::FileRead r = plat::ReadFileBytes(dir.path() + "f", 1u << 20);
  EXPECT_TRUE(r.failed());
  EXPECT_EQ(r.err, EIO);
  EXPECT_TRUE(plat::ReadFileAt(dir.path() + "g", 0, 10).failed());
}

TEST(DurableReplace, AFailedStepLeavesTheOldFileAndNoTemporary) {
  for (const char* rule : {"open:*/u.ini:1:EMFILE", "write:*/u.ini:1:ENOSPC", "fsync:*/u.ini:1:EIO",
                           "rename:*/u.ini:1:EIO"}) {
    TempDir dir;
    WriteWholeFile(dir.path() + "u.ini", "[Main]\nPass=old\n");
    ::chmod((dir.path() + "u.ini").c_str(), 0640);
    {
      FaultPlan plan(rule);
      errno = 0;
      EXPECT_FALSE(plat::WriteFileAtomic(dir.path() + "u.ini", "new", 3, 0600)) << rule;
      EXPECT_NE(errno, 0) << rule;
    }
    EXPECT_EQ(ReadWholeFile(dir.path() + "u.ini"), "[Main]\nPass=old\n") << rule;
    EXPECT_EQ(DirEntries(dir.path()), std::vector<std::string>{"u.ini"}) << rule;
    // Without the fault: replaced, group bits taken from the secret's mode away, no temporary.
    ASSERT_TRUE(plat::WriteFileAtomic(dir.path() + "u.ini", "new", 3, 0600));
    EXPECT_EQ(ReadWholeFile(dir.path() + "u.ini"), "new");
    EXPECT_EQ(ModeOf(dir.path() + "u.ini"), 0600u);
  }
}

TEST(DurableReplace, AProfileThatCannotBeReadIsNotRewritten) {
  TempDir dir;
  std::string path = dir.path() + "1000.ini";
  WriteWholeFile(path, "[Main]\nPass=pw\nNick=a\n");
  {
    FaultPlan plan("read:*/1000.ini:1:EIO");
    errno = 0;
    EXPECT_FALSE(plat::WriteProfileString("Main", "Nick", std::string("b"), path, 0600));
    EXPECT_EQ(errno, EIO);
  }
  EXPECT_EQ(ReadWholeFile(path), "[Main]\nPass=pw\nNick=a\n");
  std::vector<std::optional<std::string>> v;
  int err = 0;
  FaultPlan plan("open:*/1000.ini:1:EACCES");
  EXPECT_FALSE(plat::ReadProfileStrings("Main", {"Pass"}, path, v, err));
  EXPECT_EQ(err, EACCES);
  EXPECT_TRUE(plat::ReadProfileStrings("Main", {"Pass"}, dir.path() + "none.ini", v, err));
  EXPECT_EQ(v, (std::vector<std::optional<std::string>>{std::nullopt}));
}

TEST(GroupCommit, AFailedFlushTakesBackEveryRecordOfTheRound) {
  TempDir dir;
  std::string a = dir.path() + "1.olm", b = dir.path() + "2.olm";
  WriteWholeFile(a, "old");
  plat::AppendBatch batch;
  int err = 0;
  ASSERT_EQ(batch.Append(a, "r1", 2, 0, err), plat::AppendResult::Ok);
  ASSERT_EQ(batch.Append(b, "r2", 2, 0, err), plat::AppendResult::Ok);
  ASSERT_EQ(batch.Append(a, "r3", 2, 0, err), plat::AppendResult::Ok);
  EXPECT_EQ(batch.Append(a, "too long", 8, 10, err), plat::AppendResult::TooLarge);
  FaultPlan plan("fsync:*/1.olm:1:EIO");
  auto out = batch.Commit();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].path, a);
  EXPECT_EQ(out[0].err, EIO);
  EXPECT_EQ(out[1].err, 0);
  EXPECT_EQ(ReadWholeFile(a), "old");
  EXPECT_EQ(ReadWholeFile(b), "r2");
  EXPECT_EQ(ModeOf(b), 0600u);
  EXPECT_TRUE(batch.empty());

  // A flush taken out of the batch fails while the next group appends to the same file: the
  // file is cut back to before both, and the next group is reported lost as well.
  ASSERT_EQ(batch.Append(a, "r4", 2, 0, err), plat::AppendResult::Ok);
  plat::AppendBatch::Flush first = batch.Detach();
  ASSERT_EQ(batch.Append(a, "r5", 2, 0, err), plat::AppendResult::Ok);
  ASSERT_TRUE(plat::SetFaultPlan("fsync:*/1.olm:1:EIO"));
  first.Run();
  auto lost = first.Finish();
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].keptSize, 3u);
  batch.Poison(a, lost[0].keptSize, lost[0].err);
  EXPECT_EQ(ReadWholeFile(a), "old");
  auto next = batch.Commit();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].err, EIO);
  EXPECT_EQ(ReadWholeFile(a), "old");
}

}  // namespace
