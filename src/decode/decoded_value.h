// What decoding section 4 produces: one small record per decoded item, with
// its texts (names, meanings, character data) held once in a shared table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// The values of one message, all subsets in order, and the strings they
// refer to. A name or meaning is stored once however many values use it.
struct DecodedValues {
  std::vector<DecodedValue> values;
  std::vector<std::string> strings;
  // Where each subset's values begin in `values`, one entry per subset: the
  // flat list alone cannot tell, since subsets differ in length when they
  // hold delayed replications.
  std::vector<std::size_t> subset_starts;

  const std::string& name(const DecodedValue& v) const { return strings[v.name]; }
  const std::string* text(const DecodedValue& v) const {
    return v.has_text() ? &strings[v.text] : nullptr;
  }
  const std::string* meaning(const DecodedValue& v) const {
    return v.has_meaning() ? &strings[v.text] : nullptr;
  }
};

}  // namespace skerrow
