// Decoding section 4, and expanding the message's descriptors, with real
// tables. Tables are loaded from disk once per
// table choice and kept, so each input costs a decode, not a load: from an
// ecCodes definitions tree when the machine has one, chosen by the message's
// header as the module does, else from the small table directory beside this
// file.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "decode/decode_data.h"
#include "message/scan.h"
#include "tables/eccodes_loader.h"
#include "tables/expansion.h"
#include "tables/file_system.h"
#include "tables/table_selection.h"

namespace {

constexpr const char* kDefinitionsRoot = "/usr/share/eccodes/definitions";

using TableKey = std::tuple<int, int, int, int, int>;

struct Tables {
  std::string root;  // empty when the fallback directory is used
  std::optional<skerrow::TableSet> fallback;
  std::map<TableKey, std::optional<skerrow::TableSet>> by_message;
};

Tables& tables() {
  static Tables loaded = [] {
    Tables t;
    if (skerrow::is_directory(std::string(kDefinitionsRoot) + "/bufr/tables")) {
      t.root = kDefinitionsRoot;
    } else {
      auto own = skerrow::load_eccodes(SKERROW_FUZZ_TABLES);
      if (own) t.fallback = std::move(*own);
    }
    return t;
  }();
  return loaded;
}

// Mutated headers name many table versions that do not exist; a failed
// choice is remembered too, and the number of choices is capped so that the
// cache stays small however the header fields vary.
const skerrow::TableSet* tables_for(const skerrow::BufrMessage& message) {
  Tables& t = tables();
  if (t.root.empty()) return t.fallback ? &*t.fallback : nullptr;
  const TableKey key{message.master_table_number, message.master_tables_version_number,
                     message.local_tables_version_number, message.originating_centre,
                     message.originating_subcentre};
  auto found = t.by_message.find(key);
  if (found == t.by_message.end()) {
    if (t.by_message.size() >= 256) return nullptr;
    auto loaded = skerrow::load_tables_for_message(t.root, message);
    found = t.by_message
                .emplace(key, loaded ? std::optional(std::move(*loaded)) : std::nullopt)
                .first;
  }
  return found->second ? &*found->second : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const skerrow::Octets stream(data, size);
  std::optional<skerrow::MessageRange> first;
  auto scanned = skerrow::scan_each(stream, [&](const skerrow::MessageRange& range) {
    if (!first) first = range;
  });
  if (!scanned || !first) return 0;
  const skerrow::Octets bytes = stream.subspan(first->offset, first->length);
  auto message = skerrow::parse_message(bytes);
  if (!message) return 0;
  const skerrow::TableSet* set = tables_for(*message);
  if (set == nullptr) return 0;
  if (auto expanded = skerrow::expand(*set, message->unexpanded_descriptors); !expanded) {
    (void)expanded.error().message();
  }
  const auto section4 = bytes.subspan(message->section4_data_offset, message->section4_data_length);
  if (auto values = skerrow::decode_data(*message, *set, section4)) {
    for (const skerrow::DecodedValue& value : values->values) (void)values->name(value);
  } else {
    (void)values.error().message();
  }
  return 0;
}
