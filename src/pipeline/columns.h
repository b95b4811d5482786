// Decoded values as observations: each value's key (ecCodes' element key,
// or its six-digit code where the tables give none) and unit, the name of
// each value within its subset ("#2#airTemperature",
// "airTemperature->percentConfidence"), and the values laid out in columns,
// one entry per subset, under those names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "decode/decoded_value.h"
#include "tables/table_model.h"

namespace skerrow {

// An item is a value of the rows layout, or a column of the columns layout
// (DecodedValues::layout): structure and keys are recorded per item.
std::size_t item_count(const DecodedValues& decoded);
// The first value of an item (the value of subset 0 for a column).
// Inline: naming and keying ask for it several times per item.
inline const DecodedValue& item_value(const DecodedValues& decoded, std::size_t item) {
  if (decoded.layout != DecodedValues::Layout::kColumns) return decoded.values[item];
  return decoded.column_records.empty() ? decoded.values[item * decoded.subset_count]
                                        : decoded.values[decoded.column_records[item]];
}

// The key and unit of every item, as indices into `names`.
struct ValueKeys {
  std::vector<std::uint32_t> key;
  std::vector<std::uint32_t> unit;
  std::vector<std::string> names;
};

// Keys come from the element's key in `tables`; an element without one, or
// an operator, is keyed by its six-digit code, an associated field by
// "associatedField", and the characters 2-05-YYY inserts by "text". Units
// are those the value was read with when the decoding recorded its
// structure, else Table B's; empty for operators and associated fields.
ValueKeys value_keys(const DecodedValues& decoded, const TableSet& tables);

// True for the records that carry no observation: the values operators emit
// for themselves (0 for 2-22-000 and the like).
bool is_operator_record(const DecodedValue& value);

// The name of every item within its subset: the key for its first
// occurrence, "#n#key" for the n-th; a qualifier (with a recorded
// reference) is named after what it qualifies, "name->qualifier", where the
// qualifier is the key of a quality element, "associatedField", or the kind
// of marker ("substitutedValue", "firstOrderStatisticalValue",
// "differenceStatisticalValue", "replacedRetainedValue"); a second
// qualifier of the same kind nests ("->percentConfidence->percentConfidence").
// Qualifiers do not count towards ranks. Operator records get an empty name.
// `refers` receives, per item, the item it qualifies or kNone.
std::vector<std::string> item_names(const DecodedValues& decoded, const ValueKeys& keys,
                                    std::vector<std::uint32_t>* refers = nullptr);

// Names one after another in one buffer, each an offset and a length: a
// satellite message names tens of thousands of columns, and a string of
// its own for each (most are too long to be stored inline) costs an
// allocation and a free apiece.
class NameBuffer {
 public:
  // `count` entries, all empty.
  void reset(std::size_t count);
  std::size_t size() const { return spans_.size(); }
  std::string_view operator[](std::size_t entry) const {
    const Span span = spans_[entry];
    return {chars_.data() + span.begin, span.length};
  }
  // Sets an entry to `prefix` followed by `rest`, which must not view the
  // buffer: views of entries stay valid only until the next set() or add().
  void set(std::size_t entry, std::string_view prefix, std::string_view rest = {});
  // A new entry at the end.
  std::size_t add(std::string_view name);

 private:
  struct Span {
    std::size_t begin = 0;
    std::size_t length = 0;
  };
  // Not a std::string: a moved buffer must keep its characters in place
  // (a short string's would move with it).
  std::vector<char> chars_;  // its first used_ characters are the names'
  std::size_t used_ = 0;
  std::vector<Span> spans_;
};

// item_names() into one buffer; `room` is an earlier buffer whose room the
// names take over. `ranks` receives, per item, the rank within its subset of
// a plain value (named by its key and that rank alone), 0 for the others.
NameBuffer item_name_buffer(const DecodedValues& decoded, const ValueKeys& keys,
                            std::vector<std::uint32_t>* refers = nullptr, NameBuffer room = {},
                            std::vector<std::uint32_t>* ranks = nullptr);

// Room for the rows of columns: chunks that stay in place as columns are
// added (a column keeps a view of its rows) and that the next message
// reuses. A message of a hundred subsets and columns would otherwise
// allocate and free a vector per column.
class RowRoom {
 public:
  // Every chunk free again; beyond kKeptEntries the room goes back to the
  // system.
  void reset();
  // `count` entries, uninitialised.
  std::span<std::size_t> take(std::size_t count);

 private:
  static constexpr std::size_t kChunkEntries = std::size_t{1} << 12;
  static constexpr std::size_t kKeptEntries = std::size_t{1} << 17;
  struct Chunk {
    std::unique_ptr<std::size_t[]> entries;
    std::size_t size = 0;
  };
  std::vector<Chunk> chunks_;
  std::size_t current_ = 0;  // the chunk taken from
  std::size_t used_ = 0;     // its entries taken
};

inline constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

// One column: the value of one name in every subset.
struct Column {
  std::string_view name;  // into ColumnList::names
  std::uint32_t descriptor = 0;
  std::uint32_t unit = 0;   // index into ValueKeys::names
  bool text = false;        // character data
  bool code_table = false;  // values are code or flag table entries
  // Per subset: the cell of the value (DecodedValues::cell), or kAbsent
  // when that subset has no value of this name; in ColumnList::rows. Empty
  // for a column of compressed data, whose cells are first_cell,
  // first_cell + 1, ...
  std::span<std::size_t> rows;
  std::size_t first_cell = kAbsent;

  std::size_t cell(std::size_t subset) const {
    return rows.empty() ? first_cell + subset : rows[subset];
  }
};

// The columns of the decoded values, in the order their names first occur.
// Operator records are left out. Subsets that differ (delayed replication)
// give a column for every name seen in any subset. When `wanted` is given,
// only the columns of those names are returned (a six-digit code stands for
// its element's key), and `unknown` receives the wanted names no subset has.
struct ColumnList {
  std::vector<Column> columns;
  // The names the columns view: the items' names (left out ones too), and
  // the names made for the associated fields' significances.
  NameBuffer names;
  std::deque<std::string> made;
  RowRoom rows;
};
// `room` is an earlier result whose room the columns take over: callers that
// build message after message save the page faults of fresh room.
ColumnList build_columns(const DecodedValues& decoded, const ValueKeys& keys,
                         const TableSet& tables,
                         const std::unordered_set<std::string>* wanted = nullptr,
                         std::vector<std::string>* unknown = nullptr, ColumnList room = {});

// The name of the column `name` asks for: a six-digit code stands for its
// element's key ("#2#012101" is "#2#airTemperature"), and "#1#key" is "key".
std::string canonical_name(const std::string& name, const TableSet& tables);

// The columns the names in `wanted` ask for, for a decoding limited to
// them (DecodeOptions::keys): "#n#key" (or "key", rank 1) asks for that
// rank of the key; each qualifier part of "a->b->c" for its key whole; a
// six-digit code stands for its element's key. Such a decoding still
// yields every wanted column.
WantedKeys wanted_keys(const std::unordered_set<std::string>& wanted, const TableSet& tables);

// Compressed data decoded with numbers: the run of DecodedValues::numbers
// that holds the column's numbers, or kAbsent when it has none there.
std::size_t number_row(const Column& column, const DecodedValues& decoded);

// The numbers of a column, one per subset (out.size() of them), NaN where a
// subset has none or it is missing.
void fill_numbers(const Column& column, const DecodedValues& decoded, std::span<double> out);

}  // namespace skerrow

namespace skerrow {

// Columns over the subsets of many messages, merged in the order they are
// added: one entry per subset of every message, under the names each
// message's own columns have, missing (NaN, or no text) where a message
// lacks a name. Columns keep the order in which their names first occur.
class ColumnSet {
 public:
  struct SetColumn {
    std::string name;
    // The column's numbers, one per subset of the set (NaN for none): run
    // `run` of numbers(); null while no message gave a number.
    double* numbers = nullptr;
    std::size_t run = 0;
    // Per subset: 1 + the index into texts() of the text, or 0 for none;
    // empty while no message gave a text (or, with meanings, a meaning),
    // and shorter than the set where the last subsets gave none.
    std::vector<std::uint32_t> texts;
    bool code_table = false;  // as its first value's unit says
    std::size_t message = 0;  // the last message (counting from 1) with it
  };

  // A set of `total_subsets` subsets, added message by message.
  explicit ColumnSet(std::size_t total_subsets);

  // Adds the subsets of one message: `columns` are its columns
  // (build_columns), whose text columns (and, with `meanings`, code-table
  // columns) give texts, the others numbers.
  void add(const DecodedValues& decoded, const std::vector<Column>& columns, bool meanings);
  // The same for a message of the rows layout, straight from its values
  // and keys (value_keys), under the names item_names and build_columns
  // give them; a value's column is found by its key and rank (a qualifier:
  // by its target's column and its kind) without making its name.
  // `wanted` (canonical names) limits the columns.
  void add_rows(const DecodedValues& decoded, const ValueKeys& keys,
                const std::unordered_set<std::string>* wanted, bool meanings);
  // Whether the message added last has a column of this (canonical) name.
  bool in_last_message(const std::string& name) const;

  std::size_t subsets() const { return subsets_; }
  const std::vector<SetColumn>& columns() const { return columns_; }
  const std::vector<std::string>& texts() const { return texts_; }
  // The numbers of all columns that have any, a run each.
  NumberBlock& numbers() { return numbers_; }

 private:
  static constexpr std::size_t kNotWanted = static_cast<std::size_t>(-2);
  struct QualifierHash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint32_t>& key) const noexcept {
      return std::hash<std::uint64_t>{}(key.first * 0x9E3779B97F4A7C15u ^ key.second);
    }
  };
  // The column of `name`, made on first use; kNotWanted for a name not in
  // `wanted` (when given).
  std::size_t named(const std::string& name, bool code_table,
                    const std::unordered_set<std::string>* wanted);
  // A new column for a name no column has yet (a plain value's, found by
  // key and rank), without looking the name up.
  std::size_t added(std::string name, bool code_table);
  // Brings column_of_ up to date with the columns added since.
  void index_names() const;
  std::uint32_t key_id(const std::string& key);
  void set(SetColumn& column, std::size_t subset, double number);
  void set(SetColumn& column, std::size_t subset, const std::string* text);

  std::size_t total_;
  NumberBlock numbers_;
  std::vector<SetColumn> columns_;
  // Column by name, for the columns before `indexed_`: most names are
  // found by key and rank, so the index is brought up to date only when a
  // name is looked up (a set may have tens of thousands of columns).
  mutable std::unordered_map<std::string, std::size_t> column_of_;
  mutable std::size_t indexed_ = 0;
  // Whether a qualifier took a plain name (its target outside its subset),
  // which a plain value must then find rather than add.
  bool bare_qualifier_names_ = false;
  // Plain values' columns by key id and rank (the rank's column at rank -
  // 1; kAbsent until known).
  std::unordered_map<std::string, std::uint32_t> key_ids_;
  std::vector<std::vector<std::size_t>> by_key_rank_;
  // Qualifiers' columns by (target column and kind of qualifier, nesting).
  std::unordered_map<std::pair<std::uint64_t, std::uint32_t>, std::size_t, QualifierHash>
      qualified_;
  std::vector<std::string> texts_;
  std::size_t subsets_ = 0;
  std::size_t messages_ = 0;
};

}  // namespace skerrow
