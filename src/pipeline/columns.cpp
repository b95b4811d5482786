#include "pipeline/columns.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_map>

#include "message/decode_error.h"

namespace skerrow {
namespace {

bool is_table_unit(std::string_view unit) {
  std::string lower(unit);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("code table") != std::string::npos ||
         lower.find("flag table") != std::string::npos;
}

class Names {
 public:
  std::uint32_t intern(std::string_view name) {
    auto [it, added] = index_.try_emplace(name, 0);
    if (added) {
      it->second = static_cast<std::uint32_t>(names_.size());
      // The index keeps a view of the stored name (a deque never moves it).
      const_cast<std::string_view&>(it->first) = names_.emplace_back(name);
    }
    return it->second;
  }
  std::vector<std::string> take() {
    return {std::make_move_iterator(names_.begin()), std::make_move_iterator(names_.end())};
  }

 private:
  std::deque<std::string> names_;
  std::unordered_map<std::string_view, std::uint32_t> index_;
};

// Looks strings up by view, without a copy.
struct ViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// The key of the element whose six-digit code `text` is, or null when it
// is no code or the element has no key.
const std::string* key_of_code(std::string_view text, const TableSet& tables) {
  if (text.size() != 6) return nullptr;
  std::uint32_t code = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return nullptr;
    code = code * 10 + static_cast<std::uint32_t>(c - '0');
  }
  const ElementDefinition* element = tables.element(code);
  if (element == nullptr || element->abbreviation.empty()) return nullptr;
  return &element->abbreviation;
}

bool columns_layout(const DecodedValues& d) { return d.layout == DecodedValues::Layout::kColumns; }

std::size_t subset_count(const DecodedValues& d) {
  return columns_layout(d) ? d.subset_count : d.subset_starts.size();
}

// The items of subset `s` (rows), or all items (columns, s = 0).
std::pair<std::size_t, std::size_t> items_of(const DecodedValues& d, std::size_t s) {
  if (columns_layout(d)) return {0, skerrow::item_count(d)};
  const std::size_t n = d.subset_starts.size();
  return {d.subset_starts[s], s + 1 < n ? d.subset_starts[s + 1] : d.values.size()};
}

// The qualifier name of a marker value, from the operator whose bitmap it
// follows.
const char* marker_kind(std::uint32_t operator_code) {
  switch (operator_code / 1000) {
    case 223:
      return "substitutedValue";
    case 224:
      return "firstOrderStatisticalValue";
    case 225:
      return "differenceStatisticalValue";
    case 232:
      return "replacedRetainedValue";
    default:
      return nullptr;
  }
}

}  // namespace

std::size_t item_count(const DecodedValues& d) {
  // Columns of zero subsets hold no values to take a key or name from.
  if (columns_layout(d)) return d.subset_count == 0 ? 0 : d.column_count;
  return d.values.size();
}


bool is_operator_record(const DecodedValue& value) {
  return value.name == kOperatorName && value.descriptor / 100000 == 2;
}

ValueKeys value_keys(const DecodedValues& decoded, const TableSet& tables) {
  ValueKeys out;
  Names names;
  const std::uint32_t no_unit = names.intern("");
  const bool applied = !decoded.element_of.empty();
  // Per descriptor once: messages repeat few descriptors many times.
  std::unordered_map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> by_code;
  const auto keyed =
      [&](std::uint32_t descriptor) -> const std::pair<std::uint32_t, std::uint32_t>& {
    auto it = by_code.find(descriptor);
    if (it != by_code.end()) return it->second;
    std::pair<std::uint32_t, std::uint32_t> entry{0, no_unit};
    const ElementDefinition* element =
        descriptor / 100000 == 0 ? tables.element(descriptor) : nullptr;
    if (descriptor == 999999) {
      entry.first = names.intern("associatedField");
    } else if (descriptor / 1000 == 205) {
      entry.first = names.intern("text");  // characters inserted by 2-05-YYY
    } else if (element != nullptr && !element->abbreviation.empty()) {
      entry = {names.intern(element->abbreviation), names.intern(element->unit)};
    } else {
      entry.first = names.intern(format_descriptor(descriptor));
      if (element != nullptr) entry.second = names.intern(element->unit);
    }
    return by_code.emplace(descriptor, entry).first->second;
  };
  // Per entry the values were read with (its code and unit): most items
  // have one, and a vector finds it faster than a hash of the descriptor.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> by_applied(
      applied ? decoded.elements.size() : 0, {kNone, kNone});
  const std::size_t items = item_count(decoded);
  out.key.resize(items);
  out.unit.resize(items);
  for (std::size_t item = 0; item < items; ++item) {
    if (applied && decoded.element_of[item] != kNone) {
      auto& entry = by_applied[decoded.element_of[item]];
      if (entry.first == kNone) {
        const AppliedElement& e = decoded.elements[decoded.element_of[item]];
        entry = {keyed(item_value(decoded, item).descriptor).first,
                 names.intern(decoded.strings[e.unit])};
      }
      out.key[item] = entry.first;
      out.unit[item] = entry.second;
      continue;
    }
    const auto& [key, unit] = keyed(item_value(decoded, item).descriptor);
    out.key[item] = key;
    out.unit[item] = unit;
  }
  out.names = names.take();
  return out;
}

void RowRoom::reset() {
  std::size_t kept = 0;
  std::size_t count = 0;
  while (count < chunks_.size() && kept + chunks_[count].size <= kKeptEntries) {
    kept += chunks_[count++].size;
  }
  chunks_.resize(count);
  current_ = 0;
  used_ = 0;
}

std::span<std::size_t> RowRoom::take(std::size_t count) {
  for (; current_ < chunks_.size(); ++current_, used_ = 0) {
    Chunk& chunk = chunks_[current_];
    if (chunk.size - used_ >= count) {
      used_ += count;
      return {chunk.entries.get() + (used_ - count), count};
    }
  }
  Chunk& chunk = chunks_.emplace_back();
  chunk.size = std::max(count, kChunkEntries);
  chunk.entries = std::make_unique_for_overwrite<std::size_t[]>(chunk.size);
  current_ = chunks_.size() - 1;
  used_ = count;
  return {chunk.entries.get(), count};
}

void NameBuffer::reset(std::size_t count) {
  used_ = 0;
  spans_.assign(count, Span{});
}

void NameBuffer::set(std::size_t entry, std::string_view prefix, std::string_view rest) {
  const std::size_t begin = used_;
  const std::size_t length = prefix.size() + rest.size();
  // Grown ahead (doubling), so that setting a name is two copies.
  if (chars_.size() < begin + length) chars_.resize(std::max(2 * chars_.size(), begin + length));
  char* out = chars_.data() + begin;
  if (!prefix.empty()) std::memcpy(out, prefix.data(), prefix.size());
  if (!rest.empty()) std::memcpy(out + prefix.size(), rest.data(), rest.size());
  used_ += length;
  spans_[entry] = {begin, length};
}

std::size_t NameBuffer::add(std::string_view name) {
  spans_.emplace_back();
  set(spans_.size() - 1, name);
  return spans_.size() - 1;
}

NameBuffer item_name_buffer(const DecodedValues& d, const ValueKeys& keys,
                            std::vector<std::uint32_t>* refers, NameBuffer room,
                            std::vector<std::uint32_t>* ranks) {
  const std::size_t items = item_count(d);
  NameBuffer names = std::move(room);
  names.reset(items);
  const bool structured = !d.refers_to.empty();
  if (refers != nullptr) refers->assign(items, kNone);
  if (ranks != nullptr) ranks->assign(items, 0);
  // Occurrences of each key in the subset so far, and the keys to clear
  // for the next subset.
  std::vector<std::uint32_t> rank_of(keys.names.size(), 0);
  std::vector<std::uint32_t> seen;
  std::unordered_map<std::string, std::uint32_t> taken;  // qualifier name -> uses
  std::string name;
  const std::size_t subsets = columns_layout(d) ? 1 : subset_count(d);
  for (std::size_t s = 0; s < subsets; ++s) {
    const auto [begin, end] = items_of(d, s);
    for (std::uint32_t key : seen) rank_of[key] = 0;
    seen.clear();
    std::uint32_t marker_operator = 0;
    // Plain values first: a qualifier may refer forward (an associated field
    // qualifies the element after it).
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = item_value(d, i);
      if (is_operator_record(v)) continue;
      if (structured && d.refers_to[i] != kNone) continue;
      const std::uint32_t key = keys.key[i];
      if (rank_of[key] == 0) seen.push_back(key);
      const std::uint32_t rank = ++rank_of[key];
      if (ranks != nullptr) (*ranks)[i] = rank;
      if (rank == 1) {
        names.set(i, keys.names[key]);
      } else {
        char prefix[16] = {'#'};
        char* rank_end = std::to_chars(prefix + 1, prefix + sizeof prefix - 1, rank).ptr;
        *rank_end++ = '#';
        names.set(i, std::string_view(prefix, static_cast<std::size_t>(rank_end - prefix)),
                  keys.names[key]);
      }
    }
    if (!structured) continue;
    taken.clear();
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = item_value(d, i);
      if (is_operator_record(v)) {
        if (v.descriptor % 1000 == 0 && marker_kind(v.descriptor) != nullptr) {
          marker_operator = v.descriptor;
        }
        continue;
      }
      const std::uint32_t target = d.refers_to[i];
      if (target == kNone) continue;
      // Rows: the reference is a value index; columns: a column index.
      if (target >= items || names[target].empty()) {
        names.set(i, keys.names[keys.key[i]]);
        continue;
      }
      std::string_view qualifier;
      if (v.descriptor == 999999) {
        qualifier = "associatedField";
      } else if (v.descriptor == item_value(d, target).descriptor && marker_operator != 0) {
        qualifier = marker_kind(marker_operator);
      } else {
        qualifier = keys.names[keys.key[i]];
      }
      // A second qualifier of the same name qualifies the first.
      name.assign(names[target]).append("->").append(qualifier);
      const std::uint32_t uses = taken[name]++;
      for (std::uint32_t k = 0; k < uses; ++k) name.append("->").append(qualifier);
      names.set(i, name);
      if (refers != nullptr) (*refers)[i] = target;
    }
  }
  return names;
}

std::vector<std::string> item_names(const DecodedValues& d, const ValueKeys& keys,
                                    std::vector<std::uint32_t>* refers) {
  const NameBuffer buffer = item_name_buffer(d, keys, refers);
  std::vector<std::string> names;
  names.reserve(buffer.size());
  for (std::size_t i = 0; i < buffer.size(); ++i) names.emplace_back(buffer[i]);
  return names;
}

std::string canonical_name(const std::string& name, const TableSet& tables) {
  const std::size_t hash = name.rfind('#');
  const std::string key = hash == std::string::npos ? name : name.substr(hash + 1);
  const std::string* element_key = key_of_code(key, tables);
  std::string canonical = name;
  if (element_key != nullptr) {
    canonical = name.substr(0, hash == std::string::npos ? 0 : hash + 1) + *element_key;
  }
  if (canonical.starts_with("#1#")) canonical.erase(0, 3);
  return canonical;
}

WantedKeys wanted_keys(const std::unordered_set<std::string>& wanted, const TableSet& tables) {
  WantedKeys out;
  std::unordered_set<std::string> whole;  // keys of which every value is wanted
  for (const std::string& name : wanted) {
    std::string_view rest = name;
    for (bool first = true;; first = false) {
      const std::size_t arrow = rest.find("->");
      std::string_view part = rest.substr(0, arrow);
      std::uint32_t rank = 1;
      if (part.starts_with('#')) {
        // "#n#key": rank n; anything else after '#' takes the key whole.
        const std::size_t hash = part.find('#', 1);
        const std::string_view digits =
            part.substr(1, hash == std::string_view::npos ? 0 : hash - 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), rank);
        if (error != std::errc() || end != digits.data() + digits.size() || rank == 0) rank = 0;
        if (hash != std::string_view::npos) part.remove_prefix(hash + 1);
      }
      const std::string* element_key = key_of_code(part, tables);
      std::string key = element_key != nullptr ? *element_key : std::string(part);
      // A qualifier is no plain value: its key is taken whole.
      if (!first || rank == 0) whole.insert(key);
      if (first && rank != 0) out.ranks[key].push_back(rank);
      if (arrow == std::string_view::npos) break;
      rest.remove_prefix(arrow + 2);
    }
  }
  for (const std::string& key : whole) out.ranks[key].clear();
  for (auto& [key, ranks] : out.ranks) {
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
  }
  return out;
}

ColumnList build_columns(const DecodedValues& decoded, const ValueKeys& keys,
                         const TableSet& tables, const std::unordered_set<std::string>* wanted,
                         std::vector<std::string>* unknown, ColumnList room) {
  const std::size_t subsets = subset_count(decoded);
  ColumnList out = std::move(room);
  out.columns.clear();
  out.made.clear();
  out.rows.reset();
  const bool by_columns = columns_layout(decoded);
  std::vector<std::uint32_t> ranks;
  out.names =
      item_name_buffer(decoded, keys, nullptr, std::move(out.names), by_columns ? nullptr : &ranks);
  const NameBuffer& names = out.names;
  std::vector<Column>& columns = out.columns;
  // A six-digit code in `wanted` stands for its element's key, and "#1#key"
  // is "key".
  std::unordered_set<std::string, ViewHash, std::equal_to<>> wanted_names;
  std::vector<std::pair<const std::string*, std::string>> asked;
  if (wanted != nullptr) {
    for (const std::string& name : *wanted) {
      std::string canonical = canonical_name(name, tables);
      wanted_names.insert(canonical);
      asked.emplace_back(&name, std::move(canonical));
    }
  }
  // Rows: the column of each name. A name without "->" is a key's, and
  // the key and its rank find it (a qualifier whose target is outside its
  // subset takes its bare key, rank 1); the qualifiers' names are looked
  // up as such. Compressed data names each item once, so it needs no
  // lookup; only the names found there are noted, to tell which wanted
  // ones no subset has. Both view `out.names` and `out.made`, which stay
  // in place.
  std::unordered_map<std::string_view, std::uint32_t> column_of;
  std::vector<std::vector<std::uint32_t>> by_key_rank(by_columns ? 0 : keys.names.size());
  std::unordered_set<std::string_view> found;
  columns.reserve(by_columns ? names.size() : 64);
  // The entry that holds the column of `name` (item `item`'s own name, or
  // one `made` for it), kNone while it has none.
  const auto slot_of = [&](std::string_view name, std::size_t item, bool made) -> std::uint32_t& {
    std::uint32_t rank = made ? 0 : ranks[item];
    if (rank == 0) {
      if (name.find("->") != std::string_view::npos) {
        return column_of.try_emplace(name, kNone).first->second;
      }
      rank = 1;
    }
    std::vector<std::uint32_t>& of_key = by_key_rank[keys.key[item]];
    if (of_key.size() < rank) of_key.resize(rank, kNone);
    return of_key[rank - 1];
  };
  // Per unit: 0 unknown, 1 a code or flag table, 2 not.
  std::vector<std::uint8_t> table_unit(keys.names.size(), 0);
  // The column `name`, made from `item` on first use; null when not wanted.
  const auto column_for = [&](std::string_view name, std::size_t item,
                              bool made = false) -> Column* {
    if (name.empty()) return nullptr;
    std::uint32_t* slot = nullptr;
    if (!by_columns) {
      slot = &slot_of(name, item, made);
      if (*slot != kNone) return &columns[*slot];
    }
    if (wanted != nullptr && !wanted_names.contains(name)) return nullptr;
    const DecodedValue& v = item_value(decoded, item);
    if (slot != nullptr) *slot = static_cast<std::uint32_t>(columns.size());
    Column& column = columns.emplace_back();
    column.name = name;
    if (by_columns && wanted != nullptr) found.insert(name);
    column.descriptor = v.descriptor;
    column.unit = keys.unit[item];
    column.text = !v.has_raw() && v.descriptor != 999999;
    std::uint8_t& unit_kind = table_unit[column.unit];
    if (unit_kind == 0) unit_kind = is_table_unit(keys.names[column.unit]) ? 1 : 2;
    column.code_table = unit_kind == 1;
    if (!by_columns) {
      column.rows = out.rows.take(subsets);
      std::fill(column.rows.begin(), column.rows.end(), kAbsent);
    }
    return &column;
  };
  // An associated field carries the meaning 031021 gave the field last: as
  // ecCodes does, each one gets that significance as a qualifier of its own.
  static constexpr std::string_view kSignificance = "->associatedFieldSignificance";
  std::string qualified;
  for (std::size_t s = 0; s < (by_columns ? 1 : subsets); ++s) {
    const auto [begin, end] = items_of(decoded, s);
    std::size_t significance = kAbsent;
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = item_value(decoded, i);
      if (v.descriptor == 31021) significance = i;
      const std::string_view name = names[i];
      Column* column = column_for(name, i);
      if (column != nullptr) {
        if (by_columns) {
          column->first_cell = i * subsets;
        } else {
          column->rows[s] = i;
        }
      }
      if (v.descriptor != 999999 || significance == kAbsent ||
          name.find("->") == std::string_view::npos) {
        continue;
      }
      qualified.assign(name).append(kSignificance);
      // A name seen before (rows) needs no copy of its own.
      const auto seen = column_of.find(qualified);
      Column* meaning = seen != column_of.end() && seen->second != kNone
                            ? &columns[seen->second]
                            : column_for(out.made.emplace_back(qualified), significance, true);
      if (meaning == nullptr) continue;
      if (by_columns) {
        meaning->first_cell = significance * subsets;
      } else {
        meaning->rows[s] = significance;
      }
    }
  }
  if (unknown != nullptr && !asked.empty()) {
    if (!by_columns) {
      for (const Column& column : columns) found.insert(column.name);
    }
    for (const auto& [name, canonical] : asked) {
      if (!found.contains(canonical)) {
        unknown->push_back(*name);
      }
    }
  }
  return out;
}

std::size_t number_row(const Column& column, const DecodedValues& decoded) {
  if (decoded.column_numbers.empty() || !column.rows.empty() || decoded.subset_count == 0) {
    return kAbsent;
  }
  const std::size_t run = decoded.column_numbers[column.first_cell / decoded.subset_count];
  return run == DecodedValues::kNoNumbers ? kAbsent : run;
}

void fill_numbers(const Column& column, const DecodedValues& decoded, std::span<double> out) {
  const double nan = std::nan("");
  if (!decoded.column_numbers.empty()) {
    // Compressed data with numbers: a run of the block, or none at all.
    const std::size_t row = number_row(column, decoded);
    if (row == kAbsent) {
      std::fill(out.begin(), out.end(), nan);
    } else {
      std::copy_n(decoded.numbers.run(row), out.size(), out.begin());
    }
    return;
  }
  for (std::size_t s = 0; s < out.size(); ++s) {
    const std::size_t i = column.cell(s);
    if (i == kAbsent) {
      out[s] = nan;
    } else {
      out[s] = decoded.values[i].has_value() ? decoded.values[i].raw_value : nan;
    }
  }
}

}  // namespace skerrow

namespace skerrow {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// "#rank#key", or the key for rank 1.
std::string ranked_name(const std::string& key, std::uint32_t rank) {
  if (rank == 1) return key;
  char prefix[16] = {'#'};
  char* end = std::to_chars(prefix + 1, prefix + sizeof prefix - 1, rank).ptr;
  *end++ = '#';
  std::string name(prefix, end);
  name.append(key);
  return name;
}

}  // namespace

ColumnSet::ColumnSet(std::size_t total_subsets) : total_(total_subsets) {
  numbers_.set_run_length(total_subsets);
}

void ColumnSet::set(SetColumn& column, std::size_t subset, double number) {
  column.message = messages_;
  if (column.numbers == nullptr) {
    column.run = numbers_.add_run();
    column.numbers = numbers_.run(column.run);
    std::fill_n(column.numbers, total_, kNan);
  }
  column.numbers[subset] = number;
}

void ColumnSet::set(SetColumn& column, std::size_t subset, const std::string* text) {
  column.message = messages_;
  std::uint32_t entry = 0;
  if (text != nullptr) {
    texts_.push_back(*text);
    entry = static_cast<std::uint32_t>(texts_.size());
  }
  if (column.texts.size() <= subset) column.texts.resize(subset + 1, 0);
  column.texts[subset] = entry;
}

void ColumnSet::index_names() const {
  for (; indexed_ < columns_.size(); ++indexed_) {
    column_of_.emplace(columns_[indexed_].name, indexed_);
  }
}

std::size_t ColumnSet::named(const std::string& name, bool code_table,
                             const std::unordered_set<std::string>* wanted) {
  // Keys have no "->", so a qualifier's name is never one added() made
  // without the index: those need indexing only for a plain name.
  if (name.find("->") == std::string::npos) index_names();
  auto it = column_of_.find(name);
  if (it != column_of_.end()) return it->second;
  if (wanted != nullptr && !wanted->contains(name)) return kNotWanted;
  const std::size_t column = added(name, code_table);
  column_of_.emplace(name, column);
  return column;
}

std::size_t ColumnSet::added(std::string name, bool code_table) {
  SetColumn column;
  column.name = std::move(name);
  column.code_table = code_table;
  columns_.push_back(std::move(column));
  return columns_.size() - 1;
}

std::uint32_t ColumnSet::key_id(const std::string& key) {
  auto [it, added] = key_ids_.try_emplace(key, static_cast<std::uint32_t>(by_key_rank_.size()));
  if (added) by_key_rank_.emplace_back();
  return it->second;
}

void ColumnSet::add(const DecodedValues& decoded, const std::vector<Column>& columns,
                    bool meanings) {
  ++messages_;
  const std::size_t base = subsets_;
  const std::size_t n = subset_count(decoded);
  std::vector<double> numbers(n);
  for (const Column& c : columns) {
    SetColumn& to = columns_[named(std::string(c.name), c.code_table, nullptr)];
    if (c.text || (meanings && c.code_table)) {
      for (std::size_t s = 0; s < n; ++s) {
        const std::size_t i = c.cell(s);
        const std::string* text = nullptr;
        if (i != kAbsent) {
          const DecodedValue& value = decoded.cell(i);
          text = c.text ? decoded.text(value) : decoded.meaning(value);
        }
        set(to, base + s, text);
      }
      continue;
    }
    fill_numbers(c, decoded, numbers);
    for (std::size_t s = 0; s < n; ++s) set(to, base + s, numbers[s]);
  }
  subsets_ += n;
}

void ColumnSet::add_rows(const DecodedValues& d, const ValueKeys& keys,
                         const std::unordered_set<std::string>* wanted, bool meanings) {
  ++messages_;
  const std::size_t base = subsets_;
  const std::size_t n = d.subset_starts.size();
  const bool structured = !d.refers_to.empty();
  // The message's keys as ids of the set's, found on first use.
  std::vector<std::uint32_t> ids(keys.names.size(), kNone);
  const auto id_of = [&](std::uint32_t key) {
    if (ids[key] == kNone) ids[key] = key_id(keys.names[key]);
    return ids[key];
  };
  std::vector<std::uint32_t> rank_of(keys.names.size(), 0);
  std::vector<std::uint32_t> touched;
  std::vector<std::uint32_t> rank;       // per item of the subset; 0: not a plain value
  std::vector<std::size_t> item_column;  // per item of the subset, or kAbsent
  std::unordered_map<std::size_t, std::string> qualifier_names;  // with `wanted`
  std::unordered_map<std::string, std::uint32_t> taken;          // with `wanted`
  std::unordered_map<std::uint64_t, std::uint32_t> taken_by_column;
  std::vector<std::uint8_t> table_unit(keys.names.size(), 0);
  const auto code_table = [&](std::size_t item) {
    std::uint8_t& kind = table_unit[keys.unit[item]];
    if (kind == 0) kind = is_table_unit(keys.names[keys.unit[item]]) ? 1 : 2;
    return kind == 1;
  };
  const auto put = [&](std::size_t column, std::size_t subset, const DecodedValue& v) {
    if (column == kNotWanted) return;
    SetColumn& to = columns_[column];
    if (!v.has_raw() && v.descriptor != 999999) {
      set(to, subset, d.text(v));
    } else if (meanings && to.code_table) {
      set(to, subset, d.meaning(v));
    } else {
      set(to, subset, v.has_value() ? v.raw_value : kNan);
    }
  };
  const auto plain_name = [&](std::size_t item, std::uint32_t r) {
    return ranked_name(keys.names[keys.key[item]], r);
  };
  static const std::string kSignificance = "->associatedFieldSignificance";
  constexpr std::uint64_t kSignificanceTag = 0xFFFFFF;
  for (std::size_t s = 0; s < n; ++s) {
    const std::size_t begin = d.subset_starts[s];
    const std::size_t end = s + 1 < n ? d.subset_starts[s + 1] : d.values.size();
    for (std::uint32_t k : touched) rank_of[k] = 0;
    touched.clear();
    // Ranks first: a qualifier may refer forward.
    rank.assign(end - begin, 0);
    item_column.assign(end - begin, kAbsent);
    for (std::size_t i = begin; i < end; ++i) {
      if (is_operator_record(d.values[i])) continue;
      if (structured && d.refers_to[i] != kNone) continue;
      const std::uint32_t k = keys.key[i];
      if (rank_of[k] == 0) touched.push_back(k);
      rank[i - begin] = ++rank_of[k];
    }
    qualifier_names.clear();
    taken.clear();
    taken_by_column.clear();
    std::uint32_t marker_operator = 0;
    std::size_t significance = kAbsent;
    const std::size_t g = base + s;
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = d.values[i];
      if (v.descriptor == 31021) significance = i;
      if (const std::uint32_t r = rank[i - begin]; r != 0) {
        // A plain value: its column by key and rank.
        std::vector<std::size_t>& ranks = by_key_rank_[id_of(keys.key[i])];
        if (ranks.size() < r) ranks.resize(r, kAbsent);
        std::size_t& column = ranks[r - 1];
        if (column == kAbsent) {
          // Plain names are made only here, one per key and rank, so a new
          // one needs no lookup unless a qualifier or `wanted` is involved.
          std::string name = plain_name(i, r);
          column = wanted == nullptr && !bare_qualifier_names_ &&
                           name.find("->") == std::string::npos  // a key of a local table
                       ? added(std::move(name), code_table(i))
                       : named(name, code_table(i), wanted);
        }
        put(column, g, v);
        item_column[i - begin] = column;
        continue;
      }
      if (is_operator_record(v)) {
        if (v.descriptor % 1000 == 0 && marker_kind(v.descriptor) != nullptr) {
          marker_operator = v.descriptor;
        }
        continue;
      }
      // A qualifier, named after what it qualifies as item_names names it.
      const std::uint32_t target = d.refers_to[i];
      const bool inside = target >= begin && target < end;
      const bool marker = inside && v.descriptor != 999999 &&
                          v.descriptor == d.values[target].descriptor && marker_operator != 0;
      const auto qualifier = [&]() -> std::string {
        if (v.descriptor == 999999) return "associatedField";
        return marker ? marker_kind(marker_operator) : keys.names[keys.key[i]];
      };
      std::size_t column = kAbsent;
      std::size_t target_column = inside ? item_column[target - begin] : kAbsent;
      if (target_column == kAbsent && inside && rank[target - begin] != 0) {
        // A plain value after its qualifier (an associated field comes
        // before its element): its column, if the set has it already.
        const std::vector<std::size_t>& ranks = by_key_rank_[id_of(keys.key[target])];
        const std::uint32_t r = rank[target - begin];
        if (r <= ranks.size() && ranks[r - 1] != kNotWanted) target_column = ranks[r - 1];
      }
      if (wanted == nullptr && target_column != kAbsent) {
        // Every name has a column: the qualifier's is found by the target's
        // column and the kind of qualifier, without making its name.
        const std::uint64_t kind =
            marker ? 0x800000u | (marker_operator / 1000) : id_of(keys.key[i]);
        const std::uint64_t pair = (std::uint64_t{target_column} << 24) | kind;
        const std::uint32_t uses = taken_by_column[pair]++;
        auto [it, added] = qualified_.try_emplace({pair, uses}, kAbsent);
        if (added) {
          const std::string nesting = "->" + qualifier();
          std::string name = columns_[target_column].name;
          for (std::uint32_t u = 0; u <= uses; ++u) name += nesting;
          it->second = named(name, code_table(i), nullptr);
        }
        column = it->second;
      }
      if (column == kAbsent) {
        std::string target_name;
        if (inside) {
          if (rank[target - begin] != 0) {
            target_name = plain_name(target, rank[target - begin]);
          } else if (wanted == nullptr && target_column != kAbsent) {
            target_name = columns_[target_column].name;
          } else if (auto it = qualifier_names.find(target); it != qualifier_names.end()) {
            target_name = it->second;
          }
        }
        std::string name;
        if (target_name.empty()) {
          name = keys.names[keys.key[i]];
          bare_qualifier_names_ = true;
        } else {
          const std::string q = qualifier();
          name = target_name + "->" + q;
          const std::uint32_t uses = taken[name]++;
          for (std::uint32_t u = 0; u < uses; ++u) name += "->" + q;
        }
        column = named(name, code_table(i), wanted);
        if (wanted != nullptr) qualifier_names.emplace(i, std::move(name));
      }
      put(column, g, v);
      item_column[i - begin] = column == kNotWanted ? kAbsent : column;
      if (v.descriptor == 999999 && significance != kAbsent && inside && column != kNotWanted &&
          columns_[column].name.find("->") != std::string::npos) {
        std::size_t meaning = kAbsent;
        if (wanted == nullptr) {
          auto [it, added] = qualified_.try_emplace(
              {(std::uint64_t{column} << 24) | kSignificanceTag, 0}, kAbsent);
          if (added) {
            it->second =
                named(columns_[column].name + kSignificance, code_table(significance), nullptr);
          }
          meaning = it->second;
        } else {
          meaning = named(columns_[column].name + kSignificance, code_table(significance), wanted);
        }
        put(meaning, g, d.values[significance]);
      } else if (v.descriptor == 999999 && significance != kAbsent && column == kNotWanted &&
                 wanted != nullptr) {
        const auto it = qualifier_names.find(i);
        if (it != qualifier_names.end() && it->second.find("->") != std::string::npos) {
          put(named(it->second + kSignificance, code_table(significance), wanted), g,
              d.values[significance]);
        }
      }
    }
  }
  subsets_ += n;
}

bool ColumnSet::in_last_message(const std::string& name) const {
  index_names();
  auto it = column_of_.find(name);
  return it != column_of_.end() && columns_[it->second].message == messages_;
}

}  // namespace skerrow
