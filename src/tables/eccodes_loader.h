// Loading one ecCodes table directory: element.table, sequence.def and an
// optional codetables directory.
#pragma once

#include <string>

#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// Runs the three steps below on `directory`, into `tables`.
Result<void> load_eccodes_directory(const std::string& directory, TableSet& tables);
// A new TableSet loaded from `directory`.
Result<TableSet> load_eccodes(const std::string& directory);

// The single steps, each on its own path (table selection lays local files
// over the WMO ones with them).
Result<void> load_element_table(const std::string& path, TableSet& tables);
Result<void> load_sequence_file(const std::string& path, TableSet& tables);
Result<void> load_code_tables(const std::string& path, TableSet& tables);

// Lays a local table directory over `tables`: each of its files is optional,
// and a local entry replaces the entry with the same code whole.
Result<void> overlay_local_tables(const std::string& directory, TableSet& tables);

}  // namespace skerrow
