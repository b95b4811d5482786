// A focused reader of delimited table files. No C++ CSV library packaged for
// Debian offers this combination of settings (comment lines, a fixed or a
// flexible field count per file, UTF-8 checks per record, a quote inside an
// unquoted field kept as text), so the reader is our own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message/result.h"

namespace skerrow {

struct CsvOptions {
  char separator = ',';
  // Lines starting with this character are skipped whole; '\0' for none.
  char comment = '\0';
  // The first record holds column titles; it is not data, but it fixes the
  // field count when the count is fixed.
  bool has_header = false;
  // false: every record must have as many fields as the first record read.
  bool flexible = false;
};

// Reads records one at a time from a file read once into memory. Fields are
// double-quoted optionally, a doubled quote inside quotes standing for one;
// records end at LF, CR or CRLF (inside quotes these are field text); empty
// lines are skipped. Errors are Parse errors naming the file and the line.
class CsvReader {
 public:
  // Reads the whole file. An open or read failure is a Parse error
  // "<path>: <system message>".
  static Result<CsvReader> open(const std::string& path, CsvOptions options);
  // The same over text already in memory (`name` stands for the file in errors).
  static CsvReader from_text(std::string name, std::string text, CsvOptions options);

  // Moves to the next data record: true if there is one, false at the end.
  // Errors: a field count unlike the first record's (unless flexible), an
  // unclosed quote, a record that is not valid UTF-8.
  Result<bool> next();

  std::size_t size() const { return bounds_.size(); }
  std::string_view operator[](std::size_t i) const {
    return std::string_view(record_).substr(bounds_[i].first, bounds_[i].second);
  }
  // The line on which the current record starts (1-based).
  std::size_t line() const { return record_line_; }

 private:
  CsvReader(std::string name, std::string text, CsvOptions options)
      : name_(std::move(name)), text_(std::move(text)), options_(options) {}
  // Reads one raw record into record_/bounds_; false at the end of the text.
  Result<bool> read_record();
  DecodeError fault(std::size_t line, const std::string& what) const;
  // True if every field of the current record is valid UTF-8 on its own.
  bool fields_are_utf8() const;

  std::string name_;
  std::string text_;
  CsvOptions options_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;  // line of text_[pos_]
  std::size_t record_line_ = 0;
  bool header_done_ = false;
  std::size_t expected_fields_ = 0;  // 0 until the first record is read
  // The current record's field texts, back to back, and (offset, length)
  // pairs into it; both are reused, so records cost no allocation once the
  // buffers have grown to the longest record.
  std::string record_;
  std::vector<std::pair<std::size_t, std::size_t>> bounds_;
};

// True if `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace skerrow
