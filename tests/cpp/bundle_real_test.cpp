// The bundled tables of every version against that version's own tables: the
// ecCodes directory of the version (Debian's tree, or the newer directories
// in ../shared), else the WMO CSV files of the release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tables/bundle.h"
#include "tables/eccodes_loader.h"
#include "tables/wmo_csv_loader.h"

namespace skerrow {
namespace {

namespace fs = std::filesystem;

const fs::path kDebianWmo = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";
// ../shared beside the checkout, or where SKERROW_SHARED points.
const fs::path kShared = [] {
  const char* shared = std::getenv("SKERROW_SHARED");
  return (shared != nullptr ? fs::path(shared)
                            : fs::path(__FILE__).parent_path() / "../../../shared") /
         "tables";
}();
constexpr int kMasterSnapshotVersion = 46;

const TableBundle& bundle() {
  static const TableBundle* b = [] {
    auto opened = TableBundle::open(SKERROW_BUNDLE);
    if (!opened) ADD_FAILURE() << opened.error().message();
    return opened ? new TableBundle(std::move(opened).value()) : nullptr;
  }();
  if (b == nullptr) std::abort();
  return *b;
}

// The ecCodes directory of `version`, or empty.
fs::path eccodes_directory(int version) {
  const fs::path newer = kShared / "eccodes-wmo-newer" / std::to_string(version);
  if (fs::is_directory(newer)) return newer;
  const fs::path debian = kDebianWmo / std::to_string(version);
  if (fs::is_directory(debian)) return debian;
  return {};
}

// The WMO CSV release of `version`, or empty. Releases before 39 order their
// Table B columns otherwise, which the CSV loader does not read.
constexpr int kFirstCsvLayout = 39;
fs::path wmo_release(int version) {
  if (version < kFirstCsvLayout) return {};
  const fs::path root = kShared / "wmo-bufr4-versions";
  const fs::path release =
      root / (version == kMasterSnapshotVersion ? "master-3e4dcd0" : std::to_string(version));
  return fs::is_directory(release) ? release : fs::path{};
}

void expect_same_numbers(const TableSet& own, const TableSet& bundled, int version,
                         bool with_texts) {
  for (const auto& [code, want] : own.elements()) {
    const ElementDefinition* got = bundled.element(code);
    ASSERT_NE(got, nullptr) << "version " << version << " element " << code;
    EXPECT_EQ(got->scale, want.scale) << version << " " << code;
    EXPECT_EQ(got->reference, want.reference) << version << " " << code;
    EXPECT_EQ(got->width, want.width) << version << " " << code;
    if (with_texts) {
      EXPECT_EQ(got->unit, want.unit) << version << " " << code;
      EXPECT_EQ(got->abbreviation, want.abbreviation) << version << " " << code;
      EXPECT_EQ(got->name, want.name) << version << " " << code;
      EXPECT_EQ(got->element_type, want.element_type) << version << " " << code;
    }
  }
  for (const auto& [code, want] : own.sequences()) {
    const SequenceDefinition* got = bundled.sequence(code);
    ASSERT_NE(got, nullptr) << "version " << version << " sequence " << code;
    EXPECT_EQ(got->members, want.members) << version << " " << code;
  }
}

class BundledVersion : public ::testing::TestWithParam<int> {};

TEST_P(BundledVersion, MatchesItsOwnEccodesDirectory) {
  const int version = GetParam();
  const fs::path directory = eccodes_directory(version);
  if (directory.empty()) GTEST_SKIP() << "no ecCodes directory for version " << version;
  auto own = load_eccodes(directory.string());
  ASSERT_TRUE(own) << own.error().message();
  auto bundled = bundle().tables(version);
  ASSERT_TRUE(bundled) << bundled.error().message();
  EXPECT_EQ(bundled->element_count(), own->element_count());
  EXPECT_EQ(bundled->sequence_count(), own->sequence_count());
  expect_same_numbers(*own, *bundled, version, true);
  for (const auto& [code, table] : own->code_tables()) {
    if (table.empty()) continue;  // an empty table means nothing, like none
    const CodeTable* got = bundled->code_table(code);
    ASSERT_NE(got, nullptr) << "version " << version << " code table " << code;
    EXPECT_EQ(*got, table) << version << " " << code;
  }
}

TEST_P(BundledVersion, MatchesItsWmoRelease) {
  const int version = GetParam();
  const fs::path release = wmo_release(version);
  if (release.empty())
    GTEST_SKIP() << "no WMO CSV release of version " << version
                 << " in ../shared (or not in the CSV loader's layout)";
  auto own = load_wmo_csv_directory(release.string());
  ASSERT_TRUE(own) << own.error().message();
  ASSERT_GT(own->element_count(), 1000u);
  auto bundled = bundle().tables(version);
  ASSERT_TRUE(bundled) << bundled.error().message();
  expect_same_numbers(*own, *bundled, version, false);
}

INSTANTIATE_TEST_SUITE_P(Versions, BundledVersion, ::testing::Range(2, kMasterSnapshotVersion + 1),
                         [](const auto& info) { return std::to_string(info.param); });

TEST(BundledVersions, HoldEveryVersionFrom13ToTheMasterSnapshot) {
  for (int version = 13; version <= kMasterSnapshotVersion; ++version) {
    EXPECT_TRUE(bundle().has_version(version)) << version;
  }
  EXPECT_EQ(bundle().newest(), kMasterSnapshotVersion);
}

TEST(BundledVersions, DifferWhereTheReleasesDiffer) {
  auto v13 = bundle().tables(13);
  auto v17 = bundle().tables(17);
  auto v36 = bundle().tables(36);
  auto v39 = bundle().tables(39);
  ASSERT_TRUE(v13 && v17 && v36 && v39);
  for (std::uint32_t code : {14001u, 14002u, 14003u, 14004u}) {
    EXPECT_EQ(v13->element(code)->width, 12) << code;
    EXPECT_EQ(v39->element(code)->width, 17) << code;
  }
  EXPECT_EQ(v17->element(1103)->width, 14);
  EXPECT_EQ(v39->element(1103)->width, 24);
  EXPECT_EQ(v17->element(2007)->width, 4);
  EXPECT_EQ(v39->element(2007)->width, 6);
  EXPECT_EQ(v36->element(15083)->reference, 0);
  EXPECT_EQ(v39->element(15083)->reference, -8192);
}

}  // namespace
}  // namespace skerrow
