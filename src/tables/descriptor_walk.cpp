#include "tables/descriptor_walk.h"

#include <string>

namespace skerrow {

Result<void> check_depth(unsigned depth, Walk walk) {
  if (depth <= kMaxDescriptorDepth) return {};
  switch (walk) {
    case Walk::kExpansion:
      return parse_error("sequence expansion exceeded recursion depth");
    case Walk::kUncompressed:
      return parse_error("descriptor decode exceeded recursion depth");
    case Walk::kCompressed:
      break;
  }
  return parse_error("compressed descriptor decode exceeded recursion depth");
}

Result<Replication> check_replication(std::uint32_t code, std::size_t i, std::size_t count,
                                      Walk walk) {
  const Fxy d = split_code(code);
  Replication r;
  r.length = d.x;
  r.times = d.y;
  r.body = r.delayed() ? i + 2 : i + 1;
  if (d.x == 0) return error::UnsupportedReplication{code};
  const std::size_t after = count - i - 1;  // codes after the replication descriptor
  if (after < r.length) {
    if (r.delayed() && walk == Walk::kExpansion) return error::IncompleteDelayedReplication{code};
    return error::UnsupportedReplication{code};
  }
  if (r.delayed() && after < r.length + 1) return error::IncompleteDelayedReplication{code};
  return r;
}

Result<const SequenceDefinition*> find_sequence(const TableSet& tables, std::uint32_t code) {
  const SequenceDefinition* sequence = tables.sequence(code);
  if (sequence == nullptr) return error::SequenceNotFound{code};
  return sequence;
}

DecodeError invalid_descriptor(std::uint32_t code) {
  return parse_error("invalid descriptor " + format_descriptor(code));
}

}  // namespace skerrow
