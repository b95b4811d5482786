#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace skerrow::fuzz {
namespace {

// Made on first use, removed with everything in it when the process exits.
struct ScratchDirectory {
  std::string path;
  ScratchDirectory() {
    path = (std::filesystem::temp_directory_path() / "skerrow-fuzz-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
};

}  // namespace

const std::string& scratch_directory() {
  static const ScratchDirectory directory;
  return directory.path;
}

void write_file(const std::string& path, std::span<const std::uint8_t> data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data.data(), 1, data.size(), file) != data.size() ||
      std::fclose(file) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

BufrMessage message_for(std::vector<std::uint32_t> descriptors, std::uint16_t subsets,
                        bool compressed) {
  BufrMessage message;
  message.edition = 4;
  message.number_of_subsets = subsets;
  message.observed_data = true;
  message.compressed_data = compressed;
  message.unexpanded_descriptors = std::move(descriptors);
  return message;
}

std::span<const std::uint8_t> pattern_data() {
  // 65535 bits, the widest element, fit in 8192 octets.
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> octets(3 * 8192);
    for (std::size_t i = 0; i < octets.size(); ++i) {
      octets[i] = static_cast<std::uint8_t>((i * 37u + (i >> 8)) & 0xFFu);
    }
    return octets;
  }();
  return data;
}

}  // namespace skerrow::fuzz
