// The WMO CSV layout: the input serves as both a Table B and a Table D file,
// so each input exercises both readings of the same records.
#include <cstdint>
#include <filesystem>

#include "fuzz_support.h"
#include "tables/wmo_csv_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace skerrow;
  const std::string directory = fuzz::scratch_directory() + "/wmo";
  std::filesystem::create_directories(directory);
  fuzz::write_file(directory + "/BUFRCREX_TableB_en_00.csv", {data, size});
  fuzz::write_file(directory + "/BUFR_TableD_en_00.csv", {data, size});
  if (auto loaded = load_wmo_csv_directory(directory); !loaded) (void)loaded.error().message();
  return 0;
}
