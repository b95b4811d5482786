// Message framing: the scan for messages in a stream, parsing each range and
// the whole input as one message, and the text form of every record.
#include <cstdint>
#include <span>

#include "message/parse_message.h"
#include "message/scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const skerrow::Octets stream(data, size);
  if (auto ranges = skerrow::scan_messages(stream)) {
    for (const skerrow::MessageRange& range : *ranges) {
      if (auto message = skerrow::parse_message(stream.subspan(range.offset, range.length))) {
        (void)skerrow::message_text(*message);
      } else {
        (void)message.error().message();
      }
    }
  } else {
    (void)ranges.error().message();
  }
  (void)skerrow::parse_all(stream);
  if (auto whole = skerrow::parse_message(stream)) (void)skerrow::message_text(*whole);
  return 0;
}
