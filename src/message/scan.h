// Finding BUFR messages in a byte stream: search for "BUFR", trust the
// declared total length, resume after the message.
#pragma once

#include <cstdint>
#include <optional>
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

// The first message range at or after `pos`, or none when no marker follows.
// Errors as scan_messages; the marker they concern is find_marker(stream, pos).
Result<std::optional<MessageRange>> scan_next(Octets stream, std::uint64_t pos);

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
  std::uint64_t pos = 0;
  for (;;) {
    SKERROW_TRY(const std::optional<MessageRange> range, scan_next(stream, pos));
    if (!range) return {};
    visit(*range);
    pos = range->offset + range->length;
  }
}

}  // namespace skerrow
