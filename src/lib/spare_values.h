// The room of the thread's last decoding, kept from call to call: fresh
// room faults its pages in again on every message, which for a satellite
// message costs as much as decoding it. Every binding that decodes with
// DecodeOptions::recycle shares this one room per thread.
#pragma once

#include <cstddef>
#include <utility>

#include "decode/decoded_value.h"

namespace skerrow::py {

// The thread's room, to pass as DecodeOptions::recycle.
inline DecodedValues& spare_values() {
  thread_local DecodedValues spare;
  return spare;
}

// Gives a decoding's values back as the thread's room, unless they hold more
// than a large message needs (that room goes back to the system).
inline void keep_spare_values(DecodedValues&& spent) {
  constexpr std::size_t kKeptValues = std::size_t{1} << 18;
  DecodedValues& spare = spare_values();
  spare = spent.values.capacity() <= kKeptValues ? std::move(spent) : DecodedValues{};
}

}  // namespace skerrow::py
