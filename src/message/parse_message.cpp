#include "message/parse_message.h"

#include <cstring>

namespace skerrow {
namespace {

// True when offset + length fits in a buffer of `size` octets, without
// overflowing the sum.
bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

Result<std::uint32_t> read_u24(Octets bytes, std::uint64_t offset, std::uint8_t section) {
  if (!fits(offset, 3, bytes.size())) return error::Truncated{offset, section};
  const std::uint8_t* p = bytes.data() + offset;
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

Result<std::uint16_t> read_u16(Octets bytes, std::uint64_t offset) {
  if (!fits(offset, 2, bytes.size())) return error::Truncated{offset, 0};
  const std::uint8_t* p = bytes.data() + offset;
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

Result<BufrMessage> parse_message(Octets bytes) {
  const std::uint64_t len = bytes.size();
  const std::uint8_t* b = bytes.data();
  if (len <= 7) return error::TooShort{};
  if (std::memcmp(b, "BUFR", 4) != 0) return error::MissingMarker{};
  if (b[7] != 4) return error::UnsupportedEdition{b[7]};
  const std::uint64_t declared = (std::uint64_t{b[4]} << 16) | (std::uint64_t{b[5]} << 8) | b[6];
  if (declared != len) return error::LengthMismatch{declared, len};
  // Section 1 must hold its fixed fields up to octet 22 (offset 29); a buffer
  // too short for them is reported as a truncated section 1.
  if (len <= 10) return error::Truncated{8, 1};

  BufrMessage m;
  m.total_length = len;
  m.edition = 4;
  m.section1_length = (std::uint64_t{b[8]} << 16) | (std::uint64_t{b[9]} << 8) | b[10];
  const std::uint64_t s2 = 8 + m.section1_length;
  if (s2 > len) return error::Truncated{8, 1};
  if (len < 18) return error::Truncated{8, 1};
  const std::uint8_t section1_flags = b[17];
  SKERROW_TRY(m.typical_year, read_u16(bytes, 23));

  m.local_section_present = section1_flags != 0;
  if (m.local_section_present) {
    SKERROW_TRY(m.section2_length, read_u24(bytes, s2, 2));
    if (!fits(s2, m.section2_length, len)) return error::Truncated{s2, 2};
  }

  const std::uint64_t s3 = s2 + m.section2_length;
  SKERROW_TRY(m.section3_length, read_u24(bytes, s3, 3));
  if (m.section3_length < 7 || !fits(s3, m.section3_length, len)) return error::Truncated{s3, 3};
  const std::uint64_t s4 = s3 + m.section3_length;
  SKERROW_TRY(m.number_of_subsets, read_u16(bytes, s3 + 4));

  // Many producers pad section 3 to an even length, a habit from edition 3:
  // an odd descriptor area ends in one padding octet, which is ignored.
  const std::uint8_t section3_flags = b[s3 + 6];
  m.observed_data = (section3_flags & 128) != 0;
  m.compressed_data = (section3_flags & 64) != 0;
  const std::uint64_t descriptor_count = (m.section3_length - 7) / 2;
  m.unexpanded_descriptors.reserve(descriptor_count);
  for (std::uint64_t i = 0; i < descriptor_count; ++i) {
    const std::uint8_t* pair = b + s3 + 7 + 2 * i;
    m.unexpanded_descriptors.push_back(descriptor_from_octets(pair[0], pair[1]));
  }

  SKERROW_TRY(m.section4_length, read_u24(bytes, s4, 4));
  if (!fits(s4, m.section4_length, len)) return error::Truncated{s4, 4};
  const std::uint64_t s5 = s4 + m.section4_length;
  if (!fits(s5, 4, len)) return error::Truncated{s5, 5};
  if (std::memcmp(b + s5, "7777", 4) != 0) return error::BadTerminator{};

  // The fixed fields of section 1 stand at offsets up to 29; a message that
  // ends before them cannot have them.
  if (len < 30) return error::Truncated{8, 1};
  m.master_table_number = b[11];
  m.originating_centre = static_cast<std::uint16_t>((b[12] << 8) | b[13]);
  m.originating_subcentre = static_cast<std::uint16_t>((b[14] << 8) | b[15]);
  m.update_sequence_number = b[16];
  m.data_category = b[18];
  m.international_data_subcategory = b[19];
  m.local_data_subcategory = b[20];
  m.master_tables_version_number = b[21];
  m.local_tables_version_number = b[22];
  m.typical_month = b[25];
  m.typical_day = b[26];
  m.typical_hour = b[27];
  m.typical_minute = b[28];
  m.typical_second = b[29];
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = m.section4_length < 4 ? 0 : m.section4_length - 4;
  return m;
}

}  // namespace skerrow
