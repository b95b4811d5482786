// Section 1 of a BUFR message, read as named fields at octet positions
// counted from the start of the section. Editions 2, 3 and 4 lay the same
// information out differently (edition 4 widened the centre fields, added an
// international data subcategory and seconds, and writes the full year), so
// each edition has its own layout and the readers never use message offsets.
#pragma once

#include <cstdint>
#include <span>

namespace skerrow {

// Where one field stands in section 1: its first octet (1-based, as WMO
// numbers them) and its width in octets. Octet 0 means the edition has no
// such field.
struct Section1Field {
  std::uint8_t octet = 0;
  std::uint8_t width = 1;
  constexpr bool present() const { return octet != 0; }
};

struct Section1Layout {
  std::uint8_t edition;
  // The octets the fields below need: a shorter section cannot hold them.
  std::uint8_t fields_length;
  Section1Field master_table_number;
  Section1Field originating_centre;
  Section1Field originating_subcentre;
  Section1Field update_sequence_number;
  Section1Field flags;
  Section1Field data_category;
  Section1Field international_data_subcategory;
  Section1Field local_data_subcategory;
  Section1Field master_tables_version_number;
  Section1Field local_tables_version_number;
  Section1Field typical_year;     // the full year (edition 4)
  Section1Field year_of_century;  // editions 2 and 3 write only this
  Section1Field typical_month;
  Section1Field typical_day;
  Section1Field typical_hour;
  Section1Field typical_minute;
  Section1Field typical_second;
};

// The layout of section 1 in `edition`, or nullptr for an edition other than
// 2, 3 or 4.
const Section1Layout* section1_layout(std::uint8_t edition);

// The fields of one section 1. The view reads the octets it is given, from
// the first octet of the section on; a field whose octets lie beyond them
// reads as 0, as does a field the edition lacks. Callers that must not read
// past the declared section length check fields_length against it first.
class Section1View {
 public:
  Section1View(std::span<const std::uint8_t> from_section_start, const Section1Layout& layout)
      : octets_(from_section_start), layout_(&layout) {}

  const Section1Layout& layout() const { return *layout_; }
  std::uint16_t operator[](Section1Field field) const;

  // The section 2 flag: edition 4 takes any non-zero flag octet as "section 2
  // present"; editions 2 and 3 define only bit 1 (value 128) for it.
  bool local_section_present() const;
  // The year: edition 4 stores it; editions 2 and 3 store the year of the
  // century, read as a year of the 21st century, except that 100 is WMO's
  // way of writing 2000.
  std::uint16_t typical_year() const;

 private:
  std::span<const std::uint8_t> octets_;
  const Section1Layout* layout_;
};

}  // namespace skerrow
