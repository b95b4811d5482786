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
// billions of codes, or for as many steps that append nothing. Real lists
// stay far below this bound: the largest sequence of any bundled table
// version (3-10-085 of version 40) takes 69,077 steps for 34,888 codes, the
// largest message we know (a satellite sounding) 35,302 steps for 17,690
// codes; fuzz/expansion_sizes measures both. 2^21 keeps 30 times the first,
// and a hostile list that walks it all stops in 1.5 s even in the fuzz
// build, with its sanitizers (2^24 took over 10 s there).
inline constexpr std::uint64_t kMaxExpansionSteps = std::uint64_t{1} << 21;

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
// exceeded 2097152 steps").
Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          const std::vector<std::uint32_t>& codes);

// One level of the walk over `codes`, appending to `out`; nesting deeper than
// kMaxDescriptorDepth fails.
Result<void> expand_step(const TableSet& tables, std::span<const std::uint32_t> codes,
                         unsigned depth, ExpansionState& state, std::vector<std::uint32_t>& out);

}  // namespace skerrow
