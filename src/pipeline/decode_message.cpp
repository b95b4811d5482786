#include "pipeline/decode_message.h"

#include <optional>

#include "decode/decode_data.h"
#include "message/scan.h"
#include "tables/bundle.h"
#include "tables/eccodes_loader.h"
#include "tables/table_cache.h"
#include "tables/table_selection.h"

namespace skerrow {
namespace {

std::shared_ptr<const TableSet> owned(TableSet&& tables) {
  return std::make_shared<const TableSet>(std::move(tables));
}

}  // namespace

Result<std::shared_ptr<const TableSet>> TableSource::tables_for(const BufrMessage& message) const {
  switch (kind_) {
    case Kind::kDirectory: {
      SKERROW_TRY(TableSet tables, load_eccodes(path_));
      return owned(std::move(tables));
    }
    case Kind::kGiven:
      // Not owned: the caller keeps the tables alive for the call.
      return std::shared_ptr<const TableSet>(std::shared_ptr<const TableSet>{}, tables_);
    case Kind::kDefinitions: {
      SKERROW_TRY(TableSet tables, load_tables_for_message(path_, message));
      return owned(std::move(tables));
    }
    case Kind::kCachedDefinitions:
      return TableCache::shared().tables_for(path_, message);
    case Kind::kCheckedDefinitions:
      return TableCache::checked().tables_for(path_, message);
    case Kind::kBundled:
      return bundled_tables_for(path_, local_roots_, message);
  }
  return parse_error("unknown table source");
}

Result<DecodedValues> decode_framed(Octets message_octets, const BufrMessage& message,
                                    const TableSet& tables, const DecodeOptions& options) {
  const Octets section4 =
      message_octets.subspan(message.section4_data_offset, message.section4_data_length);
  return decode_data(message, tables, section4, options);
}

Result<DecodedValues> decode_first_message(Octets stream, const TableSource& source) {
  std::optional<MessageRange> first;
  SKERROW_CHECK(scan_each(stream, [&](const MessageRange& range) {
    if (!first) first = range;
  }));
  if (!first) return error::MissingMarker{};
  const Octets octets = stream.subspan(first->offset, first->length);
  SKERROW_TRY(const BufrMessage message, parse_message(octets));
  SKERROW_TRY(const std::shared_ptr<const TableSet> tables, source.tables_for(message));
  return decode_framed(octets, message, *tables);
}

Result<DecodedValues> decode_message(Octets message_octets, const TableSource& source) {
  SKERROW_TRY(DecodedMessage decoded, decode_message_with_tables(message_octets, source));
  return std::move(decoded.values);
}

Result<DecodedMessage> decode_message_with_tables(Octets message_octets, const TableSource& source,
                                                  const DecodeOptions& options) {
  DecodedMessage out;
  SKERROW_TRY(out.header, frame_message(message_octets));
  SKERROW_TRY(out.tables, source.tables_for(out.header));
  SKERROW_TRY(out.values, decode_framed(message_octets, out.header, *out.tables, options));
  return out;
}

}  // namespace skerrow
