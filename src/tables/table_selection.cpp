#include "tables/table_selection.h"

#include <string_view>

#include "message/read_file.h"
#include "tables/csv.h"
#include "tables/eccodes_loader.h"
#include "tables/file_system.h"
#include "tables/text_parsers.h"

namespace skerrow {
namespace {

// Alias files may name each other in a circle; real trees chain at most one
// or two, so 16 hops is far more than any legitimate chain.
constexpr int kMaxAliasHops = 16;

DecodeError missing_directory(const std::string& path) {
  return parse_error("ecCodes table directory does not exist: " + path);
}

// The parent of `path`, or false for a path without one ("/", "").
bool parent_of(std::string_view path, std::string* parent) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return false;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    parent->clear();  // a relative name: its parent is the current directory
  } else if (slash == 0) {
    *parent = "/";
  } else {
    *parent = std::string(path.substr(0, slash));
  }
  return true;
}

}  // namespace

Result<std::string> resolve_table_directory(const std::string& start,
                                            std::vector<std::string>* alias_files) {
  std::string path = start;
  for (int hop = 0;; ++hop) {
    if (is_directory(path)) return path;
    if (!is_regular_file(path)) return missing_directory(path);
    if (hop == kMaxAliasHops) {
      return parse_error("ecCodes table aliases starting at " + start +
                         " loop or chain more than " + std::to_string(kMaxAliasHops) + " times");
    }
    if (alias_files != nullptr) alias_files->push_back(path);
    SKERROW_TRY(const std::string text, read_whole_file(path, FileKind::regular));
    if (!is_valid_utf8(text)) return error::Io{0, "stream did not contain valid UTF-8"};
    const std::string alias(strip_space(text));
    if (alias.empty() || alias.find('/') != std::string::npos ||
        alias.find('\\') != std::string::npos) {
      return parse_error("invalid ecCodes table alias " + path + " -> " + alias);
    }
    std::string parent;
    if (!parent_of(path, &parent)) return missing_directory(path);
    path = join_path(parent, alias);
  }
}

Result<TableChoice> choose_tables(const std::string& definitions_root,
                                 const BufrMessage& message) {
  const std::string tables_dir = join_path(join_path(join_path(definitions_root, "bufr"), "tables"),
                                           std::to_string(message.master_table_number));
  TableChoice choice;
  SKERROW_TRY(choice.wmo_directory,
              resolve_table_directory(
                  join_path(join_path(tables_dir, "wmo"),
                            std::to_string(message.master_tables_version_number)),
                  &choice.alias_files));
  if (message.local_tables_version_number == 0) return choice;
  // Version 19 of the master table names its local tables "19-<local>".
  std::string local_name = std::to_string(message.local_tables_version_number);
  if (message.master_tables_version_number == 19) local_name.insert(0, "19-");
  choice.local_directory =
      join_path(join_path(join_path(join_path(tables_dir, "local"), local_name),
                          std::to_string(message.originating_centre)),
                std::to_string(message.originating_subcentre));
  return choice;
}

Result<TableSet> load_chosen_tables(const TableChoice& choice) {
  TableSet tables;
  SKERROW_CHECK(load_eccodes_directory(choice.wmo_directory, tables));
  const std::string& local = choice.local_directory;
  if (local.empty() || !path_exists(local)) return tables;
  SKERROW_CHECK(overlay_local_tables(local, tables));
  return tables;
}

Result<TableSet> load_tables_for_message(const std::string& definitions_root,
                                         const BufrMessage& message) {
  SKERROW_TRY(const TableChoice choice, choose_tables(definitions_root, message));
  return load_chosen_tables(choice);
}

}  // namespace skerrow
