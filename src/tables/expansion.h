// Expansion of descriptor lists through Table D (code-table meanings are
// looked up by TableSet::meaning).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// Nested fixed replications multiply: a few levels of 1-01-255 ask for
// billions of codes, or for as many steps that append nothing. A real
// expansion stays far below this (a whole IASI message expands to about
// 18,000 codes), so past it the list is hostile and the expansion stops
// before memory or time run out.
inline constexpr std::uint64_t kMaxExpansionSteps = std::uint64_t{1} << 24;

// State shared by all levels of one expansion.
struct ExpansionState {
  // The Y of the last 2-04-Y operator; 0 when no associated field is in force.
  std::uint8_t associated_field_width = 0;
  // Codes the walk may still visit, repeats counted each time.
  std::uint64_t steps_left = kMaxExpansionSteps;
};

// The flat list the codes stand for: sequences replaced by their members,
// fixed replications unrolled, delayed replications kept once (factor and
// body, without the replication descriptor), the operators that only change
// how later elements are read dropped, and 999999 before every element
// (except class 31) while an associated field is in force.
// Errors: SequenceNotFound, UnsupportedReplication,
// IncompleteDelayedReplication, Parse ("invalid descriptor <code>",
// "sequence expansion exceeded recursion depth", "sequence expansion
// exceeded 16777216 steps").
Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          const std::vector<std::uint32_t>& codes);

// One level of the walk over `codes`, appending to `out`; nesting deeper than
// kMaxDescriptorDepth fails.
Result<void> expand_step(const TableSet& tables, std::span<const std::uint32_t> codes,
                         unsigned depth, ExpansionState& state, std::vector<std::uint32_t>& out);

}  // namespace skerrow
