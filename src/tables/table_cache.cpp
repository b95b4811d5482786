#include "tables/table_cache.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "tables/file_system.h"

namespace skerrow {
namespace {

using Signatures = std::vector<std::pair<std::string, FileSignature>>;

void add_signature(Signatures& out, std::string path) {
  FileSignature signature = file_signature(path);
  out.emplace_back(std::move(path), signature);
}

// Every file and directory whose change would change the loaded tables: the
// two table files and the code-table directory of each directory and the
// local directory itself (it may appear later), which `main` counts, then the
// hundreds of code-table files.
Signatures directory_signatures(const TableChoice& choice, std::size_t* main) {
  Signatures out;
  std::vector<std::string> code_files;
  const auto add_directory = [&](const std::string& directory) {
    add_signature(out, join_path(directory, "element.table"));
    add_signature(out, join_path(directory, "sequence.def"));
    const std::string codes = join_path(directory, "codetables");
    add_signature(out, codes);
    auto names = list_directory(codes);
    if (names) {
      for (const std::string& name : *names) code_files.push_back(join_path(codes, name));
    }
  };
  add_signature(out, choice.wmo_directory);
  add_directory(choice.wmo_directory);
  if (!choice.local_directory.empty()) {
    add_signature(out, choice.local_directory);
    if (out.back().second.exists) add_directory(choice.local_directory);
  }
  *main = out.size();
  for (std::string& path : code_files) add_signature(out, std::move(path));
  return out;
}

Signatures alias_signatures(const TableChoice& choice) {
  Signatures out;
  for (const std::string& alias : choice.alias_files) add_signature(out, alias);
  return out;
}

// True when the first `count` signatures (all by default) still hold.
bool unchanged(const Signatures& signatures, std::size_t count = SIZE_MAX) {
  count = std::min(count, signatures.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (!(file_signature(signatures[i].first) == signatures[i].second)) return false;
  }
  return true;
}

// Stating every code-table file costs about a millisecond per directory, so
// it is done on every tenth check; the table files and directories (whose
// time changes when a file is added, removed or replaced) on every check.
constexpr unsigned kFullCheckEvery = 10;

}  // namespace

struct TableCache::Loaded {
  std::shared_ptr<const TableSet> tables;
  Signatures signatures;
  std::size_t main = 0;  // the first signatures, checked every time
};

Result<std::shared_ptr<const TableSet>> TableCache::tables_for(const std::string& definitions_root,
                                                               const BufrMessage& message) {
  const Key key{definitions_root,
                message.master_table_number,
                message.master_tables_version_number,
                message.local_tables_version_number,
                message.originating_centre,
                message.originating_subcentre};
  const auto now = std::chrono::steady_clock::now();
  // One lock for lookups and loads: loads are rare, and two threads that
  // want the same tables then load them once.
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    Entry& entry = it->second;
    if (now - entry.checked < recheck_) return entry.loaded->tables;
    const bool full = ++entry.checks % kFullCheckEvery == 0;
    if (unchanged(entry.aliases) &&
        unchanged(entry.loaded->signatures, full ? SIZE_MAX : entry.loaded->main)) {
      entry.checked = now;
      return entry.loaded->tables;
    }
    entries_.erase(it);
  }
  SKERROW_TRY(const TableChoice choice, choose_tables(definitions_root, message));
  Signatures aliases = alias_signatures(choice);
  // Versions that stand for one another through aliases, and messages that
  // differ only in fields that choose no other directory, load the same
  // files: they share one load.
  // Signatures are taken before loading: a file that changes while it is
  // read is then seen as changed at the next check.
  std::size_t main = 0;
  Signatures wanted = directory_signatures(choice, &main);
  for (const auto& [other_key, other] : entries_) {
    (void)other_key;
    if (other.loaded->signatures == wanted) {
      std::shared_ptr<const Loaded> shared = other.loaded;
      entries_.emplace(key, Entry{shared, std::move(aliases), now});
      return shared->tables;
    }
  }
  SKERROW_TRY(TableSet tables, load_chosen_tables(choice));
  auto loaded = std::make_shared<Loaded>();
  loaded->tables = std::make_shared<const TableSet>(std::move(tables));
  loaded->signatures = std::move(wanted);
  loaded->main = main;
  entries_.emplace(key, Entry{loaded, std::move(aliases), now});
  return loaded->tables;
}

TableCache& TableCache::checked() {
  static TableCache* cache = new TableCache(std::chrono::milliseconds(0));
  return *cache;
}

TableCache& TableCache::shared() {
  // Never destroyed: threads may still decode while the process exits.
  static TableCache* cache = new TableCache;
  return *cache;
}

}  // namespace skerrow
