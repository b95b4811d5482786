// A code table file of the codetables directory, then the meaning lookup of
// a few raw values in what it loaded.
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "tables/eccodes_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace skerrow;
  const std::string directory = fuzz::scratch_directory() + "/codetables";
  std::filesystem::create_directories(directory);
  fuzz::write_file(directory + "/1003.table", {data, size});
  TableSet tables;
  if (auto loaded = load_code_tables(directory, tables); !loaded) {
    (void)loaded.error().message();
    return 0;
  }
  for (const std::uint64_t raw : {0ull, 1ull, 2ull, 255ull, ~0ull}) (void)tables.meaning(1003, raw);
  return 0;
}
