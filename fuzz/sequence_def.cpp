// sequence.def: the loader, then the expansion of every loaded sequence (up
// to a few), which follows what the input nests.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "tables/eccodes_loader.h"
#include "tables/expansion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace skerrow;
  const std::string path = fuzz::scratch_directory() + "/sequence.def";
  fuzz::write_file(path, {data, size});
  TableSet tables;
  if (auto loaded = load_sequence_file(path, tables); !loaded) {
    (void)loaded.error().message();
    return 0;
  }
  for (const std::uint32_t code : fuzz::lowest_codes(tables.sequences(), 4)) {
    if (auto expanded = expand(tables, {code}); !expanded) (void)expanded.error().message();
  }
  return 0;
}
