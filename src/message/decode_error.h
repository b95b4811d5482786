// The one error type of the core. Every fallible core function returns a
// Result<T> holding either its value or a DecodeError; nothing in the core
// throws on purpose. The text of each variant is built in one place,
// DecodeError::message(), so producers store numbers (except Parse, whose
// producer writes the whole text).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace skerrow {

namespace error {
struct TooShort {};
struct MissingMarker {};
struct UnsupportedEdition {
  std::uint8_t edition;
};
struct LengthMismatch {
  std::uint64_t declared;
  std::uint64_t actual;
};
struct Truncated {
  std::uint64_t offset;
  std::uint8_t section;
};
struct BadTerminator {};
// Never produced: an odd descriptor area ends in one padding octet, which
// parse_message ignores (many producers pad section 3 to an even length).
// The variant stays so that the set of errors and their texts is complete.
struct OddDescriptorArea {};
struct SequenceNotFound {
  std::uint32_t descriptor;
};
struct IncompleteDelayedReplication {
  std::uint32_t descriptor;
};
struct UnsupportedReplication {
  std::uint32_t descriptor;
};
struct ElementNotFound {
  std::uint32_t descriptor;
};
struct Parse {
  std::string message;
};
// A fault of a message found only by the package's reader of editions 2 to
// 4 (which _skerrow's own functions never use); the text is shown as it is.
struct Format {
  std::string message;
};
// An I/O failure: an operating-system error number (os_code != 0), or a
// failure of another kind described by `text` alone (for example text that
// is not valid UTF-8).
struct Io {
  int os_code = 0;
  std::string text;
};
}  // namespace error

// Descriptor codes print zero-padded to at least six digits (1001 -> 001001).
std::string format_descriptor(std::uint64_t code);

// The system's description of an I/O failure: "<strerror> (os error N)" for an
// OS error number, or the text of a failure of another kind.
std::string io_failure_text(const error::Io& io);

// Builds an Io error from an errno value.
error::Io os_error(int code);

class DecodeError {
 public:
  using Variant = std::variant<error::TooShort, error::MissingMarker, error::UnsupportedEdition,
                               error::LengthMismatch, error::Truncated, error::BadTerminator,
                               error::OddDescriptorArea, error::SequenceNotFound,
                               error::IncompleteDelayedReplication, error::UnsupportedReplication,
                               error::ElementNotFound, error::Parse, error::Io, error::Format>;

  template <typename V>
    requires std::is_constructible_v<Variant, V>
  DecodeError(V v) : v_(std::move(v)) {}  // NOLINT(google-explicit-constructor)

  const Variant& variant() const noexcept { return v_; }
  template <typename V>
  bool is() const noexcept {
    return std::holds_alternative<V>(v_);
  }

  // The text Python sees as the ValueError's single argument.
  std::string message() const;

 private:
  Variant v_;
};

// Shorthand for the free-text variant.
inline DecodeError parse_error(std::string text) { return error::Parse{std::move(text)}; }

}  // namespace skerrow
