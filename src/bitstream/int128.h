// 128-bit integers (a GCC and Clang extension), for sums of a signed 64-bit
// reference and an unsigned 64-bit raw value, which need 65 bits.
#pragma once

namespace skerrow {
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;
}  // namespace skerrow
