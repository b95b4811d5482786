#include "message/decode_error.h"

#include <cstring>
#include <string>

namespace skerrow {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string format_descriptor(std::uint64_t code) {
  std::string digits = std::to_string(code);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  return digits;
}

error::Io os_error(int code) { return error::Io{code, {}}; }

std::string io_failure_text(const error::Io& io) {
  if (io.os_code == 0) return io.text;
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(io.os_code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(io.os_code) + ")";
}

std::string DecodeError::message() const {
  return std::visit(
      Overloaded{
          [](const error::TooShort&) -> std::string { return "message is too short to be BUFR"; },
          [](const error::MissingMarker&) -> std::string { return "missing BUFR marker"; },
          [](const error::UnsupportedEdition& e) -> std::string {
            return "unsupported BUFR edition " + std::to_string(e.edition) +
                   "; only edition 4 is implemented";
          },
          [](const error::LengthMismatch& e) -> std::string {
            return "declared length " + std::to_string(e.declared) +
                   " does not match buffer length " + std::to_string(e.actual);
          },
          [](const error::Truncated& e) -> std::string {
            // The section comes first in the text, although the offset is carried first.
            return "section " + std::to_string(e.section) + " at offset " +
                   std::to_string(e.offset) + " is truncated";
          },
          [](const error::BadTerminator&) -> std::string {
            return "section 5 terminator is not 7777";
          },
          [](const error::OddDescriptorArea&) -> std::string {
            return "section 3 descriptor area has odd byte count";
          },
          [](const error::SequenceNotFound& e) -> std::string {
            return "descriptor " + format_descriptor(e.descriptor) + " was not found in Table D";
          },
          [](const error::IncompleteDelayedReplication& e) -> std::string {
            return "delayed replication descriptor " + format_descriptor(e.descriptor) +
                   " is missing its replication factor or replicated descriptors";
          },
          [](const error::UnsupportedReplication& e) -> std::string {
            return "unsupported replication descriptor " + format_descriptor(e.descriptor);
          },
          [](const error::ElementNotFound& e) -> std::string {
            return "descriptor " + format_descriptor(e.descriptor) + " was not found in Table B";
          },
          [](const error::Parse& e) -> std::string {
            return "csv/table parse error: " + e.message;
          },
          [](const error::Io& e) -> std::string { return "io error: " + io_failure_text(e); },
          [](const error::Format& e) -> std::string { return e.message; },
      },
      v_);
}

}  // namespace skerrow
