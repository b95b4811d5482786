// Decoding the data of section 4 into values.
#pragma once

#include <cstdint>
#include <span>

#include "decode/decoded_value.h"
#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// Decodes the section 4 data area (section 4 without its 4-octet header) of
// `message` with `tables`: uncompressed data subset by subset, compressed
// data for all subsets at once, laid out subset by subset either way.
// Errors: ElementNotFound, SequenceNotFound, UnsupportedReplication,
// IncompleteDelayedReplication, and Parse for invalid descriptors, nesting
// deeper than 64 levels, bitmap references outside the history, a bitmap
// longer than the elements it refers to, operators that cannot be decoded,
// scales beyond what a double can represent, the bit reader's failures, and
// the work bound and the bound on operator values (both set by the size of
// section 4).
// All or nothing. `section4_data` and `tables` are borrowed for the call.
// `options` asks for the structure (Table B entries as applied, what each
// qualifier refers to) and, for compressed data, for column layout; see
// DecodedValues. Without them the decoding records nothing beyond the values.
Result<DecodedValues> decode_data(const BufrMessage& message, const TableSet& tables,
                                  std::span<const std::uint8_t> section4_data,
                                  const DecodeOptions& options = {});

}  // namespace skerrow
