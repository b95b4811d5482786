#include "pipeline/columns.h"

#include <cmath>
#include <string_view>
#include <unordered_map>

#include "message/decode_error.h"

namespace skerrow {
namespace {

// The unit of a code or flag table, as the decoder recognises it.
bool is_table_unit(std::string_view unit) {
  std::string lower(unit);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("code table") != std::string::npos ||
         lower.find("flag table") != std::string::npos;
}

class Names {
 public:
  std::uint32_t intern(std::string_view name) {
    auto it = index_.find(std::string(name));
    if (it != index_.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(names_.size());
    names_.emplace_back(name);
    index_.emplace(names_.back(), id);
    return id;
  }
  std::vector<std::string> take() { return std::move(names_); }

 private:
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::uint32_t> index_;
};

}  // namespace

bool is_operator_record(const DecodedValue& value) {
  return value.name == kOperatorName && value.descriptor / 100000 == 2;
}

ValueKeys value_keys(const DecodedValues& decoded, const TableSet& tables) {
  ValueKeys out;
  Names names;
  const std::uint32_t no_unit = names.intern("");
  // Per descriptor once: messages repeat few descriptors many times.
  std::unordered_map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> by_code;
  out.key.reserve(decoded.values.size());
  out.unit.reserve(decoded.values.size());
  for (const DecodedValue& v : decoded.values) {
    auto it = by_code.find(v.descriptor);
    if (it == by_code.end()) {
      std::pair<std::uint32_t, std::uint32_t> entry{0, no_unit};
      const ElementDefinition* element =
          v.descriptor / 100000 == 0 ? tables.element(v.descriptor) : nullptr;
      if (v.descriptor == 999999) {
        entry.first = names.intern("associatedField");
      } else if (v.descriptor / 1000 == 205) {
        entry.first = names.intern("text");  // characters inserted by 2-05-YYY
      } else if (element != nullptr && !element->abbreviation.empty()) {
        entry = {names.intern(element->abbreviation), names.intern(element->unit)};
      } else {
        entry.first = names.intern(format_descriptor(v.descriptor));
        if (element != nullptr) entry.second = names.intern(element->unit);
      }
      it = by_code.emplace(v.descriptor, entry).first;
    }
    out.key.push_back(it->second.first);
    out.unit.push_back(it->second.second);
  }
  out.names = names.take();
  return out;
}

std::vector<Column> build_columns(const DecodedValues& decoded, const ValueKeys& keys,
                                  const TableSet& tables, bool uniform,
                                  const std::unordered_set<std::string>* wanted) {
  const std::size_t subsets = decoded.subset_starts.size();
  std::vector<Column> columns;
  // (key, rank) -> column; ranks count occurrences within one subset.
  std::unordered_map<std::uint64_t, std::size_t> column_of;
  std::unordered_map<std::uint32_t, std::uint32_t> rank_of;  // key -> occurrences so far
  // The keys a six-digit code in `wanted` stands for.
  std::unordered_set<std::uint32_t> wanted_keys;
  std::unordered_set<std::string> wanted_names;
  if (wanted != nullptr) {
    for (const std::string& name : *wanted) {
      const std::size_t hash = name.rfind('#');
      const std::string key = hash == std::string::npos ? name : name.substr(hash + 1);
      for (std::uint32_t k = 0; k < keys.names.size(); ++k) {
        if (keys.names[k] == key) wanted_keys.insert(k);
      }
      // A code stands for its element's key.
      bool digits = key.size() == 6;
      for (char c : key) digits = digits && c >= '0' && c <= '9';
      if (digits) {
        const auto code = static_cast<std::uint32_t>(std::stoul(key));
        const ElementDefinition* element = tables.element(code);
        std::string as_key = element != nullptr && !element->abbreviation.empty()
                                 ? element->abbreviation
                                 : key;
        for (std::uint32_t k = 0; k < keys.names.size(); ++k) {
          if (keys.names[k] == as_key) wanted_keys.insert(k);
        }
        wanted_names.insert(hash == std::string::npos ? as_key
                                                       : name.substr(0, hash + 1) + as_key);
      } else {
        wanted_names.insert(name);
      }
    }
  }
  // Compressed data holds the same values in every subset: the columns of
  // the first subset are those of all, a fixed step apart.
  bool same_layout = uniform && subsets > 0 &&
                     decoded.values.size() == subsets * (subsets > 1 ? decoded.subset_starts[1] : decoded.values.size());
  for (std::size_t s = 1; same_layout && s < subsets; ++s) {
    same_layout = decoded.subset_starts[s] == s * decoded.subset_starts[1];
  }
  for (std::size_t s = 0; s < (same_layout ? 1 : subsets); ++s) {
    const std::size_t begin = decoded.subset_starts[s];
    const std::size_t end = s + 1 < subsets ? decoded.subset_starts[s + 1] : decoded.values.size();
    rank_of.clear();
    for (std::size_t i = begin; i < end; ++i) {
      const DecodedValue& v = decoded.values[i];
      if (is_operator_record(v)) continue;
      const std::uint32_t key = keys.key[i];
      if (wanted != nullptr && !wanted_keys.contains(key)) continue;
      const std::uint32_t rank = ++rank_of[key];
      const std::uint64_t id = (std::uint64_t{key} << 32) | rank;
      auto it = column_of.find(id);
      if (it == column_of.end()) {
        Column column;
        column.name = rank == 1 ? keys.names[key]
                                : "#" + std::to_string(rank) + "#" + keys.names[key];
        if (wanted != nullptr && !wanted_names.contains(column.name) &&
            !(rank == 1 && wanted_names.contains("#1#" + keys.names[key]))) {
          continue;
        }
        column.key = key;
        column.descriptor = v.descriptor;
        column.unit = keys.unit[i];
        column.text = !v.has_raw() && v.descriptor != 999999;
        column.code_table = is_table_unit(keys.names[column.unit]);
        column.rows.assign(subsets, kAbsent);
        it = column_of.emplace(id, columns.size()).first;
        columns.push_back(std::move(column));
      }
      columns[it->second].rows[s] = i;
    }
  }
  if (same_layout) {
    const std::size_t step = subsets > 1 ? decoded.subset_starts[1] : 0;
    for (Column& column : columns) {
      for (std::size_t s = 1; s < subsets; ++s) column.rows[s] = column.rows[0] + s * step;
    }
  }
  return columns;
}

void fill_numbers(const Column& column, const DecodedValues& decoded, std::span<double> out) {
  const double nan = std::nan("");
  for (std::size_t s = 0; s < column.rows.size() && s < out.size(); ++s) {
    const std::size_t i = column.rows[s];
    out[s] = i != kAbsent && decoded.values[i].has_value() ? decoded.values[i].raw_value : nan;
  }
}

}  // namespace skerrow
