// The replication bounds and nesting limit that expansion and decoding share,
// with the one place their error kinds part.
#include "tables/descriptor_walk.h"

#include <gtest/gtest.h>

namespace skerrow {
namespace {

enum class Outcome { kOk, kUnsupported, kIncomplete };

struct Case {
  std::uint32_t code;
  std::size_t i;
  std::size_t count;
  Outcome expansion;
  Outcome decoding;
};

Outcome outcome_of(const Result<Replication>& r) {
  if (r) return Outcome::kOk;
  if (r.error().is<error::UnsupportedReplication>()) return Outcome::kUnsupported;
  EXPECT_TRUE(r.error().is<error::IncompleteDelayedReplication>()) << r.error().message();
  return Outcome::kIncomplete;
}

TEST(DescriptorWalk, ReplicationBounds) {
  using enum Outcome;
  const Case cases[] = {
      {103002, 0, 4, kOk, kOk},                  // three codes follow
      {103002, 0, 3, kUnsupported, kUnsupported},
      {100002, 0, 9, kUnsupported, kUnsupported},  // X = 0
      {102000, 0, 4, kOk, kOk},                  // factor and two codes
      {102000, 0, 3, kIncomplete, kIncomplete},  // factor and one code: X + 1 needed
      {102000, 0, 2, kIncomplete, kUnsupported},  // fewer than X: the walks part here
      {101000, 5, 8, kOk, kOk},
      {101000, 5, 7, kIncomplete, kIncomplete},
      {101000, 5, 6, kIncomplete, kUnsupported},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome_of(check_replication(c.code, c.i, c.count, Walk::kExpansion)), c.expansion)
        << c.code << " " << c.count;
    for (Walk walk : {Walk::kUncompressed, Walk::kCompressed}) {
      EXPECT_EQ(outcome_of(check_replication(c.code, c.i, c.count, walk)), c.decoding)
          << c.code << " " << c.count;
    }
  }
  const Replication delayed = *check_replication(102000, 1, 5, Walk::kUncompressed);
  EXPECT_EQ((std::pair{delayed.body, delayed.next()}), (std::pair{std::size_t{3}, std::size_t{5}}));
  const Replication fixed = *check_replication(102003, 1, 4, Walk::kExpansion);
  EXPECT_EQ((std::pair{fixed.body, fixed.next()}), (std::pair{std::size_t{2}, std::size_t{4}}));
  EXPECT_EQ(fixed.times, 3);
}

TEST(DescriptorWalk, DepthLimitAndTexts) {
  for (Walk walk : {Walk::kExpansion, Walk::kUncompressed, Walk::kCompressed}) {
    EXPECT_TRUE(check_depth(kMaxDescriptorDepth, walk));
  }
  EXPECT_EQ(check_depth(65, Walk::kExpansion).error().message(),
            "csv/table parse error: sequence expansion exceeded recursion depth");
  EXPECT_EQ(check_depth(65, Walk::kUncompressed).error().message(),
            "csv/table parse error: descriptor decode exceeded recursion depth");
  EXPECT_EQ(check_depth(65, Walk::kCompressed).error().message(),
            "csv/table parse error: compressed descriptor decode exceeded recursion depth");
}

}  // namespace
}  // namespace skerrow
