#include "tables/eccodes_loader.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "message/read_file.h"
#include "tables/csv.h"
#include "tables/file_system.h"
#include "tables/text_parsers.h"

namespace skerrow {
namespace {

// Calls `line(std::string_view)` for each line, split at LF; a CR before the
// LF is dropped and a last line without LF counts.
template <typename F>
Result<void> for_each_line(std::string_view text, F&& line) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view one = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!one.empty() && one.back() == '\r') one.remove_suffix(1);
    SKERROW_CHECK(line(one));
  }
  return {};
}

Result<void> parse_statement(std::string_view statement, TableSet& tables) {
  const std::size_t equals = statement.find('=');
  if (equals == std::string_view::npos) return {};  // not a definition
  std::string_view key = strip_space(statement.substr(0, equals));
  while (!key.empty() && key.front() == '"') key.remove_prefix(1);
  while (!key.empty() && key.back() == '"') key.remove_suffix(1);
  SKERROW_TRY(const std::uint32_t code, parse_descriptor_code(key));
  const std::string_view rest = statement.substr(equals + 1);
  const std::size_t open = rest.find('[');
  const std::size_t close = rest.find(']');
  // A "]" before the "[" would make the member list run backwards: the
  // statement is malformed, not empty.
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return parse_error(std::string(statement));
  }
  SequenceDefinition sequence;
  sequence.code = code;
  std::string_view list = rest.substr(open + 1, close - open - 1);
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view piece = strip_space(list.substr(0, comma));
    if (!piece.empty()) {
      SKERROW_TRY(const std::uint32_t member, parse_descriptor_code(piece));
      sequence.members.push_back(member);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  tables.insert_sequence(std::move(sequence));
  return {};
}

// A file read whole as UTF-8 text; any failure is an Io error.
Result<std::string> read_text(const std::string& path) {
  SKERROW_TRY(std::string text, read_whole_file(path, FileKind::regular));
  if (!is_valid_utf8(text)) return error::Io{0, "stream did not contain valid UTF-8"};
  return text;
}

Result<void> load_code_table_file(const std::string& path, std::uint32_t code, TableSet& tables) {
  SKERROW_TRY(const std::string text, read_text(path));
  CodeTable table;
  SKERROW_CHECK(for_each_line(text, [&](std::string_view line) -> Result<void> {
    line = strip_space(line);
    if (line.empty() || line.front() == '#') return {};
    std::string_view first;
    std::string meaning;
    std::size_t words = 0;
    for_each_word(line, [&](std::string_view word) {
      if (words == 0) {
        first = word;
      } else if (words >= 2) {
        if (!meaning.empty()) meaning += ' ';
        meaning.append(word);
      }
      ++words;
    });
    if (words < 2 || meaning.empty()) return {};
    SKERROW_TRY(const std::uint64_t raw, parse_code_table_key(first));
    table.insert_or_assign(raw, std::move(meaning));
    return {};
  }));
  tables.insert_code_table(code, std::move(table));
  return {};
}

}  // namespace

Result<void> load_element_table(const std::string& path, TableSet& tables) {
  // Real element tables mix records of 8 and 11 fields (ECMWF's local
  // tables do); only the first eight are read, so the count may vary.
  SKERROW_TRY(CsvReader reader, CsvReader::open(path, CsvOptions{'|', '#', false, true}));
  for (;;) {
    SKERROW_TRY(const bool more, reader.next());
    if (!more) break;
    if (reader.size() < 8) continue;
    SKERROW_TRY(ElementDefinition element,
                element_from_row({reader[0], reader[1], reader[2], reader[3], reader[4], reader[5],
                                  reader[6], reader[7]}));
    tables.insert_element(std::move(element));
  }
  return {};
}

Result<void> load_sequence_file(const std::string& path, TableSet& tables) {
  SKERROW_TRY(const std::string text, read_text(path));
  // Statements may run over several lines: lines are joined with one space
  // until a "]" closes the statement.
  std::string pending;
  SKERROW_CHECK(for_each_line(text, [&](std::string_view line) -> Result<void> {
    line = strip_space(line);
    if (line.empty() || line.front() == '#') return {};
    if (!pending.empty()) pending += ' ';
    pending.append(line);
    // Only the new line can hold the first "]": searching the whole pending
    // text again would make a statement that never closes cost the square
    // of its length.
    if (line.find(']') == std::string_view::npos) return {};
    const std::string statement = std::move(pending);
    pending.clear();
    return parse_statement(statement, tables);
  }));
  return {};
}

Result<void> load_code_tables(const std::string& path, TableSet& tables) {
  if (!path_exists(path)) return {};  // the directory is optional
  SKERROW_TRY(std::vector<std::string> names, list_directory(path));
  std::vector<std::string> files;
  for (std::string& name : names) {
    if (name.size() >= 6 && name.compare(name.size() - 6, 6, ".table") == 0) {
      files.push_back(std::move(name));
    }
  }
  // All entries share the directory prefix, so name order is path order.
  std::sort(files.begin(), files.end());
  for (const std::string& name : files) {
    const std::string_view stem = file_stem(name);
    if (stem.empty() || !is_valid_utf8(stem)) continue;
    SKERROW_TRY(const std::uint32_t code, parse_descriptor_code(stem));
    SKERROW_CHECK(load_code_table_file(join_path(path, name), code, tables));
  }
  return {};
}

Result<void> load_eccodes_directory(const std::string& directory, TableSet& tables) {
  SKERROW_CHECK(load_element_table(join_path(directory, "element.table"), tables));
  SKERROW_CHECK(load_sequence_file(join_path(directory, "sequence.def"), tables));
  SKERROW_CHECK(load_code_tables(join_path(directory, "codetables"), tables));
  return {};
}

Result<void> overlay_local_tables(const std::string& directory, TableSet& tables) {
  const std::string element = join_path(directory, "element.table");
  if (path_exists(element)) SKERROW_CHECK(load_element_table(element, tables));
  const std::string sequence = join_path(directory, "sequence.def");
  if (path_exists(sequence)) SKERROW_CHECK(load_sequence_file(sequence, tables));
  const std::string codes = join_path(directory, "codetables");
  if (path_exists(codes)) SKERROW_CHECK(load_code_tables(codes, tables));
  return {};
}

Result<TableSet> load_eccodes(const std::string& directory) {
  TableSet tables;
  SKERROW_CHECK(load_eccodes_directory(directory, tables));
  return tables;
}

}  // namespace skerrow
