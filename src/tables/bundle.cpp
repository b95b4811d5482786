#include "tables/bundle.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "message/read_file.h"
#include "tables/csv.h"
#include "tables/eccodes_loader.h"
#include "tables/file_system.h"
#include "tables/text_parsers.h"

namespace skerrow {
namespace {

constexpr std::string_view kMagic = "skerrow-wmo-tables\t1";
constexpr std::string_view kVersionsTag = "versions\t";
constexpr std::string_view kEndTag = "end\t";

// Splits `line` at tabs into `fields` (reused between lines).
void split_tabs(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

// A master table version: 0 to 255, plain digits.
bool parse_version(std::string_view text, int* version) {
  if (text.empty() || text.size() > 3) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *version);
  return ec == std::errc() && end == text.data() + text.size() && *version <= 255;
}

// The line at `pos` without its terminator; `pos` moves past it.
std::string_view next_line(std::string_view text, std::size_t* pos) {
  const std::size_t start = *pos;
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  *pos = end < text.size() ? end + 1 : end;
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string version_list_text(const std::vector<int>& versions) {
  // Runs of consecutive versions print as "13 to 46".
  std::string out;
  for (std::size_t i = 0; i < versions.size();) {
    std::size_t j = i;
    while (j + 1 < versions.size() && versions[j + 1] == versions[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(versions[i]);
    if (j > i) out += " to " + std::to_string(versions[j]);
    i = j + 1;
  }
  return out;
}

// "K<TAB>first<TAB>last<TAB>..." with K one character and both versions
// 0 to 255, first <= last.
bool read_range(std::string_view line, int* first, int* last) {
  if (line.size() < 2 || line[1] != '\t' || line.size() > UINT32_MAX) return false;
  std::size_t pos = 2;
  for (int* version : {first, last}) {
    const std::size_t tab = line.find('\t', pos);
    if (tab == std::string_view::npos || !parse_version(line.substr(pos, tab - pos), version)) {
      return false;
    }
    pos = tab + 1;
  }
  return *first <= *last;
}

// The offset of the first line of `text` that is not valid UTF-8, or npos.
// Nearly all of the file is ASCII, so it is checked eight octets at a time
// and only lines holding other octets are decoded.
std::size_t first_line_not_utf8(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint64_t word = 0;
    if (text.size() - i >= sizeof word) {
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & kHighBits) == 0) {
        i += sizeof word;
        continue;
      }
    } else if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t previous_break = text.rfind('\n', i);
    const std::size_t start = previous_break == std::string_view::npos ? 0 : previous_break + 1;
    std::size_t end = text.find('\n', i);
    if (end == std::string_view::npos) end = text.size();
    if (!is_valid_utf8(text.substr(start, end - start))) return start;
    i = end;
  }
  return std::string_view::npos;
}

#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;  // systems without it fault the pages in as they are read
#endif

// The octets of the bundle file and their count. The file is read into
// memory mapped and populated in one call: faulting in its pages one by one
// costs more than reading it on small virtual machines, and the bundle is
// read on the first decoding of a process. A copy rather than a mapping of
// the file itself, so that a file replaced in place cannot fault later reads.
Result<std::pair<std::shared_ptr<const char>, std::size_t>> read_bundle_file(
    const std::string& path) {
  if (has_nul(path)) return nul_in_path();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  struct stat info {};
  void* region = MAP_FAILED;
  std::size_t size = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    size = static_cast<std::size_t>(info.st_size);
    region = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | kPopulate,
                    -1, 0);
  }
  if (region == MAP_FAILED) {
    ::close(fd);
    SKERROW_TRY(std::string text, read_whole_file(path));
    auto holder = std::make_shared<const std::string>(std::move(text));
    return std::make_pair(std::shared_ptr<const char>(holder, holder->data()), holder->size());
  }
  std::shared_ptr<const char> storage(static_cast<const char*>(region), [size](const char* p) {
    ::munmap(const_cast<char*>(p), size);
  });
  std::size_t used = 0;
  while (used < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(region) + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      return os_error(code);
    }
    if (n == 0) break;  // the file shrank: the closing-line check will tell
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return std::make_pair(std::move(storage), used);
}

// A parser's reason without the prefix every Parse error shows.
std::string reason(const DecodeError& error) {
  if (const auto* parse = std::get_if<error::Parse>(&error.variant())) return parse->message;
  return error.message();
}

}  // namespace

DecodeError TableBundle::damaged(std::size_t line, const std::string& what) const {
  return parse_error("the bundled WMO tables " + path_ + " are damaged: line " +
                     std::to_string(line) + ": " + what);
}

Result<TableBundle> TableBundle::open(const std::string& path) {
  auto storage = read_bundle_file(path);
  if (!storage) {
    return parse_error("cannot read the bundled WMO tables " + path + ": " +
                       std::move(storage).error().message());
  }
  const std::string_view text(storage->first.get(), storage->second);
  return from_storage(path, std::move(storage->first), text);
}

Result<TableBundle> TableBundle::from_text(std::string path, std::string text) {
  auto holder = std::make_shared<const std::string>(std::move(text));
  const std::string_view view = *holder;
  return from_storage(std::move(path), std::shared_ptr<const char>(holder, holder->data()), view);
}

Result<TableBundle> TableBundle::from_storage(std::string path, std::shared_ptr<const char> storage,
                                              std::string_view text) {
  TableBundle bundle(std::move(path), std::move(storage), text);
  const std::string_view all = bundle.text_;
  // Entries keep 32-bit offsets; the real file is about a megabyte.
  if (all.size() > UINT32_MAX) return bundle.damaged(1, "the file is too large");
  // Texts reach Python as str, error texts included.
  const std::size_t bad = first_line_not_utf8(all);
  if (bad != std::string_view::npos) {
    const auto line =
        1 + std::count(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(bad), '\n');
    return bundle.damaged(static_cast<std::size_t>(line), "text that is not valid UTF-8");
  }
  std::size_t pos = 0;
  if (next_line(all, &pos) != kMagic) {
    return bundle.damaged(1, "not a skerrow table bundle of format 1");
  }
  const std::string_view versions = next_line(all, &pos);
  if (!versions.starts_with(kVersionsTag)) return bundle.damaged(2, "no version list");
  std::string_view rest = versions.substr(kVersionsTag.size());
  while (!rest.empty()) {
    const std::size_t space = std::min(rest.find(' '), rest.size());
    int version = 0;
    if (!parse_version(rest.substr(0, space), &version) ||
        (!bundle.versions_.empty() && version <= bundle.versions_.back())) {
      return bundle.damaged(2, "bad version list");
    }
    bundle.versions_.push_back(version);
    rest.remove_prefix(std::min(space + 1, rest.size()));
  }
  if (bundle.versions_.empty()) return bundle.damaged(2, "no versions");

  // One pass reads each entry's kind and version range, so that loading a
  // version visits only its own entries. The closing line counts the
  // entries: a cut or padded file shows here.
  bundle.entries_.reserve(static_cast<std::size_t>(std::count(all.begin() + pos, all.end(), '\n')));
  std::size_t line_number = 3;
  for (; pos < all.size(); ++line_number) {
    const std::size_t start = pos;
    const std::string_view line = next_line(all, &pos);
    if (line.starts_with(kEndTag)) {
      std::size_t declared = 0;
      const std::string_view count = line.substr(kEndTag.size());
      const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), declared);
      if (ec != std::errc() || end != count.data() + count.size() ||
          declared != bundle.entries_.size() ||
          all.substr(pos).find_first_not_of("\r\n") != std::string_view::npos) {
        break;
      }
      return bundle;
    }
    if (line.size() > UINT16_MAX) return bundle.damaged(line_number, "the line is too long");
    Entry entry{static_cast<std::uint32_t>(start), static_cast<std::uint16_t>(line.size()), 0, 0};
    int first = 0;
    int last = 0;
    if (!read_range(line, &first, &last)) return bundle.damaged(line_number, "bad entry");
    entry.first = static_cast<std::uint8_t>(first);
    entry.last = static_cast<std::uint8_t>(last);
    bundle.entries_.push_back(entry);
  }
  return bundle.damaged(line_number, "the file is cut short or its closing line is wrong");
}

bool TableBundle::has_version(int version) const {
  return std::binary_search(versions_.begin(), versions_.end(), version);
}

Result<TableSet> TableBundle::tables(int version) const {
  if (!has_version(version)) {
    return parse_error("no bundled WMO tables for master table version " + std::to_string(version) +
                       " in " + path_);
  }
  TableSet tables;
  // Code-table entries come grouped by element code: each table is filled
  // in place and handed over when the next code starts.
  std::uint32_t table_code = 0;
  CodeTable table;
  const auto hand_over = [&] {
    if (!table.empty()) tables.insert_code_table(table_code, std::move(table));
    table = CodeTable{};
  };
  std::vector<std::string_view> fields;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    const Entry& entry = entries_[index];
    if (version < entry.first || version > entry.last) continue;
    const std::size_t line_number = index + 3;
    const std::string_view line = text_.substr(entry.offset, entry.length);
    split_tabs(line, fields);
    if (fields.size() < 4) return damaged(line_number, "bad entry");
    auto code = parse_descriptor_code(fields[3]);
    if (!code) return damaged(line_number, reason(code.error()));
    switch (fields[0][0]) {
      case 'B': {
        if (fields.size() != 11) return damaged(line_number, "an element needs 11 fields");
        auto scale = parse_i32(fields[8]);
        auto reference = parse_i64(fields[9]);
        auto width = parse_u16(fields[10]);
        if (!scale) return damaged(line_number, reason(scale.error()));
        if (!reference) return damaged(line_number, reason(reference.error()));
        if (!width) return damaged(line_number, reason(width.error()));
        tables.insert_element(ElementDefinition{
            *code, std::string(fields[4]), std::string(fields[5]), std::string(fields[6]),
            std::string(fields[7]), *scale, *reference, *width});
        break;
      }
      case 'D': {
        SequenceDefinition sequence{*code, {}};
        sequence.members.reserve(fields.size() - 4);
        for (std::size_t i = 4; i < fields.size(); ++i) {
          auto member = parse_descriptor_code(fields[i]);
          if (!member) return damaged(line_number, reason(member.error()));
          sequence.members.push_back(*member);
        }
        tables.insert_sequence(std::move(sequence));
        break;
      }
      case 'C': {
        if (fields.size() != 6) return damaged(line_number, "a code table entry needs 6 fields");
        auto raw = parse_code_table_key(fields[4]);
        if (!raw) return damaged(line_number, reason(raw.error()));
        if (*code != table_code) {
          hand_over();
          // A damaged file could split one code's entries; keep what came first.
          if (const CodeTable* earlier = tables.code_table(*code)) table = *earlier;
          table_code = *code;
        }
        table.insert_or_assign(*raw, std::string(fields[5]));
        break;
      }
      default:
        return damaged(line_number, "unknown entry kind " + std::string(fields[0]));
    }
  }
  hand_over();
  return tables;
}

Result<int> choose_bundled_version(const TableBundle& bundle, int master_version, bool* newer) {
  *newer = false;
  if (bundle.has_version(master_version)) return master_version;
  if (master_version > bundle.newest()) {
    *newer = true;
    return bundle.newest();
  }
  return parse_error("no bundled WMO tables for master table version " +
                     std::to_string(master_version) +
                     " (bundled: " + version_list_text(bundle.versions()) + ")");
}

namespace {

// Bundles by path and tables by (path, version). Entries live as long as the
// process: a handful of versions of one file in practice.
struct BundleCache {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const TableBundle>> bundles;
  std::map<std::pair<std::string, int>, std::shared_ptr<const TableSet>> tables;
  // (bundle path, version, local directory) -> the WMO tables with the local
  // ones laid over them.
  std::map<std::tuple<std::string, int, std::string>, std::shared_ptr<const TableSet>> with_local;
};

BundleCache& bundle_cache() {
  static BundleCache* cache = new BundleCache;  // never destroyed: threads may outlive exit
  return *cache;
}

}  // namespace

Result<std::shared_ptr<const TableBundle>> shared_bundle(const std::string& path) {
  BundleCache& cache = bundle_cache();
  std::lock_guard lock(cache.mutex);
  auto found = cache.bundles.find(path);
  if (found != cache.bundles.end()) return found->second;
  SKERROW_TRY(TableBundle bundle, TableBundle::open(path));
  auto shared = std::make_shared<const TableBundle>(std::move(bundle));
  cache.bundles.emplace(path, shared);
  return shared;
}

Result<std::shared_ptr<const TableSet>> shared_bundled_tables(const std::string& path,
                                                              int version) {
  SKERROW_TRY(std::shared_ptr<const TableBundle> bundle, shared_bundle(path));
  BundleCache& cache = bundle_cache();
  std::lock_guard lock(cache.mutex);
  auto found = cache.tables.find({path, version});
  if (found != cache.tables.end()) return found->second;
  SKERROW_TRY(TableSet tables, bundle->tables(version));
  auto shared = std::make_shared<const TableSet>(std::move(tables));
  cache.tables.emplace(std::make_pair(path, version), shared);
  return shared;
}

std::string local_table_directory(const std::string& root, const BufrMessage& message) {
  if (message.local_tables_version_number == 0) return {};
  // Version 19 of the master table names its local tables "19-<local>".
  std::string name = std::to_string(message.local_tables_version_number);
  if (message.master_tables_version_number == 19) name.insert(0, "19-");
  std::string path = join_path(root, "bufr");
  for (const std::string& part :
       {std::string("tables"), std::to_string(message.master_table_number), std::string("local"),
        name, std::to_string(message.originating_centre),
        std::to_string(message.originating_subcentre)}) {
    path = join_path(path, part);
  }
  return path;
}

Result<std::shared_ptr<const TableSet>> bundled_tables_for(
    const std::string& bundle_path, const std::vector<std::string>& local_roots,
    const BufrMessage& message) {
  if (message.master_table_number != 0) {
    return parse_error("no bundled tables for master table " +
                       std::to_string(message.master_table_number) +
                       ": only master table 0 (meteorology) is bundled");
  }
  SKERROW_TRY(std::shared_ptr<const TableBundle> bundle, shared_bundle(bundle_path));
  bool newer = false;
  SKERROW_TRY(const int version,
              choose_bundled_version(*bundle, message.master_tables_version_number, &newer));
  SKERROW_TRY(std::shared_ptr<const TableSet> wmo, shared_bundled_tables(bundle_path, version));

  std::string local;
  for (const std::string& root : local_roots) {
    std::string candidate = local_table_directory(root, message);
    if (!candidate.empty() && path_exists(candidate)) {
      local = std::move(candidate);
      break;
    }
  }
  if (local.empty()) return wmo;

  BundleCache& cache = bundle_cache();
  const auto key = std::make_tuple(bundle_path, version, local);
  {
    std::lock_guard lock(cache.mutex);
    auto found = cache.with_local.find(key);
    if (found != cache.with_local.end()) return found->second;
  }
  TableSet tables = *wmo;
  SKERROW_CHECK(overlay_local_tables(local, tables));
  auto shared = std::make_shared<const TableSet>(std::move(tables));
  std::lock_guard lock(cache.mutex);
  return cache.with_local.try_emplace(key, std::move(shared)).first->second;
}

}  // namespace skerrow
