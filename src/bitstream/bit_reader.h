// Reading section 4: values of any width from 0 to 64 bits follow each other
// with no alignment, most significant bit first.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "bitstream/int128.h"
#include "message/result.h"

namespace skerrow {

class BitReader {
 public:
  // Borrows `data` for the reader's lifetime; starts at bit 0.
  explicit BitReader(std::span<const std::uint8_t> data) noexcept
      : data_(data.data()), length_(data.size()) {}

  // The next `width` bits as an unsigned integer, first bit most significant.
  // Width 0 gives 0 and reads nothing. Errors (Parse): "cannot read W bits
  // into u64" for W > 64; "not enough bits while reading section 4 at bit P
  // for width W (T bits available)" past the end, leaving the position alone.
  Result<std::uint64_t> read_bits(std::uint16_t width) {
    if (width == 0) return std::uint64_t{0};
    if (width > 64) return too_wide(width);
    if (width > available()) return not_enough(width);
    const std::uint64_t value = peek(width);
    position_ += width;
    return value;
  }

  // ceil(width / 8) octets into `out` (which may be null for width 0); a
  // partial last octet holds its bits in the high end. On failure the
  // position stays after the last whole octet read, and the error names the
  // failing read (width 8, or the tail's width).
  Result<void> read_bytes_into(std::uint16_t width, std::uint8_t* out);

  std::uint64_t position() const noexcept { return position_; }
  std::uint64_t bit_length() const noexcept { return length_ * 8; }
  std::uint64_t available() const noexcept { return length_ * 8 - position_; }
  // The next `width` (1..64) bits, which the caller has checked are
  // available: for loops that check a whole run of values at once.
  std::uint64_t read_available(unsigned width) noexcept {
    const std::uint64_t value = peek(width);
    position_ += width;
    return value;
  }
  // Moves on by `count` bits, which the caller has checked are available.
  void skip_available(std::uint64_t count) noexcept { position_ += count; }

 private:
  // `width` (1..64) bits at the position; the caller has checked the bounds.
  // Inline: the decoders read every value through it.
  std::uint64_t peek(unsigned width) const noexcept {
    const std::uint64_t byte = position_ >> 3;
    const unsigned shift = static_cast<unsigned>(position_ & 7u);
    // Whole words where eight octets remain; a value that spills into a
    // ninth octet has that octet, as the bounds were checked.
    if (byte + 8 > length_) return peek_near_end(width);
    std::uint64_t word;
    std::memcpy(&word, data_ + byte, sizeof word);
    word = __builtin_bswap64(word);
    if (shift + width <= 64) return (word << shift) >> (64 - width);
    const UInt128 wide = (static_cast<UInt128>(word) << 8) | data_[byte + 8];
    return static_cast<std::uint64_t>((wide << (shift + 56)) >> (128 - width));
  }
  std::uint64_t peek_near_end(unsigned width) const noexcept;
  DecodeError too_wide(std::uint16_t width) const;
  DecodeError not_enough(std::uint16_t width) const;

  const std::uint8_t* data_;
  std::uint64_t length_;
  std::uint64_t position_ = 0;
};

}  // namespace skerrow
