#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "decode/decode_data.h"

namespace skerrow {
namespace {

class Bits {
 public:
  Bits& put(std::uint64_t value, unsigned width) {
    for (unsigned k = width; k > 0; --k) bits_.push_back((value >> (k - 1)) & 1u);
    return *this;
  }
  Bits& text(const std::string& s) {
    for (unsigned char c : s) put(c, 8);
    return *this;
  }
  std::vector<std::uint8_t> octets() const {
    std::vector<std::uint8_t> out((bits_.size() + 7) / 8);
    for (std::size_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    }
    return out;
  }

 private:
  std::vector<bool> bits_;
};

ElementDefinition element(std::uint32_t code, std::string name, std::string unit,
                          std::int32_t scale, std::int64_t reference, std::uint16_t width) {
  ElementDefinition e;
  e.code = code;
  e.name = std::move(name);
  e.unit = std::move(unit);
  e.scale = scale;
  e.reference = reference;
  e.width = width;
  return e;
}

TableSet sample_tables() {
  TableSet t;
  t.insert_element(element(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7));
  t.insert_element(element(12101, "TEMPERATURE", "K", 2, 0, 16));
  t.insert_element(element(1015, "STATION NAME", "CCITT IA5", 0, 0, 24));
  t.insert_element(element(31001, "DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 8));
  t.insert_element(element(31031, "DATA PRESENT INDICATOR", "Numeric", 0, 0, 1));
  t.insert_element(element(33007, "PER CENT CONFIDENCE", "%", 0, 0, 7));
  t.insert_element(element(20003, "PRESENT WEATHER", "CODE TABLE", 0, 0, 9));
  t.insert_element(element(2002, "TYPE OF INSTRUMENT", "FLAG TABLE", 0, 0, 4));
  t.insert_element(element(5001, "LATITUDE", "deg", 1, -100, 12));
  t.insert_code_table(20003, CodeTable{{5, "haze"}, {511, "missing code"}});
  t.insert_code_table(2002, CodeTable{{1, "bit one"}});
  t.insert_sequence(SequenceDefinition{301001, {1001, 12101}});
  t.insert_sequence(SequenceDefinition{300001, {300001}});
  return t;
}

Result<DecodedValues> run(const TableSet& t, std::vector<std::uint32_t> descriptors,
                          const Bits& bits, std::uint16_t subsets = 1, bool compressed = false) {
  BufrMessage m;
  m.unexpanded_descriptors = std::move(descriptors);
  m.number_of_subsets = subsets;
  m.compressed_data = compressed;
  const auto data = bits.octets();
  return decode_data(m, t, data);
}

std::vector<std::uint32_t> codes(const DecodedValues& v) {
  std::vector<std::uint32_t> out;
  for (const auto& x : v.values) out.push_back(x.descriptor);
  return out;
}

TEST(Decode, ElementsScaleAndMissing) {
  const TableSet t = sample_tables();
  auto r = run(t, {1001, 12101, 5001}, Bits().put(6, 7).put(0xFFFF, 16).put(523, 12));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->values.size(), 3u);
  EXPECT_EQ(r->values[0].raw_value, 6.0);
  EXPECT_EQ(r->name(r->values[0]), "WMO BLOCK NUMBER");
  EXPECT_FALSE(r->values[1].has_value());
  EXPECT_EQ(r->values[1].raw, 0xFFFFu);
  EXPECT_EQ(r->values[2].raw_value, 42.3);  // (523 - 100) / 10
}

TEST(Decode, CharacterTextAndLocator) {
  const TableSet t = sample_tables();
  auto r = run(t, {1015, 1015, 1015},
               Bits().put(0x41, 8).put(0xC9, 8).put(0x20, 8).text("\xFF\xFF\xFF").text("   "));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->text(r->values[0]), "A?");
  EXPECT_EQ(r->values[0].raw_value, 1003.0);
  EXPECT_EQ(r->text(r->values[1]), nullptr);
  EXPECT_EQ(r->values[1].raw_value, 2003.0);
  EXPECT_EQ(*r->text(r->values[2]), "");
  EXPECT_FALSE(r->values[2].has_raw());
}

TEST(Decode, CodeTableMeaningEvenWhenMissingButNoneForFlags) {
  const TableSet t = sample_tables();
  auto r = run(t, {20003, 20003, 2002}, Bits().put(5, 9).put(511, 9).put(1, 4));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->meaning(r->values[0]), "haze");
  EXPECT_FALSE(r->values[1].has_value());
  EXPECT_EQ(*r->meaning(r->values[1]), "missing code");
  EXPECT_EQ(r->meaning(r->values[2]), nullptr);
  EXPECT_EQ(r->values[2].raw_value, 1.0);
}

TEST(Decode, OperatorsLeaveCodeAndFlagTablesAlone) {
  const TableSet t = sample_tables();
  // 2-01-130 widens 012101 to 18 bits but leaves the 9-bit code table.
  auto r = run(t, {201130, 12101, 20003, 201000}, Bits().put(1000, 18).put(5, 9));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->values[0].raw_value, 10.0);
  EXPECT_EQ(r->values[1].raw, 5u);
}

TEST(Decode, TwoZeroSevenWithLargeYIsExact) {
  const TableSet t = sample_tables();
  // 2-07-020 under 2-06-010: reference -100 * 10^20, scale 1 + 20.
  auto r = run(t, {207020, 206010, 5001}, Bits().put(7, 10));
  ASSERT_TRUE(r) << r.error().message();
  // (-100e20 + 7) / 10^21 = -10.0 (the 7 is below double precision).
  EXPECT_EQ(r->values[0].raw_value, -10.0);
}

TEST(Decode, DelayedReplicationAndFixedReplication) {
  const TableSet t = sample_tables();
  auto r = run(t, {101000, 31001, 1001, 102002, 1001, 1001},
               Bits().put(2, 8).put(1, 7).put(2, 7).put(3, 7).put(4, 7).put(5, 7).put(6, 7));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(codes(*r), (std::vector<std::uint32_t>{31001, 1001, 1001, 1001, 1001, 1001, 1001}));
  EXPECT_EQ(r->values[6].raw_value, 6.0);
}

TEST(Decode, BitmapMarkers) {
  TableSet t = sample_tables();
  std::vector<std::uint32_t> d;
  Bits b;
  for (int k = 0; k < 6; ++k) {
    d.push_back(1001);
    b.put(static_cast<unsigned>(k + 1), 7);
  }
  d.insert(d.end(), {236000, 101000, 31001, 31031, 223000, 223255, 223255, 223255});
  b.put(4, 8).put(1, 1).put(0, 1).put(1, 1).put(0, 1);
  b.put(100, 7).put(101, 7);  // markers for E4 and E6, read with their widths
  auto r = run(t, d, b);
  ASSERT_TRUE(r) << r.error().message();
  const auto c = codes(*r);
  ASSERT_EQ(c.size(), 6u + 1 + 1 + 4 + 1 + 2);
  EXPECT_EQ(c[12], 223000u);
  EXPECT_EQ(c[13], 1001u);
  EXPECT_EQ(r->values[14].raw_value, 101.0);
}

TEST(Decode, CompressedNumericColumns) {
  TableSet t;
  t.insert_element(element(5001, "LATITUDE", "deg", 1, -100, 12));
  // R0 = 1000, NBINC = 3, increments 0 and 7 (missing).
  auto r = run(t, {5001, 222000}, Bits().put(1000, 12).put(3, 6).put(0, 3).put(7, 3), 2, true);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->values.size(), 4u);
  EXPECT_EQ(r->values[0].raw_value, 90.0);
  EXPECT_EQ(r->values[1].descriptor, 222000u);
  EXPECT_FALSE(r->values[2].has_value());
  EXPECT_EQ(r->values[2].raw, 1000u);
}

TEST(Decode, CompressedVaryingFactorsFail) {
  const TableSet t = sample_tables();
  auto r = run(t, {101000, 31001, 1001}, Bits().put(2, 8).put(1, 6).put(0, 1).put(1, 1), 2, true);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "csv/table parse error: compressed delayed replication with varying factors is not "
            "implemented");
}

TEST(Decode, RecursionAndWorkBounds) {
  const TableSet t = sample_tables();
  auto r = run(t, {300001}, Bits());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "csv/table parse error: descriptor decode exceeded recursion depth");
  // 2^64 - 1 repetitions of an operator that reads nothing end in the bound.
  TableSet big = sample_tables();
  big.insert_element(element(31002, "EXTENDED DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 64));
  auto w = run(big, {101000, 31002, 222000}, Bits().put(~std::uint64_t{0}, 64));
  ASSERT_FALSE(w);
  EXPECT_NE(w.error().message().find("work bound"), std::string::npos);
}

}  // namespace
}  // namespace skerrow
