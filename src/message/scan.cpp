#include "message/scan.h"

#include <cstring>

namespace skerrow {

std::uint64_t find_marker(Octets stream, std::uint64_t from) {
  const std::uint64_t len = stream.size();
  if (from >= len || len - from < 4) return len;
  // memchr is vectorised in glibc, so skipping to each 'B' runs at memory
  // speed on junk; only at a 'B' are the other three octets compared.
  const std::uint8_t* base = stream.data();
  const std::uint8_t* p = base + from;
  const std::uint8_t* last = base + len - 4;  // the last offset a marker can start at
  while (p <= last) {
    const void* hit = std::memchr(p, 'B', static_cast<std::size_t>(last - p) + 1);
    if (hit == nullptr) return len;
    p = static_cast<const std::uint8_t*>(hit);
    if (p[1] == 'U' && p[2] == 'F' && p[3] == 'R') return static_cast<std::uint64_t>(p - base);
    ++p;
  }
  return len;
}

Result<std::optional<MessageRange>> scan_next(Octets stream, std::uint64_t pos) {
  const std::uint64_t len = stream.size();
  if (pos > len || len - pos < 4) return std::optional<MessageRange>{};
  const std::uint64_t j = find_marker(stream, pos);
  if (j >= len) return std::optional<MessageRange>{};
  if (j + 8 > len) return error::TooShort{};
  const std::uint8_t* p = stream.data() + j + 4;
  const std::uint64_t n = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[1]} << 8) | p[2];
  if (n > len - j) return error::Truncated{j, 0};
  // A declared length of 0 would leave the scan at this marker for ever;
  // parsing such an empty range would say TooShort, so the scan does.
  if (n == 0) return error::TooShort{};
  return std::optional<MessageRange>{MessageRange{j, n}};
}

Result<std::vector<MessageRange>> scan_messages(Octets stream) {
  std::vector<MessageRange> ranges;
  SKERROW_CHECK(scan_each(stream, [&](MessageRange r) { ranges.push_back(r); }));
  return ranges;
}

Result<std::vector<BufrMessage>> parse_all(Octets stream) {
  SKERROW_TRY(auto ranges, scan_messages(stream));
  std::vector<BufrMessage> messages;
  messages.reserve(ranges.size());
  for (const MessageRange& r : ranges) {
    SKERROW_TRY(auto message, parse_message(stream.subspan(r.offset, r.length)));
    messages.push_back(std::move(message));
  }
  return messages;
}

}  // namespace skerrow
