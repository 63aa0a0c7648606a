// Cabinets written by make_cabs.py to reach every decoder path: each good one
// extracts to the bytes it was made from, each damaged one is refused.
#include <gtest/gtest.h>

#include "tests/unpack/support.h"

namespace unpack_test {
namespace {

TEST(MadeCabinets, GoodOnesExtractExactlyAndDamagedOnesAreRefused) {
  const std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "cabinet test data not present";
  const auto rows = ReadTsv(dir + "/made/made.tsv");
  ASSERT_GE(rows.size(), 20u);
  for (const auto& row : rows) {
    const std::string& cab = row.at("cab");
    ScratchDir out;
    std::vector<Extracted> got;
    const int32_t result = ExtractAll(dir + "/made/" + cab, out.Path(), got);
    if (row.at("expect") == "ok") {
      EXPECT_EQ(1, result) << cab;
      ASSERT_EQ(1u, got.size()) << cab;
      EXPECT_EQ(std::stoul(row.at("size")), got[0].size) << cab;
      EXPECT_EQ(row.at("sha256"), FileSha256(got[0].target)) << cab;
      EXPECT_TRUE(got[0].closed) << cab;
    } else {
      EXPECT_EQ(0, result) << cab << ": " << row.at("note");
    }
  }
}

}  // namespace
}  // namespace unpack_test
