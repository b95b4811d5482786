// The text parsers every table loader shares: descriptor codes and the strict
// integers of Table B (scale, reference value, data width) and of code-table
// keys. Each failure is a Parse error naming the text it was given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "message/result.h"
#include "tables/table_model.h"

namespace skerrow {

// Why an integer text was rejected; the texts are the ones users see.
enum class IntegerFault { kNone, kEmpty, kInvalidDigit, kTooLarge, kTooSmall };
std::string_view integer_fault_text(IntegerFault fault);

// Strict decimal syntax: an optional "+" (or "-" when `min` < 0), then one or
// more digits 0-9 and nothing else. Digits are taken left to right and the
// first fault found wins, so "99999x" as a 16-bit value is too large.
IntegerFault parse_decimal(std::string_view text, std::int64_t min, std::uint64_t max,
                           std::uint64_t* magnitude, bool* negative);

// Unicode white space (the White_Space property), the set table files use
// around cells and words; U+00A0 ends some code-table meanings.
bool is_unicode_space(char32_t c);
// `text` without leading and trailing Unicode white space. Bytes that are not
// valid UTF-8 are never taken for white space.
std::string_view strip_space(std::string_view text);
// Calls `word(std::string_view)` for every run of non-white-space characters.
template <typename F>
void for_each_word(std::string_view text, F&& word);
// The length of the UTF-8 white-space character at the start of `text`, or 0.
std::size_t space_length_slow(std::string_view text);
inline std::size_t space_length(std::string_view text) {
  // Table files are nearly all ASCII: decide those octets without decoding.
  if (text.empty()) return 0;
  const auto b = static_cast<unsigned char>(text[0]);
  if (b < 0x80) return b == ' ' || (b >= 0x09 && b <= 0x0D) ? 1 : 0;
  return space_length_slow(text);
}

// Descriptor code: white space stripped, then every leading and trailing
// double quote, then an unsigned 32-bit decimal. Error text:
// "bad descriptor code <text as given>: <reason>".
Result<std::uint32_t> parse_descriptor_code(std::string_view text);
// No stripping. Errors: "bad i32 <text>: <reason>", "bad i64 ...", "bad u16 ...".
Result<std::int32_t> parse_i32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
Result<std::uint16_t> parse_u16(std::string_view text);
// The raw value of a code-table line: "bad code table key <text>: <reason>".
Result<std::uint64_t> parse_code_table_key(std::string_view text);

// The cells of one Table B row, whichever layout they come from.
struct TableBRow {
  std::string_view code, abbreviation, element_type, name, unit, scale, reference, width;
};
// The definition a row gives: the code first, the texts as they are, then
// scale, reference and width in that order; the first failure is returned.
Result<ElementDefinition> element_from_row(const TableBRow& row);

template <typename F>
void for_each_word(std::string_view text, F&& word) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t n = space_length(text.substr(i));
    if (n > 0) {
      i += n;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && space_length(text.substr(i)) == 0) ++i;
    word(text.substr(start, i - start));
  }
}

}  // namespace skerrow
