// Loading the WMO BUFR edition 4 tables in their comma-separated form: Table B
// files "BUFRCREX_TableB_en_*.csv" and Table D files "BUFR_TableD_en_*.csv".
// No code tables come from this layout.
#pragma once

#include <string>

#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// A new TableSet from the CSV files in `directory`. Errors: Io for a listing
// failure; Parse for an unreadable or malformed file (the reader's text) and
// for bad cells (the text parsers' texts).
Result<TableSet> load_wmo_csv_directory(const std::string& directory);

}  // namespace skerrow
