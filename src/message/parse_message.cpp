#include "message/parse_message.h"

#include <cstring>
#include <string>

#include "message/section1.h"

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

namespace {

// How strictly section 1 is read. _skerrow's own functions read edition 4
// only and take the fields at their places whatever length section 1
// declares; the package reads editions 2 to 4 and wants the declared section
// to hold every field of its edition.
enum class Section1Check { kEdition4AsDeclared, kAnyEditionComplete };

Result<BufrMessage> frame(Octets bytes, Section1Check check) {
  const bool strict = check == Section1Check::kAnyEditionComplete;
  const std::uint64_t len = bytes.size();
  const std::uint8_t* b = bytes.data();
  if (len <= 7) return error::TooShort{};
  if (std::memcmp(b, "BUFR", 4) != 0) return error::MissingMarker{};
  const Section1Layout* layout = section1_layout(b[7]);
  if (!strict && b[7] != 4) return error::UnsupportedEdition{b[7]};
  if (layout == nullptr) {
    // Editions 0 and 1 have no total length in section 0: octets 5 to 7 are
    // already section 1, so nothing after them can be framed.
    if (b[7] <= 1) {
      return error::Format{"BUFR edition " + std::to_string(b[7]) +
                           " is not supported: editions 0 and 1 carry no message length"};
    }
    return error::Format{"unsupported BUFR edition " + std::to_string(b[7]) +
                         "; editions 2, 3 and 4 are implemented"};
  }
  const std::uint64_t declared = (std::uint64_t{b[4]} << 16) | (std::uint64_t{b[5]} << 8) | b[6];
  if (declared != len) return error::LengthMismatch{declared, len};
  if (len <= 10) return error::Truncated{8, 1};

  BufrMessage m;
  m.total_length = len;
  m.edition = layout->edition;
  m.section1_length = (std::uint64_t{b[8]} << 16) | (std::uint64_t{b[9]} << 8) | b[10];
  const std::uint64_t s2 = 8 + m.section1_length;
  if (s2 > len) return error::Truncated{8, 1};
  const Section1View section1(bytes.subspan(8), *layout);
  if (strict) {
    if (m.section1_length < layout->fields_length) {
      return error::Format{"section 1 of this edition " + std::to_string(layout->edition) +
                           " message holds " + std::to_string(m.section1_length) +
                           " octets, fewer than the " + std::to_string(layout->fields_length) +
                           " its fields need"};
    }
  } else {
    // The flag octet and the year are read before section 2 is looked for.
    if (len < 18) return error::Truncated{8, 1};
    SKERROW_CHECK(read_u16(bytes, 23));
  }

  m.local_section_present = section1.local_section_present();
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

  // The fields of an edition 4 section 1 stand at message offsets up to 29;
  // a message that ends before them cannot have them.
  if (!strict && len < 30) return error::Truncated{8, 1};
  const Section1Layout& f = *layout;
  const auto u8 = [&](Section1Field field) { return static_cast<std::uint8_t>(section1[field]); };
  m.master_table_number = u8(f.master_table_number);
  m.originating_centre = section1[f.originating_centre];
  m.originating_subcentre = section1[f.originating_subcentre];
  m.update_sequence_number = u8(f.update_sequence_number);
  m.data_category = u8(f.data_category);
  m.international_data_subcategory = u8(f.international_data_subcategory);
  m.local_data_subcategory = u8(f.local_data_subcategory);
  m.master_tables_version_number = u8(f.master_tables_version_number);
  m.local_tables_version_number = u8(f.local_tables_version_number);
  m.typical_year = section1.typical_year();
  m.typical_month = u8(f.typical_month);
  m.typical_day = u8(f.typical_day);
  m.typical_hour = u8(f.typical_hour);
  m.typical_minute = u8(f.typical_minute);
  m.typical_second = u8(f.typical_second);
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = m.section4_length < 4 ? 0 : m.section4_length - 4;
  return m;
}

}  // namespace

Result<BufrMessage> parse_message(Octets bytes) {
  return frame(bytes, Section1Check::kEdition4AsDeclared);
}

Result<BufrMessage> frame_message(Octets bytes) {
  return frame(bytes, Section1Check::kAnyEditionComplete);
}

}  // namespace skerrow
