// Tables chosen for messages under an ecCodes definitions root, loaded once
// per process and shared. Loading a version's tables costs milliseconds,
// decoding a small message tens of microseconds, so a stream of messages
// must not load them again for each one.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/file_system.h"
#include "tables/table_model.h"
#include "tables/table_selection.h"

namespace skerrow {

// Thread-safe; the tables handed out are immutable and stay valid as long as
// a holder keeps them, even after the cache has replaced them.
class TableCache {
 public:
  // `recheck` is how long the cache trusts what it loaded before it looks at
  // the files again: a changed table file, or a code-table file added,
  // removed or replaced, is seen on the first use after it; a code-table
  // file rewritten in place within ten such intervals.
  explicit TableCache(std::chrono::milliseconds recheck = std::chrono::seconds(1))
      : recheck_(recheck) {}

  // The tables load_tables_for_message gives `message` under
  // `definitions_root` (same errors), from the cache when they were loaded
  // before and no file they came from has changed since.
  Result<std::shared_ptr<const TableSet>> tables_for(const std::string& definitions_root,
                                                     const BufrMessage& message);

  // The cache of the process.
  static TableCache& shared();
  // A cache of the process that looks at the files on every use, for
  // callers that promise the tables as they are on disk at the call.
  static TableCache& checked();

 private:
  // What selects the tables: the root and the header fields that choose them.
  using Key = std::tuple<std::string, std::uint8_t, std::uint8_t, std::uint8_t, std::uint16_t,
                         std::uint16_t>;
  struct Loaded;
  struct Entry {
    std::shared_ptr<const Loaded> loaded;
    // The alias files that led this key to the loaded directory.
    std::vector<std::pair<std::string, FileSignature>> aliases;
    std::chrono::steady_clock::time_point checked;
    unsigned checks = 0;
  };

  const std::chrono::milliseconds recheck_;
  std::mutex mutex_;
  std::map<Key, Entry> entries_;
};

}  // namespace skerrow
