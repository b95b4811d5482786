#include "tables/table_cache.h"

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
// two table files and the code-table directory and files of each directory,
// and the local directory itself (it may appear later).
Signatures directory_signatures(const TableChoice& choice) {
  Signatures out;
  const auto add_directory = [&](const std::string& directory) {
    add_signature(out, join_path(directory, "element.table"));
    add_signature(out, join_path(directory, "sequence.def"));
    const std::string codes = join_path(directory, "codetables");
    add_signature(out, codes);
    auto names = list_directory(codes);
    if (names) {
      for (const std::string& name : *names) add_signature(out, join_path(codes, name));
    }
  };
  add_signature(out, choice.wmo_directory);
  add_directory(choice.wmo_directory);
  if (!choice.local_directory.empty()) {
    add_signature(out, choice.local_directory);
    if (out.back().second.exists) add_directory(choice.local_directory);
  }
  return out;
}

Signatures alias_signatures(const TableChoice& choice) {
  Signatures out;
  for (const std::string& alias : choice.alias_files) add_signature(out, alias);
  return out;
}

bool unchanged(const Signatures& signatures) {
  for (const auto& [path, signature] : signatures) {
    if (!(file_signature(path) == signature)) return false;
  }
  return true;
}

}  // namespace

struct TableCache::Loaded {
  std::shared_ptr<const TableSet> tables;
  Signatures signatures;
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
    if (unchanged(entry.aliases) && unchanged(entry.loaded->signatures)) {
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
  Signatures wanted = directory_signatures(choice);
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
  entries_.emplace(key, Entry{loaded, std::move(aliases), now});
  return loaded->tables;
}

TableCache& TableCache::shared() {
  // Never destroyed: threads may still decode while the process exits.
  static TableCache* cache = new TableCache;
  return *cache;
}

}  // namespace skerrow
