// Decoded values as observations: each value's key (ecCodes' element key,
// or its six-digit code where the tables give none) and unit, and the values
// laid out in columns, one entry per subset, named as ecCodes users name them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "decode/decoded_value.h"
#include "tables/table_model.h"

namespace skerrow {

// The key and the unit of every decoded value, as indices into `names`.
struct ValueKeys {
  std::vector<std::uint32_t> key;
  std::vector<std::uint32_t> unit;
  std::vector<std::string> names;
};

// Keys come from the element's key in `tables`; a value of an element
// without one, or of an operator, is keyed by its six-digit code, and an
// associated field value by "associatedField", and the characters 2-05-YYY
// inserts by "text". Units are Table B's, and
// empty for operators and associated fields.
ValueKeys value_keys(const DecodedValues& decoded, const TableSet& tables);

// True for the records that carry no observation: the values operators emit
// for themselves (0 for 2-22-000 and the like).
bool is_operator_record(const DecodedValue& value);

inline constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

// One column: the value of one name in every subset.
struct Column {
  // The key for its first occurrence in a subset, "#n#key" for the n-th.
  std::string name;
  std::uint32_t key = 0;  // index into ValueKeys::names
  std::uint32_t descriptor = 0;
  std::uint32_t unit = 0;     // index into ValueKeys::names
  bool text = false;          // character data
  bool code_table = false;    // values are code or flag table entries
  // Per subset: the index of the value in DecodedValues::values, or kAbsent
  // when that subset has no value of this name.
  std::vector<std::size_t> rows;
};

// The columns of the decoded values, in the order their names first occur.
// Operator records are left out. Subsets that differ (delayed replication)
// give a column for every name seen in any subset. When `wanted` is given,
// only the columns of those names are returned (a name is a key, "#n#key",
// or a six-digit code, which stands for its key). `uniform` says that every
// subset holds the same values in the same order (compressed data), which
// lets the layout of the first subset stand for all.
std::vector<Column> build_columns(const DecodedValues& decoded, const ValueKeys& keys,
                                  const TableSet& tables, bool uniform,
                                  const std::unordered_set<std::string>* wanted = nullptr);

// The numbers of a column, NaN where a subset has none or it is missing.
void fill_numbers(const Column& column, const DecodedValues& decoded, std::span<double> out);

}  // namespace skerrow
