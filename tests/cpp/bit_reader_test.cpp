#include "bitstream/bit_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace skerrow {
namespace {

std::string error_text(const DecodeError& e) { return e.message(); }

// The octets of a text field of `width` bits, or the reader's error.
Result<std::vector<std::uint8_t>> read_bytes(BitReader& r, std::uint16_t width) {
  std::vector<std::uint8_t> out((width + 7u) / 8u);
  SKERROW_CHECK(r.read_bytes_into(width, out.data()));
  return out;
}

TEST(BitReader, ReadsAcrossOctetBoundaries) {
  const std::vector<std::uint8_t> data = {0xB5, 0x0F};
  BitReader r(data);
  EXPECT_EQ(*r.read_bits(3), 5u);
  EXPECT_EQ(*r.read_bits(9), 336u);
  EXPECT_EQ(*r.read_bits(4), 15u);
  EXPECT_EQ(r.position(), 16u);
}

TEST(BitReader, SixtyFourBitsOfOnes) {
  const std::vector<std::uint8_t> data(8, 0xFF);
  BitReader r(data);
  EXPECT_EQ(*r.read_bits(64), ~std::uint64_t{0});
  EXPECT_EQ(r.position(), 64u);
}

TEST(BitReader, SixtyFourBitsAtAnOddOffsetSpanNineOctets) {
  const std::vector<std::uint8_t> data = {0x80, 0x12, 0x34, 0x56, 0x78, 0x9A,
                                          0xBC, 0xDE, 0xF0, 0xFF, 0xFF, 0xFF};
  BitReader r(data);
  EXPECT_EQ(*r.read_bits(4), 8u);
  EXPECT_EQ(*r.read_bits(64), 0x0123456789ABCDEFull);
  EXPECT_EQ(r.position(), 68u);
}

TEST(BitReader, TooWide) {
  const std::vector<std::uint8_t> data(16, 0);
  BitReader r(data);
  auto v = r.read_bits(65);
  ASSERT_FALSE(v);
  EXPECT_EQ(error_text(v.error()), "csv/table parse error: cannot read 65 bits into u64");
}

TEST(BitReader, ZeroWidthAtTheEnd) {
  const std::vector<std::uint8_t> data = {0xAA};
  BitReader r(data);
  EXPECT_EQ(*r.read_bits(8), 0xAAu);
  EXPECT_EQ(*r.read_bits(0), 0u);
  EXPECT_EQ(r.position(), 8u);
}

TEST(BitReader, NotEnoughBitsLeavesThePosition) {
  const std::vector<std::uint8_t> data = {0x00, 0x3F};
  BitReader r(data);
  ASSERT_TRUE(r.read_bits(10));
  auto v = r.read_bits(7);
  ASSERT_FALSE(v);
  EXPECT_EQ(error_text(v.error()),
            "csv/table parse error: not enough bits while reading section 4 at bit 10 for width 7 "
            "(16 bits available)");
  EXPECT_EQ(r.position(), 10u);
  EXPECT_EQ(*r.read_bits(6), 63u);
}

TEST(BitReader, ReadBytesLeftAlignsTheTail) {
  const std::vector<std::uint8_t> data = {0x41, 0x42};
  BitReader r(data);
  EXPECT_EQ(*read_bytes(r, 12), (std::vector<std::uint8_t>{0x41, 0x40}));
  EXPECT_EQ(r.position(), 12u);  // the tail's bits are consumed too
  EXPECT_EQ(*r.read_bits(4), 2u);
  EXPECT_TRUE(read_bytes(r, 0)->empty());
  // A tail that ends on the last bit of the data.
  BitReader at_end(data);
  ASSERT_TRUE(at_end.read_bits(3));
  EXPECT_EQ(*read_bytes(at_end, 13), (std::vector<std::uint8_t>{0x0A, 0x10}));
  EXPECT_EQ(at_end.position(), 16u);
}

// A text element of width 0 reads into a buffer of no octets, whose data
// pointer is null; at the very start of the data, or over no data at all.
TEST(BitReader, ReadBytesOfWidthZeroIntoNoBuffer) {
  BitReader empty(std::span<const std::uint8_t>{});
  EXPECT_TRUE(empty.read_bytes_into(0, nullptr));
  const std::vector<std::uint8_t> data = {0x41};
  BitReader r(data);
  EXPECT_TRUE(r.read_bytes_into(0, nullptr));
  EXPECT_EQ(r.position(), 0u);
  EXPECT_EQ(*r.read_bits(8), 0x41u);
}

// One octet short: the whole octets there are read, then the next fails.
// Seven octets are where counting them in sevens would first see eight.
TEST(BitReader, ReadBytesPastTheEnd) {
  for (const std::uint16_t octets : {2, 7}) {
    const std::vector<std::uint8_t> data(octets, 0x41);
    BitReader r(data);
    auto v = read_bytes(r, static_cast<std::uint16_t>(8 * (octets + 1)));
    ASSERT_FALSE(v);
    const std::string bits = std::to_string(8 * octets);
    EXPECT_EQ(error_text(v.error()),
              "csv/table parse error: not enough bits while reading section 4 at bit " + bits +
                  " for width 8 (" + bits + " bits available)");
    EXPECT_EQ(r.position(), 8u * octets);
  }
}

TEST(BitReader, ReadBytesTailPastTheEnd) {
  const std::vector<std::uint8_t> data = {0x41, 0x42};
  BitReader r(data);
  ASSERT_TRUE(r.read_bits(3));
  auto v = read_bytes(r, 14);  // one whole octet, then 6 bits where 5 remain
  ASSERT_FALSE(v);
  EXPECT_EQ(error_text(v.error()),
            "csv/table parse error: not enough bits while reading section 4 at bit 11 for width 6 "
            "(16 bits available)");
  EXPECT_EQ(r.position(), 11u);
}

// The word-at-a-time reader against a naive bit-by-bit slicer.
TEST(BitReader, MatchesABitByBitSlicer) {
  std::mt19937_64 rng(20240517);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::uint8_t> data(1 + rng() % 40);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    BitReader r(data);
    std::uint64_t pos = 0;
    while (true) {
      const auto width = static_cast<std::uint16_t>(rng() % 66);
      auto got = r.read_bits(width);
      if (width > 64) {
        ASSERT_FALSE(got);
        continue;
      }
      if (pos + width > data.size() * 8) {
        ASSERT_FALSE(got);
        ASSERT_EQ(r.position(), pos);
        break;
      }
      std::uint64_t expect = 0;
      for (unsigned k = 0; k < width; ++k, ++pos) {
        expect = (expect << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1u);
      }
      ASSERT_TRUE(got);
      ASSERT_EQ(*got, expect) << "width " << width << " round " << round;
      ASSERT_EQ(r.position(), pos);
    }
  }
}

}  // namespace
}  // namespace skerrow
