// Expansion of descriptor lists through Table D, and the code-table meaning
// lookup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// State shared by all levels of one expansion.
struct ExpansionState {
  // The Y of the last 2-04-Y operator; 0 when no associated field is in force.
  std::uint8_t associated_field_width = 0;
};

// Sequences nest; a sequence that contains itself would recurse without end,
// so expansion stops below this depth (the input list is depth 0).
inline constexpr int kMaxExpansionDepth = 64;

// The flat list the codes stand for: sequences replaced by their members,
// fixed replications unrolled, delayed replications kept once (factor and
// body, without the replication descriptor), the operators that only change
// how later elements are read dropped, and 999999 before every element
// (except class 31) while an associated field is in force.
// Errors: SequenceNotFound, UnsupportedReplication,
// IncompleteDelayedReplication, Parse ("invalid descriptor <code>",
// "sequence expansion exceeded recursion depth").
Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          const std::vector<std::uint32_t>& codes);

// One level of the walk over `count` codes at `codes`, appending to `out`.
Result<void> expand_step(const TableSet& tables, const std::uint32_t* codes, std::size_t count,
                         int depth, ExpansionState& state, std::vector<std::uint32_t>& out);

}  // namespace skerrow
