// Code-table counts of every WMO directory of the ecCodes tree, which Python
// cannot see, against a count of the files made with std::filesystem.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tables/eccodes_loader.h"

namespace skerrow {
namespace {

namespace fs = std::filesystem;

const fs::path kWmo = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";

TEST(RealTables, CodeTableCountsOfEveryWmoDirectory) {
  if (!fs::is_directory(kWmo)) GTEST_SKIP() << "libeccodes-data is not installed";
  int directories = 0;
  for (const auto& entry : fs::directory_iterator(kWmo)) {
    std::set<unsigned long> codes;
    const fs::path codetables = entry.path() / "codetables";
    for (const auto& file : fs::directory_iterator(codetables)) {
      if (file.path().extension() == ".table") codes.insert(std::stoul(file.path().stem()));
    }
    auto tables = load_eccodes(entry.path().string());
    ASSERT_TRUE(tables) << entry.path() << ": " << tables.error().message();
    EXPECT_EQ(tables->code_table_count(), codes.size()) << entry.path();
    ++directories;
  }
  EXPECT_GE(directories, 30);
}

TEST(RealTables, NewestDirectoryCounts) {
  if (!fs::is_directory(kWmo)) GTEST_SKIP() << "libeccodes-data is not installed";
  auto tables = load_eccodes((kWmo / "39").string());
  ASSERT_TRUE(tables);
  EXPECT_EQ(tables->element_count(), 1746u);
  EXPECT_EQ(tables->sequence_count(), 613u);
  EXPECT_EQ(tables->code_table_count(), 494u);
}

}  // namespace
}  // namespace skerrow
