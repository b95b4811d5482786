#include "decode/decode_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "tables/descriptor.h"
#include "tables/descriptor_walk.h"

namespace skerrow {
namespace detail {
namespace {

// The work bound. A walk step (one descriptor visited), one bitmap entry
// inspected and one value emitted (in compressed data: one per subset of a
// column) each cost a unit; a message may spend at most kWorkPerBit units per
// bit of its section 4 data plus kWorkConstant, and fails with a Parse error
// beyond that. Values are what memory grows with (the string table holds at
// most one entry per value), so this bounds time and memory alike. Real
// messages stay far below it: nearly every value reads bits, and the densest
// message we know (compressed, constant columns) emits 8.5 values per bit of
// section 4, 45 per octet of message; while replication factors up to
// 2^64 - 1, replicated lists that read nothing and 65535 subsets of operators
// stop instead of hanging. The constant lets small messages walk freely; at
// 2^18 units a message of a few hundred octets stays below about 30 MB even
// as Python objects (about 100 bytes a value).
constexpr std::uint64_t kWorkPerBit = 16;
constexpr std::uint64_t kWorkConstant = std::uint64_t{1} << 18;

// Operator values read no bits, so they are the cheapest values to ask for:
// 65535 compressed subsets make each operator descriptor of a few bits of
// section 3 emit 65535 of them. They have a bound of their own on top of the
// work bound: one per bit of section 4, plus two full columns. Real messages
// emit at most 0.1 per bit (a compressed satellite wind message of 1000
// subsets: 12,000 operator values, 14,848 octets).
constexpr std::uint64_t kOperatorValuesPerBit = 1;
constexpr std::uint64_t kOperatorValuesConstant = std::uint64_t{2} * 65536;

// 031031, data present indicator: the element bitmaps are written with.
constexpr std::uint32_t kBitmapEntryCode = 31031;

// Character data is the unit of this name, exactly.
constexpr std::string_view kCharacterUnit = "CCITT IA5";

// Compressed texts: NBINC counts octets in 6 bits, so a subset's own text has
// at most this many.
constexpr std::size_t kMaxIncrementOctets = 63;

// Compressed delayed replication factors must agree in every subset; this is
// the spacing of doubles at 1.0, so equal factors read as equal.
constexpr double kFactorTolerance = 0x1p-52;

// Scales whose power of ten is a normal finite double. Beyond them a value
// would be divided by 0 or infinity; no real table comes near (they stay
// within about +-20), so such an entry is refused.
constexpr std::int32_t kMaxScale = 307;

// 2-03-YYY, the operator that defines new reference values of YYY bits.
std::string new_reference_operator(unsigned width) {
  return format_descriptor(203000 + width);
}

DecodeError bitmap_too_long(std::uint64_t referable) {
  return parse_error("bitmap has more entries than the " + std::to_string(referable) +
                     " data elements it refers to");
}

// A bitmap entry from a 031031 value: 0 (present), 1 (not present) or another
// code, clamped to 0..255. A value that is no number at all counts as 0.
std::uint8_t bitmap_entry_of(double value) {
  if (!(value > 0.0)) return 0;  // also NaN
  if (value >= 255.0) return 255;
  return static_cast<std::uint8_t>(value);
}

// Whether `text` contains `word` (lower case) in any case. Real trees write
// units such as "Common CODE TABLE C-1" or "CODE TABLE defined by
// originating/generating centre" for code tables.
bool contains_ignoring_case(std::string_view text, std::string_view word) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  const auto found = std::search(text.begin(), text.end(), word.begin(), word.end(),
                                 [&](char a, char b) { return lower(a) == b; });
  return found != text.end();
}

constexpr std::int32_t kLowestCachedScale = -400;
constexpr std::int32_t kHighestCachedScale = 400;
using PowersOfTen = std::array<double, kHighestCachedScale - kLowestCachedScale + 1>;

// Filled when the library loads, so that a lookup per value needs no
// guard of a function-local static.
const PowersOfTen kPowersOfTen = [] {
  PowersOfTen t{};
  for (std::int32_t k = kLowestCachedScale; k <= kHighestCachedScale; ++k) {
    t[static_cast<std::size_t>(k - kLowestCachedScale)] = std::pow(10.0, static_cast<double>(k));
  }
  return t;
}();

// 10^s as the library's pow gives it, cached for the scales tables use.
inline double power_of_ten(std::int32_t s) {
  if (s < kLowestCachedScale || s > kHighestCachedScale) {
    return std::pow(10.0, static_cast<double>(s));
  }
  return kPowersOfTen[static_cast<std::size_t>(s - kLowestCachedScale)];
}

// 10^p exactly, for p up to 38 (10^38 < 2^127).
Int128 power_of_ten_128(unsigned p) {
  Int128 v = 1;
  for (unsigned k = 0; k < p; ++k) v *= 10;
  return v;
}

std::uint64_t all_ones(unsigned width) {
  return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

}  // namespace

// ----------------------------------------------------------------- context

DecodeContext::DecodeContext(std::span<const std::uint8_t> section4_data,
                             std::uint16_t subset_count)
    : reader(section4_data), subsets(subset_count) {
  const std::uint64_t bits = reader.bit_length();
  budget_total_ = kWorkPerBit * bits + kWorkConstant;
  budget_ = budget_total_;
  operator_budget_total_ = kOperatorValuesPerBit * bits + kOperatorValuesConstant;
  operator_budget_ = operator_budget_total_;
  static constexpr std::array<std::string_view, 3> kFixedNames = {"operator", "associatedField",
                                                                  "signifyCharacter"};
  for (const std::string_view name : kFixedNames) {
    names_.emplace(name, static_cast<std::uint32_t>(out.strings.size()));
    out.strings.emplace_back(name);
  }
}

DecodeError DecodeContext::budget_exceeded() const {
  return parse_error("decoding exceeds the work bound of the message (" +
                     std::to_string(budget_total_) + " steps and values for " +
                     std::to_string(reader.bit_length()) + " bits of section 4)");
}

Result<void> DecodeContext::spend_on_operator_values(std::uint64_t count) {
  if (count > operator_budget_) {
    return parse_error("decoding exceeds the bound on operator values of the message (" +
                       std::to_string(operator_budget_total_) + " values for " +
                       std::to_string(reader.bit_length()) + " bits of section 4)");
  }
  operator_budget_ -= count;
  return spend(count);
}

std::uint32_t DecodeContext::intern_name(std::string_view name) {
  auto [it, inserted] = names_.try_emplace(name, 0);
  if (inserted) {
    it->second = static_cast<std::uint32_t>(out.strings.size());
    out.strings.emplace_back(name);
  }
  return it->second;
}

std::uint32_t DecodeContext::intern_meaning(const std::string* meaning) {
  auto [it, inserted] = meanings_.try_emplace(meaning, 0);
  if (inserted) {
    it->second = static_cast<std::uint32_t>(out.strings.size());
    out.strings.push_back(*meaning);
  }
  return it->second;
}

std::optional<std::uint32_t> DecodeContext::text_of(const std::uint8_t* bytes, std::size_t count) {
  bool all_ff = true;
  for (std::size_t i = 0; i < count; ++i) all_ff = all_ff && bytes[i] == 0xFF;
  if (all_ff) return std::nullopt;  // also for no octets at all
  std::size_t end = count;
  while (end > 0) {
    const std::uint8_t c = bytes[end - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') break;
    --end;
  }
  std::string text(end, '?');
  for (std::size_t i = 0; i < end; ++i) {
    if (bytes[i] < 0x80) text[i] = static_cast<char>(bytes[i]);
  }
  const auto index = static_cast<std::uint32_t>(out.strings.size());
  out.strings.push_back(std::move(text));
  return index;
}

namespace {

double scaled_value(std::uint64_t raw, const NumericRead& read) {
  double sum;
  Int128 exact;
  constexpr std::int64_t kHalf = std::int64_t{1} << 62;
  if (read.reference.is_exact && read.reference.exact > -kHalf && read.reference.exact < kHalf &&
      raw < std::uint64_t{kHalf}) {
    // The same exact sum in 64 bits, converted alike (one rounding).
    sum = static_cast<double>(static_cast<std::int64_t>(read.reference.exact) +
                              static_cast<std::int64_t>(raw));
  } else if (read.reference.is_exact &&
             !__builtin_add_overflow(read.reference.exact, static_cast<Int128>(raw), &exact)) {
    sum = static_cast<double>(exact);
  } else {
    sum = read.reference.as_double() + static_cast<double>(raw);
  }
  // Divided by 10^s, not multiplied by 10^-s: the two differ in the last bit.
  return sum / power_of_ten(read.scale);
}

DecodedValue operator_record(std::uint32_t code) {
  DecodedValue v;
  v.descriptor = code;
  v.name = kOperatorName;
  v.raw = 0;
  v.raw_value = 0.0;
  v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  return v;
}

// A replication factor from a number: truncated, negative values 0, values
// beyond 64 bits the largest factor.
std::uint64_t factor_of(double f) {
  if (!(f > 0.0)) return 0;
  if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(f);
}

}  // namespace

void DecodeContext::numeric_value(DecodedValue& v, std::uint64_t raw, bool missing,
                                  const NumericRead& read, const CodeTable* code_table) {
  v.raw = raw;
  v.flags = DecodedValue::kHasRaw;
  v.text = 0;
  if (!missing) {
    v.flags |= DecodedValue::kHasValue;
    v.raw_value = scaled_value(raw, read);
  } else {
    v.raw_value = 0.0;
  }
  // Missing values get a meaning too: the all-ones code may have one.
  if (code_table != nullptr && code_meanings) {
    auto it = code_table->find(raw);
    if (it != code_table->end()) {
      v.text = intern_meaning(&it->second);
      v.flags |= DecodedValue::kHasMeaning;
    }
  }
}

// ----------------------------------------------------------------- row sink

Result<std::size_t> RowSink::numeric(std::uint32_t code, std::uint32_t name,
                                     const NumericRead& read, const CodeTable* code_table) {
  SKERROW_CHECK(c_.spend(1));
  SKERROW_TRY(const std::uint64_t raw, c_.reader.read_bits(read.width));
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  c_.numeric_value(v, raw, read.missing_capable && read.width <= 63 && raw == all_ones(read.width),
                   read, code_table);
  c_.out.values.push_back(v);
  return c_.out.values.size() - 1;
}

Result<std::size_t> RowSink::text(std::uint32_t code, std::uint32_t name, std::uint16_t width,
                                  bool /*skip*/) {
  const std::size_t octets = (width + 7u) / 8u;
  if (c_.scratch.size() < octets) c_.scratch.resize(octets);
  SKERROW_CHECK(c_.spend(1));
  SKERROW_CHECK(c_.reader.read_bytes_into(width, c_.scratch.data()));
  ++c_.text_ordinal;  // for every character item, missing or not
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  v.flags = DecodedValue::kHasValue;
  if (auto text = c_.text_of(c_.scratch.data(), octets)) {
    v.text = *text;
    v.flags |= DecodedValue::kHasText;
  }
  v.raw_value = static_cast<double>(c_.text_ordinal * 1000 + width / 8u);
  c_.out.values.push_back(v);
  return c_.out.values.size() - 1;
}

Result<std::size_t> RowSink::operator_value(std::uint32_t code) {
  SKERROW_CHECK(c_.spend_on_operator_values(1));
  c_.out.values.push_back(operator_record(code));
  return c_.out.values.size() - 1;
}

std::optional<double> RowSink::number(std::size_t item) const {
  const DecodedValue& v = c_.out.values[item];
  if (!v.has_raw() || !v.has_value()) return std::nullopt;
  return v.raw_value;
}

Result<std::uint64_t> RowSink::replication_factor(std::size_t item) const {
  const std::optional<double> f = number(item);
  return f ? factor_of(*f) : 0;
}

void RowSink::finish(const DecodeOptions& options, std::vector<std::uint32_t>& element_of,
                     std::vector<std::uint32_t>& refers_to) {
  c_.out.subset_count = c_.subsets;
  if (options.structure) {
    c_.out.element_of = std::move(element_of);
    c_.out.refers_to = std::move(refers_to);
  }
}

// -------------------------------------------------------------- column sink

std::size_t ColumnSink::begin_column(bool numbers) {
  starts_.push_back(columns_.size());
  if (c_.numbers) {
    if (numbers) {
      if (numbers_.runs() == 0) numbers_.set_run_length(c_.subsets);
      number_starts_.push_back(numbers_.add_run());
    } else {
      number_starts_.push_back(DecodedValues::kNoNumbers);
    }
  }
  return column_count_++;
}

bool ColumnSink::skipped(std::uint64_t nbinc) {
  // At most 63 bits for each of at most 65535 subsets: no overflow.
  const std::uint64_t bits = nbinc * c_.subsets;
  if (bits > c_.reader.available()) return false;
  c_.reader.skip_available(bits);
  return true;
}

Result<std::size_t> ColumnSink::numeric(std::uint32_t code, std::uint32_t name,
                                        const NumericRead& read, const CodeTable* code_table) {
  // A reference R0 of the item's width, the increment width NBINC in 6
  // bits, then NBINC bits per subset when NBINC is not 0.
  const std::uint64_t n = c_.subsets;
  SKERROW_CHECK(c_.spend(n));
  SKERROW_TRY(const std::uint64_t r0, c_.reader.read_bits(read.width));
  SKERROW_TRY(const std::uint64_t nbinc, c_.reader.read_bits(6));
  const bool reference_missing =
      read.missing_capable && read.width < 64 && r0 == all_ones(read.width);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  if (read.skip && c_.numbers && (nbinc == 0 || skipped(nbinc))) {
    // Not wanted: one record says what the column is; no numbers.
    c_.numeric_value(v, r0, reference_missing, read, nullptr);
    const std::size_t column = begin_column(false);
    columns_.insert(columns_.end(), kept(false), v);
    return column;
  }
  const std::size_t column = begin_column(true);
  // Records of every subset only where a meaning may differ between them.
  const std::size_t records = kept(code_table != nullptr && nbinc != 0 && c_.meanings);
  if (nbinc == 0) {
    c_.numeric_value(v, r0, reference_missing, read, code_table);
    columns_.insert(columns_.end(), records, v);
    if (c_.numbers) std::fill_n(numbers_at(column), n, v.has_value() ? v.raw_value : nan);
    return column;
  }
  const std::uint64_t increment_missing = all_ones(static_cast<unsigned>(nbinc));
  // The common case in short: numbers only, a reference and values well
  // inside 64 bits, where the sum in 64 bits converts to the same double as
  // the exact one. Bounds are checked once for the whole column.
  const Int128 reference = read.reference.exact;
  constexpr Int128 kSmall = Int128{1} << 61;
  if (records <= 1 && n > 1 && read.reference.is_exact && reference > -kSmall &&
      reference < kSmall && read.width <= 60 && nbinc <= 60 && nbinc * n <= c_.reader.available()) {
    const double divisor = power_of_ten(read.scale);
    const auto base = static_cast<std::int64_t>(reference) + static_cast<std::int64_t>(r0);
    double* out = numbers_at(column);
    if (records == 1) {
      SKERROW_TRY(const std::uint64_t increment,
                  c_.reader.read_bits(static_cast<std::uint16_t>(nbinc)));
      const bool missing =
          reference_missing || (read.missing_capable && increment == increment_missing);
      c_.numeric_value(v, missing ? r0 : r0 + increment, missing, read, code_table);
      columns_.push_back(v);
      *out++ = v.has_value() ? v.raw_value : nan;
    }
    const bool may_miss = read.missing_capable;
    for (std::uint64_t i = records; i < n; ++i) {
      const std::uint64_t increment = c_.reader.read_available(static_cast<unsigned>(nbinc));
      const bool missing = reference_missing || (may_miss && increment == increment_missing);
      *out++ = missing ? nan
                       : static_cast<double>(base + static_cast<std::int64_t>(increment)) / divisor;
    }
    return column;
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    SKERROW_TRY(const std::uint64_t increment,
                c_.reader.read_bits(static_cast<std::uint16_t>(nbinc)));
    const bool missing =
        reference_missing || (read.missing_capable && increment == increment_missing);
    if (i < records) {
      c_.numeric_value(v, missing ? r0 : r0 + increment, missing, read, code_table);
      columns_.push_back(v);
      if (c_.numbers) numbers_at(column)[i] = v.has_value() ? v.raw_value : nan;
    } else {
      numbers_at(column)[i] = missing ? nan : scaled_value(r0 + increment, read);
    }
  }
  return column;
}

Result<std::size_t> ColumnSink::text(std::uint32_t code, std::uint32_t name, std::uint16_t width,
                                     bool skip) {
  // A reference text, the increment width in octets, then (if that is not
  // 0) one text of that many octets per subset.
  const std::size_t octets = (width + 7u) / 8u;
  if (c_.scratch.size() < octets) c_.scratch.resize(octets);
  const std::uint64_t n = c_.subsets;
  SKERROW_CHECK(c_.spend(n));
  SKERROW_CHECK(c_.reader.read_bytes_into(width, c_.scratch.data()));
  SKERROW_TRY(const std::uint64_t nbinc, c_.reader.read_bits(6));
  const std::uint64_t ordinal = c_.text_ordinal++;
  const double locator_width = static_cast<double>(width / 8u);
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  v.flags = DecodedValue::kHasValue;
  if (skip && c_.numbers && (nbinc == 0 || skipped(nbinc * 8))) {
    const std::size_t column = begin_column(false);
    v.raw_value = static_cast<double>(ordinal * n + 1) * 1000.0 + locator_width;
    columns_.insert(columns_.end(), kept(false), v);
    return column;
  }
  std::optional<std::uint32_t> shared;
  if (nbinc == 0) shared = c_.text_of(c_.scratch.data(), octets);
  // NBINC has 6 bits, so a subset's own text has at most 63 octets.
  std::array<std::uint8_t, kMaxIncrementOctets> own;
  const std::size_t column = begin_column(false);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::optional<std::uint32_t> text = shared;
    if (nbinc != 0) {
      SKERROW_CHECK(c_.reader.read_bytes_into(static_cast<std::uint16_t>(nbinc * 8), own.data()));
      text = c_.text_of(own.data(), nbinc);
    }
    v.flags = DecodedValue::kHasValue;
    v.text = 0;
    if (text) {
      v.text = *text;
      v.flags |= DecodedValue::kHasText;
    }
    v.raw_value = static_cast<double>(ordinal * n + i + 1) * 1000.0 + locator_width;
    columns_.push_back(v);
  }
  return column;
}

Result<std::size_t> ColumnSink::operator_value(std::uint32_t code) {
  SKERROW_CHECK(c_.spend_on_operator_values(c_.subsets));
  const std::size_t column = begin_column(false);
  columns_.insert(columns_.end(), kept(false), operator_record(code));
  return column;
}

std::optional<double> ColumnSink::number(std::size_t item) const {
  if (c_.subsets == 0) return std::nullopt;
  const DecodedValue& v = columns_[starts_[item]];
  if (!v.has_raw() || !v.has_value()) return std::nullopt;
  return v.raw_value;
}

Result<std::uint64_t> ColumnSink::replication_factor(std::size_t item) const {
  const std::optional<double> first = number(item);
  if (!first) return std::uint64_t{0};
  for (std::size_t i = 1; i < c_.subsets; ++i) {
    double value = 0.0;
    bool has_value = false;
    if (c_.numbers) {
      // A column without numbers keeps a record for its first subset only.
      if (number_starts_[item] == DecodedValues::kNoNumbers) break;
      value = numbers_.run(number_starts_[item])[i];
      has_value = !std::isnan(value);
    } else {
      const DecodedValue& record = columns_[starts_[item] + i];
      value = record.raw_value;
      has_value = record.has_value();
    }
    if (!has_value || std::fabs(value - *first) > kFactorTolerance) {
      return parse_error("compressed delayed replication with varying factors is not implemented");
    }
  }
  return factor_of(*first);
}

void ColumnSink::finish(const DecodeOptions& options, std::vector<std::uint32_t>& element_of,
                        std::vector<std::uint32_t>& refers_to) {
  DecodedValues& out = c_.out;
  const std::size_t n = c_.subsets;
  const std::size_t columns = column_count_;
  out.subset_count = n;
  if (options.columns) {
    out.layout = DecodedValues::Layout::kColumns;
    out.column_count = columns;
    out.values = std::move(columns_);
    if (c_.numbers) {
      numbers_.shrink_to_fit();
      out.numbers = std::move(numbers_);
      out.column_numbers = std::move(number_starts_);
      out.column_records = std::move(starts_);
      out.column_records.push_back(out.values.size());
    }
    if (options.structure) {
      out.element_of = std::move(element_of);
      out.refers_to = std::move(refers_to);
    }
    return;
  }
  out.subset_starts.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.subset_starts[i] = i * columns;
  out.values.resize(columns_.size());
  DecodedValue* dst = out.values.data();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < columns; ++c) *dst++ = columns_[c * n + i];
  }
  std::vector<DecodedValue>().swap(columns_);
  if (options.structure) {
    // The same entries for every subset; references stay within a subset.
    out.element_of.resize(n * columns);
    out.refers_to.resize(n * columns);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t base = i * columns;
      for (std::size_t c = 0; c < columns; ++c) {
        out.element_of[base + c] = element_of[c];
        out.refers_to[base + c] =
            refers_to[c] == kNone ? kNone : static_cast<std::uint32_t>(base + refers_to[c]);
      }
    }
  }
}

// ------------------------------------------------------------------ walk

template <class Sink>
Decoder<Sink>::Decoder(const TableSet& tables, std::span<const std::uint8_t> section4_data,
                       std::uint16_t subsets, const DecodeOptions& options)
    : tables_(tables),
      options_(options),
      structure_(options.structure),
      context_(section4_data, subsets),
      sink_(context_) {
  if (options.recycle != nullptr) {
    DecodedValues& old = *options.recycle;
    context_.out.values = std::move(old.values);
    context_.out.values.clear();
    sink_.take_room(context_.out.values);
    element_of_ = std::move(old.element_of);
    element_of_.clear();
    refers_to_ = std::move(old.refers_to);
    refers_to_.clear();
  }
  context_.numbers = options.columns && options.numbers;
  context_.meanings = options.meanings;
  context_.code_meanings = options.code_meanings;
  associated_info_.code = kAssociatedFieldCode;
  associated_info_.name = kAssociatedFieldName;
  signify_info_.name = kSignifyCharacterName;
  signify_info_.character = true;
  if (structure_) {
    associated_info_.unit = context_.intern_name("");
    signify_info_.unit = context_.intern_name(kCharacterUnit);
  }
}

template <class Sink>
Result<DecodedValues> Decoder<Sink>::run(std::span<const std::uint32_t> descriptors) {
  for (std::uint64_t pass = 0; pass < sink_.walks(); ++pass) {
    // Operators, bitmaps and the history never cross a subset boundary;
    // the text ordinal and the bit position do.
    state_.reset();
    history_items_.clear();
    std::fill(rank_counts_.begin(), rank_counts_.end(), 0);
    sink_.begin_walk();
    SKERROW_CHECK(walk(descriptors, 0));
  }
  sink_.finish(options_, element_of_, refers_to_);
  DecodedValues out = std::move(context_.out);
  if (structure_) out.elements = std::move(elements_);
  return out;
}

template <class Sink>
void Decoder<Sink>::record(std::size_t item, std::uint32_t code, const ElementInfo& info,
                           std::int32_t scale, std::uint16_t width, double reference) {
  if (!structure_) return;
  const AppliedElement applied{code, info.unit, scale, width, reference};
  std::uint32_t index = info.applied;
  if (index == kNone || !(elements_[index] == applied)) {
    auto [it, inserted] = applied_index_.try_emplace(applied, 0);
    if (inserted) {
      it->second = static_cast<std::uint32_t>(elements_.size());
      elements_.push_back(applied);
    }
    index = it->second;
    info.applied = index;  // most elements are read alike every time
  }
  grow_to(item);
  element_of_[item] = index;
}

template <class Sink>
void Decoder<Sink>::record_operator(std::size_t item) {
  if (structure_) grow_to(item);
}

template <class Sink>
void Decoder<Sink>::grow_to(std::size_t item) {
  if (item == element_of_.size()) {
    // Items nearly always come one after the other.
    element_of_.push_back(kNone);
    refers_to_.push_back(kNone);
  } else if (item > element_of_.size()) {
    element_of_.resize(item + 1, kNone);
    refers_to_.resize(item + 1, kNone);
  }
}

namespace {

constexpr std::size_t kInfoSlots = std::size_t{1} << 14;

// Zeroed slot arrays for info_for, kept per thread: a fresh one per message
// costs an allocation and 32 KiB of zeroing, which for a small message is
// more than the decoding of its values.
std::vector<std::unique_ptr<std::uint16_t[]>>& spare_slot_arrays() {
  thread_local std::vector<std::unique_ptr<std::uint16_t[]>> spare;
  return spare;
}

}  // namespace

template <class Sink>
Decoder<Sink>::~Decoder() {
  if (!info_slots_) return;
  auto& spare = spare_slot_arrays();
  if (spare.size() >= 2) return;  // a thread decodes one message at a time
  for (const std::uint16_t index : set_slots_) info_slots_[index] = 0;
  spare.push_back(std::move(info_slots_));
}

template <class Sink>
const ElementInfo* Decoder<Sink>::info_for(std::uint32_t code) {
  std::uint16_t* found;
  std::size_t index = kInfoSlots;  // in info_slots_, or none
  const std::uint32_t x = code / 1000u;
  const std::uint32_t y = code - x * 1000u;
  if (code < 64000 && y < 256) {
    if (!info_slots_) {
      auto& spare = spare_slot_arrays();
      if (spare.empty()) {
        info_slots_ = std::make_unique<std::uint16_t[]>(kInfoSlots);
      } else {
        info_slots_ = std::move(spare.back());
        spare.pop_back();
      }
    }
    index = (std::size_t{x} << 8) | y;
    found = &info_slots_[index];
  } else {
    found = &other_slots_[code];  // a code no 16-bit descriptor has, from a table
  }
  std::uint16_t& slot = *found;
  if (slot == kNotInTableB) return nullptr;
  if (slot != 0) return &infos_[slot - 1u];
  const ElementDefinition* def = tables_.element(code);
  if (index != kInfoSlots) set_slots_.push_back(static_cast<std::uint16_t>(index));
  if (def == nullptr) {
    slot = kNotInTableB;
    return nullptr;
  }
  ElementInfo& info = infos_.emplace_back();
  // Slots hold 16 bits; tables with more entries than that in one message
  // only lose the caching.
  if (infos_.size() < kNotInTableB) slot = static_cast<std::uint16_t>(infos_.size());
  info.code = code;
  info.name = context_.intern_name(def->name);
  info.scale = def->scale;
  info.reference = def->reference;
  info.width = def->width;
  info.character = def->unit == kCharacterUnit;
  const bool flag_table = contains_ignoring_case(def->unit, "flag table");
  info.table_unit = flag_table || contains_ignoring_case(def->unit, "code table");
  info.class31 = x == 31;
  if (!flag_table && options_.code_meanings) {
    const CodeTable* table = tables_.code_table(code);
    if (table != nullptr && !table->empty()) info.code_table = table;
  }
  if (structure_) info.unit = context_.intern_name(def->unit);
  set_wanted(info, def->abbreviation);
  return &info;
}

template <class Sink>
void Decoder<Sink>::set_wanted(ElementInfo& info, std::string_view abbreviation) {
  // Class 31 values steer the decoding of what follows.
  if (options_.keys == nullptr || info.class31) return;
  const std::string key =
      abbreviation.empty() ? format_descriptor(info.code) : std::string(abbreviation);
  const auto it = options_.keys->ranks.find(key);
  if (it == options_.keys->ranks.end()) {
    info.skip = true;
    return;
  }
  if (it->second.empty() || split_code(info.code).x == 33) return;
  info.ranks = &it->second;
  const auto [slot, added] =
      key_slots_.try_emplace(key, static_cast<std::uint32_t>(key_slots_.size()));
  if (added) rank_counts_.push_back(0);
  info.key_slot = slot->second;
}

template <class Sink>
bool Decoder<Sink>::unwanted_plain(const ElementInfo& info) {
  if (info.skip) return true;
  if (info.ranks == nullptr) return false;
  const std::uint32_t rank = ++rank_counts_[info.key_slot];
  return !std::binary_search(info.ranks->begin(), info.ranks->end(), rank);
}

template <class Sink>
Result<const ElementInfo*> Decoder<Sink>::info_or_stand_in(std::uint32_t code) {
  if (const ElementInfo* info = info_for(code)) return info;
  if (!state_.local_width) return error::ElementNotFound{code};
  // 2-06 announced the width of a local element so that a decoder without
  // its definition can still step over it: read it as a plain number.
  const std::uint16_t width = *state_.local_width;
  const std::uint64_t key = (std::uint64_t{code} << 16) | width;
  auto [it, inserted] = stand_ins_.try_emplace(key);
  if (inserted) {
    auto info = std::make_unique<ElementInfo>();
    info->code = code;
    info->name = context_.intern_name("unknown");
    info->width = width;
    info->class31 = split_code(code).x == 31;
    if (structure_) info->unit = context_.intern_name("");
    set_wanted(*info, {});
    it->second = std::move(info);
  }
  return static_cast<const ElementInfo*>(it->second.get());
}

template <class Sink>
NumericRead Decoder<Sink>::numeric_read(const ElementInfo& info,
                                        const EffectiveReference* marker_reference,
                                        std::uint16_t marker_width) const {
  NumericRead read;
  read.missing_capable = !info.class31;
  std::uint16_t table_width = info.width;
  EffectiveReference base;
  if (marker_reference != nullptr) {
    base = *marker_reference;
    table_width = marker_width;
  } else {
    base.exact = info.reference;
    if (!state_.new_references.empty()) {
      auto it = state_.new_references.find(info.code);
      if (it != state_.new_references.end()) base.exact = it->second;
    }
  }
  if (state_.local_width) {
    read.width = *state_.local_width;
  } else if (info.table_unit) {
    read.width = table_width;
  } else {
    const std::int64_t sum = std::int64_t{table_width} + state_.width_change;
    read.width = static_cast<std::uint16_t>(std::clamp<std::int64_t>(sum, 0, 65535));
  }
  if (info.table_unit) {
    read.scale = info.scale;
    read.reference = base;
    return read;
  }
  read.scale = static_cast<std::int32_t>(std::clamp<std::int64_t>(
      std::int64_t{info.scale} + state_.scale_change, std::numeric_limits<std::int32_t>::min(),
      std::numeric_limits<std::int32_t>::max()));
  const unsigned p = state_.reference_power;
  if (p == 0) {
    read.reference = base;
  } else if (base.is_exact && p <= 38 &&
             !__builtin_mul_overflow(base.exact, power_of_ten_128(p), &read.reference.exact)) {
    read.reference.is_exact = true;
  } else {
    // Beyond 128 bits no exact value is needed: such a reference dwarfs any
    // raw value of at most 64 bits.
    read.reference.is_exact = false;
    read.reference.approx = base.as_double() * power_of_ten(static_cast<std::int32_t>(p));
  }
  return read;
}

template <class Sink>
Result<std::size_t> Decoder<Sink>::decode_element(const ElementInfo& info, bool marker25,
                                                  bool skip) {
  std::uint16_t marker_width = info.width;
  EffectiveReference marker_reference;
  if (marker25) {
    // Differences are signed: one more bit, and a reference of -(2^w)
    // centres the range on zero.
    const unsigned w = info.width;
    marker_width =
        w == 65535 ? static_cast<std::uint16_t>(65535) : static_cast<std::uint16_t>(w + 1);
    if (w <= 126) {
      marker_reference.exact = -(static_cast<Int128>(1) << w);
    } else {
      marker_reference.is_exact = false;
      marker_reference.approx = -std::ldexp(1.0, static_cast<int>(w));
    }
  }
  if (info.character) {
    const std::uint16_t width = state_.character_width ? *state_.character_width : marker_width;
    SKERROW_TRY(const std::size_t item, sink_.text(info.code, info.name, width, skip));
    record(item, info.code, info, 0, width, 0.0);
    return item;
  }
  NumericRead read = numeric_read(info, marker25 ? &marker_reference : nullptr, marker_width);
  read.skip = skip;
  if (read.scale < -kMaxScale || read.scale > kMaxScale) {
    return parse_error("scale " + std::to_string(read.scale) + " of element " +
                       format_descriptor(info.code) + " is beyond what a double can represent");
  }
  SKERROW_TRY(const std::size_t item, sink_.numeric(info.code, info.name, read, info.code_table));
  record(item, info.code, info, read.scale, read.width, read.reference.as_double());
  return item;
}

template <class Sink>
Result<void> Decoder<Sink>::associated_field() {
  NumericRead read;
  read.width = state_.associated_width;
  read.missing_capable = false;
  SKERROW_TRY(const std::size_t item,
              sink_.numeric(kAssociatedFieldCode, kAssociatedFieldName, read, nullptr));
  record(item, kAssociatedFieldCode, associated_info_, 0, read.width, 0.0);
  pending_associated_ = item;
  return {};
}

template <class Sink>
Result<void> Decoder<Sink>::emit_operator(std::uint32_t code) {
  SKERROW_TRY(const std::size_t item, sink_.operator_value(code));
  record_operator(item);
  return {};
}

template <class Sink>
Result<std::optional<std::size_t>> Decoder<Sink>::next_bitmap_reference(std::uint64_t& cursor) {
  auto& s = state_;
  const std::uint64_t size = s.bitmap.size();
  if (size == 0) return std::optional<std::size_t>();
  // A 2-36-000 bitmap covers the elements decoded just before it.
  std::uint64_t start = s.bitmap_anchor >= size ? s.bitmap_anchor - size : 0;
  // An operator's own bitmap ends at the last element before the first
  // operator of its kind. (Its length was checked against that as it was
  // read; after 2-36-000 later 031031 values may still lengthen it.)
  if (s.bitmap_from_operator) {
    const std::uint64_t referable = *s.first_operator_history;
    if (size > referable) return bitmap_too_long(referable);
    start = referable - size;
  }
  while (cursor < size) {
    SKERROW_CHECK(context_.spend(1));
    const std::uint64_t k = cursor++;
    if (s.bitmap[k] == 1) continue;  // 1: data not present
    const std::uint64_t index = start + k;
    if (index >= s.descriptor_history.size()) {
      return parse_error("bitmap reference is outside descriptor history");
    }
    return std::optional<std::size_t>(index);
  }
  return std::optional<std::size_t>();
}

template <class Sink>
Result<void> Decoder<Sink>::walk(std::span<const std::uint32_t> list, unsigned depth) {
  SKERROW_CHECK(check_depth(depth, Sink::kWalk));
  for (std::size_t i = 0; i < list.size(); ++i) {
    SKERROW_CHECK(context_.spend(1));
    const std::uint32_t code = list[i];
    switch (split_code(code).f) {
      case 0:
        SKERROW_CHECK(element(code));
        break;
      case 1:
        SKERROW_CHECK(replication(list, i, depth));
        break;
      case 2:
        SKERROW_CHECK(operation(code));
        break;
      case 3: {
        SKERROW_TRY(const SequenceDefinition* sequence, find_sequence(tables_, code));
        SKERROW_CHECK(walk(sequence->members, depth + 1));
        break;
      }
      default:
        return invalid_descriptor(code);
    }
  }
  return {};
}

template <class Sink>
Result<void> Decoder<Sink>::element(std::uint32_t code) {
  if (state_.new_reference_width != 0) return read_new_reference(code);
  if (state_.associated_width != 0 && takes_associated_field(code)) {
    SKERROW_CHECK(associated_field());
  }
  SKERROW_TRY(const ElementInfo* info, info_or_stand_in(code));
  SKERROW_TRY(const std::size_t item, decode_element(*info, false, unwanted_plain(*info)));
  if (pending_associated_) {
    refer(*pending_associated_, item);
    pending_associated_.reset();
  }
  auto& s = state_;
  s.local_width.reset();  // 2-06 governs one element descriptor
  if (code == kBitmapEntryCode && (s.operator_bitmap_may_follow || s.reading_operator_bitmap)) {
    if (s.operator_bitmap_may_follow) {
      // The first entry of the operator's own bitmap: it replaces the last.
      s.bitmap.clear();
      s.bitmap_cursor = 0;
      s.quality_cursor = 0;
      s.bitmap_from_operator = true;
      s.operator_bitmap_may_follow = false;
      s.reading_operator_bitmap = true;
    }
    add_bitmap_entry(item);
    const std::uint64_t referable = *s.first_operator_history;
    if (s.bitmap.size() > referable) return bitmap_too_long(referable);
    return {};
  }
  s.operator_bitmap_may_follow = false;
  s.reading_operator_bitmap = false;
  if (code == kBitmapEntryCode && s.defining_bitmap) {
    add_bitmap_entry(item);
    return {};
  }
  if (structure_ && s.quality_follows && split_code(code).x == 33) {
    SKERROW_TRY(const std::optional<std::size_t> marked, next_bitmap_reference(s.quality_cursor));
    if (marked) refer(item, history_items_[*marked]);
  }
  s.descriptor_history.push_back(info);
  if (structure_) history_items_.push_back(item);
  return {};
}

template <class Sink>
void Decoder<Sink>::add_bitmap_entry(std::size_t item) {
  const std::optional<double> entry = sink_.bitmap_entry(item);
  if (!entry) return;
  state_.bitmap.push_back(bitmap_entry_of(*entry));
}

template <class Sink>
Result<void> Decoder<Sink>::read_new_reference(std::uint32_t code) {
  // A new reference value: sign bit (1 = negative), then the magnitude.
  const unsigned width = state_.new_reference_width;
  SKERROW_TRY(const std::uint64_t sign, context_.reader.read_bits(1));
  UInt128 magnitude = 0;
  for (unsigned left = width - 1; left > 0;) {
    const unsigned chunk = std::min(left, 64u);
    SKERROW_TRY(const std::uint64_t part,
                context_.reader.read_bits(static_cast<std::uint16_t>(chunk)));
    if (magnitude >> (127 - chunk) != 0)
      magnitude = ~static_cast<UInt128>(0) >> 1;
    else
      magnitude = (magnitude << chunk) | part;
    left -= chunk;
  }
  const UInt128 limit = static_cast<UInt128>(1) << 63;
  if (magnitude > limit || (sign == 0 && magnitude == limit)) {
    return parse_error("new reference value of operator " + new_reference_operator(width) +
                       " for " + format_descriptor(code) + " does not fit in 64 bits");
  }
  const auto value = static_cast<std::int64_t>(sign != 0 ? -static_cast<Int128>(magnitude)
                                                         : static_cast<Int128>(magnitude));
  state_.new_references[code] = value;
  return {};
}

template <class Sink>
Result<void> Decoder<Sink>::replication(std::span<const std::uint32_t> list, std::size_t& i,
                                        unsigned depth) {
  const std::uint32_t code = list[i];
  SKERROW_TRY(const Replication r, check_replication(code, i, list.size(), Sink::kWalk));
  if (!r.delayed()) {
    const auto body = list.subspan(r.body, r.length);
    for (unsigned k = 0; k < r.times; ++k) SKERROW_CHECK(walk(body, depth + 1));
    i = r.next() - 1;
    return {};
  }
  const std::uint32_t factor_code = list[i + 1];
  if (state_.new_reference_width != 0) {
    return parse_error("delayed replication " + format_descriptor(code) +
                       " inside a new reference value definition (operator 203YYY) is not "
                       "supported");
  }
  if (Sink::kAssociatedFieldBeforeFactor && state_.associated_width != 0 &&
      takes_associated_field(factor_code)) {
    SKERROW_CHECK(associated_field());
  }
  SKERROW_TRY(const ElementInfo* info, info_or_stand_in(factor_code));
  SKERROW_TRY(const std::size_t item, decode_element(*info, false, false));
  if (pending_associated_) {
    refer(*pending_associated_, item);
    pending_associated_.reset();
  }
  SKERROW_TRY(const std::uint64_t factor, sink_.replication_factor(item));
  state_.descriptor_history.push_back(info);
  if (structure_) history_items_.push_back(item);
  const auto body = list.subspan(r.body, r.length);
  for (std::uint64_t k = 0; k < factor; ++k) SKERROW_CHECK(walk(body, depth + 1));
  i = r.next() - 1;
  return {};
}

template <class Sink>
Result<void> Decoder<Sink>::marker(std::uint8_t x) {
  SKERROW_TRY(const std::optional<std::size_t> marked, next_bitmap_reference(state_.bitmap_cursor));
  if (!marked) return {};
  SKERROW_TRY(const std::size_t item, decode_element(*state_.descriptor_history[*marked], x == 25,
                                                     state_.descriptor_history[*marked]->skip));
  if (structure_) refer(item, history_items_[*marked]);
  return {};
}

template <class Sink>
Result<void> Decoder<Sink>::operation(std::uint32_t code) {
  const Fxy d = split_code(code);
  const std::uint8_t y = d.y;
  auto& s = state_;
  // A bitmap belongs to an operator only when it follows it directly.
  s.operator_bitmap_may_follow = false;
  s.reading_operator_bitmap = false;
  switch (d.x) {
    case 1:
      s.width_change = y == 0 ? 0 : y - 128;
      break;
    case 2:
      s.scale_change = y == 0 ? 0 : y - 128;
      break;
    case 3:
      // New reference values: 2-03-YYY starts their definition, 2-03-255
      // ends it, 2-03-000 goes back to the Table B references.
      if (y == 0) s.new_references.clear();
      s.new_reference_width = (y == 0 || y == 255) ? 0 : y;
      break;
    case 4:
      s.associated_width = y;
      break;
    case 5:
      // Y octets of text in the data, read like a character element.
      if (y != 0) {
        const auto width = static_cast<std::uint16_t>(8u * y);
        SKERROW_TRY(const std::size_t item, sink_.text(code, kSignifyCharacterName, width, false));
        record(item, code, signify_info_, 0, width, 0.0);
      }
      break;
    case 6:
      s.local_width = y;
      break;
    case 7:
      if (y == 0) {
        s.width_change = 0;
        s.scale_change = 0;
        s.reference_power = 0;
      } else {
        s.scale_change = y;
        s.width_change = (10 * y + 2) / 3;
        s.reference_power = y;
      }
      break;
    case 8:
      if (y == 0) {
        s.character_width.reset();
      } else {
        s.character_width = static_cast<std::uint16_t>(8u * y);
      }
      break;
    case 9:
      if (y != 0) {
        return parse_error("operator " + format_descriptor(code) +
                           " (IEEE floating point data) is not supported");
      }
      break;
    case 21:
      if (y != 0) {
        return parse_error("operator " + format_descriptor(code) +
                           " (data not present) is not supported");
      }
      break;
    case 62:
      if (y == 0) SKERROW_CHECK(emit_operator(code));
      break;
    case 22:
    case 23:
    case 24:
    case 25:
    case 32:
      if (y == 255 && d.x != 22) return marker(d.x);
      if (y == 0) {
        SKERROW_CHECK(emit_operator(code));
        if (!s.first_operator_history) s.first_operator_history = s.descriptor_history.size();
        s.operator_bitmap_may_follow = true;
        s.quality_follows = d.x == 22;
        s.quality_cursor = 0;
      } else if (d.x != 22) {
        SKERROW_CHECK(emit_operator(code));
      }
      break;
    case 26:
    case 27:
    case 29:
    case 30:
    case 31:
    case 33:
    case 34:
    case 38:
    case 39:
    case 40:
    case 41:
    case 42:
      SKERROW_CHECK(emit_operator(code));
      break;
    case 35:
      SKERROW_CHECK(emit_operator(code));
      if (y == 0) {
        s.bitmap.clear();
        s.bitmap_cursor = 0;
        s.bitmap_anchor = 0;
        s.bitmap_from_operator = false;
        s.quality_follows = false;
      }
      break;
    case 36:
      if (y == 0) {
        SKERROW_CHECK(emit_operator(code));
        s.defining_bitmap = true;
        s.bitmap_from_operator = false;
        s.bitmap.clear();
        s.bitmap_cursor = 0;
        s.quality_cursor = 0;
        s.bitmap_anchor = s.descriptor_history.size();
      }
      break;
    case 37:
      SKERROW_CHECK(emit_operator(code));
      s.bitmap_cursor = 0;
      s.quality_cursor = 0;
      if (y != 0) {
        s.bitmap.clear();
        s.bitmap_anchor = 0;
        s.bitmap_from_operator = false;
      }
      break;
    default:
      break;
  }
  return {};
}

}  // namespace detail

Result<DecodedValues> decode_data(const BufrMessage& message, const TableSet& tables,
                                  std::span<const std::uint8_t> section4_data,
                                  const DecodeOptions& options) {
  if (message.compressed_data) {
    detail::Decoder<detail::ColumnSink> decoder(tables, section4_data,
                                                message.number_of_subsets, options);
    return decoder.run(message.unexpanded_descriptors);
  }
  detail::Decoder<detail::RowSink> decoder(tables, section4_data, message.number_of_subsets,
                                           options);
  return decoder.run(message.unexpanded_descriptors);
}

}  // namespace skerrow
