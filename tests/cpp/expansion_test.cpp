// The expansion's step bound: where it stops a hostile list, and that the
// largest real sequence stays far inside it.
#include "tables/expansion.h"

#include <gtest/gtest.h>

#include "tables/bundle.h"

namespace skerrow {
namespace {

// 1 + 127 * (1 + 86 * (1 + 191)) = 2^21 steps: the outer replication, then
// per repeat the middle one, then per repeat the inner one and its element.
const std::vector<std::uint32_t> kExactlyAtBound = {103127, 102086, 101191, 1001};

TEST(Expansion, StopsOneStepPastTheBound) {
  const TableSet no_tables;
  auto at_bound = expand(no_tables, kExactlyAtBound);
  ASSERT_TRUE(at_bound) << at_bound.error().message();
  EXPECT_EQ(at_bound->size(), std::size_t{127} * 86 * 191);

  std::vector<std::uint32_t> one_more = kExactlyAtBound;
  one_more.push_back(1002);
  auto past = expand(no_tables, one_more);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message(),
            "csv/table parse error: sequence expansion exceeded 2097152 steps");
}

TEST(Expansion, LargestBundledSequenceKeepsAWideMargin) {
  auto bundle = TableBundle::open(SKERROW_BUNDLE);
  ASSERT_TRUE(bundle) << bundle.error().message();
  auto tables = bundle->tables(40);
  ASSERT_TRUE(tables) << tables.error().message();
  ExpansionState state;
  std::vector<std::uint32_t> out;
  ASSERT_TRUE(expand_step(*tables, std::vector<std::uint32_t>{310085}, 0, state, out));
  EXPECT_EQ(out.size(), 34888u);
  const std::uint64_t used = kMaxExpansionSteps - state.steps_left;
  EXPECT_EQ(used, 69077u);
  // Room for thirty such sequences in one message.
  EXPECT_LE(30 * used, kMaxExpansionSteps);
}

}  // namespace
}  // namespace skerrow
