// The WMO tables of every master table version, bundled with the package in
// one text file (written by tools/build_tables.py). Successive versions share
// nearly every entry, so each distinct entry is stored once with the first and
// last version it belongs to; loading a version keeps the entries whose range
// holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

class TableBundle {
 public:
  // Reads and checks the file: its first line, its version list and its
  // last line (so a cut file is refused here). Errors are Parse errors that
  // name the path: "cannot read the bundled WMO tables <path>: <reason>" or
  // "the bundled WMO tables <path> are damaged: line N: <what>".
  static Result<TableBundle> open(const std::string& path);
  static Result<TableBundle> from_text(std::string path, std::string text);

  // The bundled master table versions, ascending.
  const std::vector<int>& versions() const { return versions_; }
  int newest() const { return versions_.back(); }
  bool has_version(int version) const;

  // The tables of one bundled version (ecCodes element keys and code tables
  // included). A version that is not bundled, or a damaged entry, is a Parse
  // error.
  Result<TableSet> tables(int version) const;

  const std::string& path() const { return path_; }

 private:
  TableBundle(std::string path, std::shared_ptr<const char> storage, std::string_view text)
      : path_(std::move(path)), storage_(std::move(storage)), text_(text) {}
  static Result<TableBundle> from_storage(std::string path, std::shared_ptr<const char> storage,
                                          std::string_view text);
  DecodeError damaged(std::size_t line, const std::string& what) const;

  // Where an entry's line is, and the versions it belongs to.
  struct Entry {
    std::uint32_t offset;
    std::uint16_t length;
    std::uint8_t first;
    std::uint8_t last;
  };

  std::string path_;
  std::shared_ptr<const char> storage_;  // owns the octets text_ views
  std::string_view text_;
  std::vector<int> versions_;
  std::vector<Entry> entries_;  // entry i is on line i + 3
};

// Which bundled version reads a message of `master_version`: the version
// itself when bundled, the newest when the message is newer than it
// (`newer` is then set). Older or missing versions are a Parse error that
// lists what is bundled.
Result<int> choose_bundled_version(const TableBundle& bundle, int master_version, bool* newer);

// The directory of the originating centre's local tables for `message` under
// the ecCodes definitions root `root` (it may not exist), or empty when the
// message names no local tables (local version 0).
std::string local_table_directory(const std::string& root, const BufrMessage& message);

// The tables of a message: the bundled WMO tables of its master version (or
// the newest, for a newer message), with the local tables of the first root
// of `local_roots` that has a directory for the message laid over them (a
// local entry replaces the WMO entry with its code). Built once per process
// for each (bundle, version, local directory); local files are read once.
// Errors: those of the bundle, of choose_bundled_version, of the ecCodes
// loader on the local files, and a Parse error for a master table other than
// 0, the only one WMO publishes these tables for.
Result<std::shared_ptr<const TableSet>> bundled_tables_for(
    const std::string& bundle_path, const std::vector<std::string>& local_roots,
    const BufrMessage& message);

// The process-wide cache: each bundle file is read once and each version's
// tables are built once, whatever thread asks. Errors are not cached.
Result<std::shared_ptr<const TableBundle>> shared_bundle(const std::string& path);
Result<std::shared_ptr<const TableSet>> shared_bundled_tables(const std::string& path, int version);

}  // namespace skerrow
