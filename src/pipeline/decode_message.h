// One decoding pipeline for every entry point: frame a message, choose its
// tables, cut out section 4 and decode it. Plain C++ without the interpreter,
// so that callers may run it on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "decode/decoded_value.h"
#include "message/bufr_message.h"
#include "message/parse_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// Where a decoding takes its tables from once the message is framed.
class TableSource {
 public:
  // One ecCodes table directory, loaded for each decoding.
  static TableSource directory(std::string path) { return {Kind::kDirectory, std::move(path)}; }
  // Tables the caller holds and keeps alive for the decoding.
  static TableSource given(const TableSet& tables) { return {Kind::kGiven, {}, &tables}; }
  // The tables that fit the message under an ecCodes definitions root,
  // loaded for each decoding.
  static TableSource definitions(std::string root) { return {Kind::kDefinitions, std::move(root)}; }
  // The same choice, from the process's table cache.
  static TableSource cached_definitions(std::string root) {
    return {Kind::kCachedDefinitions, std::move(root)};
  }
  // The same choice from a cache that checks every table file on each use,
  // so a changed file is always read again (TableCache::checked).
  static TableSource checked_definitions(std::string root) {
    return {Kind::kCheckedDefinitions, std::move(root)};
  }
  // The WMO tables of the message's version from a table bundle, with local
  // tables from the first of `local_roots` (ecCodes definitions roots) that
  // has them; built once per process (tables/bundle.h).
  static TableSource bundled(std::string bundle_path, std::vector<std::string> local_roots) {
    TableSource source{Kind::kBundled, std::move(bundle_path)};
    source.local_roots_ = std::move(local_roots);
    return source;
  }

  // The tables for `message`; errors are those of the loaders and of table
  // selection.
  Result<std::shared_ptr<const TableSet>> tables_for(const BufrMessage& message) const;

 private:
  enum class Kind {
    kDirectory,
    kGiven,
    kDefinitions,
    kCachedDefinitions,
    kCheckedDefinitions,
    kBundled
  };
  TableSource(Kind kind, std::string path, const TableSet* tables = nullptr)
      : kind_(kind), path_(std::move(path)), tables_(tables) {}

  Kind kind_;
  std::string path_;
  const TableSet* tables_;
  std::vector<std::string> local_roots_;
};

// Decodes section 4 of a framed message: `message_octets` are the octets the
// record was framed from.
Result<DecodedValues> decode_framed(Octets message_octets, const BufrMessage& message,
                                    const TableSet& tables, const DecodeOptions& options = {});

// The decoding of _skerrow's functions: the whole stream is scanned first (a
// broken later message fails the call although only the first one is
// decoded), the first message is parsed as edition 4, its tables are taken
// from `source`, and its data decoded. No message at all is MissingMarker.
Result<DecodedValues> decode_first_message(Octets stream, const TableSource& source);

// The package's decoding of one message of edition 2, 3 or 4: exactly the
// octets of one message, framed with frame_message.
Result<DecodedValues> decode_message(Octets message_octets, const TableSource& source);

// The same, keeping the header and the tables for work on the values.
struct DecodedMessage {
  BufrMessage header;
  std::shared_ptr<const TableSet> tables;
  DecodedValues values;
};
Result<DecodedMessage> decode_message_with_tables(Octets message_octets, const TableSource& source,
                                                  const DecodeOptions& options = {});

}  // namespace skerrow
