#include "tables/text_parsers.h"

#include <limits>

namespace skerrow {
namespace {

// Decodes one well-formed UTF-8 character at the start of `text`; returns its
// length, or 0 for an ill-formed or cut sequence.
std::size_t decode_utf8(std::string_view text, char32_t* out) {
  if (text.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(text[0]);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  std::size_t n = 0;
  char32_t c = 0;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (text.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *out = c;
  return n;
}

// The length of the UTF-8 white-space character that ends `text`, or 0.
std::size_t trailing_space_length(std::string_view text) {
  // A UTF-8 character is at most four octets: try each start.
  for (std::size_t n = 1; n <= 4 && n <= text.size(); ++n) {
    const std::string_view tail = text.substr(text.size() - n);
    char32_t c = 0;
    if (decode_utf8(tail, &c) == n) return is_unicode_space(c) ? n : 0;
  }
  return 0;
}

template <typename T>
Result<T> parse_typed(std::string_view text, const char* what) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const auto min = static_cast<std::int64_t>(std::numeric_limits<T>::min());
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
  const IntegerFault fault = parse_decimal(text, min, max, &magnitude, &negative);
  if (fault != IntegerFault::kNone) {
    std::string message = what;
    message.append(text);
    message += ": ";
    message.append(integer_fault_text(fault));
    return parse_error(std::move(message));
  }
  if (negative) {
    // magnitude <= |min|; negate in unsigned arithmetic, then convert.
    return static_cast<T>(static_cast<std::int64_t>(0 - magnitude));
  }
  return static_cast<T>(magnitude);
}

}  // namespace

std::string_view integer_fault_text(IntegerFault fault) {
  switch (fault) {
    case IntegerFault::kNone:
      return "";
    case IntegerFault::kEmpty:
      return "cannot parse integer from empty string";
    case IntegerFault::kInvalidDigit:
      return "invalid digit found in string";
    case IntegerFault::kTooLarge:
      return "number too large to fit in target type";
    case IntegerFault::kTooSmall:
      return "number too small to fit in target type";
  }
  return "";
}

IntegerFault parse_decimal(std::string_view text, std::int64_t min, std::uint64_t max,
                           std::uint64_t* magnitude, bool* negative) {
  if (text.empty()) return IntegerFault::kEmpty;
  std::size_t i = 0;
  bool minus = false;
  if (text[0] == '+') {
    i = 1;
  } else if (text[0] == '-' && min < 0) {
    minus = true;
    i = 1;
  }
  if (i == text.size()) return IntegerFault::kInvalidDigit;  // a sign alone
  // The largest magnitude allowed: max, or |min| for negative numbers.
  const std::uint64_t limit = minus ? 0 - static_cast<std::uint64_t>(min) : max;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return IntegerFault::kInvalidDigit;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      return minus ? IntegerFault::kTooSmall : IntegerFault::kTooLarge;
    }
    value = value * 10 + digit;
  }
  *magnitude = value;
  *negative = minus && value != 0;
  return IntegerFault::kNone;
}

bool is_unicode_space(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::size_t space_length_slow(std::string_view text) {
  char32_t c = 0;
  const std::size_t n = decode_utf8(text, &c);
  return n > 0 && is_unicode_space(c) ? n : 0;
}

std::string_view strip_space(std::string_view text) {
  for (std::size_t n; (n = space_length(text)) > 0;) text.remove_prefix(n);
  for (std::size_t n; (n = trailing_space_length(text)) > 0;) text.remove_suffix(n);
  return text;
}

Result<std::uint32_t> parse_descriptor_code(std::string_view text) {
  std::string_view digits = strip_space(text);
  while (!digits.empty() && digits.front() == '"') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == '"') digits.remove_suffix(1);
  std::uint64_t magnitude = 0;
  bool negative = false;
  const IntegerFault fault = parse_decimal(digits, 0, 0xFFFFFFFFu, &magnitude, &negative);
  if (fault != IntegerFault::kNone) {
    std::string message = "bad descriptor code ";
    message.append(text);
    message += ": ";
    message.append(integer_fault_text(fault));
    return parse_error(std::move(message));
  }
  return static_cast<std::uint32_t>(magnitude);
}

Result<std::int32_t> parse_i32(std::string_view text) {
  return parse_typed<std::int32_t>(text, "bad i32 ");
}
Result<std::int64_t> parse_i64(std::string_view text) {
  return parse_typed<std::int64_t>(text, "bad i64 ");
}
Result<std::uint16_t> parse_u16(std::string_view text) {
  return parse_typed<std::uint16_t>(text, "bad u16 ");
}
Result<std::uint64_t> parse_code_table_key(std::string_view text) {
  return parse_typed<std::uint64_t>(text, "bad code table key ");
}

Result<ElementDefinition> element_from_row(const TableBRow& row) {
  ElementDefinition element;
  SKERROW_TRY(element.code, parse_descriptor_code(row.code));
  element.abbreviation = row.abbreviation;
  element.element_type = row.element_type;
  element.name = row.name;
  element.unit = row.unit;
  SKERROW_TRY(element.scale, parse_i32(row.scale));
  SKERROW_TRY(element.reference, parse_i64(row.reference));
  SKERROW_TRY(element.width, parse_u16(row.width));
  return element;
}

}  // namespace skerrow
