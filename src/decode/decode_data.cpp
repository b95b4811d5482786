#include "decode/decode_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "decode/decoder.h"
#include "tables/descriptor.h"

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
// message of our corpus (compressed, constant columns) emits 8.5 values per
// bit; while replication factors up to 2^64 - 1, replicated lists that read
// nothing and 65535 subsets of operators stop instead of hanging.
constexpr std::uint64_t kWorkPerBit = 16;
constexpr std::uint64_t kWorkConstant = std::uint64_t{1} << 22;

constexpr unsigned kMaxDepth = 64;

// 031031, data present indicator: the element bitmaps are written with.
constexpr std::uint32_t kBitmapEntryCode = 31031;

// Whether `text` contains `word` (lower case) in any case. Real trees write
// units such as "Common CODE TABLE C-1" or "CODE TABLE defined by
// originating/generating centre" for code tables.
bool contains_ignoring_case(std::string_view text, std::string_view word) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  const auto found = std::search(text.begin(), text.end(), word.begin(), word.end(),
                                 [&](char a, char b) { return lower(a) == b; });
  return found != text.end();
}

// 10^s as the library's pow gives it, cached for the scales tables use.
double power_of_ten(std::int32_t s) {
  constexpr std::int32_t kLow = -400;
  constexpr std::int32_t kHigh = 400;
  static const std::array<double, kHigh - kLow + 1> table = [] {
    std::array<double, kHigh - kLow + 1> t{};
    for (std::int32_t k = kLow; k <= kHigh; ++k) {
      t[static_cast<std::size_t>(k - kLow)] = std::pow(10.0, static_cast<double>(k));
    }
    return t;
  }();
  if (s < kLow || s > kHigh) return std::pow(10.0, static_cast<double>(s));
  return table[static_cast<std::size_t>(s - kLow)];
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

Decoder::Decoder(const TableSet& tables, std::span<const std::uint8_t> section4_data,
                 std::uint16_t subsets, bool compressed)
    : tables_(tables), reader_(section4_data), subsets_(subsets), compressed_(compressed) {
  const std::uint64_t bits = reader_.bit_length();
  budget_total_ = kWorkPerBit * bits + kWorkConstant;
  budget_ = budget_total_;
  out_.strings = {"operator", "associatedField", "signifyCharacter"};
  for (std::uint32_t k = 0; k < out_.strings.size(); ++k) names_.emplace(out_.strings[k], k);
}

DecodeError Decoder::budget_exceeded() const {
  return parse_error("decoding exceeds the work bound of the message (" +
                     std::to_string(budget_total_) + " steps and values for " +
                     std::to_string(reader_.bit_length()) + " bits of section 4)");
}

Result<DecodedValues> Decoder::run(std::span<const std::uint32_t> descriptors) {
  if (compressed_) {
    SKERROW_CHECK(walk(descriptors, 0));
    const std::size_t n = subsets_;
    if (n != 0) {
      const std::size_t columns = columns_.size() / n;
      out_.subset_starts.resize(n);
      for (std::size_t i = 0; i < n; ++i) out_.subset_starts[i] = i * columns;
      out_.values.resize(columns_.size());
      DecodedValue* dst = out_.values.data();
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < columns; ++c) *dst++ = columns_[c * n + i];
      }
    }
    std::vector<DecodedValue>().swap(columns_);
  } else {
    for (std::uint32_t s = 0; s < subsets_; ++s) {
      // Operators, bitmaps and the history never cross a subset boundary;
      // the text ordinal and the bit position do.
      state_.reset();
      out_.subset_starts.push_back(out_.values.size());
      SKERROW_CHECK(walk(descriptors, 0));
    }
  }
  return std::move(out_);
}

std::uint32_t Decoder::intern_name(std::string_view name) {
  auto it = names_.find(std::string(name));
  if (it != names_.end()) return it->second;
  const auto index = static_cast<std::uint32_t>(out_.strings.size());
  out_.strings.emplace_back(name);
  names_.emplace(std::string(name), index);
  return index;
}

std::uint32_t Decoder::intern_meaning(const std::string* meaning) {
  auto [it, inserted] = meanings_.try_emplace(meaning, 0);
  if (inserted) {
    it->second = static_cast<std::uint32_t>(out_.strings.size());
    out_.strings.push_back(*meaning);
  }
  return it->second;
}

const ElementInfo* Decoder::info_for(std::uint32_t code) {
  auto [it, inserted] = infos_.try_emplace(code);
  if (!inserted) return it->second.get();
  const ElementDefinition* def = tables_.element(code);
  if (def == nullptr) return nullptr;
  auto info = std::make_unique<ElementInfo>();
  info->code = code;
  info->name = intern_name(def->name);
  info->scale = def->scale;
  info->reference = def->reference;
  info->width = def->width;
  info->character = def->unit == "CCITT IA5";
  const bool flag_table = contains_ignoring_case(def->unit, "flag table");
  info->table_unit = flag_table || contains_ignoring_case(def->unit, "code table");
  info->class31 = split_code(code).x == 31;
  if (!flag_table) {
    const CodeTable* table = tables_.code_table(code);
    if (table != nullptr && !table->empty()) info->code_table = table;
  }
  it->second = std::move(info);
  return it->second.get();
}

Result<const ElementInfo*> Decoder::info_or_stand_in(std::uint32_t code) {
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
    info->name = intern_name("unknown");
    info->width = width;
    info->class31 = split_code(code).x == 31;
    it->second = std::move(info);
  }
  return static_cast<const ElementInfo*>(it->second.get());
}

NumericRead Decoder::numeric_read(const ElementInfo& info,
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
    const double b = base.is_exact ? static_cast<double>(base.exact) : base.approx;
    read.reference.is_exact = false;
    read.reference.approx = b * power_of_ten(static_cast<std::int32_t>(p));
  }
  return read;
}

double Decoder::scaled_value(std::uint64_t raw, const NumericRead& read) {
  double sum;
  Int128 exact;
  if (read.reference.is_exact &&
      !__builtin_add_overflow(read.reference.exact, static_cast<Int128>(raw), &exact)) {
    sum = static_cast<double>(exact);
  } else {
    const double b =
        read.reference.is_exact ? static_cast<double>(read.reference.exact) : read.reference.approx;
    sum = b + static_cast<double>(raw);
  }
  // Divided by 10^s, not multiplied by 10^-s: the two differ in the last bit.
  return sum / power_of_ten(read.scale);
}

std::optional<std::uint32_t> Decoder::text_of(const std::uint8_t* bytes, std::size_t count) {
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
  const auto index = static_cast<std::uint32_t>(out_.strings.size());
  out_.strings.push_back(std::move(text));
  return index;
}

Result<std::size_t> Decoder::decode_text(std::uint32_t code, std::uint32_t name,
                                         std::uint16_t width) {
  const std::size_t octets = (width + 7u) / 8u;
  if (scratch_.size() < octets) scratch_.resize(octets);
  std::vector<DecodedValue>& out = sink();
  const std::size_t first = out.size();
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  v.flags = DecodedValue::kHasValue;
  if (!compressed_) {
    SKERROW_CHECK(spend(1));
    SKERROW_CHECK(reader_.read_bytes_into(width, scratch_.data()));
    ++text_ordinal_;  // for every character item, missing or not
    if (auto text = text_of(scratch_.data(), octets)) {
      v.text = *text;
      v.flags |= DecodedValue::kHasText;
    }
    v.raw_value = static_cast<double>(text_ordinal_ * 1000 + width / 8u);
    out.push_back(v);
    return first;
  }
  // Compressed: a reference text, the increment width in octets, then (if
  // that is not 0) one text of that many octets per subset.
  const std::uint64_t n = subsets_;
  SKERROW_CHECK(spend(n));
  SKERROW_CHECK(reader_.read_bytes_into(width, scratch_.data()));
  SKERROW_TRY(const std::uint64_t nbinc, reader_.read_bits(6));
  const std::uint64_t ordinal = text_ordinal_++;
  const double locator_width = static_cast<double>(width / 8u);
  std::optional<std::uint32_t> shared;
  if (nbinc == 0) shared = text_of(scratch_.data(), octets);
  std::uint8_t own[64];
  for (std::uint64_t i = 0; i < n; ++i) {
    std::optional<std::uint32_t> text = shared;
    if (nbinc != 0) {
      SKERROW_CHECK(reader_.read_bytes_into(static_cast<std::uint16_t>(nbinc * 8), own));
      text = text_of(own, nbinc);
    }
    v.flags = DecodedValue::kHasValue;
    v.text = 0;
    if (text) {
      v.text = *text;
      v.flags |= DecodedValue::kHasText;
    }
    v.raw_value = static_cast<double>(ordinal * n + i + 1) * 1000.0 + locator_width;
    out.push_back(v);
  }
  return first;
}

Result<std::size_t> Decoder::decode_numeric(std::uint32_t code, std::uint32_t name,
                                            const NumericRead& read, const CodeTable* code_table) {
  std::vector<DecodedValue>& out = sink();
  const std::size_t first = out.size();
  DecodedValue v;
  v.descriptor = code;
  v.name = name;
  auto finish = [&](std::uint64_t raw, bool missing) {
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
    if (code_table != nullptr) {
      auto it = code_table->find(raw);
      if (it != code_table->end()) {
        v.text = intern_meaning(&it->second);
        v.flags |= DecodedValue::kHasMeaning;
      }
    }
  };
  if (!compressed_) {
    SKERROW_CHECK(spend(1));
    SKERROW_TRY(const std::uint64_t raw, reader_.read_bits(read.width));
    finish(raw, read.missing_capable && read.width <= 63 && raw == all_ones(read.width));
    out.push_back(v);
    return first;
  }
  // Compressed: reference R0 of the item's width, the increment width
  // NBINC in 6 bits, then NBINC bits per subset when NBINC is not 0.
  const std::uint64_t n = subsets_;
  SKERROW_CHECK(spend(n));
  SKERROW_TRY(const std::uint64_t r0, reader_.read_bits(read.width));
  SKERROW_TRY(const std::uint64_t nbinc, reader_.read_bits(6));
  const bool reference_missing =
      read.missing_capable && read.width < 64 && r0 == all_ones(read.width);
  if (nbinc == 0) {
    finish(r0, reference_missing);
    out.insert(out.end(), n, v);
    return first;
  }
  const std::uint64_t increment_missing = all_ones(static_cast<unsigned>(nbinc));
  for (std::uint64_t i = 0; i < n; ++i) {
    SKERROW_TRY(const std::uint64_t increment,
                reader_.read_bits(static_cast<std::uint16_t>(nbinc)));
    const bool missing =
        reference_missing || (read.missing_capable && increment == increment_missing);
    finish(missing ? r0 : r0 + increment, missing);
    out.push_back(v);
  }
  return first;
}

Result<std::size_t> Decoder::decode_element(const ElementInfo& info, bool marker25) {
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
    return decode_text(info.code, info.name, width);
  }
  const NumericRead read = numeric_read(info, marker25 ? &marker_reference : nullptr, marker_width);
  return decode_numeric(info.code, info.name, read, info.code_table);
}

Result<void> Decoder::associated_field() {
  NumericRead read;
  read.width = state_.associated_width;
  read.missing_capable = false;
  SKERROW_TRY(std::size_t ignored,
              decode_numeric(kAssociatedFieldCode, kAssociatedFieldName, read, nullptr));
  (void)ignored;
  return {};
}

Result<void> Decoder::emit_operator(std::uint32_t code) {
  SKERROW_CHECK(spend(compressed_ ? subsets_ : 1));
  DecodedValue v;
  v.descriptor = code;
  v.name = kOperatorName;
  v.raw = 0;
  v.raw_value = 0.0;
  v.flags = DecodedValue::kHasRaw | DecodedValue::kHasValue;
  if (compressed_) {
    columns_.insert(columns_.end(), subsets_, v);
  } else {
    out_.values.push_back(v);
  }
  return {};
}

std::optional<double> Decoder::first_value(std::size_t index) const {
  const std::vector<DecodedValue>& out = compressed_ ? columns_ : out_.values;
  if (compressed_ && subsets_ == 0) return std::nullopt;
  const DecodedValue& v = out[index];
  if (!v.has_raw() || !v.has_value()) return std::nullopt;
  return v.raw_value;
}

Result<std::uint64_t> Decoder::replication_factor(std::size_t index) const {
  const std::optional<double> first = first_value(index);
  if (!first) return std::uint64_t{0};
  if (compressed_) {
    // One walk serves all subsets, so every subset must repeat alike.
    for (std::size_t i = 1; i < subsets_; ++i) {
      const DecodedValue& v = columns_[index + i];
      if (!v.has_value() || std::fabs(v.raw_value - *first) > 0x1p-52) {
        return parse_error(
            "compressed delayed replication with varying factors is not implemented");
      }
    }
  }
  const double f = *first;
  if (!(f > 0.0)) return std::uint64_t{0};
  if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(f);
}

Result<const ElementInfo*> Decoder::next_bitmap_reference() {
  auto& s = state_;
  const std::uint64_t size = s.bitmap.size();
  if (size == 0) return static_cast<const ElementInfo*>(nullptr);
  // A 2-36-000 bitmap covers the elements decoded just before it.
  std::uint64_t start = s.bitmap_anchor >= size ? s.bitmap_anchor - size : 0;
  // An operator's own bitmap ends at the last element before the first
  // operator of its kind (its length was checked against that).
  if (s.bitmap_from_operator) start = *s.first_operator_history - size;
  while (s.bitmap_cursor < size) {
    SKERROW_CHECK(spend(1));
    const std::uint64_t k = s.bitmap_cursor++;
    if (s.bitmap[k] == 1) continue;  // 1: data not present
    const std::uint64_t index = start + k;
    if (index >= s.descriptor_history.size()) {
      return parse_error("bitmap reference is outside descriptor history");
    }
    return s.descriptor_history[index];
  }
  return static_cast<const ElementInfo*>(nullptr);
}

Result<void> Decoder::walk(std::span<const std::uint32_t> list, unsigned depth) {
  if (depth > kMaxDepth) {
    return parse_error(compressed_ ? "compressed descriptor decode exceeded recursion depth"
                                   : "descriptor decode exceeded recursion depth");
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    SKERROW_CHECK(spend(1));
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
        const SequenceDefinition* sequence = tables_.sequence(code);
        if (sequence == nullptr) return error::SequenceNotFound{code};
        SKERROW_CHECK(walk(sequence->members, depth + 1));
        break;
      }
      default:
        return parse_error("invalid descriptor " + format_descriptor(code));
    }
  }
  return {};
}

Result<void> Decoder::element(std::uint32_t code) {
  if (state_.new_reference_width != 0) return read_new_reference(code);
  if (state_.associated_width != 0 && split_code(code).x != 31) {
    SKERROW_CHECK(associated_field());
  }
  SKERROW_TRY(const ElementInfo* info, info_or_stand_in(code));
  SKERROW_TRY(const std::size_t index, decode_element(*info, false));
  auto& s = state_;
  s.local_width.reset();  // 2-06 governs one element descriptor
  if (code == kBitmapEntryCode && (s.operator_bitmap_may_follow || s.reading_operator_bitmap)) {
    if (s.operator_bitmap_may_follow) {
      // The first entry of the operator's own bitmap: it replaces the last.
      s.bitmap.clear();
      s.bitmap_cursor = 0;
      s.bitmap_from_operator = true;
      s.operator_bitmap_may_follow = false;
      s.reading_operator_bitmap = true;
    }
    add_bitmap_entry(index);
    const std::uint64_t referable = *s.first_operator_history;
    if (s.bitmap.size() > referable) {
      return parse_error("bitmap has more entries than the " + std::to_string(referable) +
                         " data elements it refers to");
    }
    return {};
  }
  s.operator_bitmap_may_follow = false;
  s.reading_operator_bitmap = false;
  if (code == kBitmapEntryCode && s.defining_bitmap) {
    add_bitmap_entry(index);
  } else {
    s.descriptor_history.push_back(info);
  }
  return {};
}

void Decoder::add_bitmap_entry(std::size_t index) {
  const std::optional<double> entry = first_value(index);
  if (entry || compressed_) {
    const double clamped = entry ? std::clamp(*entry, 0.0, 255.0) : 0.0;
    state_.bitmap.push_back(static_cast<std::uint8_t>(clamped));
  }
}

Result<void> Decoder::read_new_reference(std::uint32_t code) {
  // A new reference value: sign bit (1 = negative), then the magnitude.
  const unsigned width = state_.new_reference_width;
  SKERROW_TRY(const std::uint64_t sign, reader_.read_bits(1));
  UInt128 magnitude = 0;
  for (unsigned left = width - 1; left > 0;) {
    const unsigned chunk = std::min(left, 64u);
    SKERROW_TRY(const std::uint64_t part, reader_.read_bits(static_cast<std::uint16_t>(chunk)));
    if (magnitude >> (127 - chunk) != 0)
      magnitude = ~static_cast<UInt128>(0) >> 1;
    else
      magnitude = (magnitude << chunk) | part;
    left -= chunk;
  }
  const UInt128 limit = static_cast<UInt128>(1) << 63;
  if (magnitude > limit || (sign == 0 && magnitude == limit)) {
    return parse_error("new reference value of operator " + format_descriptor(203000 + width) +
                       " for " + format_descriptor(code) + " does not fit in 64 bits");
  }
  const auto value = static_cast<std::int64_t>(sign != 0 ? -static_cast<Int128>(magnitude)
                                                         : static_cast<Int128>(magnitude));
  state_.new_references[code] = value;
  return {};
}

Result<void> Decoder::replication(std::span<const std::uint32_t> list, std::size_t& i,
                                  unsigned depth) {
  const std::uint32_t code = list[i];
  const Fxy d = split_code(code);
  const std::size_t n = list.size();
  if (d.x == 0 || i + d.x >= n) return error::UnsupportedReplication{code};
  if (d.y != 0) {
    const auto body = list.subspan(i + 1, d.x);
    for (unsigned k = 0; k < d.y; ++k) SKERROW_CHECK(walk(body, depth + 1));
    i += d.x;
    return {};
  }
  if (i + d.x + 1 >= n) return error::IncompleteDelayedReplication{code};
  const std::uint32_t factor_code = list[i + 1];
  if (state_.new_reference_width != 0) {
    return parse_error("delayed replication " + format_descriptor(code) +
                       " inside a new reference value definition (operator 203YYY) is not "
                       "supported");
  }
  if (!compressed_ && state_.associated_width != 0 && split_code(factor_code).x != 31) {
    SKERROW_CHECK(associated_field());
  }
  SKERROW_TRY(const ElementInfo* info, info_or_stand_in(factor_code));
  SKERROW_TRY(const std::size_t index, decode_element(*info, false));
  SKERROW_TRY(const std::uint64_t factor, replication_factor(index));
  state_.descriptor_history.push_back(info);
  const auto body = list.subspan(i + 2, d.x);
  for (std::uint64_t k = 0; k < factor; ++k) SKERROW_CHECK(walk(body, depth + 1));
  i += d.x + 1u;
  return {};
}

Result<void> Decoder::marker(std::uint8_t x) {
  SKERROW_TRY(const ElementInfo* info, next_bitmap_reference());
  if (info == nullptr) return {};
  SKERROW_TRY(std::size_t ignored, decode_element(*info, x == 25));
  (void)ignored;
  return {};
}

Result<void> Decoder::operation(std::uint32_t code) {
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
        SKERROW_TRY(std::size_t ignored,
                    decode_text(code, kSignifyCharacterName, static_cast<std::uint16_t>(8u * y)));
        (void)ignored;
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
      }
      break;
    case 36:
      if (y == 0) {
        SKERROW_CHECK(emit_operator(code));
        s.defining_bitmap = true;
        s.bitmap_from_operator = false;
        s.bitmap.clear();
        s.bitmap_cursor = 0;
        s.bitmap_anchor = s.descriptor_history.size();
      }
      break;
    case 37:
      SKERROW_CHECK(emit_operator(code));
      s.bitmap_cursor = 0;
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
                                  std::span<const std::uint8_t> section4_data) {
  detail::Decoder decoder(tables, section4_data, message.number_of_subsets,
                          message.compressed_data);
  return decoder.run(message.unexpanded_descriptors);
}

}  // namespace skerrow
