#include "bitstream/bit_reader.h"

#include <cstring>
#include <string>

namespace skerrow {
std::uint64_t BitReader::peek_near_end(unsigned width) const noexcept {
  // Gathers the remaining octets (fewer than eight) into the high end of a
  // word, zeros after them.
  const std::uint64_t byte = position_ >> 3;
  const unsigned shift = static_cast<unsigned>(position_ & 7u);
  std::uint64_t word = 0;
  for (std::uint64_t i = byte; i < length_; ++i) {
    word |= std::uint64_t{data_[i]} << (56 - 8 * (i - byte));
  }
  return (word << shift) >> (64 - width);
}

DecodeError BitReader::too_wide(std::uint16_t width) const {
  return parse_error("cannot read " + std::to_string(width) + " bits into u64");
}

DecodeError BitReader::not_enough(std::uint16_t width) const {
  return parse_error("not enough bits while reading section 4 at bit " + std::to_string(position_) +
                     " for width " + std::to_string(width) + " (" + std::to_string(length_ * 8) +
                     " bits available)");
}

Result<void> BitReader::read_bytes_into(std::uint16_t width, std::uint8_t* out) {
  const unsigned whole = width / 8u;
  const unsigned tail = width % 8u;
  const std::uint64_t fit = available() / 8;
  if (whole > fit) {
    // Read what is there, so the position ends where a byte-by-byte read
    // would have failed.
    for (std::uint64_t i = 0; i < fit; ++i) {
      out[i] = static_cast<std::uint8_t>(peek(8));
      position_ += 8;
    }
    return not_enough(8);
  }
  if (whole == 0) {
    // Nothing to copy; `out` may be null then (an empty buffer has no data),
    // and memcpy must not be given a null pointer even for no octets.
  } else if ((position_ & 7u) == 0) {
    std::memcpy(out, data_ + (position_ >> 3), whole);
    position_ += 8u * whole;
  } else {
    for (unsigned i = 0; i < whole; ++i) {
      out[i] = static_cast<std::uint8_t>(peek(8));
      position_ += 8;
    }
  }
  if (tail != 0) {
    if (tail > available()) return not_enough(static_cast<std::uint16_t>(tail));
    out[whole] = static_cast<std::uint8_t>(peek(tail) << (8 - tail));
    position_ += tail;
  }
  return {};
}

}  // namespace skerrow
