// Framing of one BUFR message: sections 0 to 5 are validated and
// the header fields of sections 1 and 3 copied out. The bytes are borrowed for
// the call only; the record keeps no reference to them.
#pragma once

#include <cstdint>
#include <span>

#include "message/bufr_message.h"
#include "message/result.h"

namespace skerrow {

using Octets = std::span<const std::uint8_t>;

// Parses exactly one message: the declared total length must equal
// bytes.size(). Errors: TooShort, MissingMarker, UnsupportedEdition,
// LengthMismatch, Truncated, BadTerminator.
Result<BufrMessage> parse_message(Octets bytes);

// Frames one message of edition 2, 3 or 4, as the package reads them: section
// 1 is read through its edition's layout and must be long enough for all of
// its fields. A field the edition lacks is 0 in the record (see
// section1_layout for which). Errors: those of parse_message, and Format for
// editions 0, 1 and above 4 and for a section 1 too short for its edition.
Result<BufrMessage> frame_message(Octets bytes);

// Three-octet big-endian integer at `offset`, or Truncated{offset, section}.
Result<std::uint32_t> read_u24(Octets bytes, std::uint64_t offset, std::uint8_t section);
// Two-octet big-endian integer at `offset`, or Truncated{offset, 0}.
Result<std::uint16_t> read_u16(Octets bytes, std::uint64_t offset);

// A section 3 octet pair as a descriptor code F*100000 + X*1000 + Y.
constexpr std::uint32_t descriptor_from_octets(std::uint8_t a, std::uint8_t b) {
  return static_cast<std::uint32_t>(a >> 6) * 100000u +
         static_cast<std::uint32_t>(a & 63u) * 1000u + b;
}

}  // namespace skerrow
