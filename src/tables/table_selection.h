// Choosing and loading the WMO and local table directories of a message under
// an ecCodes definitions root.
#pragma once

#include <string>

#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

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
Result<std::string> resolve_table_directory(const std::string& path);

}  // namespace skerrow
