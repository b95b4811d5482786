// element.table: the loader, then a decode of every loaded element (up to a
// few) alone, uncompressed and compressed, so that odd definitions (a text
// element of width 0, an extreme scale) meet the decoder as a user table
// directory would bring them to it.
#include <cstdint>
#include <span>
#include <vector>

#include "decode/decode_data.h"
#include "fuzz_support.h"
#include "tables/eccodes_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace skerrow;
  const std::string path = fuzz::scratch_directory() + "/element.table";
  fuzz::write_file(path, {data, size});
  TableSet tables;
  if (auto loaded = load_element_table(path, tables); !loaded) {
    (void)loaded.error().message();
    return 0;
  }
  const std::vector<std::uint32_t> codes = fuzz::lowest_codes(tables.elements(), 8);
  for (const std::uint32_t code : codes) {
    for (const bool compressed : {false, true}) {
      const BufrMessage message = fuzz::message_for({code, code}, 2, compressed);
      (void)decode_data(message, tables, fuzz::pattern_data());
    }
  }
  // Bitmaps over the first element, when the input defines 031031: entries
  // are read with whatever scale the input gives them.
  if (!codes.empty() && tables.element(31031) != nullptr) {
    for (const bool compressed : {false, true}) {
      for (const std::vector<std::uint32_t>& list :
           {std::vector<std::uint32_t>{codes.front(), 236000, 31031},
            std::vector<std::uint32_t>{codes.front(), 222000, 101001, 31031}}) {
        (void)decode_data(fuzz::message_for(list, 2, compressed), tables, fuzz::pattern_data());
      }
    }
  }
  return 0;
}
