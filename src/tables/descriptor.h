// Descriptor codes: F-X-Y held as F*100000 + X*1000 + Y in 32 bits.
#pragma once

#include <cstdint>

namespace skerrow {

// F, X and Y split from a code. F and Y keep only their low 8 bits, so a code
// whose Y part is 300 gives Y = 44; valid BUFR descriptors are unaffected.
struct Fxy {
  std::uint8_t f;
  std::uint8_t x;
  std::uint8_t y;
};

constexpr Fxy split_code(std::uint32_t code) {
  return Fxy{static_cast<std::uint8_t>(code / 100000u),
             static_cast<std::uint8_t>((code / 1000u) % 100u),
             static_cast<std::uint8_t>(code % 1000u)};
}

constexpr std::uint32_t make_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
  return f * 100000u + x * 1000u + y;
}

// Stands for an associated field, in expanded lists and in decoded values.
inline constexpr std::uint32_t kAssociatedFieldCode = 999999;

}  // namespace skerrow
