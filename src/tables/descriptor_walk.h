// The rules every walk over a descriptor list follows, shared by expansion
// (tables/expansion.h) and decoding (decode/decoder.h): the nesting limit,
// the bounds of a replication, the Table D lookup and the class that carries
// no associated field. Where the walks must report a fault differently, the
// texts are chosen here, by walk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "message/result.h"
#include "tables/descriptor.h"
#include "tables/table_model.h"

namespace skerrow {

// Which walk asks; their error texts differ.
enum class Walk : std::uint8_t { kExpansion, kUncompressed, kCompressed };

// Sequences nest, and one that contains itself would recurse without end:
// the list a walk starts with is depth 0, and lists nested deeper than this
// fail.
inline constexpr unsigned kMaxDescriptorDepth = 64;

// The nesting error of `walk` when `depth` is beyond the limit.
Result<void> check_depth(unsigned depth, Walk walk);

// A replication descriptor F = 1 at index `i` of a list of `count` codes:
// X codes (after the factor element when Y = 0) repeated Y times.
struct Replication {
  std::size_t body = 0;    // index of the first replicated code
  std::size_t length = 0;  // X
  std::uint8_t times = 0;  // Y; 0 for a delayed replication
  bool delayed() const { return times == 0; }
  std::size_t next() const { return body + length; }  // index after it
};

// The bounds both walks check: X must not be 0 and the codes must be there,
// including the factor element of a delayed replication. A delayed
// replication followed by fewer than X codes is incomplete to expansion
// (which reports the factor and the codes missing) and unsupported to
// decoding (as is any replication whose body does not fit).
// Errors: UnsupportedReplication, IncompleteDelayedReplication.
Result<Replication> check_replication(std::uint32_t code, std::size_t i, std::size_t count,
                                      Walk walk);

// The Table D entry of `code`. Error: SequenceNotFound.
Result<const SequenceDefinition*> find_sequence(const TableSet& tables, std::uint32_t code);

// Class 31 elements (replication factors, bitmap entries and the other data
// description qualifiers) have no associated field before them.
constexpr bool takes_associated_field(std::uint32_t element_code) {
  return split_code(element_code).x != 31;
}

// A code whose F is above 3: Parse "invalid descriptor <code>".
DecodeError invalid_descriptor(std::uint32_t code);

}  // namespace skerrow
