// The state one walk over the descriptors keeps: the data description
// operators in force, the elements decoded so far (which bitmaps refer back
// to) and the bitmap being read.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "tables/table_model.h"

namespace skerrow {

// A Table B entry prepared for decoding: the definition's numbers, what kind
// of element it is, and where its name and code table are. Prepared once per
// code and call, so the walk does not look at unit strings per value.
struct ElementInfo {
  std::uint32_t code = 0;
  std::uint32_t name = 0;  // index into the output's string table
  std::int32_t scale = 0;
  std::int64_t reference = 0;
  std::uint16_t width = 0;
  bool character = false;  // unit "CCITT IA5"
  // A unit that contains "code table" or "flag table" (any case): 2-01, 2-02 and 2-07 do not
  // apply, since such a value is a table entry, not a quantity.
  bool table_unit = false;
  bool class31 = false;  // data description qualifiers: never missing
  bool skip = false;     // not wanted (DecodeOptions::keys)
  // Only some ranks wanted: those, and the slot counting the plain values
  // of the key (Decoder::rank_counts_).
  const std::vector<std::uint32_t>* ranks = nullptr;
  std::uint32_t key_slot = 0;
  std::uint32_t unit = 0;  // index into the output's string table (structure only)
  // The last entry of DecodedValues::elements this element was read with.
  mutable std::uint32_t applied = 0xFFFFFFFF;
  // The code table giving meanings, or null (none, or a flag table, whose
  // entries are bit numbers and cannot be looked up by the whole value).
  const CodeTable* code_table = nullptr;
};

struct DecoderState {
  std::int32_t width_change = 0;                 // 2-01, 2-07
  std::int32_t scale_change = 0;                 // 2-02, 2-07
  std::uint8_t reference_power = 0;              // 2-07: references are multiplied by 10^this
  std::uint8_t associated_width = 0;             // 2-04
  std::optional<std::uint16_t> local_width;      // 2-06, for the next element only
  std::optional<std::uint16_t> character_width;  // 2-08
  // 2-03: while defining, each element descriptor reads a new reference
  // value of this many bits instead of data.
  std::uint8_t new_reference_width = 0;
  std::unordered_map<std::uint32_t, std::int64_t> new_references;
  std::vector<const ElementInfo*> descriptor_history;
  std::vector<std::uint8_t> bitmap;
  std::uint64_t bitmap_cursor = 0;
  std::uint64_t bitmap_anchor = 0;
  bool defining_bitmap = false;
  // Bitmaps as WMO practice writes them: a run of 031031 right after 2-22,
  // 2-23, 2-24, 2-25 or 2-32 with Y = 0 (without 2-36-000) is that
  // operator's bitmap. It refers back to the elements decoded before the
  // first such operator of the subset, so the quality values, bitmaps and
  // markers written since then do not shift it.
  std::optional<std::uint64_t> first_operator_history;  // history length then
  bool operator_bitmap_may_follow = false;  // the operator was the last item
  bool reading_operator_bitmap = false;     // inside that operator's 031031 run
  bool bitmap_from_operator = false;        // `bitmap` is such a bitmap
  // After 2-22-000 the class 33 elements qualify, in turn, the elements its
  // bitmap marks; they follow the bitmap with a cursor of their own.
  bool quality_follows = false;
  std::uint64_t quality_cursor = 0;

  // Back to the state a subset starts with, keeping the buffers.
  void reset() {
    width_change = 0;
    scale_change = 0;
    reference_power = 0;
    associated_width = 0;
    local_width.reset();
    character_width.reset();
    new_reference_width = 0;
    new_references.clear();
    descriptor_history.clear();
    bitmap.clear();
    bitmap_cursor = 0;
    bitmap_anchor = 0;
    defining_bitmap = false;
    first_operator_history.reset();
    operator_bitmap_may_follow = false;
    reading_operator_bitmap = false;
    bitmap_from_operator = false;
    quality_follows = false;
    quality_cursor = 0;
  }
};

}  // namespace skerrow
