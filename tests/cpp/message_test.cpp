// Core checks the Python boundary cannot reach directly: the octet readers at
// the end of the buffer, the marker search at every alignment, and the
// error texts of the variants that framing never produces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/decode_error.h"
#include "message/parse_message.h"
#include "message/scan.h"

namespace skerrow {
namespace {

Octets view(const std::string& s) {
  return Octets(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(ReadOctets, ThreeOctetReadAtTheEdge) {
  const std::string b("\x01\x02\x03\x04", 4);
  ASSERT_TRUE(read_u24(view(b), 1, 2));
  EXPECT_EQ(*read_u24(view(b), 1, 2), 0x020304u);
  auto past = read_u24(view(b), 2, 4);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message(), "section 4 at offset 2 is truncated");
  auto overflow = read_u24(view(b), ~std::uint64_t{0} - 1, 3);
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error().message(), "section 3 at offset 18446744073709551614 is truncated");
}

TEST(ReadOctets, TwoOctetReadCarriesSectionZero) {
  const std::string b("\xAB\xCD", 2);
  EXPECT_EQ(*read_u16(view(b), 0), 0xABCD);
  auto past = read_u16(view(b), 1);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().message(), "section 0 at offset 1 is truncated");
}

TEST(FindMarker, EveryAlignmentAndTheLastPossibleOffset) {
  for (std::size_t lead = 0; lead < 70; ++lead) {
    std::string s(lead, 'B');  // many near-misses before the marker
    s += "BUFR";
    EXPECT_EQ(find_marker(view(s), 0), lead) << lead;
    EXPECT_EQ(find_marker(view(s), lead + 1), s.size());
  }
  EXPECT_EQ(find_marker(view("BUF"), 0), 3u);
  EXPECT_EQ(find_marker(view("xBUFRx"), 2), 6u);
  EXPECT_EQ(find_marker(view(""), 0), 0u);
  // A marker cut by the end of the data is none, whatever memory follows.
  const std::string whole = "xxBUFR";
  EXPECT_EQ(find_marker(view(whole).first(5), 0), 5u);
}

TEST(DecodeErrorText, VariantsOutsideFraming) {
  EXPECT_EQ(DecodeError(error::SequenceNotFound{1001}).message(),
            "descriptor 001001 was not found in Table D");
  EXPECT_EQ(DecodeError(error::ElementNotFound{12101}).message(),
            "descriptor 012101 was not found in Table B");
  EXPECT_EQ(DecodeError(error::IncompleteDelayedReplication{101000}).message(),
            "delayed replication descriptor 101000 is missing its replication factor or "
            "replicated descriptors");
  EXPECT_EQ(DecodeError(error::UnsupportedReplication{1234567}).message(),
            "unsupported replication descriptor 1234567");
  EXPECT_EQ(DecodeError(error::OddDescriptorArea{}).message(),
            "section 3 descriptor area has odd byte count");
  EXPECT_EQ(DecodeError(error::Parse{""}).message(), "csv/table parse error: ");
  EXPECT_EQ(DecodeError(error::Io{0, "stream did not contain valid UTF-8"}).message(),
            "io error: stream did not contain valid UTF-8");
  EXPECT_EQ(DecodeError(os_error(2)).message(), "io error: No such file or directory (os error 2)");
}

TEST(ParseMessage, MinimalMessageAndItsText) {
  std::string m("BUFR\0\0\0\x04", 8);
  m += std::string("\0\0\x16", 3) + std::string(19, '\0');  // section 1, 22 octets
  m += std::string("\0\0\x09\0\0\x01\x80\x01\x01", 9);      // section 3, one descriptor
  m += std::string("\0\0\x04\0", 4) + "7777";
  m[6] = static_cast<char>(m.size());
  auto parsed = parse_message(view(m));
  ASSERT_TRUE(parsed) << parsed.error().message();
  EXPECT_EQ(message_text(*parsed),
            "BufrMessage(edition=4, length=47, subsets=1, descriptors=[1001])");
  auto all = parse_all(view("junk" + m + "junk" + m));
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u);
}

}  // namespace
}  // namespace skerrow
