// The walk over the section 3 descriptors that decodes section 4, shared by
// uncompressed data (one walk per subset, values appended as they are read)
// and compressed data (one walk for all subsets, a column of one value per
// subset for every data item). Internal to src/decode.
#pragma once

#include <cstdint>
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
#include "tables/table_model.h"

namespace skerrow::detail {

// A reference value in effect for one read: exact while it fits 128 bits
// (Table B reference times 10^Y of 2-07, or -(2^w) of 2-25-255), else the
// nearest double.
struct EffectiveReference {
  Int128 exact = 0;
  double approx = 0.0;
  bool is_exact = true;
};

// How one numeric data item is read.
struct NumericRead {
  std::uint16_t width = 0;
  std::int32_t scale = 0;
  EffectiveReference reference;
  bool missing_capable = true;
};

class Decoder {
 public:
  Decoder(const TableSet& tables, std::span<const std::uint8_t> section4_data,
          std::uint16_t subsets, bool compressed);

  Result<DecodedValues> run(std::span<const std::uint32_t> descriptors);

  // The next element the bitmap marks as present (entries other than 1),
  // nullptr when the bitmap is empty or used up. Error (Parse): "bitmap
  // reference is outside descriptor history".
  Result<const ElementInfo*> next_bitmap_reference();

 private:
  Result<void> walk(std::span<const std::uint32_t> list, unsigned depth);
  Result<void> element(std::uint32_t code);
  Result<void> replication(std::span<const std::uint32_t> list, std::size_t& i, unsigned depth);
  Result<void> operation(std::uint32_t code);
  Result<void> marker(std::uint8_t x);
  Result<void> read_new_reference(std::uint32_t code);
  // Appends the 031031 value emitted at `index` to the bitmap.
  void add_bitmap_entry(std::size_t index);

  // Table B lookup, prepared; nullptr when the code is not in Table B.
  const ElementInfo* info_for(std::uint32_t code);
  // As info_for, but an element announced by 2-06 that Table B lacks gets a
  // stand-in ("unknown", scale 0, reference 0, width from 2-06).
  Result<const ElementInfo*> info_or_stand_in(std::uint32_t code);
  std::uint32_t intern_name(std::string_view name);
  std::uint32_t intern_meaning(const std::string* meaning);

  NumericRead numeric_read(const ElementInfo& info, const EffectiveReference* marker_reference,
                           std::uint16_t marker_width) const;
  static double scaled_value(std::uint64_t raw, const NumericRead& read);
  // Character data as text: all 0xFF (or nothing) is missing; octets from
  // 0x80 become '?'; trailing white space goes. Returns the string index.
  std::optional<std::uint32_t> text_of(const std::uint8_t* bytes, std::size_t count);

  // Decodes one element (a numeric or character item) and emits its value,
  // or its column. Returns the index of the first record emitted (in
  // out_.values, or in columns_ when compressed).
  Result<std::size_t> decode_element(const ElementInfo& info, bool marker25);
  Result<std::size_t> decode_text(std::uint32_t code, std::uint32_t name, std::uint16_t width);
  Result<std::size_t> decode_numeric(std::uint32_t code, std::uint32_t name,
                                     const NumericRead& read, const CodeTable* code_table);
  Result<void> associated_field();
  Result<void> emit_operator(std::uint32_t code);
  // The numeric value of an emitted record (first subset of a column).
  std::optional<double> first_value(std::size_t index) const;
  // A delayed replication factor from the record(s) at `index`. Error
  // (Parse) when compressed subsets disagree.
  Result<std::uint64_t> replication_factor(std::size_t index) const;
  std::vector<DecodedValue>& sink() { return compressed_ ? columns_ : out_.values; }

  // Every walk step, bitmap entry inspected and value emitted costs one unit
  // of a budget fixed by the size of section 4 (see the constructor), so no
  // message can make a call loop or allocate beyond a bound of its size.
  Result<void> spend(std::uint64_t units) {
    if (units > budget_) return budget_exceeded();
    budget_ -= units;
    return {};
  }
  DecodeError budget_exceeded() const;

  const TableSet& tables_;
  BitReader reader_;
  std::uint16_t subsets_;
  bool compressed_;
  DecodedValues out_;
  DecoderState state_;
  std::uint64_t text_ordinal_ = 0;
  std::uint64_t budget_;
  std::uint64_t budget_total_;
  std::vector<DecodedValue> columns_;  // compressed: column after column
  std::unordered_map<std::uint32_t, std::unique_ptr<ElementInfo>> infos_;
  std::unordered_map<std::uint64_t, std::unique_ptr<ElementInfo>> stand_ins_;
  std::unordered_map<std::string, std::uint32_t> names_;
  std::unordered_map<const std::string*, std::uint32_t> meanings_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace skerrow::detail
