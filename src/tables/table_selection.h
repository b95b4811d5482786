// Choosing and loading the WMO and local table directories of a message under
// an ecCodes definitions root.
#pragma once

#include <string>

#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

Result<TableSet> load_tables_for_message(const std::string& definitions_root,
                                         const BufrMessage& message);

}  // namespace skerrow
