// Section 1 layouts, framing of editions 2 and 3, and the table cache, which
// Python reaches only through whole messages and cannot time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "message/parse_message.h"
#include "message/section1.h"
#include "tables/table_cache.h"

namespace skerrow {
namespace {

namespace fs = std::filesystem;

// An edition 3 section 1: master table 0, subcentre 7, centre 98, update 1,
// flags 0, category 2, subcategory 9, versions 13 and 1, year of century
// 100, then month to minute, and a padding octet.
const std::vector<std::uint8_t> kEdition3Section1 = {0, 0,  18, 0,   7,  98, 1,  0,  2,
                                                     9, 13, 1,  100, 12, 31, 23, 59, 0};

TEST(Section1, Edition3FieldsAreReadFromTheirOwnOctets) {
  const Section1View view(kEdition3Section1, *section1_layout(3));
  const Section1Layout& l = view.layout();
  EXPECT_EQ(view[l.originating_centre], 98);
  EXPECT_EQ(view[l.originating_subcentre], 7);
  EXPECT_EQ(view[l.local_data_subcategory], 9);
  EXPECT_EQ(view[l.master_tables_version_number], 13);
  EXPECT_EQ(view[l.typical_minute], 59);
  EXPECT_EQ(view.typical_year(), 2000);  // WMO writes 2000 as 100
  EXPECT_FALSE(l.typical_second.present());
  EXPECT_EQ(view[l.typical_second], 0);
  EXPECT_FALSE(view.local_section_present());
}

TEST(Section1, Edition2HasASixteenBitCentreAndFieldsBeyondTheOctetsReadZero) {
  const std::vector<std::uint8_t> octets = {0, 0, 18, 0, 1, 2, 0, 128};
  const Section1View view(octets, *section1_layout(2));
  EXPECT_EQ(view[view.layout().originating_centre], 258);
  EXPECT_TRUE(view.local_section_present());
  EXPECT_EQ(view[view.layout().typical_month], 0);  // past the octets given
  EXPECT_EQ(section1_layout(1), nullptr);
  EXPECT_EQ(section1_layout(5), nullptr);
}

std::vector<std::uint8_t> edition3_message() {
  std::vector<std::uint8_t> m = {'B', 'U', 'F', 'R', 0, 0, 0, 3};
  m.insert(m.end(), kEdition3Section1.begin(), kEdition3Section1.end());
  const std::vector<std::uint8_t> rest = {0,   0,   9,   0,  0, 1, 128, 1, 1,  // section 3: 001001
                                          0,   0,   4,   0,                    // empty section 4
                                          '7', '7', '7', '7'};
  m.insert(m.end(), rest.begin(), rest.end());
  m[6] = static_cast<std::uint8_t>(m.size());
  return m;
}

TEST(Framing, Edition3ForThePackageOnly) {
  const auto bytes = edition3_message();
  auto framed = frame_message(bytes);
  ASSERT_TRUE(framed) << framed.error().message();
  EXPECT_EQ(framed->edition, 3);
  EXPECT_EQ(framed->originating_centre, 98);
  EXPECT_EQ(framed->typical_year, 2000);
  EXPECT_EQ(framed->unexpanded_descriptors, std::vector<std::uint32_t>{1001});
  auto refused = parse_message(bytes);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "unsupported BUFR edition 3; only edition 4 is implemented");
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

class TableCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("skerrow-cache-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    wmo_ = root_ / "bufr/tables/0/wmo";
    write(wmo_ / "35/element.table", "001001|blockNumber|long|BLOCK|Numeric|0|0|7\n");
    write(wmo_ / "35/sequence.def", "");
    write(wmo_ / "36", "35\n");  // version 36 stands for 35
    message_.master_tables_version_number = 35;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_, wmo_;
  BufrMessage message_;
};

TEST_F(TableCacheTest, LoadsOnceSharesAliasesAndReloadsChangedFiles) {
  TableCache cache(std::chrono::milliseconds(0));
  auto first = cache.tables_for(root_.string(), message_);
  ASSERT_TRUE(first) << first.error().message();
  auto again = cache.tables_for(root_.string(), message_);
  ASSERT_TRUE(again);
  EXPECT_EQ(first->get(), again->get());

  BufrMessage aliased = message_;
  aliased.master_tables_version_number = 36;
  auto shared = cache.tables_for(root_.string(), aliased);
  ASSERT_TRUE(shared);
  EXPECT_EQ(first->get(), shared->get());

  write(wmo_ / "35/element.table", "001001|blockNumber|long|RENAMED|Numeric|0|0|7\n");
  fs::last_write_time(wmo_ / "35/element.table",
                      fs::last_write_time(wmo_ / "35/element.table") + std::chrono::seconds(5));
  auto reloaded = cache.tables_for(root_.string(), message_);
  ASSERT_TRUE(reloaded);
  EXPECT_NE(first->get(), reloaded->get());
  EXPECT_EQ((*reloaded)->element(1001)->name, "RENAMED");
  EXPECT_EQ((*first)->element(1001)->name, "BLOCK");  // holders keep the old tables
}

TEST_F(TableCacheTest, ACodeTableRewrittenInPlaceIsSeenWithinTenChecks) {
  write(wmo_ / "35/codetables/1001.table", "1 1 ONE\n");
  TableCache cache(std::chrono::milliseconds(0));
  auto first = cache.tables_for(root_.string(), message_);
  ASSERT_TRUE(first);
  const fs::path table = wmo_ / "35/codetables/1001.table";
  const auto directory_time = fs::last_write_time(table.parent_path());
  std::ofstream(table, std::ios::trunc) << "1 1 UNO\n";
  fs::last_write_time(table, fs::last_write_time(table) + std::chrono::seconds(5));
  fs::last_write_time(table.parent_path(), directory_time);  // written in place
  int checks = 0;
  std::shared_ptr<const TableSet> now = *first;
  while (now == *first && checks < 20) {
    now = *cache.tables_for(root_.string(), message_);
    ++checks;
  }
  EXPECT_LE(checks, 10);
  EXPECT_EQ(*now->meaning(1001, 1), "UNO");
}

TEST_F(TableCacheTest, ErrorsAreNotCachedAndATrustedEntryIsNotChecked) {
  TableCache cache(std::chrono::hours(1));
  BufrMessage missing = message_;
  missing.master_tables_version_number = 40;
  auto error = cache.tables_for(root_.string(), missing);
  ASSERT_FALSE(error);
  EXPECT_NE(error.error().message().find("wmo/40"), std::string::npos);
  write(wmo_ / "40", "35\n");
  EXPECT_TRUE(cache.tables_for(root_.string(), missing));

  auto first = cache.tables_for(root_.string(), message_);
  fs::remove_all(wmo_ / "35");
  auto trusted = cache.tables_for(root_.string(), message_);
  ASSERT_TRUE(trusted);
  EXPECT_EQ(first->get(), trusted->get());
}

}  // namespace
}  // namespace skerrow
