// Observations as rows. BUFR writes an observation as a run of coordinates
// (classes 01 to 09: station, time, position, height or pressure) followed by
// what was measured there; a coordinate that comes again starts a new
// observation at its own depth and drops everything recorded deeper. A
// radiosonde report therefore gives one row per level, a SYNOP report one row
// per sensor height asked for.
//
// Two steps, so that a caller can judge filters on the values in between:
// plan_rows picks the wanted values of each subset in order with their depths,
// walk_rows turns them into rows. Both are plain C++ and run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "decode/decoded_value.h"
#include "pipeline/columns.h"

namespace skerrow {

// One wanted value of a subset, in the order the subset holds them.
struct RowEntry {
  std::uint32_t name = 0;   // index into the wanted names
  std::uint32_t depth = 0;  // 1 for the outermost coordinate
  bool coordinate = false;
};

// The wanted values of every subset of one message.
struct RowPlan {
  std::vector<RowEntry> entries;
  // Entries of subset s: [subset_ends[s - 1], subset_ends[s]).
  std::vector<std::size_t> subset_ends;
  // Per entry: its number, NaN where missing or character data.
  std::vector<double> numbers;
  // The entries holding character data, and their texts (ended at the first
  // NUL, trailing and leading blanks dropped, as ecCodes reads them; an empty
  // text counts as missing and is not listed).
  std::vector<std::uint32_t> text_entries;
  std::vector<std::string> texts;
  // Per wanted name: the descriptor of its first value and the unit of its
  // last (0 and "" when none came).
  std::vector<std::uint32_t> descriptors;
  std::vector<std::string> units;
};

// The plan of `decoded` (rows layout, decoded with structure) for `names`:
// element keys and qualifier names ("airTemperature->percentConfidence").
// `item_names` and `refers` are item_names()'s results. A qualifier is not
// part of the coordinate walk: it follows the value it qualifies, at its
// depth, the first of its name only. Operator records never enter.
RowPlan plan_rows(const DecodedValues& decoded, const ValueKeys& keys,
                  const std::vector<std::string>& item_names,
                  const std::vector<std::uint32_t>& refers, const std::vector<std::string>& names);

// Appends the plan of another message to `into`: the entries follow on,
// and a name's descriptor stays the first one seen, its unit the last.
void append_plan(RowPlan& into, const RowPlan& from);

// Per item: the item it qualifies, or kNone; the `refers` of item_names()
// without building the names, for plans that want no qualifiers.
std::vector<std::uint32_t> qualified_items(const DecodedValues& decoded);

// The rows of a plan: row_count rows, and per wanted name (column-major,
// names x row_count) the entry each row holds for it, or -1.
struct RowTable {
  std::size_t row_count = 0;
  std::vector<std::int32_t> cells;
  // Per subset of the plan: the rows made up to its end.
  std::vector<std::size_t> subset_row_ends;
};

// What the walk does with the names filtered on.
struct RowWalkOptions {
  // Per wanted name: a filter holds on it (empty: none).
  std::vector<std::uint8_t> filtered;
  // Per entry: its value passes its name's filter (read for filtered names).
  std::span<const std::uint8_t> passes;
  // A value of a name the observation holds already, arriving deeper, starts
  // a row of its own instead of replacing the first value.
  bool split_repeats = true;
};

// Walks each subset's entries. A value at a depth above the last one, or at
// the same depth under a name already held, completes the observation and
// unwinds it to that depth. A value failing its filter is not taken and
// everything below it is skipped until the walk comes back up. An
// observation becomes a row only when it holds every filtered name, the last
// one of each subset too, even when it holds nothing else.
RowTable walk_rows(const RowPlan& plan, std::size_t name_count, const RowWalkOptions& options);

// Subsets as flat rows: every value of a subset under its ranked name
// ("#1#airTemperature", "#2#airTemperature"), ranked by its key among all the
// subset's values in order, quality values and associated fields included.
// Replication factors and operators' own records carry no observation and
// are left out. Names are shared by all the messages appended.
struct FlatValues {
  std::vector<std::string> names;  // in the order they first occur
  std::vector<std::string> units;  // per name: the unit of its last value
  // Per entry (a value kept, all subsets running on): its name, its number
  // (NaN where missing or character data) and its descriptor.
  std::vector<std::uint32_t> entry_names;
  std::vector<double> numbers;
  std::vector<std::uint32_t> descriptors;
  // Entries of character data with a text (as RowPlan::texts reads them).
  std::vector<std::uint32_t> text_entries;
  std::vector<std::string> texts;
  // Per subset: the end of its entries.
  std::vector<std::uint64_t> subset_ends;

  // Appends the subsets of one message (rows layout, decoded with structure).
  // With `item_names` and `refers` (item_names()'s results), a value that
  // qualifies another comes a second time under its qualifier name, ranked
  // ("#1#airTemperature->associatedField").
  void append(const DecodedValues& decoded, const ValueKeys& keys,
              const std::vector<std::string>* item_names = nullptr,
              const std::vector<std::uint32_t>* refers = nullptr);

 private:
  std::uint32_t name_of(std::uint32_t key_id, std::uint32_t rank);
  std::uint32_t qualifier_name_of(const std::string& item_name);
  void add_entry(const DecodedValues& decoded, const ValueKeys& keys, std::size_t item,
                 std::uint32_t name);
  std::unordered_map<std::string, std::uint32_t> qualifier_names_;
  std::unordered_map<std::string, std::uint32_t> key_ids_;
  std::vector<std::string> key_names_;
  // Per key id: the name of each rank (rank - 1), kNone until made.
  std::vector<std::vector<std::uint32_t>> by_rank_;
};

}  // namespace skerrow
