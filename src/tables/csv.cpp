#include "tables/csv.h"

#include <algorithm>

#include "message/read_file.h"

namespace skerrow {

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t min = 0;
    char32_t c = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
      min = 0x80;
      c = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3;
      min = 0x800;
      c = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      min = 0x10000;
      c = b0 & 0x07u;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

Result<CsvReader> CsvReader::open(const std::string& path, CsvOptions options) {
  auto content = read_whole_file(path, FileKind::regular);
  if (!content) {
    if (const auto* io = std::get_if<error::Io>(&content.error().variant())) {
      return parse_error(path + ": " + io_failure_text(*io));
    }
    return std::move(content).error();
  }
  return CsvReader(path, std::move(content).value(), options);
}

CsvReader CsvReader::from_text(std::string name, std::string text, CsvOptions options) {
  return CsvReader(std::move(name), std::move(text), options);
}

DecodeError CsvReader::fault(std::size_t line, const std::string& what) const {
  return parse_error(name_ + ": line " + std::to_string(line) + ": " + what);
}

Result<bool> CsvReader::read_record() {
  const std::size_t n = text_.size();
  // Skip empty lines and comment lines.
  for (;;) {
    if (pos_ >= n) return false;
    const char c = text_[pos_];
    if (c == '\n') {
      ++pos_;
      ++line_;
    } else if (c == '\r') {
      ++pos_;
      if (pos_ < n && text_[pos_] == '\n') ++pos_;
      ++line_;
    } else if (options_.comment != '\0' && c == options_.comment) {
      while (pos_ < n && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
    } else {
      break;
    }
  }
  record_line_ = line_;
  record_.clear();
  bounds_.clear();
  std::size_t field_start = 0;
  bool at_field_start = true;
  for (;;) {
    if (pos_ >= n) break;  // the last record may lack its line end
    char c = text_[pos_];
    if (c == '\n' || c == '\r') {
      ++pos_;
      if (c == '\r' && pos_ < n && text_[pos_] == '\n') ++pos_;
      ++line_;
      break;
    }
    if (c == options_.separator) {
      bounds_.emplace_back(field_start, record_.size() - field_start);
      field_start = record_.size();
      at_field_start = true;
      ++pos_;
      continue;
    }
    if (c == '"' && at_field_start) {
      // A quoted field: runs to the next single quote; doubled quotes stand
      // for one, and line ends inside are text.
      const std::size_t quote_line = line_;
      ++pos_;
      for (;;) {
        if (pos_ >= n)
          return fault(quote_line, "quoted field is not closed before the end of file");
        c = text_[pos_];
        if (c == '"') {
          if (pos_ + 1 < n && text_[pos_ + 1] == '"') {
            record_ += '"';
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        if (c == '\n' || (c == '\r' && !(pos_ + 1 < n && text_[pos_ + 1] == '\n'))) ++line_;
        record_ += c;
        ++pos_;
      }
      at_field_start = false;
      continue;
    }
    // Plain text, a quote inside an unquoted field included. Copy the run up
    // to the next special character at once.
    std::size_t end = pos_ + 1;
    while (end < n) {
      const char d = text_[end];
      if (d == options_.separator || d == '\n' || d == '\r') break;
      ++end;
    }
    record_.append(text_, pos_, end - pos_);
    pos_ = end;
    at_field_start = false;
  }
  bounds_.emplace_back(field_start, record_.size() - field_start);
  return true;
}

bool CsvReader::fields_are_utf8() const {
  // The fields stand back to back in record_, so the halves of a character
  // split by a separator would pass as one character there: valid text as a
  // whole proves nothing unless it is all ASCII.
  if (std::all_of(record_.begin(), record_.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return true;
  }
  for (std::size_t i = 0; i < bounds_.size(); ++i) {
    if (!is_valid_utf8((*this)[i])) return false;
  }
  return true;
}

Result<bool> CsvReader::next() {
  for (;;) {
    SKERROW_TRY(const bool more, read_record());
    if (!more) return false;
    if (!fields_are_utf8()) return fault(record_line_, "record is not valid UTF-8");
    if (expected_fields_ == 0) {
      expected_fields_ = bounds_.size();
    } else if (!options_.flexible && bounds_.size() != expected_fields_) {
      return fault(record_line_, "record has " + std::to_string(bounds_.size()) +
                                     " fields, but the first record has " +
                                     std::to_string(expected_fields_));
    }
    if (options_.has_header && !header_done_) {
      header_done_ = true;
      continue;
    }
    return true;
  }
}

}  // namespace skerrow
