// Every cabinet of the shared corpus through Open/Enumerate/Close, compared
// with the names, sizes and SHA-256 sums a reference reader produced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "tests/unpack/support.h"

namespace unpack_test {
namespace {

using Row = std::map<std::string, std::string>;

// Where this library is stricter than the reference reader: version 1.2,
// a signature without its four zero bytes, a cabinet beyond the searched
// range or behind a decoy, and sets whose parts do not belong together.
const std::set<std::string> kRejectedByDesign = {
    "generated/version-1.2.cab",
    "generated/reserved1-nonzero.cab",
    "generated/embedded/embedded-262121.bin",
    "generated/embedded/embedded-300000.bin",
    "generated/embedded/embedded-decoy-zero-100000.bin",
    "libmspack/search_tricky1.cab",
    "generated/sets/wrong-index/test_read_format_cab_multi.p1.cab",
    "generated/sets/wrong-setid/test_read_format_cab_multi.p1.cab",
    "generated/sets/reserve-mismatch/test_read_format_cab_multi.p1.cab",
};

// The file table is read where the header's offset points; the reference
// reader lists the entries right after the folders instead.
const char kHiddenFiles[] = "libmspack/hidden-files.cab";

class Corpus : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = CorpusDir();
    if (dir_.empty()) GTEST_SKIP() << "cabinet corpus not present";
    for (auto& row : ReadTsv(dir_ + "/EXPECTED.tsv")) expected_[row["cab"]].push_back(row);
    manifest_ = ReadTsv(dir_ + "/MANIFEST.tsv");
  }

  bool AllOk(const std::string& cab) const {
    auto it = expected_.find(cab);
    if (it == expected_.end()) return false;
    return std::all_of(it->second.begin(), it->second.end(), [](const Row& r) { return r.at("status") == "ok"; });
  }

  bool IsLaterPart(const Row& m) const { return m.at("note").rfind("later part of a set", 0) == 0; }

  std::string dir_;
  std::map<std::string, std::vector<Row>> expected_;
  std::vector<Row> manifest_;
};

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

void ExpectSameFiles(const std::string& cab, const std::vector<Row>& rows, const std::vector<Extracted>& got) {
  ASSERT_EQ(rows.size(), got.size()) << cab;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const Extracted& e = got[i];
    const std::string where = cab + " #" + std::to_string(i);
    if (!r.at("name_hex").empty()) {
      EXPECT_EQ(r.at("name_hex"), Hex(e.name)) << where;
    } else {
      EXPECT_EQ(Unescape(r.at("name")), e.name) << where;
    }
    EXPECT_EQ(std::stoul(r.at("size")), e.size) << where;
    EXPECT_EQ(r.at("sha256"), FileSha256(e.target)) << where;
    EXPECT_EQ(e.progressTotal, e.size) << where;
    EXPECT_TRUE(e.progressConsistent) << where;
    EXPECT_TRUE(e.closed) << where;
    EXPECT_EQ(std::stoul(r.at("attribs"), nullptr, 16) & ~0x40u, e.attributes) << where;
    if (!r.at("dos_date").empty()) {
      const uint32_t dt = (std::stoul(r.at("dos_date"), nullptr, 16) << 16) | std::stoul(r.at("dos_time"), nullptr, 16);
      EXPECT_EQ(dt, e.dateTime) << where;
    }
  }
}

TEST_F(Corpus, EveryGoodCabinetExtractsLikeTheReference) {
  size_t checked = 0;
  for (const auto& [cab, rows] : expected_) {
    if (!AllOk(cab) || kRejectedByDesign.count(cab) || cab == kHiddenFiles) continue;
    ScratchDir out;
    std::vector<Extracted> got;
    EXPECT_EQ(1, ExtractAll(dir_ + "/" + cab, out.Path(), got)) << cab;
    ExpectSameFiles(cab, rows, got);
    ++checked;
  }
  EXPECT_GE(checked, 60u);
}

TEST_F(Corpus, StricterRulesRejectWhatTheReferenceAccepts) {
  for (const auto& cab : kRejectedByDesign) {
    ScratchDir out;
    std::vector<Extracted> got;
    EXPECT_EQ(0, ExtractAll(dir_ + "/" + cab, out.Path(), got)) << cab;
  }
}

TEST_F(Corpus, BrokenCabinetsFailWithoutStrayFiles) {
  size_t checked = 0;
  for (const auto& m : manifest_) {
    const std::string& cab = m.at("file");
    const bool listed = expected_.count(cab) != 0;
    if ((listed && AllOk(cab)) || (!listed && IsLaterPart(m)) || kRejectedByDesign.count(cab)) continue;
    ScratchDir out;
    std::vector<Extracted> got;
    EXPECT_EQ(0, ExtractAll(dir_ + "/" + cab, out.Path(), got)) << cab;
    std::set<std::string> targets;
    for (size_t i = 0; i < got.size(); ++i) targets.insert(std::to_string(i));
    for (const auto& f : out.Files()) EXPECT_TRUE(targets.count(f)) << cab << ": " << f;
    ++checked;
  }
  EXPECT_GT(checked, 40u);
}

TEST_F(Corpus, FileTableIsReadWhereTheHeaderPoints) {
  ScratchDir out;
  std::vector<Extracted> got;
  ASSERT_EQ(1, ExtractAll(dir_ + "/" + kHiddenFiles, out.Path(), got));
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("hidden1.txt", got[0].name);
  EXPECT_EQ("hidden2.txt", got[1].name);
}

TEST_F(Corpus, LaterPartsOfASetStartMidway) {
  ScratchDir out;
  std::vector<Extracted> got;
  ASSERT_EQ(1, ExtractAll(dir_ + "/cabextract/split/Split-2.CAB", out.Path(), got));
  // small2.bin and medium1.bin began in Split-1 and are only reported as partial.
  std::vector<std::string> names;
  for (const auto& e : got) names.push_back(e.name);
  EXPECT_EQ((std::vector<std::string>{"medium2.bin", "small3.bin", "medium3.bin"}), names);
  for (const auto& row : expected_["cabextract/split/Split-1.CAB"]) {
    for (const auto& e : got) {
      if (e.name == row.at("name")) {
        EXPECT_EQ(row.at("sha256"), FileSha256(e.target)) << e.name;
      }
    }
  }
  for (const auto& m : manifest_) {
    if (!IsLaterPart(m)) continue;
    ScratchDir scratch;
    std::vector<Extracted> files;
    ExtractAll(dir_ + "/" + m.at("file"), scratch.Path(), files);  // any result, no crash
  }
}

TEST_F(Corpus, AttributesAndTimesReachTheFiles) {
  ScratchDir out;
  std::vector<Extracted> got;
  ASSERT_EQ(1, ExtractAll(dir_ + "/generated/gcab-stored-attribs.cab", out.Path(), got));
  for (const auto& e : got) {
    struct stat st {};
    ASSERT_EQ(0, stat(e.target.c_str(), &st));
    const bool readOnly = (e.attributes & 0x01) != 0;
    EXPECT_EQ(readOnly, (st.st_mode & 0222) == 0) << e.name;
    const unsigned date = e.dateTime >> 16;
    const unsigned time = e.dateTime & 0xFFFF;
    if (date == 0) continue;  // no valid date: the time is left alone
    std::tm tm{};
    tm.tm_year = 80 + static_cast<int>(date >> 9);
    tm.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
    tm.tm_mday = static_cast<int>(date & 0x1F);
    tm.tm_hour = static_cast<int>(time >> 11);
    tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
    tm.tm_sec = static_cast<int>((time & 0x1F) * 2);
    tm.tm_isdst = -1;
    EXPECT_EQ(mktime(&tm), st.st_mtime) << e.name;
  }
}

}  // namespace
}  // namespace unpack_test

namespace unpack_test {
namespace {

uint32_t Le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

// Clears every data-block checksum so that damage reaches the decoders.
void ClearChecksums(std::string& cab) {
  const uint32_t flags = Le(cab, 30, 2);
  size_t at = 36;
  uint32_t folderReserve = 0;
  uint32_t dataReserve = 0;
  if (flags & 4) {
    folderReserve = Le(cab, 38, 1);
    dataReserve = Le(cab, 39, 1);
    at += 4 + Le(cab, 36, 2);
  }
  for (int names = ((flags & 1) ? 2 : 0) + ((flags & 2) ? 2 : 0); names > 0; --names) at = cab.find('\0', at) + 1;
  for (uint32_t f = 0, folders = Le(cab, 26, 2); f < folders; ++f, at += 8 + folderReserve) {
    size_t block = Le(cab, at, 4);
    for (uint32_t n = Le(cab, at + 4, 2); n > 0 && block + 8 <= cab.size(); --n) {
      cab.replace(block, 4, 4, '\0');
      block += 8 + dataReserve + Le(cab, block + 4, 2);
    }
  }
}

// Damaged copies of good cabinets of every compression type: any result
// is fine, as long as nothing reads or writes out of bounds or hangs.
TEST_F(Corpus, DamagedCabinetsNeverMisbehave) {
  const char* const sources[] = {"libmspack/mszip_lzx_qtm.cab", "libarchive/test_fuzz.cab",
                                 "libarchive/test_read_format_cab_3.cab", "generated/gcab-mszip-text.cab",
                                 "cabextract/cve-2010-2801-qtm-flush.cab", "cabextract/split/Split-1.CAB"};
  uint32_t seed = 12345;
  auto next = [&seed]() { return seed = seed * 1103515245u + 12345u; };
  for (const char* source : sources) {
    std::string original = ReadFile(dir_ + "/" + source);
    ASSERT_FALSE(original.empty()) << source;
    ClearChecksums(original);
    ScratchDir scratch;
    // Split-1 needs the other parts beside it.
    Shell("cp " + dir_ + "/cabextract/split/*.CAB " + scratch.Path());
    const std::string name = std::string(source).substr(std::string(source).rfind('/') + 1);
    WriteFile(scratch.Path() + "/" + name, original);
    std::vector<Extracted> intact;
    EXPECT_EQ(1, ExtractAll(scratch.Path() + "/" + name, scratch.Path(), intact)) << source;
    for (int round = 0; round < 150; ++round) {
      std::string damaged = original;
      const int flips = 1 + static_cast<int>(next() % 4);
      for (int i = 0; i < flips; ++i) {
        const size_t at = 36 + (next() >> 8) % (damaged.size() - 36);
        damaged[at] = static_cast<char>(damaged[at] ^ (1u << (next() % 8)));
      }
      WriteFile(scratch.Path() + "/" + name, damaged);
      std::vector<Extracted> got;
      ExtractAll(scratch.Path() + "/" + name, scratch.Path(), got);
    }
  }
}

}  // namespace
}  // namespace unpack_test
