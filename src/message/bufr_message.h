// The header record of one parsed BUFR message (edition 4 for _skerrow;
// editions 2 and 3 too for the package, with their absent fields 0).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skerrow {

struct BufrMessage {
  std::uint64_t total_length = 0;
  std::uint8_t edition = 0;
  std::uint64_t section1_length = 0;
  std::uint8_t master_table_number = 0;
  std::uint16_t originating_centre = 0;
  std::uint16_t originating_subcentre = 0;
  std::uint8_t update_sequence_number = 0;
  bool local_section_present = false;
  std::uint8_t data_category = 0;
  std::uint8_t international_data_subcategory = 0;
  std::uint8_t local_data_subcategory = 0;
  std::uint8_t master_tables_version_number = 0;
  std::uint8_t local_tables_version_number = 0;
  std::uint16_t typical_year = 0;
  std::uint8_t typical_month = 0;
  std::uint8_t typical_day = 0;
  std::uint8_t typical_hour = 0;
  std::uint8_t typical_minute = 0;
  std::uint8_t typical_second = 0;
  std::uint64_t section2_length = 0;
  std::uint64_t section3_length = 0;
  std::uint16_t number_of_subsets = 0;
  bool observed_data = false;
  bool compressed_data = false;
  std::vector<std::uint32_t> unexpanded_descriptors;
  std::uint64_t section4_length = 0;
  std::uint64_t section4_data_offset = 0;
  std::uint64_t section4_data_length = 0;
};

// "BufrMessage(edition=4, length=246, subsets=1, descriptors=[307080, 1001])"
std::string message_text(const BufrMessage& message);

}  // namespace skerrow
