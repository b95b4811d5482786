// Finding BUFR messages in a byte stream: search for "BUFR", trust the
// declared total length, resume after the message.
#pragma once

#include <cstdint>
#include <vector>

#include "message/parse_message.h"

namespace skerrow {

struct MessageRange {
  std::uint64_t offset;
  std::uint64_t length;
};

// Every message range of the stream, in order. Errors: TooShort (a marker in
// the last 7 octets, or a declared length of 0, which would never advance),
// Truncated{marker offset, 0} for a message running past the end.
Result<std::vector<MessageRange>> scan_messages(Octets stream);

// Calls `visit(range)` for each range as it is found; stops at the first
// error. Lets callers that need only the first message, or only counts, avoid
// the list.
template <typename Visit>
Result<void> scan_each(Octets stream, Visit&& visit);

// Scans the whole stream first, then parses every range; all or nothing.
Result<std::vector<BufrMessage>> parse_all(Octets stream);

// Position of the first "BUFR" at or after `from`, or stream.size() if none.
std::uint64_t find_marker(Octets stream, std::uint64_t from);

template <typename Visit>
Result<void> scan_each(Octets stream, Visit&& visit) {
  const std::uint64_t len = stream.size();
  std::uint64_t pos = 0;
  while (len - pos >= 4) {
    const std::uint64_t j = find_marker(stream, pos);
    if (j >= len) break;
    if (j + 8 > len) return error::TooShort{};
    const std::uint8_t* p = stream.data() + j + 4;
    const std::uint64_t n = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[1]} << 8) | p[2];
    if (n > len - j) return error::Truncated{j, 0};
    // A declared length of 0 would leave the scan at this marker for ever;
    // parsing such an empty range would say TooShort, so the scan does.
    if (n == 0) return error::TooShort{};
    visit(MessageRange{j, n});
    pos = j + n;
  }
  return {};
}

}  // namespace skerrow
