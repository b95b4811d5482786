// What decoding section 4 produces: one small record per decoded item, with
// its texts (names, meanings, character data) held once in a shared table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace skerrow {

// One decoded item. Four kinds exist: numeric element (raw always set,
// raw_value unless missing, maybe a meaning), character element (no raw,
// raw_value is the text's locator, text unless missing), operator value
// (raw 0, raw_value 0.0) and associated field (descriptor 999999).
struct DecodedValue {
  enum Flags : std::uint8_t {
    kHasRaw = 1,
    kHasValue = 2,
    kHasText = 4,     // `text` indexes raw_text
    kHasMeaning = 8,  // `text` indexes raw_meaning
  };
  std::uint32_t descriptor = 0;
  std::uint32_t name = 0;  // index into DecodedValues::strings
  std::uint64_t raw = 0;
  double raw_value = 0.0;
  std::uint32_t text = 0;  // index into DecodedValues::strings, see flags
  std::uint8_t flags = 0;

  bool has_raw() const noexcept { return (flags & kHasRaw) != 0; }
  bool has_value() const noexcept { return (flags & kHasValue) != 0; }
  bool has_text() const noexcept { return (flags & kHasText) != 0; }
  bool has_meaning() const noexcept { return (flags & kHasMeaning) != 0; }
};

// Fixed entries of the string table.
inline constexpr std::uint32_t kOperatorName = 0;          // "operator"
inline constexpr std::uint32_t kAssociatedFieldName = 1;   // "associatedField"
inline constexpr std::uint32_t kSignifyCharacterName = 2;  // "signifyCharacter"

// The Table B entry a value was read with, as the operators in force
// applied it (2-01, 2-02, 2-03, 2-06, 2-07, 2-08, the +1 bit of a 2-25
// difference). Associated fields have code 999999, an empty unit and their
// width; character data has scale and reference 0 and its width in bits.
struct AppliedElement {
  std::uint32_t code = 0;
  std::uint32_t unit = 0;  // index into DecodedValues::strings
  std::int32_t scale = 0;
  std::uint16_t width = 0;
  double reference = 0.0;  // exact below 2^53, the nearest double above

  bool operator==(const AppliedElement&) const = default;
};

// No entry: an operator value has no Table B entry, and most values refer to
// no other value.
inline constexpr std::uint32_t kNone = 0xFFFFFFFF;

// What a decoding records beyond the flat values; the defaults cost nothing.
struct DecodeOptions {
  // Fill DecodedValues::elements, element_of and refers_to.
  bool structure = false;
  // Compressed data only: hand the values out column after column (all
  // subsets of the first data item, then of the second, ...), as section 4
  // stores them, instead of subset after subset. Uncompressed data ignores it.
  bool columns = false;
  // With `columns`: every column's numbers go to DecodedValues::numbers, and
  // a column keeps one record per subset only where a record says more than
  // its number (character data, code-table meanings); the others keep the
  // record of their first subset. Columns are then read through
  // DecodedValues::cell.
  bool numbers = false;
  // With `numbers`: false spares code-table columns their record per subset,
  // kept for the meanings; their first record still has its meaning.
  bool meanings = true;
  // With `numbers`: when given, the columns of compressed data that it
  // does not want are stepped over, their numbers neither computed nor kept
  // (a column's bits are a reference, a width and the increments, so the
  // next column is found without reading them). Class 31 elements
  // (replication factors, bitmaps, significances) and associated fields are
  // always read, since later decoding depends on them. Records keep every
  // column.
  const struct WantedKeys* keys = nullptr;
  // False leaves code-table meanings out of the records (kHasMeaning never
  // set): for callers that read the codes as numbers, and save the lookups.
  bool code_meanings = true;
  // An earlier result whose records and structure vectors the decoding
  // takes over (their contents dropped, their room kept), for callers that
  // decode message after message: fresh room for every message costs page
  // faults, which two threads also take in turn.
  struct DecodedValues* recycle = nullptr;
};

// The columns a decoding of compressed data is limited to, by element key
// (ecCodes' element key, or the six-digit code where there is none): all
// values of a key, or only some ranks of its plain values (the n-th value
// of the key in the walk that qualifies no other value; markers and
// quality information qualify). Quality keys (class 33) are always taken
// whole, since whether such a value qualifies is known only once read.
struct WantedKeys {
  // Key -> the ranks wanted, ascending; empty for every value.
  std::unordered_map<std::string, std::vector<std::uint32_t>> ranks;
};

// Blocks for the chunks of NumberBlock, kept for reuse once freed. The C
// library hands large blocks back to the kernel when they are freed, and
// faulting their pages in again cost more than decoding into them (40 % of
// the time of a large compressed message, under a lock all threads of the
// process share); so freed blocks of 128 KiB or more, up to 64 MiB in all,
// wait here for the next decoding. Thread-safe.
class NumberPool {
 public:
  // A block of at least `bytes` (and at most twice that), its size in
  // *size; null when out of memory.
  static void* take(std::size_t bytes, std::size_t* size) {
    if (bytes >= kSmallest) {
      Pool& pool = shared();
      std::lock_guard lock(pool.mutex);
      std::size_t best = pool.blocks.size();
      for (std::size_t i = 0; i < pool.blocks.size(); ++i) {
        const std::size_t held = pool.blocks[i].second;
        if (held >= bytes && held / 2 <= bytes &&
            (best == pool.blocks.size() || held < pool.blocks[best].second)) {
          best = i;
        }
      }
      if (best != pool.blocks.size()) {
        const auto [data, held] = pool.blocks[best];
        pool.blocks[best] = pool.blocks.back();
        pool.blocks.pop_back();
        pool.bytes -= held;
        *size = held;
        return data;
      }
    }
    *size = bytes;
    return std::malloc(bytes);
  }
  // Gives back a block of `size` bytes that take() gave (or realloc shrank).
  static void give(void* data, std::size_t size) noexcept {
    if (data == nullptr) return;
    if (size >= kSmallest) {
      Pool& pool = shared();
      std::lock_guard lock(pool.mutex);
      if (pool.bytes + size <= kMostBytes && pool.blocks.size() < kMostBlocks) {
        pool.blocks.emplace_back(data, size);
        pool.bytes += size;
        return;
      }
    }
    std::free(data);
  }

 private:
  static constexpr std::size_t kSmallest = std::size_t{128} << 10;
  static constexpr std::size_t kMostBytes = std::size_t{64} << 20;
  static constexpr std::size_t kMostBlocks = 64;
  struct Pool {
    std::mutex mutex;
    std::vector<std::pair<void*, std::size_t>> blocks;
    std::size_t bytes = 0;
  };
  static Pool& shared() {
    static Pool* pool = new Pool;  // never destroyed: threads may outlive exit
    return *pool;
  }
};

// Runs of numbers of one length (a column's numbers, one per subset) in
// chunks that never move once filled: a block grows by new chunks of twice
// the size, never by copying, and each chunk (a whole number of runs) can be
// handed to another owner, who gives it back with NumberPool::give.
class NumberBlock {
 public:
  struct Chunk {
    double* data = nullptr;
    std::size_t runs = 0;      // held
    std::size_t capacity = 0;  // runs there is room for
    std::size_t bytes = 0;     // the size of the block
  };

  NumberBlock() = default;
  NumberBlock(const NumberBlock&) = delete;
  NumberBlock& operator=(const NumberBlock&) = delete;
  NumberBlock(NumberBlock&& other) noexcept
      : chunks_(std::move(other.chunks_)), run_(other.run_), runs_(other.runs_) {
    other.chunks_.clear();
    other.runs_ = 0;
  }
  NumberBlock& operator=(NumberBlock&& other) noexcept {
    if (this != &other) {
      free_chunks();
      chunks_ = std::move(other.chunks_);
      run_ = other.run_;
      runs_ = other.runs_;
      other.chunks_.clear();
      other.runs_ = 0;
    }
    return *this;
  }
  ~NumberBlock() { free_chunks(); }

  // The length of every run; set before the first run is added.
  void set_run_length(std::size_t length) { run_ = length; }
  std::size_t run_length() const noexcept { return run_; }
  std::size_t runs() const noexcept { return runs_; }

  // A new run at the end; returns its index (its numbers are at run(index)).
  std::size_t add_run() {
    if (run_ != 0 && (chunks_.empty() || chunks_.back().runs == chunks_.back().capacity)) {
      // Chunks double up to 256 KiB and stay there: full chunks of one size
      // are what NumberPool can hand out again.
      constexpr std::size_t kFirstChunk = 4096;     // numbers
      constexpr std::size_t kLargestChunk = 32768;  // numbers
      const std::size_t largest = std::max<std::size_t>(1, kLargestChunk / run_);
      const std::size_t capacity =
          chunks_.empty() ? std::max<std::size_t>(1, kFirstChunk / run_)
                          : std::min(2 * chunks_.back().capacity, largest);
      std::size_t bytes = 0;
      void* data = NumberPool::take(capacity * run_ * sizeof(double), &bytes);
      if (data == nullptr) throw std::bad_alloc();  // as a container would
      chunks_.push_back({static_cast<double*>(data), 0, bytes / (run_ * sizeof(double)), bytes});
    }
    if (run_ != 0) ++chunks_.back().runs;
    return runs_++;
  }
  double* run(std::size_t index) {
    return const_cast<double*>(static_cast<const NumberBlock*>(this)->run(index));
  }
  const double* run(std::size_t index) const {
    // Chunks double in size, so there are few; the last is the usual one.
    std::size_t first = runs_;
    for (auto it = chunks_.rbegin(); it != chunks_.rend(); ++it) {
      first -= it->runs;
      if (index >= first) return it->data + (index - first) * run_;
    }
    return nullptr;  // runs of no numbers
  }

  // Gives back the room the last chunk does not use (in place: no copy).
  void shrink_to_fit() {
    if (chunks_.empty()) return;
    Chunk& last = chunks_.back();
    if (last.runs == last.capacity || last.runs == 0) return;
    const std::size_t bytes = last.runs * run_ * sizeof(double);
    if (void* shrunk = std::realloc(last.data, bytes)) {
      last.data = static_cast<double*>(shrunk);
      last.capacity = last.runs;
      last.bytes = bytes;
    }
  }
  // The chunks, now the caller's (each to give back to NumberPool); the block
  // is left empty.
  std::vector<Chunk> release() noexcept {
    runs_ = 0;
    return std::exchange(chunks_, {});
  }

 private:
  void free_chunks() noexcept {
    for (const Chunk& chunk : chunks_) NumberPool::give(chunk.data, chunk.bytes);
  }

  std::vector<Chunk> chunks_;
  std::size_t run_ = 0;
  std::size_t runs_ = 0;
};

// The values of one message and the strings they refer to. A name or
// meaning is stored once however many values use it.
//
// Layout. Rows (the default): all values of subset 0 in descriptor order,
// then those of subset 1, and so on. Columns (DecodeOptions::columns on a
// compressed message): `column_count` columns of `subset_count` values each,
// the value of subset s in column c at values[c * subset_count + s].
struct DecodedValues {
  enum class Layout : std::uint8_t { kRows, kColumns };

  std::vector<DecodedValue> values;
  std::vector<std::string> strings;
  // Rows: where each subset's values begin in `values`, one entry per
  // subset; the flat list alone cannot tell, since subsets differ in length
  // when they hold delayed replications. Columns: empty.
  std::vector<std::size_t> subset_starts;
  Layout layout = Layout::kRows;
  std::size_t subset_count = 0;
  std::size_t column_count = 0;  // columns only

  // With DecodeOptions::structure, one entry per value in rows, one per
  // column in columns (every subset of a column shares it):
  //  - element_of: index into `elements` of the entry the value was read
  //    with; kNone for operator values;
  //  - refers_to: the value (rows) or column (columns) this one qualifies,
  //    kNone for most values. A marker value (2-23, 2-24, 2-25, 2-32 with
  //    Y = 255: substituted, first-order statistics, difference, replaced
  //    or retained values) and a quality element (class 33) after a 2-22-000
  //    bitmap refer to the earlier element their bitmap entry marks; an
  //    associated field (999999) refers to the element right after it.
  // Otherwise all three are empty.
  std::vector<AppliedElement> elements;
  std::vector<std::uint32_t> element_of;
  std::vector<std::uint32_t> refers_to;

  // With DecodeOptions::numbers, columns layout: the number of subset s in
  // column c at numbers.run(column_numbers[c])[s], NaN where missing;
  // columns without numbers (character data, operators, columns stepped
  // over) have kNoNumbers there and take no room. Column c's records start at
  // values[column_records[c]] (one more entry marks the end) and number one
  // or one per subset.
  static constexpr std::size_t kNoNumbers = static_cast<std::size_t>(-1);
  NumberBlock numbers;
  std::vector<std::size_t> column_numbers;
  std::vector<std::size_t> column_records;

  // The record of the value at `cell`: an index into `values` in rows and
  // plain columns, column * subset_count + subset with `numbers`.
  const DecodedValue& cell(std::size_t index) const {
    if (column_records.empty()) return values[index];
    const std::size_t c = index / subset_count;
    const std::size_t first = column_records[c];
    const bool per_subset = column_records[c + 1] - first > 1;
    return values[first + (per_subset ? index % subset_count : 0)];
  }

  const std::string& name(const DecodedValue& v) const { return strings[v.name]; }
  const std::string* text(const DecodedValue& v) const {
    return v.has_text() ? &strings[v.text] : nullptr;
  }
  const std::string* meaning(const DecodedValue& v) const {
    return v.has_meaning() ? &strings[v.text] : nullptr;
  }
};

}  // namespace skerrow
