// The coordinate walk that turns a subset's values into observation rows,
// on hand-made plans; and, where the corpus is at hand, the qualifier links
// of the row planner against item_names() on real messages.
#include "pipeline/rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "message/scan.h"
#include "pipeline/decode_message.h"

namespace skerrow {
namespace {

namespace fs = std::filesystem;

// Names of the plans below.
enum : std::uint32_t { kStation, kPressure, kTemperature, kWind, kNames };

struct Step {
  std::uint32_t name;
  std::uint32_t depth;
  bool coordinate;
};

// One subset per list of steps.
RowPlan plan_of(const std::vector<std::vector<Step>>& subsets) {
  RowPlan plan;
  for (const auto& steps : subsets) {
    for (const Step& s : steps) {
      plan.entries.push_back({s.name, s.depth, s.coordinate});
      plan.numbers.push_back(0.0);
    }
    plan.subset_ends.push_back(plan.entries.size());
  }
  return plan;
}

// Each row as the entry held per name, -1 for none.
std::vector<std::vector<std::int32_t>> rows_of(const RowTable& table, std::size_t names) {
  std::vector<std::vector<std::int32_t>> rows(table.row_count, std::vector<std::int32_t>(names));
  for (std::size_t n = 0; n < names; ++n) {
    for (std::size_t r = 0; r < table.row_count; ++r)
      rows[r][n] = table.cells[n * table.row_count + r];
  }
  return rows;
}

// A sounding: the station, then three levels of pressure, temperature, wind.
const std::vector<Step> kSounding = {
    {kStation, 1, true}, {kPressure, 2, true}, {kTemperature, 3, false},
    {kWind, 3, false},   {kPressure, 2, true}, {kTemperature, 3, false},
    {kWind, 3, false},   {kPressure, 2, true}, {kTemperature, 3, false},
    {kWind, 3, false},
};

TEST(WalkRows, ASoundingGivesOneRowPerLevelWithTheStationInEach) {
  const RowPlan plan = plan_of({kSounding});
  const auto rows = rows_of(walk_rows(plan, kNames, {}), kNames);
  const std::vector<std::vector<std::int32_t>> expected = {
      {0, 1, 2, 3}, {0, 4, 5, 6}, {0, 7, 8, 9}};
  EXPECT_EQ(rows, expected);

  // Two messages' plans run on: the second's entries follow the first's.
  RowPlan both = plan;
  append_plan(both, plan);
  const RowTable table = walk_rows(both, kNames, {});
  EXPECT_EQ(table.row_count, 6u);
  EXPECT_EQ(table.subset_row_ends, (std::vector<std::size_t>{3, 6}));
  EXPECT_EQ(rows_of(table, kNames)[5], (std::vector<std::int32_t>{10, 17, 18, 19}));
}

TEST(WalkRows, AFailedFilterSkipsItsLevelAndARowNeedsEveryFilteredName) {
  const RowPlan plan = plan_of({kSounding});
  std::vector<std::uint8_t> passes(plan.entries.size(), 1);
  passes[4] = 0;  // the second pressure
  RowWalkOptions options;
  options.filtered = {0, 1, 0, 0};
  options.passes = passes;
  const auto rows = rows_of(walk_rows(plan, kNames, options), kNames);
  const std::vector<std::vector<std::int32_t>> expected = {{0, 1, 2, 3}, {0, 7, 8, 9}};
  EXPECT_EQ(rows, expected);

  // A failed filter on the station drops the whole subset, the closing row too.
  passes.assign(plan.entries.size(), 1);
  passes[0] = 0;
  options.filtered = {1, 0, 0, 0};
  options.passes = passes;
  EXPECT_EQ(walk_rows(plan, kNames, options).row_count, 0u);
}

TEST(WalkRows, ARepeatedValueDeeperStartsItsOwnRowOrReplacesTheFirst) {
  // Temperature at a sensor height, then a statistic of temperature under a
  // time period coordinate: the same name again, one level deeper.
  const RowPlan plan = plan_of({{{kStation, 1, true},
                                 {kTemperature, 2, false},
                                 {kPressure, 2, true},
                                 {kTemperature, 3, false},
                                 {kWind, 3, false}}});
  RowWalkOptions split;
  const auto rows = rows_of(walk_rows(plan, kNames, split), kNames);
  // The first row is the first temperature's context, up to the coordinate
  // that belongs to the second.
  const std::vector<std::vector<std::int32_t>> expected = {{0, -1, 1, -1}, {0, 2, 3, 4}};
  EXPECT_EQ(rows, expected);

  RowWalkOptions merge;
  merge.split_repeats = false;
  const auto merged = rows_of(walk_rows(plan, kNames, merge), kNames);
  const std::vector<std::vector<std::int32_t>> replaced = {{0, 2, 3, 4}};
  EXPECT_EQ(merged, replaced);
}

TEST(WalkRows, EverySubsetStartsAfreshAndEndsInARowEvenWhenEmpty) {
  const RowPlan plan = plan_of({{{kStation, 1, true}}, {}, {{kWind, 1, false}}});
  const auto rows = rows_of(walk_rows(plan, kNames, {}), kNames);
  const std::vector<std::vector<std::int32_t>> expected = {
      {0, -1, -1, -1}, {-1, -1, -1, -1}, {-1, -1, -1, 1}};
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(walk_rows(plan, kNames, {}).subset_row_ends, (std::vector<std::size_t>{1, 2, 3}));
  // Without wanted names a row is still counted per subset.
  EXPECT_EQ(walk_rows(plan_of({{}, {}}), 0, {}).row_count, 2u);
}

// ../shared/corpus beside the checkout, or under SKERROW_SHARED.
fs::path corpus() {
  const char* shared = std::getenv("SKERROW_SHARED");
  return (shared != nullptr ? fs::path(shared)
                            : fs::path(__FILE__).parent_path() / "../../../shared") /
         "corpus";
}

TEST(PlanRows, QualifierLinksMatchItemNamesOnTheCorpus) {
  if (!fs::is_directory(corpus())) GTEST_SKIP() << "no corpus in ../shared";
  const TableSource source = TableSource::bundled(SKERROW_BUNDLE, {});
  std::size_t messages = 0;
  std::size_t linked = 0;
  std::size_t meanings = 0;
  DecodedValues spare;
  for (const auto& file : fs::directory_iterator(corpus())) {
    if (file.path().extension() != ".bufr") continue;
    std::ifstream in(file.path(), std::ios::binary);
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), {});
    std::vector<MessageRange> ranges;
    if (!scan_each(data, [&](const MessageRange& r) { ranges.push_back(r); })) continue;
    for (const MessageRange& r : ranges) {
      auto decoded = decode_message_with_tables(std::span(data).subspan(r.offset, r.length), source,
                                                DecodeOptions{.structure = true});
      if (!decoded) continue;
      const ValueKeys keys = value_keys(decoded->values, *decoded->tables);
      std::vector<std::uint32_t> refers;
      item_names(decoded->values, keys, &refers);
      ASSERT_EQ(qualified_items(decoded->values), refers) << file.path() << " at " << r.offset;
      // Without meaning lookups (the rows' decoding) the same values, only
      // the meanings left out.
      auto codes_only =
          decode_message_with_tables(std::span(data).subspan(r.offset, r.length), source,
                                     DecodeOptions{.structure = true, .code_meanings = false});
      ASSERT_TRUE(codes_only);
      const auto& with = decoded->values.values;
      const auto& without = codes_only->values.values;
      ASSERT_EQ(with.size(), without.size());
      for (std::size_t i = 0; i < with.size(); ++i) {
        EXPECT_FALSE(without[i].has_meaning());
        EXPECT_EQ(with[i].raw, without[i].raw);
        EXPECT_EQ(with[i].has_value() ? with[i].raw_value : 0.0,
                  without[i].has_value() ? without[i].raw_value : 0.0);
        EXPECT_EQ(with[i].flags & ~DecodedValue::kHasMeaning, without[i].flags);
      }
      meanings += static_cast<std::size_t>(std::count_if(
          with.begin(), with.end(), [](const DecodedValue& v) { return v.has_meaning(); }));
      // Into the room of the message before (of any size): the same result.
      auto recycled =
          decode_message_with_tables(std::span(data).subspan(r.offset, r.length), source,
                                     DecodeOptions{.structure = true, .recycle = &spare});
      ASSERT_TRUE(recycled);
      const DecodedValues& again = recycled->values;
      EXPECT_EQ(again.element_of, decoded->values.element_of);
      EXPECT_EQ(again.refers_to, decoded->values.refers_to);
      EXPECT_EQ(again.subset_starts, decoded->values.subset_starts);
      EXPECT_EQ(again.strings, decoded->values.strings);
      ASSERT_EQ(again.values.size(), with.size());
      for (std::size_t i = 0; i < with.size(); ++i) {
        const DecodedValue& a = again.values[i];
        const DecodedValue& b = with[i];
        ASSERT_TRUE(a.descriptor == b.descriptor && a.name == b.name && a.raw == b.raw &&
                    a.text == b.text && a.flags == b.flags &&
                    (a.raw_value == b.raw_value ||
                     (a.raw_value != a.raw_value && b.raw_value != b.raw_value)))
            << file.path() << " at " << r.offset << ", value " << i;
      }
      spare = std::move(recycled->values);
      ++messages;
      for (std::uint32_t target : refers) linked += target != kNone;
    }
  }
  EXPECT_GT(messages, 100u);
  EXPECT_GT(linked, 0u);
  EXPECT_GT(meanings, 0u);
}

}  // namespace
}  // namespace skerrow
