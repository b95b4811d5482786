#include "tables/wmo_csv_loader.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tables/csv.h"
#include "tables/file_system.h"
#include "tables/text_parsers.h"

namespace skerrow {
namespace {

// The WMO files carry a header row that fixes every file's field count.
constexpr CsvOptions kWmoCsv{',', '\0', true, false};

Result<std::vector<std::string>> matching_files(const std::string& directory,
                                                std::string_view prefix) {
  SKERROW_TRY(std::vector<std::string> names, list_directory(directory));
  std::vector<std::string> files;
  for (const std::string& name : names) {
    if (name.size() >= prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - 4, 4, ".csv") == 0) {
      files.push_back(join_path(directory, name));
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The value kind follows from the unit, compared exactly.
const char* element_type_of(std::string_view unit) {
  if (unit == "Code table") return "code";
  if (unit == "Flag table") return "flags";
  if (unit == "CCITT IA5") return "string";
  return "long";
}

Result<void> load_table_b(const std::string& path, TableSet& tables) {
  SKERROW_TRY(CsvReader reader, CsvReader::open(path, kWmoCsv));
  for (;;) {
    SKERROW_TRY(const bool more, reader.next());
    if (!more) return {};
    if (reader.size() < 8) continue;
    // No abbreviation in this layout; the kind follows from the unit.
    SKERROW_TRY(ElementDefinition element,
                element_from_row({reader[2], {}, element_type_of(reader[4]), reader[3], reader[4],
                                  reader[5], reader[6], reader[7]}));
    tables.insert_element(std::move(element));
  }
}

Result<void> load_table_d(const std::string& path, TableSet& tables) {
  SKERROW_TRY(CsvReader reader, CsvReader::open(path, kWmoCsv));
  // One member per row; rows of one sequence need not be adjacent, so the
  // members are grouped for the whole file first, in first-seen order.
  std::vector<SequenceDefinition> grouped;
  std::unordered_map<std::uint32_t, std::size_t> index;
  for (;;) {
    SKERROW_TRY(const bool more, reader.next());
    if (!more) break;
    if (reader.size() < 6) continue;
    SKERROW_TRY(const std::uint32_t code, parse_descriptor_code(reader[2]));
    SKERROW_TRY(const std::uint32_t member, parse_descriptor_code(reader[5]));
    auto [it, added] = index.try_emplace(code, grouped.size());
    if (added) grouped.push_back(SequenceDefinition{code, {}});
    grouped[it->second].members.push_back(member);
  }
  for (SequenceDefinition& sequence : grouped) tables.insert_sequence(std::move(sequence));
  return {};
}

}  // namespace

Result<TableSet> load_wmo_csv_directory(const std::string& directory) {
  TableSet tables;
  SKERROW_TRY(const auto b_files, matching_files(directory, "BUFRCREX_TableB_en_"));
  for (const std::string& path : b_files) SKERROW_CHECK(load_table_b(path, tables));
  SKERROW_TRY(const auto d_files, matching_files(directory, "BUFR_TableD_en_"));
  for (const std::string& path : d_files) SKERROW_CHECK(load_table_d(path, tables));
  return tables;
}

}  // namespace skerrow
