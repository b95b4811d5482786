// The bundled-tables reader on small literal bundles: version ranges, the
// choice of a version for a message, and damaged or missing files.
#include "tables/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace skerrow {
namespace {

const std::string kBundle =
    "skerrow-wmo-tables\t1\n"
    "versions\t2 6 13 14\n"
    "B\t2\t13\t014001\tlongWaveRadiation\tlong\tLONG-WAVE\tJ M-2\t-3\t-2048\t12\n"
    "B\t14\t14\t014001\tlongWaveRadiation\tlong\tLONG-WAVE\tJ M-2\t-3\t-65536\t17\n"
    "D\t6\t14\t301001\t001001\t001002\n"
    "D\t14\t14\t301099\n"
    "C\t2\t14\t020003\t0\tCLOUD DEVELOPMENT NOT OBSERVED\n"
    "C\t13\t14\t020003\t1\tCLOUDS DISSOLVING\n"
    "end\t6\n";

std::string error_text(const auto& r) {
  return r ? std::string("(no error)") : r.error().message();
}

TEST(Bundle, EachVersionKeepsTheEntriesOfItsRange) {
  auto bundle = TableBundle::from_text("b.tsv", kBundle);
  ASSERT_TRUE(bundle) << error_text(bundle);
  EXPECT_EQ(bundle->versions(), (std::vector<int>{2, 6, 13, 14}));

  auto v2 = bundle->tables(2);
  ASSERT_TRUE(v2) << error_text(v2);
  EXPECT_EQ(v2->element(14001)->width, 12);
  EXPECT_EQ(v2->element(14001)->abbreviation, "longWaveRadiation");
  EXPECT_EQ(v2->sequence(301001), nullptr);
  EXPECT_EQ(*v2->meaning(20003, 0), "CLOUD DEVELOPMENT NOT OBSERVED");
  EXPECT_EQ(v2->meaning(20003, 1), nullptr);

  auto v14 = bundle->tables(14);
  ASSERT_TRUE(v14) << error_text(v14);
  EXPECT_EQ(v14->element(14001)->width, 17);
  EXPECT_EQ(v14->element(14001)->reference, -65536);
  EXPECT_EQ(v14->sequence(301001)->members, (std::vector<std::uint32_t>{1001, 1002}));
  EXPECT_TRUE(v14->sequence(301099)->members.empty());
  EXPECT_EQ(*v14->meaning(20003, 1), "CLOUDS DISSOLVING");
  EXPECT_EQ(v14->element_count(), 1u);
}

TEST(Bundle, ChoosesTheMessageVersionOrTheNewest) {
  auto bundle = TableBundle::from_text("b.tsv", kBundle);
  ASSERT_TRUE(bundle);
  bool newer = true;
  EXPECT_EQ(*choose_bundled_version(*bundle, 13, &newer), 13);
  EXPECT_FALSE(newer);
  EXPECT_EQ(*choose_bundled_version(*bundle, 47, &newer), 14);
  EXPECT_TRUE(newer);
  EXPECT_EQ(error_text(choose_bundled_version(*bundle, 5, &newer)),
            "csv/table parse error: no bundled WMO tables for master table version 5 "
            "(bundled: 2, 6, 13 to 14)");
  EXPECT_EQ(error_text(bundle->tables(5)),
            "csv/table parse error: no bundled WMO tables for master table version 5 in b.tsv");
}

struct Damage {
  const char* name;
  std::string from;
  std::string to;
  std::string error;
};

class DamagedBundle : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedBundle, IsRefusedWithTheLine) {
  std::string text = kBundle;
  const Damage& d = GetParam();
  const auto at = text.find(d.from);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, d.from.size(), d.to);
  auto bundle = TableBundle::from_text("b.tsv", text);
  std::string error = error_text(bundle);
  if (bundle) {
    // Damage inside an entry shows when a version that holds it is loaded.
    error = error_text(bundle->tables(14));
  }
  EXPECT_EQ(error, "csv/table parse error: the bundled WMO tables b.tsv are damaged: " + d.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedBundle,
    ::testing::Values(
        Damage{"magic", "skerrow-wmo-tables\t1", "PK\x03\x04",
               "line 1: not a skerrow table bundle of format 1"},
        Damage{"format", "skerrow-wmo-tables\t1", "skerrow-wmo-tables\t2",
               "line 1: not a skerrow table bundle of format 1"},
        Damage{"versions", "versions\t2 6", "versions\t6 2", "line 2: bad version list"},
        Damage{"no_versions", "versions\t2 6 13 14", "versions\t", "line 2: no versions"},
        Damage{"cut", "C\t13\t14\t020003\t1\tCLOUDS DISSOLVING\nend\t6\n", "C\t13\t14\t02",
               "line 9: the file is cut short or its closing line is wrong"},
        Damage{"count", "end\t6", "end\t7",
               "line 9: the file is cut short or its closing line is wrong"},
        Damage{"utf8", "CLOUDS", "CLOUDS\xC3", "line 8: text that is not valid UTF-8"},
        Damage{"range", "D\t6\t14", "D\t14\t6", "line 5: bad entry"},
        Damage{"kind", "D\t14\t14\t301099", "X\t14\t14\t301099", "line 6: unknown entry kind X"},
        Damage{"width", "-65536\t17", "-65536\t1x",
               "line 4: bad u16 1x: invalid digit found in string"},
        Damage{"fields", "\tJ M-2\t-3\t-65536", "\t-3\t-65536",
               "line 4: an element needs 11 fields"},
        Damage{"member", "001001\t001002", "001001\t00x",
               "line 5: bad descriptor code 00x: invalid digit found in string"},
        Damage{"raw", "\t1\tCLOUDS", "\t-1\tCLOUDS",
               "line 8: bad code table key -1: invalid digit found in string"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Bundle, MissingFileNamesThePath) {
  auto bundle = TableBundle::open("/nonexistent/wmo_tables.tsv");
  EXPECT_EQ(error_text(bundle),
            "csv/table parse error: cannot read the bundled WMO tables "
            "/nonexistent/wmo_tables.tsv: io error: No such file or directory (os error 2)");
  EXPECT_FALSE(shared_bundled_tables("/nonexistent/wmo_tables.tsv", 13));
}

// A bundle and a definitions root with centre 98's local version 1 tables,
// in a fresh directory.
class BundleOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("skerrow-bundle-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_ / "bufr/tables/0/local/1/98/0");
    write(root_ / "b.tsv", kBundle);
    write(root_ / "bufr/tables/0/local/1/98/0/element.table",
          "001001|localBlock|long|LOCAL BLOCK|Numeric|0|0|9\n"
          "048001|localThing|long|LOCAL THING|Numeric|1|0|10\n");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  static void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string bundle_path() const { return (root_ / "b.tsv").string(); }

  std::filesystem::path root_;
};

BufrMessage message(int version, int local_version, int centre) {
  BufrMessage m;
  m.master_tables_version_number = static_cast<std::uint8_t>(version);
  m.local_tables_version_number = static_cast<std::uint8_t>(local_version);
  m.originating_centre = static_cast<std::uint16_t>(centre);
  return m;
}

TEST_F(BundleOnDisk, LaysTheFirstLocalDirectoryFoundOverTheBundledVersion) {
  const std::vector<std::string> roots = {(root_ / "absent").string(), root_.string()};
  auto tables = bundled_tables_for(bundle_path(), roots, message(13, 1, 98));
  ASSERT_TRUE(tables) << error_text(tables);
  EXPECT_EQ((*tables)->element(48001)->abbreviation, "localThing");
  EXPECT_EQ((*tables)->element(1001)->width, 9);    // local wins
  EXPECT_EQ((*tables)->element(14001)->width, 12);  // WMO version 13 stays
  EXPECT_NE((*tables)->sequence(301001), nullptr);

  // Another centre has no local directory: the shared WMO tables alone.
  auto wmo_only = bundled_tables_for(bundle_path(), roots, message(13, 1, 74));
  ASSERT_TRUE(wmo_only);
  EXPECT_EQ((*wmo_only)->element(48001), nullptr);
  EXPECT_EQ(wmo_only->get(), shared_bundled_tables(bundle_path(), 13)->get());
  // A second message of the same kind loads nothing: the same tables.
  EXPECT_EQ(tables->get(), bundled_tables_for(bundle_path(), roots, message(13, 1, 98))->get());
}

TEST_F(BundleOnDisk, ReadsANewerMessageWithTheNewestVersion) {
  auto tables = bundled_tables_for(bundle_path(), {}, message(60, 0, 98));
  ASSERT_TRUE(tables) << error_text(tables);
  EXPECT_EQ((*tables)->element(14001)->width, 17);
  EXPECT_EQ(local_table_directory("/defs", message(19, 2, 98)),
            "/defs/bufr/tables/0/local/19-2/98/0");
  EXPECT_EQ(local_table_directory("/defs", message(19, 0, 98)), "");
}

TEST_F(BundleOnDisk, RefusesOtherMasterTablesAndBrokenLocalFiles) {
  BufrMessage ocean = message(13, 0, 98);
  ocean.master_table_number = 10;
  EXPECT_EQ(error_text(bundled_tables_for(bundle_path(), {}, ocean)),
            "csv/table parse error: no bundled tables for master table 10: only master table 0 "
            "(meteorology) is bundled");
  write(root_ / "bufr/tables/0/local/1/98/0/element.table", "001001|k|long|N|U|x|0|9\n");
  EXPECT_EQ(error_text(bundled_tables_for(bundle_path(), {root_.string()}, message(14, 1, 98))),
            "csv/table parse error: bad i32 x: invalid digit found in string");
}

}  // namespace
}  // namespace skerrow
