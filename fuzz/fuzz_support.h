// Helpers shared by the fuzz targets: a scratch directory for the inputs that
// the table loaders can only read from files, and message records built
// directly, without framing, for the targets that decode with tables taken
// from the input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "message/bufr_message.h"

namespace skerrow::fuzz {

// A private directory, created on first use and removed at exit.
const std::string& scratch_directory();

// Writes `data` to `path` whole, replacing the file. Aborts on failure: a
// target that cannot stage its input would otherwise fuzz nothing.
void write_file(const std::string& path, std::span<const std::uint8_t> data);

// A header record for `descriptors`, `subsets` subsets, compressed or not.
BufrMessage message_for(std::vector<std::uint32_t> descriptors, std::uint16_t subsets,
                        bool compressed);

// The `limit` lowest codes of a loaded table (elements() or sequences()):
// the ones a target goes on to decode or expand, in a stable order.
template <class Table>
std::vector<std::uint32_t> lowest_codes(const Table& table, std::size_t limit) {
  std::vector<std::uint32_t> codes;
  for (const auto& entry : table) codes.push_back(entry.first);
  std::sort(codes.begin(), codes.end());
  codes.resize(std::min(codes.size(), limit));
  return codes;
}

// Fixed section 4 data for the decodes above: a pattern that mixes set and
// clear bits, long enough for any single element width.
std::span<const std::uint8_t> pattern_data();

}  // namespace skerrow::fuzz
