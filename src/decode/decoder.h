// The walk over the section 3 descriptors that decodes section 4. It is one
// walk for both layouts of section 4; where the values go and how a data item
// is laid out in the bits is the business of its sink:
//  - RowSink, uncompressed data: one walk per subset, every data item one
//    value, appended as it is read;
//  - ColumnSink, compressed data: one walk for all subsets, every data item a
//    column of one value per subset (a reference value, an increment width,
//    then the increments).
// Internal to src/decode.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bitstream/bit_reader.h"
#include "bitstream/int128.h"
#include "decode/decoded_value.h"
#include "decode/decoder_state.h"
#include "message/bufr_message.h"
#include "message/result.h"
#include "tables/descriptor_walk.h"
#include "tables/table_model.h"

namespace skerrow::detail {

// A reference value in effect for one read: exact while it fits 128 bits
// (Table B reference times 10^Y of 2-07, or -(2^w) of 2-25-255), else the
// nearest double.
struct EffectiveReference {
  Int128 exact = 0;
  double approx = 0.0;
  bool is_exact = true;

  double as_double() const {
    if (!is_exact) return approx;
    // Table references fit 64 bits: converted without the 128-bit routine.
    const auto narrow = static_cast<std::int64_t>(exact);
    return narrow == exact ? static_cast<double>(narrow) : static_cast<double>(exact);
  }
};

// How one numeric data item is read.
struct NumericRead {
  std::uint16_t width = 0;
  std::int32_t scale = 0;
  EffectiveReference reference;
  bool missing_capable = true;
  // Compressed data: the column is not wanted (DecodeOptions::keys) and may
  // be stepped over.
  bool skip = false;
};

// What the walk and its sink share: the bit reader, the work bound and the
// output with its string table.
class DecodeContext {
 public:
  DecodeContext(std::span<const std::uint8_t> section4_data, std::uint16_t subset_count);

  // Every walk step, bitmap entry inspected and value emitted costs one unit
  // of a budget fixed by the size of section 4 (see the constructor), so no
  // message can make a call loop or allocate beyond a bound of its size.
  Result<void> spend(std::uint64_t units) {
    if (units > budget_) return budget_exceeded();
    budget_ -= units;
    return {};
  }

  // An operator value costs a unit of the work bound and one of a bound of
  // its own, since it reads no bits.
  Result<void> spend_on_operator_values(std::uint64_t count);

  // `name` must outlive the context: the index keeps a view of it (table
  // strings and literals do), so a lookup allocates nothing.
  std::uint32_t intern_name(std::string_view name);
  std::uint32_t intern_meaning(const std::string* meaning);
  // Character data as text: all 0xFF (or nothing) is missing; octets from
  // 0x80 become '?'; trailing white space goes. Returns the string index.
  std::optional<std::uint32_t> text_of(const std::uint8_t* bytes, std::size_t count);
  // A numeric value: the fields of `v` for `raw`, its meaning looked up.
  void numeric_value(DecodedValue& v, std::uint64_t raw, bool missing, const NumericRead& read,
                     const CodeTable* code_table);

  BitReader reader;
  std::uint16_t subsets;
  DecodedValues out;
  bool numbers = false;               // DecodeOptions::columns and ::numbers
  bool meanings = true;               // DecodeOptions::meanings
  bool code_meanings = true;          // DecodeOptions::code_meanings
  std::uint64_t text_ordinal = 0;     // character items so far
  std::vector<std::uint8_t> scratch;  // octets of one text

 private:
  DecodeError budget_exceeded() const;

  std::uint64_t budget_;
  std::uint64_t budget_total_;
  std::uint64_t operator_budget_;
  std::uint64_t operator_budget_total_;
  std::unordered_map<std::string_view, std::uint32_t> names_;
  std::unordered_map<const std::string*, std::uint32_t> meanings_;
};

// Uncompressed data. Items are values; the item index is the value's index.
class RowSink {
 public:
  // A delayed replication factor may carry an associated field here (in
  // compressed data it never does).
  static constexpr bool kAssociatedFieldBeforeFactor = true;
  static constexpr Walk kWalk = Walk::kUncompressed;

  explicit RowSink(DecodeContext& context) : c_(context) {}
  // Values go straight to the context's output, whose room is already the
  // recycled one.
  void take_room(std::vector<DecodedValue>&) {}

  // How many walks over the descriptors the data takes, and the start of
  // each (a new subset).
  std::uint64_t walks() const { return c_.subsets; }
  void begin_walk() { c_.out.subset_starts.push_back(c_.out.values.size()); }

  Result<std::size_t> numeric(std::uint32_t code, std::uint32_t name, const NumericRead& read,
                              const CodeTable* code_table);
  Result<std::size_t> text(std::uint32_t code, std::uint32_t name, std::uint16_t width, bool skip);
  Result<std::size_t> operator_value(std::uint32_t code);

  // The number of an item, nothing when missing or character data.
  std::optional<double> number(std::size_t item) const;
  Result<std::uint64_t> replication_factor(std::size_t item) const;
  // The bitmap entry a 031031 item gives, nothing when it gives none.
  std::optional<double> bitmap_entry(std::size_t item) const { return number(item); }

  // Lays the values out; `element_of` and `refers_to` are per item.
  void finish(const DecodeOptions& options, std::vector<std::uint32_t>& element_of,
              std::vector<std::uint32_t>& refers_to);

 private:
  DecodeContext& c_;
};

// Compressed data. Items are columns; the item index is the column's index.
class ColumnSink {
 public:
  static constexpr bool kAssociatedFieldBeforeFactor = false;
  static constexpr Walk kWalk = Walk::kCompressed;

  explicit ColumnSink(DecodeContext& context) : c_(context) {}
  // Records are gathered column after column here first: the recycled room
  // of an earlier decoding serves for them.
  void take_room(std::vector<DecodedValue>& room) {
    columns_.swap(room);
    columns_.clear();
  }

  std::uint64_t walks() const { return 1; }
  void begin_walk() {}

  Result<std::size_t> numeric(std::uint32_t code, std::uint32_t name, const NumericRead& read,
                              const CodeTable* code_table);
  // `skip`: an unwanted column, whose bits are stepped over.
  Result<std::size_t> text(std::uint32_t code, std::uint32_t name, std::uint16_t width, bool skip);
  Result<std::size_t> operator_value(std::uint32_t code);

  // The first subset's number, nothing when missing, character data or no
  // subsets at all.
  std::optional<double> number(std::size_t item) const;
  // One walk serves all subsets, so every subset must repeat alike.
  Result<std::uint64_t> replication_factor(std::size_t item) const;
  // The first subset's entry; a column without a number (no subsets, or
  // character data) gives 0, "present".
  std::optional<double> bitmap_entry(std::size_t item) const {
    const std::optional<double> n = number(item);
    return n ? n : std::optional<double>(0.0);
  }

  void finish(const DecodeOptions& options, std::vector<std::uint32_t>& element_of,
              std::vector<std::uint32_t>& refers_to);

 private:
  // Starts a column; returns the column's index. Where the context asks for
  // numbers, `numbers` says whether this column has any, and
  // numbers_at(column) is then the room for them.
  std::size_t begin_column(bool numbers);
  double* numbers_at(std::size_t column) { return numbers_.run(number_starts_[column]); }
  // Steps over the increments of a column of `nbinc` bits a subset, when
  // they are all there (else the column is read, failing where reading
  // fails).
  bool skipped(std::uint64_t nbinc);
  // The records to keep of a column of `n` subsets.
  std::size_t kept(bool per_subset) const {
    return per_subset || !c_.numbers ? c_.subsets : std::min<std::size_t>(c_.subsets, 1);
  }

  DecodeContext& c_;
  std::vector<DecodedValue> columns_;  // column after column
  std::vector<std::size_t> starts_;    // where each column's records start
  NumberBlock numbers_;                // with DecodeContext::numbers
  std::vector<std::size_t> number_starts_;  // run of each column, or kNoNumbers
  std::size_t column_count_ = 0;
};

struct AppliedElementHash {
  std::size_t operator()(const AppliedElement& e) const noexcept {
    std::uint64_t h = e.code;
    h = h * 0x9E3779B97F4A7C15u ^ e.unit;
    h = h * 0x9E3779B97F4A7C15u ^ static_cast<std::uint32_t>(e.scale);
    h = h * 0x9E3779B97F4A7C15u ^ e.width;
    h = h * 0x9E3779B97F4A7C15u ^ std::hash<double>{}(e.reference);
    return static_cast<std::size_t>(h);
  }
};

template <class Sink>
class Decoder {
 public:
  Decoder(const TableSet& tables, std::span<const std::uint8_t> section4_data,
          std::uint16_t subsets, const DecodeOptions& options);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  Result<DecodedValues> run(std::span<const std::uint32_t> descriptors);

 private:
  Result<void> walk(std::span<const std::uint32_t> list, unsigned depth);
  Result<void> element(std::uint32_t code);
  Result<void> replication(std::span<const std::uint32_t> list, std::size_t& i, unsigned depth);
  Result<void> operation(std::uint32_t code);
  Result<void> marker(std::uint8_t x);
  Result<void> read_new_reference(std::uint32_t code);

  // The history position of the next element the bitmap marks as present
  // (entries other than 1), nothing when the bitmap is empty or used up.
  // Error (Parse): "bitmap reference is outside descriptor history".
  Result<std::optional<std::size_t>> next_bitmap_reference(std::uint64_t& cursor);
  // Appends the 031031 value of `item` to the bitmap.
  void add_bitmap_entry(std::size_t item);

  // Table B lookup, prepared; nullptr when the code is not in Table B.
  const ElementInfo* info_for(std::uint32_t code);
  // As info_for, but an element announced by 2-06 that Table B lacks gets a
  // stand-in ("unknown", scale 0, reference 0, width from 2-06).
  Result<const ElementInfo*> info_or_stand_in(std::uint32_t code);

  // Notes in `info` which values of its key `key` are wanted
  // (DecodeOptions::keys).
  void set_wanted(ElementInfo& info, std::string_view abbreviation);
  // Whether the next plain value of `info` may be stepped over; counts it.
  bool unwanted_plain(const ElementInfo& info);

  NumericRead numeric_read(const ElementInfo& info, const EffectiveReference* marker_reference,
                           std::uint16_t marker_width) const;

  // Decodes one element (a numeric or character item) and returns its item;
  // `skip`: a compressed column not wanted, to step over.
  Result<std::size_t> decode_element(const ElementInfo& info, bool marker25, bool skip);
  Result<void> associated_field();
  Result<void> emit_operator(std::uint32_t code);

  // Structure, recorded only when asked: the entry an item was read with,
  // and what it refers to.
  void record(std::size_t item, std::uint32_t code, const ElementInfo& info, std::int32_t scale,
              std::uint16_t width, double reference);
  void record_operator(std::size_t item);
  void grow_to(std::size_t item);
  void refer(std::size_t item, std::size_t target) {
    if (structure_) refers_to_[item] = static_cast<std::uint32_t>(target);
  }

  const TableSet& tables_;
  DecodeOptions options_;
  bool structure_;
  DecodeContext context_;
  Sink sink_;
  DecoderState state_;
  // The item each descriptor_history entry was decoded as (with structure).
  std::vector<std::size_t> history_items_;
  std::optional<std::size_t> pending_associated_;  // its item, until its element
  std::vector<std::uint32_t> element_of_;
  std::vector<std::uint32_t> refers_to_;
  std::vector<AppliedElement> elements_;
  std::unordered_map<AppliedElement, std::uint32_t, AppliedElementHash> applied_index_;
  // Element descriptors have 14 bits (X, Y); the prepared entry of each
  // code seen, by those bits (0: not yet looked up, kNotInTableB: absent),
  // as the walk asks once per value and a hash lookup cost more than the read.
  // The array comes zeroed from the thread's spares and goes back there
  // zeroed again: `set_slots_` lists the slots to clear.
  static constexpr std::uint16_t kNotInTableB = 0xFFFF;
  std::unique_ptr<std::uint16_t[]> info_slots_;
  std::vector<std::uint16_t> set_slots_;
  std::unordered_map<std::uint32_t, std::uint16_t> other_slots_;
  std::deque<ElementInfo> infos_;  // stable addresses: the history points at them
  std::unordered_map<std::uint64_t, std::unique_ptr<ElementInfo>> stand_ins_;
  // Keys wanted by rank: their slots, and the plain values so far per slot.
  std::unordered_map<std::string, std::uint32_t> key_slots_;
  std::vector<std::uint32_t> rank_counts_;
  ElementInfo associated_info_;
  ElementInfo signify_info_;
};

}  // namespace skerrow::detail
