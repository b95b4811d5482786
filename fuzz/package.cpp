// The Python package's decoding, as the extension module runs it: every
// message of the input framed on its own (editions 2, 3 and 4), its tables
// taken from the bundled WMO tables (read once, at start-up), then the
// package's three calls on it: the plain values with their subset starts;
// the structure (keys, units, names and what each value qualifies); the
// columns, whole or for a set of wanted names, with their numbers.
//
// One call per input, so that an input costs one decoding: the first octet
// chooses it (its value modulo 3: plain, structure, columns; for an input
// that starts with the "BUFR" marker, as real files do, the length modulo 3),
// and bits 2 and 3 how names are wanted from the columns (none, a present
// subset, that subset with an absent name and a six-digit code). The octet
// stays in the stream, whose scan skips it.
//
// Beyond not crashing, each call's results must agree with one another:
// one key, unit and name per item, subset starts in order, qualifiers that
// point at items, columns with a cell (or none) for every subset.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "message/scan.h"
#include "pipeline/columns.h"
#include "pipeline/decode_message.h"
#include "tables/bundle.h"

namespace {

constexpr std::size_t kMaxMessages = 4;

const skerrow::TableSource& source() {
  static const skerrow::TableSource bundled =
      skerrow::TableSource::bundled(SKERROW_FUZZ_BUNDLE, {});
  return bundled;
}

// A broken invariant is a finding: stop so that libFuzzer keeps the input.
void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::size_t subset_count(const skerrow::DecodedValues& decoded) {
  return decoded.layout == skerrow::DecodedValues::Layout::kColumns ? decoded.subset_count
                                                                    : decoded.subset_starts.size();
}

void check_subset_starts(const skerrow::DecodedValues& decoded) {
  if (decoded.layout != skerrow::DecodedValues::Layout::kRows) return;
  std::size_t previous = 0;
  for (const std::size_t start : decoded.subset_starts) {
    require(start >= previous && start <= decoded.values.size(), "subset starts in order");
    previous = start;
  }
}

void plain(skerrow::Octets octets) {
  auto decoded = skerrow::decode_message(octets, source());
  if (!decoded) {
    (void)decoded.error().message();
    return;
  }
  check_subset_starts(*decoded);
  for (const skerrow::DecodedValue& value : decoded->values) (void)decoded->name(value);
}

void structure(skerrow::Octets octets) {
  auto message = skerrow::decode_message_with_tables(octets, source(),
                                                     skerrow::DecodeOptions{.structure = true});
  if (!message) {
    (void)message.error().message();
    return;
  }
  const skerrow::DecodedValues& decoded = message->values;
  check_subset_starts(decoded);
  const skerrow::ValueKeys keys = skerrow::value_keys(decoded, *message->tables);
  std::vector<std::uint32_t> refers;
  const std::vector<std::string> names = skerrow::item_names(decoded, keys, &refers);
  const std::size_t items = skerrow::item_count(decoded);
  require(keys.key.size() == items && keys.unit.size() == items, "a key and a unit per item");
  require(names.size() == items && refers.size() == items, "a name and a referent per item");
  for (std::size_t i = 0; i < items; ++i) {
    require(keys.key[i] < keys.names.size() && keys.unit[i] < keys.names.size(),
            "keys and units index the names");
    require(refers[i] == skerrow::kNone || refers[i] < items, "qualifiers point at items");
  }
}

// The names to ask for: every other column's name, then (modes 2 and 3) a name
// no message has and the six-digit code of the first column's element.
std::unordered_set<std::string> wanted_names(const std::vector<skerrow::Column>& columns,
                                             unsigned mode) {
  std::unordered_set<std::string> wanted;
  for (std::size_t k = 0; k < columns.size(); k += 2) wanted.emplace(columns[k].name);
  if (mode >= 2) {
    wanted.insert("noSuchKeyInAnyTable");
    if (!columns.empty()) {
      char code[8];
      std::snprintf(code, sizeof code, "%06u", columns.front().descriptor % 1000000u);
      wanted.insert(code);
    }
  }
  return wanted;
}

void check_columns(const std::vector<skerrow::Column>& columns,
                   const skerrow::DecodedValues& decoded, std::size_t subsets) {
  std::vector<double> numbers(subsets);
  for (const skerrow::Column& column : columns) {
    require(column.rows.empty() || column.rows.size() == subsets, "a row per subset");
    const std::size_t cells = decoded.column_numbers.empty()
                                  ? decoded.values.size()
                                  : decoded.column_count * decoded.subset_count;
    for (std::size_t s = 0; s < subsets; ++s) {
      const std::size_t cell = column.cell(s);
      if (cell == skerrow::kAbsent) continue;
      require(cell < cells, "cells inside the values");
      // The package reads each cell's record for text and meanings.
      (void)decoded.name(decoded.cell(cell));
    }
    if (!column.text) skerrow::fill_numbers(column, decoded, numbers);
  }
}

void columns(skerrow::Octets octets, unsigned wanted_mode) {
  auto message = skerrow::decode_message_with_tables(
      octets, source(), skerrow::DecodeOptions{.structure = true, .columns = true, .numbers = true});
  if (!message) {
    (void)message.error().message();
    return;
  }
  const skerrow::DecodedValues& decoded = message->values;
  const skerrow::ValueKeys keys = skerrow::value_keys(decoded, *message->tables);
  const std::size_t subsets = subset_count(decoded);
  std::vector<std::string> unknown;
  // Column names view their list's buffer: the lists stay alive while used.
  const skerrow::ColumnList all_list =
      skerrow::build_columns(decoded, keys, *message->tables, nullptr, &unknown);
  const std::vector<skerrow::Column>& all = all_list.columns;
  require(unknown.empty(), "no unknown names when none are asked for");
  check_columns(all, decoded, subsets);
  if (wanted_mode == 0) return;
  const std::unordered_set<std::string> wanted = wanted_names(all, wanted_mode);
  const skerrow::ColumnList some_list =
      skerrow::build_columns(decoded, keys, *message->tables, &wanted, &unknown);
  const std::vector<skerrow::Column>& some = some_list.columns;
  require(some.size() <= all.size(), "no more wanted columns than columns");
  for (const std::string& name : unknown) require(wanted.contains(name), "unknown names were asked for");
  check_columns(some, decoded, subsets);
  // Decoding only the wanted columns (the others stepped over) gives them too.
  const skerrow::WantedKeys limited = skerrow::wanted_keys(wanted, *message->tables);
  auto stepped = skerrow::decode_message_with_tables(
      octets, source(),
      skerrow::DecodeOptions{
          .structure = true, .columns = true, .numbers = true, .keys = &limited});
  require(stepped.has_value(), "stepping over columns fails only where decoding all does");
  const skerrow::ValueKeys stepped_keys = skerrow::value_keys(stepped->values, *stepped->tables);
  const skerrow::ColumnList chosen_list =
      skerrow::build_columns(stepped->values, stepped_keys, *stepped->tables, &wanted);
  const std::vector<skerrow::Column>& chosen = chosen_list.columns;
  require(chosen.size() == some.size(), "the same wanted columns");
  check_columns(chosen, stepped->values, subsets);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto bundle = skerrow::shared_bundle(SKERROW_FUZZ_BUNDLE);
  if (!bundle) {
    std::fprintf(stderr, "%s\n", bundle.error().message().c_str());
    std::abort();
  }
  // Build every version's tables now, so that no input pays for a load.
  for (const int version : (*bundle)->versions()) {
    (void)skerrow::shared_bundled_tables(SKERROW_FUZZ_BUNDLE, version);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const skerrow::Octets stream(data, size);
  const std::size_t call = data[0] == 'B' ? size % 3 : data[0] % 3u;
  const unsigned wanted_mode = data[0] == 'B' ? 0u : (data[0] >> 2) & 3u;
  std::size_t seen = 0;
  (void)skerrow::scan_each(stream, [&](const skerrow::MessageRange& range) {
    if (seen++ >= kMaxMessages) return;
    const skerrow::Octets octets = stream.subspan(range.offset, range.length);
    switch (call) {
      case 0:
        plain(octets);
        break;
      case 1:
        structure(octets);
        break;
      default:
        columns(octets, wanted_mode);
    }
  });
  return 0;
}
