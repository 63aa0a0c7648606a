// The user index behind the name and e-mail searches: every change an operator or the other
// server makes to the user folder is seen by the very next search.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "VornBOS/directory/user_index.h"
#include "server-core/config.h"
#include "server-core/userdb.h"
#include "tests/directory/fixture.h"

namespace {

class UserIndexTest : public DirectoryTest {
 protected:
  // The numbers found by a search for a first name, in reply order.
  std::vector<uint32_t> FindFirst(const std::string& first) {
    std::vector<uint32_t> uins;
    for (const Reply& r : Call(SearchByName, 0x0515, Req().tlvStr(0x0140, first).bytes())) {
      if (r.result != 0x0A) continue;
      ReplyReader rr(r.data);
      rr.le16();
      uins.push_back(rr.le32());
    }
    return uins;
  }
  std::vector<uint32_t> FindEmail(const std::string& mail) {
    std::vector<uint32_t> uins;
    for (const Reply& r : Call(SearchByEmail, 0x0573, Req().le16(0x015E).le16(0).str(mail).bytes())) {
      if (r.result != 0x0A) continue;
      ReplyReader rr(r.data);
      rr.le16();
      uins.push_back(rr.le32());
    }
    return uins;
  }
  // Rewrites a file in place (same inode), as an editor that saves over the file does.
  void Overwrite(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
};

using U = std::vector<uint32_t>;

TEST_F(UserIndexTest, InPlaceEditOfSameSizeIsSeenAtOnce) {
  WriteFile("2001.ini", "[Main]\nFirst=John\nEmail=j@example.org\n");
  WriteFile("2002.ini", "[Main]\nFirst=John\n");
  EXPECT_EQ(FindFirst("JOHN"), (U{2001, 2002}));
  // Same length, same second: only the change notice tells the files apart.
  Overwrite(Cfg.userDir + "2001.ini", "[Main]\nFirst=Jack\nEmail=k@example.org\n");
  EXPECT_EQ(FindFirst("john"), (U{2002}));
  EXPECT_EQ(FindFirst("jack"), (U{2001}));
  EXPECT_EQ(FindEmail("k@example.org"), (U{2001}));
  EXPECT_EQ(FindEmail("j@example.org"), U{});
}

TEST_F(UserIndexTest, FilesAddedRenamedAndRemovedBetweenSearches) {
  WriteFile("3001.ini", "[Main]\nFirst=Ann\n");
  EXPECT_EQ(FindFirst("Ann"), (U{3001}));
  // The other server's write: a temporary file renamed over the user file.
  ASSERT_TRUE(WriteUserString(3002, "Main", "First", std::string("Ann")));
  EXPECT_EQ(FindFirst("Ann"), (U{3001, 3002}));
  WriteFile("3003.tmp", "[Main]\nFirst=Ann\n");
  std::filesystem::rename(Cfg.userDir + "3003.tmp", Cfg.userDir + "3003.ini");
  WriteFile("03004.ini", "[Main]\nFirst=Ann\n");  // not a user file: the name is not a number's
  EXPECT_EQ(FindFirst("Ann"), (U{3001, 3002, 3003}));
  std::filesystem::remove(Cfg.userDir + "3001.ini");
  std::filesystem::rename(Cfg.userDir + "3002.ini", Cfg.userDir + "3002.old");
  EXPECT_EQ(FindFirst("Ann"), (U{3003}));
  ASSERT_TRUE(WriteUserString(3003, "Main", "First", std::nullopt));
  EXPECT_EQ(FindFirst("Ann"), U{});
}

TEST_F(UserIndexTest, LinkedFileEditsAndAReplacedFolderAreSeen) {
  std::string outside = dir_ + "outside.ini";
  Overwrite(outside, "[Main]\nFirst=Lee\n");
  std::filesystem::create_symlink(outside, Cfg.userDir + "4001.ini");
  EXPECT_EQ(FindFirst("Lee"), (U{4001}));
  Overwrite(outside, "[Main]\nFirst=Bob\n");  // the folder itself sees no change
  EXPECT_EQ(FindFirst("Lee"), U{});
  EXPECT_EQ(FindFirst("Bob"), (U{4001}));
  // The whole folder replaced by another one of the same name.
  std::filesystem::remove_all(Cfg.userDir);
  std::filesystem::create_directory(Cfg.userDir);
  WriteFile("4002.ini", "[Main]\nFirst=Bob\n");
  EXPECT_EQ(FindFirst("Bob"), (U{4002}));
}

// The values sent come out as a read of the file gives them: defaults for missing keys, long
// values cut, keys found without regard to case, the first of a repeated key.
TEST_F(UserIndexTest, RecordsMatchWhatTheFileGives) {
  std::string longNick(150, 'n');
  WriteFile("5001.ini", "[main]\nFIRST=Eve\nnick=" + longNick + "\nnick=second\n");
  auto r = Call(SearchByName, 0x0515, Req().tlvStr(0x0140, "Eve").bytes());
  ASSERT_EQ(r.size(), 1u);
  ReplyReader rr(r[0].data);
  rr.le16();
  EXPECT_EQ(rr.le32(), 5001u);
  EXPECT_EQ(rr.str(), std::string(22, 'n'));
  EXPECT_EQ(rr.str(), "Eve");
  EXPECT_EQ(rr.str(), "");
  EXPECT_EQ(rr.str(), " ");
}

}  // namespace
