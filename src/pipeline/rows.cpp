#include "pipeline/rows.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace skerrow {
namespace {

constexpr std::int32_t kNoName = -1;
// The code of an associated field's value, and the name of its significance
// (0-31-021) as a qualifier of it, as ecCodes names it.
constexpr std::uint32_t kAssociatedField = 999999;
constexpr std::string_view kSignificance = "->associatedFieldSignificance";

// Classes 01 to 09 locate an observation: identification, time, position,
// height or pressure.
bool is_coordinate(std::uint32_t descriptor) { return descriptor >= 1000 && descriptor < 10000; }

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "#2#pressure->percentConfidence" -> "pressure->percentConfidence".
std::string_view without_rank(std::string_view name) {
  if (name.empty() || name.front() != '#') return name;
  const std::size_t second = name.find('#', 1);
  return second == std::string_view::npos ? name : name.substr(second + 1);
}

// Python's str.strip() on ASCII: blanks, tabs, line and file separators.
bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

// The value of an element as a number: NaN where it is missing. Class 31
// values are never missing in decoding, but the significance of an
// associated field (0-31-021) of all ones is code table 031021's "missing
// value", as ecCodes reads it.
double number_of(const DecodedValue& v) {
  if (!v.has_raw() || !v.has_value() || (v.descriptor == 31021 && v.raw == 63)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return v.raw_value;
}

std::string_view trimmed(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

void append_plan(RowPlan& into, const RowPlan& from) {
  const std::size_t shift = into.entries.size();
  into.entries.insert(into.entries.end(), from.entries.begin(), from.entries.end());
  for (const std::size_t end : from.subset_ends) into.subset_ends.push_back(end + shift);
  into.numbers.insert(into.numbers.end(), from.numbers.begin(), from.numbers.end());
  for (const std::uint32_t e : from.text_entries) {
    into.text_entries.push_back(static_cast<std::uint32_t>(e + shift));
  }
  into.texts.insert(into.texts.end(), from.texts.begin(), from.texts.end());
  if (into.descriptors.empty()) {
    into.descriptors = from.descriptors;
    into.units = from.units;
    return;
  }
  for (std::size_t n = 0; n < from.descriptors.size() && n < into.descriptors.size(); ++n) {
    if (into.descriptors[n] == 0) into.descriptors[n] = from.descriptors[n];
    if (!from.units[n].empty()) into.units[n] = from.units[n];
  }
}

std::vector<std::uint32_t> qualified_items(const DecodedValues& decoded) {
  const std::size_t items = decoded.values.size();
  std::vector<std::uint32_t> refers(items, kNone);
  if (decoded.refers_to.empty()) return refers;
  const std::size_t subsets = decoded.subset_starts.size();
  for (std::size_t s = 0; s < subsets; ++s) {
    const std::size_t begin = decoded.subset_starts[s];
    const std::size_t end = s + 1 < subsets ? decoded.subset_starts[s + 1] : items;
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t target = decoded.refers_to[i];
      if (target == kNone || target >= items || is_operator_record(decoded.values[i])) continue;
      // item_names() names the values of a subset first, then its
      // qualifiers in order, and qualifies only what has a name by then.
      const bool named =
          !is_operator_record(decoded.values[target]) &&
          (target < begin || (target < end && (decoded.refers_to[target] == kNone || target < i)));
      if (named) refers[i] = target;
    }
  }
  return refers;
}

RowPlan plan_rows(const DecodedValues& decoded, const ValueKeys& keys,
                  const std::vector<std::string>& item_names,
                  const std::vector<std::uint32_t>& refers, const std::vector<std::string>& names) {
  RowPlan plan;
  plan.descriptors.assign(names.size(), 0);
  plan.units.assign(names.size(), {});
  std::unordered_map<std::string_view, std::int32_t> wanted;
  bool qualifiers_wanted = false;
  for (std::size_t n = 0; n < names.size(); ++n) {
    wanted.emplace(names[n], static_cast<std::int32_t>(n));
    qualifiers_wanted = qualifiers_wanted || names[n].find("->") != std::string::npos;
  }
  // The wanted name of each key, looked up once per message.
  std::vector<std::int32_t> name_of_key(keys.names.size(), kNoName);
  for (std::size_t k = 0; k < keys.names.size(); ++k) {
    auto it = wanted.find(keys.names[k]);
    if (it != wanted.end()) name_of_key[k] = it->second;
  }

  const auto add = [&](std::size_t item, std::int32_t name, std::uint32_t depth, bool coordinate) {
    const DecodedValue& v = decoded.values[item];
    const auto entry = static_cast<std::uint32_t>(plan.entries.size());
    const auto n = static_cast<std::size_t>(name);
    plan.entries.push_back({static_cast<std::uint32_t>(name), depth, coordinate});
    if (plan.descriptors[n] == 0) plan.descriptors[n] = v.descriptor;
    plan.units[n] = keys.names[keys.unit[item]];
    double number = std::numeric_limits<double>::quiet_NaN();
    if (const std::string* text = decoded.text(v)) {
      const std::string_view kept = trimmed(*text);
      if (!kept.empty()) {
        plan.text_entries.push_back(entry);
        plan.texts.emplace_back(kept);
      }
    } else {
      number = number_of(v);
    }
    plan.numbers.push_back(number);
  };

  const std::size_t subsets = decoded.subset_starts.size();
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // coordinate key, depth
  // Per item of the subset: the wanted qualifiers that follow it.
  std::vector<std::vector<std::pair<std::size_t, std::int32_t>>> qualifiers;
  for (std::size_t s = 0; s < subsets; ++s) {
    const std::size_t begin = decoded.subset_starts[s];
    const std::size_t end = s + 1 < subsets ? decoded.subset_starts[s + 1] : decoded.values.size();
    stack.clear();
    if (qualifiers_wanted) {
      qualifiers.assign(end - begin, {});
      std::size_t significance = kAbsent;  // the last 0-31-021 of the subset so far
      const auto hold = [&](std::size_t target, std::size_t item, std::int32_t name) {
        auto& held = qualifiers[target - begin];
        const bool first_of_kind =
            std::none_of(held.begin(), held.end(), [&](const auto& q) { return q.second == name; });
        if (first_of_kind) held.emplace_back(item, name);
      };
      for (std::size_t i = begin; i < end; ++i) {
        if (decoded.values[i].descriptor == 31021) significance = i;
        const std::uint32_t target = refers[i];
        if (target == kNone || target < begin || target >= end) continue;
        const std::string_view qualifier = without_rank(item_names[i]);
        auto it = wanted.find(qualifier);
        if (it != wanted.end()) hold(target, i, it->second);
        // An associated field's significance is the 0-31-021 before it.
        if (significance != kAbsent && decoded.values[i].descriptor == kAssociatedField) {
          std::string nested_name(qualifier);
          nested_name.append(kSignificance);
          auto nested = wanted.find(nested_name);
          if (nested != wanted.end()) hold(target, significance, nested->second);
        }
      }
    }
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t key = keys.key[i];
      const std::uint32_t descriptor = decoded.values[i].descriptor;
      const bool coordinate = is_coordinate(descriptor);
      const std::int32_t name = name_of_key[key];
      if ((!coordinate && name == kNoName) || refers[i] != kNone) continue;
      std::uint32_t depth = 0;
      if (coordinate) {
        // A coordinate seen before takes back its depth and closes the ones
        // opened after it; a new one goes one deeper.
        auto found =
            std::find_if(stack.begin(), stack.end(), [&](const auto& c) { return c.first == key; });
        if (found != stack.end()) {
          depth = found->second;
          stack.erase(found, stack.end());
        } else {
          depth = static_cast<std::uint32_t>(stack.size()) + 1;
        }
        stack.emplace_back(key, depth);
        if (name == kNoName) continue;
        add(i, name, depth, true);
      } else {
        if (descriptor >= 100000 && descriptor < 300000 && all_digits(keys.names[key])) {
          continue;  // an operator's own record, no observation
        }
        depth = static_cast<std::uint32_t>(stack.size()) + 1;
        add(i, name, depth, false);
      }
      if (qualifiers_wanted) {
        for (const auto& [item, qualifier] : qualifiers[i - begin])
          add(item, qualifier, depth, false);
      }
    }
    plan.subset_ends.push_back(plan.entries.size());
  }
  return plan;
}

namespace {

// The observation being read: its names in the order they arrived (a name
// given a new value keeps its place), the entry each holds, and the depth of
// every arrival. A new value for a name held already adds a depth but no
// name, so the two stacks can differ in length; unwinding pops one of each.
class Observation {
 public:
  Observation(std::size_t name_count, const std::vector<std::uint8_t>& filtered)
      : position_(name_count, -1), coordinate_(name_count, 0) {
    for (std::size_t n = 0; n < filtered.size(); ++n) {
      if (filtered[n]) filtered_.push_back(static_cast<std::uint32_t>(n));
    }
  }

  void start_subset() {
    for (const auto& [name, entry] : held_) position_[name] = -1;
    held_.clear();
    depths_.assign(1, 0);
    std::fill(coordinate_.begin(), coordinate_.end(), 0);
  }

  bool holds(std::uint32_t name) const { return position_[name] >= 0; }
  std::uint32_t last_depth() const { return depths_.back(); }
  void saw_coordinate(std::uint32_t name) { coordinate_[name] = 1; }

  bool complete() const {
    return std::all_of(filtered_.begin(), filtered_.end(),
                       [&](std::uint32_t n) { return holds(n); });
  }

  // Drops the latest arrivals while `name` at `depth` would close them.
  void unwind(std::uint32_t name, std::uint32_t depth) {
    while (!held_.empty() && (depth < depths_.back() || (depth == depths_.back() && holds(name)))) {
      position_[held_.back().first] = -1;
      held_.pop_back();
      depths_.pop_back();
    }
  }

  void take(std::uint32_t name, std::int32_t entry, std::uint32_t depth) {
    if (holds(name)) {
      held_[static_cast<std::size_t>(position_[name])].second = entry;
    } else {
      position_[name] = static_cast<std::int32_t>(held_.size());
      held_.emplace_back(name, entry);
    }
    depths_.push_back(depth);
  }

  // Appends a row of everything held.
  void emit(std::vector<std::int32_t>* rows, std::size_t name_count) const {
    const std::size_t at = rows->size();
    rows->resize(at + name_count, -1);
    for (const auto& [name, entry] : held_) (*rows)[at + name] = entry;
  }

  // Appends a row of what was held up to `name` and after it up to the next
  // coordinate: the context that belongs to the earlier value of `name`.
  void emit_up_to_context(std::uint32_t name, std::vector<std::int32_t>* rows,
                          std::size_t name_count) const {
    const std::size_t at = rows->size();
    rows->resize(at + name_count, -1);
    bool seen = false;
    for (const auto& [held_name, entry] : held_) {
      if (seen && coordinate_[held_name]) break;
      (*rows)[at + held_name] = entry;
      seen = seen || held_name == name;
    }
  }

 private:
  std::vector<std::pair<std::uint32_t, std::int32_t>> held_;  // name, entry
  std::vector<std::int32_t> position_;                        // per name: index in held_
  std::vector<std::uint32_t> depths_;
  std::vector<std::uint8_t> coordinate_;  // per name: seen as a coordinate in the subset
  std::vector<std::uint32_t> filtered_;
};

}  // namespace

RowTable walk_rows(const RowPlan& plan, std::size_t name_count, const RowWalkOptions& options) {
  Observation current(name_count, options.filtered);
  const auto filtered = [&](std::uint32_t name) {
    return name < options.filtered.size() && options.filtered[name] != 0;
  };
  RowTable table;
  std::vector<std::int32_t> rows;  // row-major while walking
  std::size_t row_count = 0;
  std::size_t begin = 0;
  for (const std::size_t end : plan.subset_ends) {
    current.start_subset();
    bool failed = false;
    std::uint32_t failed_depth = 0;
    for (std::size_t e = begin; e < end; ++e) {
      const RowEntry& entry = plan.entries[e];
      if (entry.coordinate) current.saw_coordinate(entry.name);
      if (failed) {
        if (entry.depth > failed_depth) continue;
        failed = false;
      }
      const bool held = current.holds(entry.name);
      const bool closes =
          entry.depth < current.last_depth() || (entry.depth == current.last_depth() && held);
      if (options.split_repeats && !closes && held && current.complete()) {
        current.emit_up_to_context(entry.name, &rows, name_count);
        ++row_count;
      }
      if (closes) {
        if (current.complete()) {
          current.emit(&rows, name_count);
          ++row_count;
        }
        current.unwind(entry.name, entry.depth);
      }
      if (filtered(entry.name) && (e >= options.passes.size() || options.passes[e] == 0)) {
        failed = true;
        failed_depth = entry.depth;
        continue;
      }
      current.take(entry.name, static_cast<std::int32_t>(e), entry.depth);
    }
    if (current.complete()) {
      current.emit(&rows, name_count);
      ++row_count;
    }
    table.subset_row_ends.push_back(row_count);
    begin = end;
  }
  table.row_count = row_count;
  table.cells.resize(rows.size());
  for (std::size_t r = 0; r < table.row_count; ++r) {
    for (std::size_t n = 0; n < name_count; ++n) {
      table.cells[n * table.row_count + r] = rows[r * name_count + n];
    }
  }
  return table;
}

namespace {

// The counts of delayed replication and repetition: structure, not data.
bool is_replication_key(std::string_view key) {
  return key == "delayedDescriptorReplicationFactor" ||
         key == "shortDelayedDescriptorReplicationFactor" ||
         key == "extendedDelayedDescriptorReplicationFactor" ||
         key == "delayedDescriptorAndDataRepetitionFactor" ||
         key == "extendedDelayedDescriptorAndDataRepetitionFactor";
}

}  // namespace

std::uint32_t FlatValues::name_of(std::uint32_t key_id, std::uint32_t rank) {
  std::vector<std::uint32_t>& ranks = by_rank_[key_id];
  if (ranks.size() < rank) ranks.resize(rank, kNone);
  std::uint32_t& name = ranks[rank - 1];
  if (name == kNone) {
    name = static_cast<std::uint32_t>(names.size());
    std::string ranked = std::to_string(rank);
    ranked.insert(ranked.begin(), '#');
    ranked.push_back('#');
    ranked.append(key_names_[key_id]);
    names.push_back(std::move(ranked));
    units.emplace_back();
  }
  return name;
}

std::uint32_t FlatValues::qualifier_name_of(const std::string& item_name) {
  std::string ranked = item_name.front() == '#' ? item_name : "#1#" + item_name;
  auto [it, added] =
      qualifier_names_.emplace(std::move(ranked), static_cast<std::uint32_t>(names.size()));
  if (added) {
    names.push_back(it->first);
    units.emplace_back();
  }
  return it->second;
}

void FlatValues::add_entry(const DecodedValues& decoded, const ValueKeys& keys, std::size_t item,
                           std::uint32_t name) {
  const DecodedValue& v = decoded.values[item];
  const auto entry = static_cast<std::uint32_t>(entry_names.size());
  entry_names.push_back(name);
  descriptors.push_back(v.descriptor);
  units[name] = keys.names[keys.unit[item]];
  double number = std::numeric_limits<double>::quiet_NaN();
  if (const std::string* text = decoded.text(v)) {
    const std::string_view kept = trimmed(*text);
    if (!kept.empty()) {
      text_entries.push_back(entry);
      texts.emplace_back(kept);
    }
  } else {
    number = number_of(v);
  }
  numbers.push_back(number);
}

void FlatValues::append(const DecodedValues& decoded, const ValueKeys& keys,
                        const std::vector<std::string>* item_names,
                        const std::vector<std::uint32_t>* refers) {
  // The run's id of each of the message's keys; kNone for those left out.
  std::vector<std::uint32_t> id_of_key(keys.names.size(), kNone);
  for (std::size_t k = 0; k < keys.names.size(); ++k) {
    if (is_replication_key(keys.names[k])) continue;
    auto [it, added] =
        key_ids_.emplace(keys.names[k], static_cast<std::uint32_t>(key_names_.size()));
    if (added) {
      key_names_.push_back(keys.names[k]);
      by_rank_.emplace_back();
    }
    id_of_key[k] = it->second;
  }
  const bool qualifiers = item_names != nullptr && refers != nullptr;
  std::vector<std::uint32_t> rank(key_names_.size(), 0);
  std::vector<std::uint32_t> touched;
  const std::size_t subsets = decoded.subset_starts.size();
  for (std::size_t s = 0; s < subsets; ++s) {
    const std::size_t begin = decoded.subset_starts[s];
    const std::size_t end = s + 1 < subsets ? decoded.subset_starts[s + 1] : decoded.values.size();
    for (const std::uint32_t id : touched) rank[id] = 0;
    touched.clear();
    std::size_t significance = kAbsent;  // the last 0-31-021 of the subset so far
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = decoded.values[i];
      const std::uint32_t id = id_of_key[keys.key[i]];
      if (id != kNone && (v.descriptor < 100000 || v.descriptor >= 300000)) {
        if (rank[id]++ == 0) touched.push_back(id);
        add_entry(decoded, keys, i, name_of(id, rank[id]));
      }
      if (v.descriptor == 31021) significance = i;
      if (qualifiers && (*refers)[i] != kNone && !(*item_names)[i].empty()) {
        add_entry(decoded, keys, i, qualifier_name_of((*item_names)[i]));
        if (significance != kAbsent && v.descriptor == kAssociatedField) {
          add_entry(decoded, keys, significance,
                    qualifier_name_of((*item_names)[i] + std::string(kSignificance)));
        }
      }
    }
    subset_ends.push_back(entry_names.size());
  }
}

}  // namespace skerrow
