// The shared text parsers and the CSV reader, on literal, hand-checked texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/csv.h"
#include "tables/text_parsers.h"

namespace skerrow {
namespace {

template <typename T>
std::string error_text(const Result<T>& r) {
  return r ? std::string("(no error)") : r.error().message();
}

TEST(DescriptorCode, AcceptsPaddingSignQuotesAndSpace) {
  for (const char* text : {"1001", "001001", "+1001", "\"001001\"", " 001001 ", "\"\"1001\"",
                           "\xC2\xA0"
                           "1001\t"}) {
    auto r = parse_descriptor_code(text);
    ASSERT_TRUE(r) << text << ": " << error_text(r);
    EXPECT_EQ(*r, 1001u) << text;
  }
  EXPECT_EQ(*parse_descriptor_code("4294967295"), 4294967295u);
}

TEST(DescriptorCode, ErrorTextsKeepTheTextAsGiven) {
  EXPECT_EQ(error_text(parse_descriptor_code("1-01-001")),
            "csv/table parse error: bad descriptor code 1-01-001: invalid digit found in string");
  EXPECT_EQ(error_text(parse_descriptor_code("-1001")),
            "csv/table parse error: bad descriptor code -1001: invalid digit found in string");
  EXPECT_EQ(error_text(parse_descriptor_code(" \"\" ")),
            "csv/table parse error: bad descriptor code  \"\" : cannot parse integer from empty "
            "string");
  EXPECT_EQ(error_text(parse_descriptor_code("4294967296")),
            "csv/table parse error: bad descriptor code 4294967296: number too large to fit in "
            "target type");
  // White space inside the quotes is not stripped a second time.
  EXPECT_EQ(error_text(parse_descriptor_code("\" 1001\"")),
            "csv/table parse error: bad descriptor code \" 1001\": invalid digit found in string");
}

TEST(StrictIntegers, Bounds) {
  EXPECT_EQ(*parse_i32("-3"), -3);
  EXPECT_EQ(*parse_i32("+2147483647"), 2147483647);
  EXPECT_EQ(*parse_i32("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(*parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(*parse_u16("65535"), 65535);
  EXPECT_EQ(*parse_code_table_key("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(error_text(parse_i64("-9223372036854775809")),
            "csv/table parse error: bad i64 -9223372036854775809: number too small to fit in "
            "target type");
  EXPECT_EQ(error_text(parse_i32("2147483648")),
            "csv/table parse error: bad i32 2147483648: number too large to fit in target type");
  EXPECT_EQ(error_text(parse_u16("65536")),
            "csv/table parse error: bad u16 65536: number too large to fit in target type");
  EXPECT_EQ(error_text(parse_u16("-1")),
            "csv/table parse error: bad u16 -1: invalid digit found in string");
  EXPECT_EQ(error_text(parse_u16("8 ")),
            "csv/table parse error: bad u16 8 : invalid digit found in string");
  EXPECT_EQ(error_text(parse_u16("")),
            "csv/table parse error: bad u16 : cannot parse integer from empty string");
  EXPECT_EQ(error_text(parse_i32("-")),
            "csv/table parse error: bad i32 -: invalid digit found in string");
  EXPECT_EQ(error_text(parse_i32("+-1")),
            "csv/table parse error: bad i32 +-1: invalid digit found in string");
  EXPECT_EQ(error_text(parse_code_table_key("x1")),
            "csv/table parse error: bad code table key x1: invalid digit found in string");
}

std::vector<std::vector<std::string>> read_all(const std::string& text, CsvOptions options,
                                               std::string* error = nullptr) {
  CsvReader reader = CsvReader::from_text("t.csv", text, options);
  std::vector<std::vector<std::string>> rows;
  for (;;) {
    auto more = reader.next();
    if (!more) {
      if (error != nullptr) *error = more.error().message();
      return rows;
    }
    if (!*more) return rows;
    std::vector<std::string> row;
    for (std::size_t i = 0; i < reader.size(); ++i) row.emplace_back(reader[i]);
    rows.push_back(row);
  }
}

using Rows = std::vector<std::vector<std::string>>;

TEST(Csv, QuotingAndLineEnds) {
  const CsvOptions comma{',', '\0', false, false};
  EXPECT_EQ(read_all("a,\"b,c\",\"d\"\"e\"\r\nf,g,h\rx,\"multi\nline\",\n\n", comma),
            (Rows{{"a", "b,c", "d\"e"}, {"f", "g", "h"}, {"x", "multi\nline", ""}}));
  // A quote inside an unquoted field is text, as in ICE AGE ("A" PARAMETER).
  EXPECT_EQ(read_all("ICE AGE (\"A\" PARAMETER),1\n", comma),
            (Rows{{"ICE AGE (\"A\" PARAMETER)", "1"}}));
  EXPECT_EQ(read_all("", comma), Rows{});
  EXPECT_EQ(read_all("\n\r\n\r", comma), Rows{});
}

TEST(Csv, CommentsHeaderAndCounts) {
  EXPECT_EQ(read_all("#c|o\n1|2\n#x\n3|4", CsvOptions{'|', '#', false, false}),
            (Rows{{"1", "2"}, {"3", "4"}}));
  EXPECT_EQ(read_all("h1,h2\n1,2\n", CsvOptions{',', '\0', true, false}), (Rows{{"1", "2"}}));
  std::string error;
  EXPECT_EQ(read_all("h1,h2,h3\n1,2\n", CsvOptions{',', '\0', true, false}, &error), Rows{});
  EXPECT_EQ(error,
            "csv/table parse error: t.csv: line 2: record has 2 fields, but the first record "
            "has 3");
  EXPECT_EQ(read_all("1|2\n3|4|5\n", CsvOptions{'|', '#', false, true}),
            (Rows{{"1", "2"}, {"3", "4", "5"}}));
}

TEST(Csv, Errors) {
  std::string error;
  read_all("a,b\nc,\xff\n", CsvOptions{',', '\0', false, false}, &error);
  EXPECT_EQ(error, "csv/table parse error: t.csv: line 2: record is not valid UTF-8");
  read_all("a,b\n\"c,\nd\n", CsvOptions{',', '\0', false, false}, &error);
  EXPECT_EQ(error,
            "csv/table parse error: t.csv: line 2: quoted field is not closed before the end of "
            "file");
  auto missing = CsvReader::open("/nonexistent/x.csv", CsvOptions{});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(),
            "csv/table parse error: /nonexistent/x.csv: No such file or directory (os error 2)");
}

TEST(Utf8, RejectsOverlongSurrogatesAndCutSequences) {
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));
}

}  // namespace
}  // namespace skerrow
