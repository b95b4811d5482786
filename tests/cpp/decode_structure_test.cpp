// The structure a decoding records on request: the Table B entry each value
// was read with, what each qualifier refers to, and compressed data in
// column layout. Python sees none of it yet, so it is checked here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "decode/decode_data.h"
#include "message/parse_message.h"
#include "message/read_file.h"
#include "tables/descriptor.h"
#include "tables/table_selection.h"

namespace skerrow {
namespace {

class Bits {
 public:
  Bits& put(std::uint64_t value, unsigned width) {
    for (unsigned k = width; k > 0; --k) bits_.push_back(((value >> (k - 1)) & 1u) != 0);
    return *this;
  }
  // A compressed column: reference, increment width, increments.
  Bits& column(std::vector<std::uint64_t> values, unsigned width, unsigned nbinc) {
    std::uint64_t low = values[0];
    for (auto v : values) low = std::min(low, v);
    put(low, width).put(nbinc, 6);
    if (nbinc != 0) {
      for (auto v : values) put(v - low, nbinc);
    }
    return *this;
  }
  std::vector<std::uint8_t> octets() const {
    std::vector<std::uint8_t> out((bits_.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    }
    return out;
  }

 private:
  std::vector<bool> bits_;
};

TableSet test_tables() {
  TableSet t;
  auto add = [&](std::uint32_t code, std::string name, std::string unit, std::int32_t scale,
                 std::int64_t reference, std::uint16_t width) {
    ElementDefinition e;
    e.code = code;
    e.name = std::move(name);
    e.unit = std::move(unit);
    e.scale = scale;
    e.reference = reference;
    e.width = width;
    t.insert_element(std::move(e));
  };
  add(12101, "TEMPERATURE", "K", 2, 0, 16);
  add(10004, "PRESSURE", "Pa", -1, 0, 14);
  add(11001, "WIND DIRECTION", "deg", 0, 0, 9);
  add(11002, "WIND SPEED", "m/s", 1, 0, 12);
  add(33007, "PER CENT CONFIDENCE", "%", 0, 0, 7);
  add(31031, "DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1);
  add(31001, "DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", 0, 0, 8);
  add(31021, "ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6);
  add(1015, "STATION NAME", "CCITT IA5", 0, 0, 24);
  return t;
}

DecodedValues decode(const std::vector<std::uint32_t>& descriptors, const Bits& data,
                     std::uint16_t subsets, bool compressed, DecodeOptions options) {
  static const TableSet tables = test_tables();
  BufrMessage message;
  message.number_of_subsets = subsets;
  message.compressed_data = compressed;
  message.unexpanded_descriptors = descriptors;
  const std::vector<std::uint8_t> octets = data.octets();
  auto result = decode_data(message, tables, octets, options);
  EXPECT_TRUE(result) << result.error().message();
  return result ? std::move(*result) : DecodedValues{};
}

constexpr DecodeOptions kStructure{.structure = true, .columns = false};

std::vector<std::uint32_t> codes(const DecodedValues& d) {
  std::vector<std::uint32_t> out;
  for (const auto& v : d.values) out.push_back(v.descriptor);
  return out;
}

// Four observed elements, a quality bitmap after 2-22-000 with two quality
// values, then a substitution bitmap after 2-23-000 and its marker.
const std::vector<std::uint32_t> kQualityThenSubstitution = {
    12101, 10004, 11001, 11002, 222000, 101004, 31031, 33007, 33007,
    223000, 101004, 31031, 223255, 11002};

Bits quality_then_substitution_rows() {
  Bits b;
  b.put(28815, 16).put(10130, 14).put(180, 9).put(50, 12);
  b.put(0, 1).put(1, 1).put(0, 1).put(1, 1).put(70, 7).put(80, 7);
  b.put(1, 1).put(1, 1).put(1, 1).put(0, 1).put(60, 12).put(70, 12);
  return b;
}

TEST(DecodeStructure, QualifiersReferToTheElementsTheirBitmapMarks) {
  const DecodedValues d =
      decode(kQualityThenSubstitution, quality_then_substitution_rows(), 1, false, kStructure);
  ASSERT_EQ(d.values.size(), 18u);
  ASSERT_EQ(d.refers_to.size(), 18u);
  // Bitmap (0, 1, 0, 1): the quality values qualify the temperature and the
  // wind direction; bitmap (1, 1, 1, 0): the marker the wind speed.
  EXPECT_EQ(d.refers_to[9], 0u);
  EXPECT_EQ(d.refers_to[10], 2u);
  EXPECT_EQ(d.values[16].descriptor, 11002u);
  EXPECT_EQ(d.refers_to[16], 3u);
  for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 11, 12, 17}) EXPECT_EQ(d.refers_to[i], kNone) << i;
}

TEST(DecodeStructure, EveryValueHasTheEntryItWasReadWith) {
  const DecodedValues d =
      decode(kQualityThenSubstitution, quality_then_substitution_rows(), 1, false, kStructure);
  ASSERT_EQ(d.element_of.size(), d.values.size());
  for (std::size_t i = 0; i < d.values.size(); ++i) {
    if (d.values[i].name == kOperatorName) {
      EXPECT_EQ(d.element_of[i], kNone) << i;
      continue;
    }
    const AppliedElement& e = d.elements.at(d.element_of[i]);
    EXPECT_EQ(e.code, d.values[i].descriptor) << i;
  }
  const AppliedElement& pressure = d.elements[d.element_of[1]];
  EXPECT_EQ(d.strings[pressure.unit], "Pa");
  EXPECT_EQ((std::pair{pressure.scale, pressure.width}), (std::pair{-1, std::uint16_t{14}}));
  // One entry per distinct reading: both wind speeds share one.
  EXPECT_EQ(d.element_of[16], d.element_of[3]);
  EXPECT_EQ(d.element_of[17], d.element_of[3]);
}

TEST(DecodeStructure, OperatorChangesShowInTheEntries) {
  Bits b;
  b.put(1000, 18);                  // 012101 after 2-01-130, 2-02-129
  b.put(1, 6).put(3, 2).put(20, 16);  // 031021, associated field, 012101
  b.put(0, 1).put(600, 17);         // bitmap entry, difference of 012101
  const DecodedValues d =
      decode({201130, 202129, 12101, 201000, 202000, 204002, 31021, 12101, 204000, 236000,
              101001, 31031, 225000, 225255},
             b, 1, false, kStructure);
  ASSERT_EQ(codes(d), (std::vector<std::uint32_t>{12101, 31021, 999999, 12101, 236000, 31031,
                                                  225000, 12101}));
  const AppliedElement& widened = d.elements[d.element_of[0]];
  EXPECT_EQ((std::pair{widened.scale, widened.width}), (std::pair{3, std::uint16_t{18}}));
  const AppliedElement& field = d.elements[d.element_of[2]];
  EXPECT_EQ((std::pair{field.code, field.width}), (std::pair{999999u, std::uint16_t{2}}));
  EXPECT_EQ(d.strings[field.unit], "");
  EXPECT_EQ(d.refers_to[2], 3u);  // the associated field belongs to the next value
  const AppliedElement& difference = d.elements[d.element_of[7]];
  EXPECT_EQ(difference.width, 17u);
  EXPECT_EQ(difference.reference, -65536.0);
  EXPECT_EQ(d.refers_to[7], 3u);
  EXPECT_DOUBLE_EQ(d.values[7].raw_value, (600.0 - 65536.0) / 100.0);
}

TEST(DecodeStructure, CompressedRowsAndColumns) {
  Bits b;
  b.column({28815, 28915}, 16, 8).column({10130, 10120}, 14, 5);
  b.column({180, 190}, 9, 5).column({50, 55}, 12, 4);
  for (unsigned e : {0, 1, 0, 1}) b.column({e, e}, 1, 0);
  b.column({70, 71}, 7, 2).column({80, 80}, 7, 0);
  for (unsigned e : {1, 1, 1, 0}) b.column({e, e}, 1, 0);
  b.column({60, 61}, 12, 2).column({70, 70}, 12, 0);
  const DecodedValues rows = decode(kQualityThenSubstitution, b, 2, true, kStructure);
  const DecodedValues columns =
      decode(kQualityThenSubstitution, b, 2, true, {.structure = true, .columns = true});
  ASSERT_EQ(rows.values.size(), 36u);
  EXPECT_EQ(rows.layout, DecodedValues::Layout::kRows);
  EXPECT_EQ(rows.subset_starts, (std::vector<std::size_t>{0, 18}));
  // References stay inside their subset.
  EXPECT_EQ(rows.refers_to[16], 3u);
  EXPECT_EQ(rows.refers_to[18 + 16], 18u + 3u);
  EXPECT_EQ(rows.refers_to[18 + 10], 18u + 2u);
  EXPECT_EQ(rows.values[18 + 16].raw_value, 6.1);

  ASSERT_EQ(columns.layout, DecodedValues::Layout::kColumns);
  ASSERT_EQ((std::pair{columns.column_count, columns.subset_count}), (std::pair{18ul, 2ul}));
  EXPECT_TRUE(columns.subset_starts.empty());
  ASSERT_EQ(columns.element_of.size(), 18u);
  for (std::size_t s = 0; s < 2; ++s) {
    for (std::size_t c = 0; c < 18; ++c) {
      const DecodedValue& a = rows.values[s * 18 + c];
      const DecodedValue& b2 = columns.values[c * 2 + s];
      EXPECT_EQ((std::pair{a.descriptor, a.raw}), (std::pair{b2.descriptor, b2.raw}));
      const std::uint32_t row_entry = rows.element_of[s * 18 + c];
      ASSERT_EQ(row_entry == kNone, columns.element_of[c] == kNone) << c;
      if (row_entry != kNone) {
        EXPECT_EQ(rows.elements[row_entry], columns.elements[columns.element_of[c]]);
      }
    }
  }
  EXPECT_EQ(columns.refers_to[16], 3u);
  EXPECT_EQ(columns.refers_to[9], 0u);
}

TEST(DecodeStructure, NothingRecordedUnlessAsked) {
  const DecodedValues plain =
      decode(kQualityThenSubstitution, quality_then_substitution_rows(), 1, false, {});
  const DecodedValues full =
      decode(kQualityThenSubstitution, quality_then_substitution_rows(), 1, false, kStructure);
  EXPECT_TRUE(plain.elements.empty() && plain.element_of.empty() && plain.refers_to.empty());
  ASSERT_EQ(plain.values.size(), full.values.size());
  for (std::size_t i = 0; i < plain.values.size(); ++i) {
    EXPECT_EQ(plain.values[i].raw, full.values[i].raw);
    EXPECT_EQ(plain.values[i].flags, full.values[i].flags);
  }
}

TEST(DecodeStructure, SubsetStartsFollowDelayedReplications) {
  Bits b;
  b.put(2, 8).put(1, 9).put(2, 9).put(0, 8).put(3, 8).put(4, 9).put(5, 9).put(6, 9);
  const DecodedValues d = decode({101000, 31001, 11001}, b, 3, false, kStructure);
  EXPECT_EQ(d.subset_starts, (std::vector<std::size_t>{0, 3, 4}));
  EXPECT_EQ(d.values.size(), 8u);
  EXPECT_EQ(d.element_of.size(), 8u);
}

// Every corpus message: the structure changes no value, each value's entry
// has its code, each reference points back (forward for an associated field)
// to a value of the same subset, a marker to a value of its own code, and
// compressed columns hold the rows' values.
TEST(DecodeStructure, CorpusMessages) {
  namespace fs = std::filesystem;
  const char* shared = std::getenv("SKERROW_SHARED");
  const fs::path corpus = (shared != nullptr ? fs::path(shared)
                                             : fs::path(__FILE__).parent_path() / "../../../shared") /
                          "corpus";
  const std::string definitions = "/usr/share/eccodes/definitions";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "shared corpus not present";
  if (!fs::is_directory(definitions)) GTEST_SKIP() << "libeccodes-data is not installed";
  int decoded = 0;
  std::size_t marker_links = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    if (entry.path().extension() != ".bufr") continue;
    auto bytes = read_whole_file(entry.path().string());
    ASSERT_TRUE(bytes);
    const Octets octets(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    auto message = parse_message(octets);
    if (!message) continue;
    auto tables = load_tables_for_message(definitions, *message);
    if (!tables) continue;
    const auto section4 = octets.subspan(message->section4_data_offset,
                                         message->section4_data_length);
    auto plain = decode_data(*message, *tables, section4);
    if (!plain) continue;
    auto full = decode_data(*message, *tables, section4, kStructure);
    ASSERT_TRUE(full) << entry.path();
    const std::string name = entry.path().filename().string();
    ASSERT_EQ(plain->values.size(), full->values.size()) << name;
    ASSERT_EQ(full->element_of.size(), full->values.size()) << name;
    ASSERT_EQ(full->refers_to.size(), full->values.size()) << name;
    EXPECT_EQ(plain->subset_starts, full->subset_starts) << name;
    for (std::size_t i = 0; i < full->values.size(); ++i) {
      const DecodedValue& v = full->values[i];
      ASSERT_EQ(plain->values[i].raw, v.raw) << name << " " << i;
      if (v.name == kOperatorName) {
        EXPECT_EQ(full->element_of[i], kNone) << name << " " << i;
      } else {
        EXPECT_EQ(full->elements.at(full->element_of[i]).code, v.descriptor) << name << " " << i;
      }
      const std::uint32_t target = full->refers_to[i];
      if (target == kNone) continue;
      if (v.descriptor == kAssociatedFieldCode) {
        EXPECT_EQ(target, i + 1) << name << " " << i;
      } else {
        EXPECT_LT(target, i) << name << " " << i;
        // A marker value has the code of what it marks; a quality value
        // (class 33) qualifies any element.
        if (split_code(v.descriptor).x != 33) {
          EXPECT_EQ(full->values[target].descriptor, v.descriptor) << name << " " << i;
          ++marker_links;
        }
      }
    }
    if (message->compressed_data) {
      auto columns = decode_data(*message, *tables, section4, {.structure = true, .columns = true});
      ASSERT_TRUE(columns) << name;
      const std::size_t n = columns->subset_count;
      const std::size_t c = columns->column_count;
      ASSERT_EQ(n * c, full->values.size()) << name;
      for (std::size_t s = 0; s < n; ++s) {
        for (std::size_t k = 0; k < c; ++k) {
          ASSERT_EQ(columns->values[k * n + s].raw, full->values[s * c + k].raw) << name;
        }
      }
      // The numbers layout: the same values, numbers apart from the records.
      auto numbers = decode_data(*message, *tables, section4,
                                 {.structure = true, .columns = true, .numbers = true});
      ASSERT_TRUE(numbers) << name;
      ASSERT_EQ(numbers->column_numbers.size(), c) << name;
      for (std::size_t s = 0; s < n; ++s) {
        for (std::size_t k = 0; k < c; ++k) {
          const DecodedValue& want = full->values[s * c + k];
          const DecodedValue& got = numbers->cell(k * n + s);
          ASSERT_EQ(got.descriptor, want.descriptor) << name;
          if (!want.has_raw()) {
            ASSERT_EQ(numbers->text(got) == nullptr, full->text(want) == nullptr) << name;
            if (full->text(want) != nullptr) ASSERT_EQ(*numbers->text(got), *full->text(want));
            continue;
          }
          ASSERT_EQ(numbers->meaning(got) == nullptr, full->meaning(want) == nullptr) << name;
          if (full->meaning(want) != nullptr) {
            ASSERT_EQ(*numbers->meaning(got), *full->meaning(want)) << name;
          }
          // Operators read no bits and have no numbers.
          const std::size_t run = numbers->column_numbers[k];
          if (run == DecodedValues::kNoNumbers) {
            ASSERT_EQ(want.descriptor / 100000, 2u) << name << " " << k;
            continue;
          }
          const double number = numbers->numbers.run(run)[s];
          if (want.has_value()) {
            ASSERT_EQ(number, want.raw_value) << name << " " << k << " " << s;
          } else {
            ASSERT_TRUE(std::isnan(number)) << name << " " << k << " " << s;
          }
        }
      }
    }
    ++decoded;
  }
  EXPECT_GE(decoded, 240);
  // At least the 380 substituted values of the radiosonde reports.
  EXPECT_GE(marker_links, 380u);
}

}  // namespace
}  // namespace skerrow
