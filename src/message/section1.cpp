#include "message/section1.h"

namespace skerrow {
namespace {

constexpr Section1Field at(std::uint8_t octet, std::uint8_t width = 1) { return {octet, width}; }
constexpr Section1Field kAbsent{};

constexpr Section1Layout kEdition4{
    .edition = 4,
    .fields_length = 22,
    .master_table_number = at(4),
    .originating_centre = at(5, 2),
    .originating_subcentre = at(7, 2),
    .update_sequence_number = at(9),
    .flags = at(10),
    .data_category = at(11),
    .international_data_subcategory = at(12),
    .local_data_subcategory = at(13),
    .master_tables_version_number = at(14),
    .local_tables_version_number = at(15),
    .typical_year = at(16, 2),
    .year_of_century = kAbsent,
    .typical_month = at(18),
    .typical_day = at(19),
    .typical_hour = at(20),
    .typical_minute = at(21),
    .typical_second = at(22),
};

// Edition 3 splits the centre into one octet of subcentre and one of centre.
constexpr Section1Layout kEdition3{
    .edition = 3,
    .fields_length = 17,
    .master_table_number = at(4),
    .originating_centre = at(6),
    .originating_subcentre = at(5),
    .update_sequence_number = at(7),
    .flags = at(8),
    .data_category = at(9),
    .international_data_subcategory = kAbsent,
    .local_data_subcategory = at(10),
    .master_tables_version_number = at(11),
    .local_tables_version_number = at(12),
    .typical_year = kAbsent,
    .year_of_century = at(13),
    .typical_month = at(14),
    .typical_day = at(15),
    .typical_hour = at(16),
    .typical_minute = at(17),
    .typical_second = kAbsent,
};

// Edition 2 has a two-octet centre and no subcentre.
constexpr Section1Layout kEdition2{
    .edition = 2,
    .fields_length = 17,
    .master_table_number = at(4),
    .originating_centre = at(5, 2),
    .originating_subcentre = kAbsent,
    .update_sequence_number = at(7),
    .flags = at(8),
    .data_category = at(9),
    .international_data_subcategory = kAbsent,
    .local_data_subcategory = at(10),
    .master_tables_version_number = at(11),
    .local_tables_version_number = at(12),
    .typical_year = kAbsent,
    .year_of_century = at(13),
    .typical_month = at(14),
    .typical_day = at(15),
    .typical_hour = at(16),
    .typical_minute = at(17),
    .typical_second = kAbsent,
};

}  // namespace

const Section1Layout* section1_layout(std::uint8_t edition) {
  switch (edition) {
    case 2:
      return &kEdition2;
    case 3:
      return &kEdition3;
    case 4:
      return &kEdition4;
    default:
      return nullptr;
  }
}

std::uint16_t Section1View::operator[](Section1Field field) const {
  if (!field.present()) return 0;
  const std::size_t first = field.octet - 1u;
  if (first + field.width > octets_.size()) return 0;
  std::uint16_t value = 0;
  for (std::size_t i = 0; i < field.width; ++i) {
    value = static_cast<std::uint16_t>((value << 8) | octets_[first + i]);
  }
  return value;
}

bool Section1View::local_section_present() const {
  const std::uint16_t flags = (*this)[layout_->flags];
  return layout_->edition == 4 ? flags != 0 : (flags & 128) != 0;
}

std::uint16_t Section1View::typical_year() const {
  if (layout_->typical_year.present()) return (*this)[layout_->typical_year];
  const std::uint16_t year_of_century = (*this)[layout_->year_of_century];
  return year_of_century == 100 ? 2000 : static_cast<std::uint16_t>(2000 + year_of_century);
}

}  // namespace skerrow
