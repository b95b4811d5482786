// Measures how far real descriptor lists expand, to size the expansion's
// step bound (tables/expansion.h): every sequence of every version in a
// table bundle, then the descriptors of every message in the files given.
//
//   expansion_sizes BUNDLE [MESSAGE_FILE...]
//
// Prints the largest expansion in steps (codes visited, repeats counted)
// and in codes produced, with where each was found.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "message/scan.h"
#include "tables/bundle.h"
#include "tables/expansion.h"

namespace {

struct Largest {
  std::uint64_t steps = 0;
  std::size_t most_codes = 0;
  std::string steps_at;
  std::string codes_at;
  std::size_t expanded = 0;
  std::size_t failed = 0;

  void measure(const skerrow::TableSet& tables, const std::vector<std::uint32_t>& codes,
               const std::string& where) {
    skerrow::ExpansionState state;
    std::vector<std::uint32_t> out;
    if (!skerrow::expand_step(tables, codes, 0, state, out)) {
      ++failed;
      return;
    }
    ++expanded;
    const std::uint64_t used = skerrow::kMaxExpansionSteps - state.steps_left;
    if (used > steps) steps = used, steps_at = where;
    if (out.size() > most_codes) most_codes = out.size(), codes_at = where;
  }

  void print(const char* what) const {
    std::printf("%s: %zu expanded, %zu failed; most steps %llu (%s), most codes %zu (%s)\n", what,
                expanded, failed, static_cast<unsigned long long>(steps), steps_at.c_str(), most_codes,
                codes_at.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: expansion_sizes BUNDLE [MESSAGE_FILE...]\n");
    return 2;
  }
  auto bundle = skerrow::TableBundle::open(argv[1]);
  if (!bundle) {
    std::fprintf(stderr, "%s\n", bundle.error().message().c_str());
    return 1;
  }
  Largest sequences;
  for (const int version : bundle->versions()) {
    auto tables = bundle->tables(version);
    if (!tables) continue;
    for (const auto& [code, sequence] : tables->sequences()) {
      sequences.measure(*tables, {code},
                        "version " + std::to_string(version) + " sequence " + std::to_string(code));
    }
  }
  sequences.print("bundled sequences");

  Largest messages;
  for (int i = 2; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    const skerrow::Octets stream(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::size_t index = 0;
    (void)skerrow::scan_each(stream, [&](const skerrow::MessageRange& range) {
      const std::string where = std::string(argv[i]) + " #" + std::to_string(index++);
      auto message = skerrow::frame_message(stream.subspan(range.offset, range.length));
      if (!message) {
        ++messages.failed;
        return;
      }
      auto tables = skerrow::bundled_tables_for(argv[1], {"/usr/share/eccodes/definitions"},
                                                *message);
      if (!tables) {
        ++messages.failed;
        return;
      }
      messages.measure(**tables, message->unexpanded_descriptors, where);
    });
  }
  if (argc > 2) messages.print("messages");
  return 0;
}
