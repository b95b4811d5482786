// Choosing and loading the WMO and local table directories of a message under
// an ecCodes definitions root.
#pragma once

#include <string>
#include <vector>

#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// The directories the tables of a message come from.
struct TableChoice {
  std::string wmo_directory;  // resolved through aliases
  // Alias files passed on the way to wmo_directory, in order.
  std::vector<std::string> alias_files;
  // The originating centre's directory for the message's local version, or
  // empty when the message names none. It may not exist.
  std::string local_directory;
};

// Chooses the directories without loading anything. Errors: those of
// resolve_table_directory for the WMO directory.
Result<TableChoice> choose_tables(const std::string& definitions_root, const BufrMessage& message);
// Loads the chosen WMO tables and lays the local files that exist over them.
Result<TableSet> load_chosen_tables(const TableChoice& choice);

// The WMO tables for the message's master table and version, with the
// originating centre's local tables (when the message names a local version
// and the tree has them) laid over them. Errors: Parse for a missing WMO
// directory or a bad alias; those of the ecCodes loader, unchanged.
Result<TableSet> load_tables_for_message(const std::string& definitions_root,
                                         const BufrMessage& message);

// A table version may stand for another through an alias: a plain file in
// place of the directory whose content names a directory beside it. Returns
// the directory `path` stands for. Errors: Parse "ecCodes table directory
// does not exist: <path>", "invalid ecCodes table alias <path> -> <alias>",
// or for more than 16 aliases in a row (a loop); Io for an unreadable alias.
// `alias_files`, when given, receives the alias files passed.
Result<std::string> resolve_table_directory(const std::string& path,
                                            std::vector<std::string>* alias_files = nullptr);

}  // namespace skerrow
