#include "tables/expansion.h"

#include "tables/descriptor.h"

namespace skerrow {

Result<void> expand_step(const TableSet& tables, const std::uint32_t* codes, std::size_t count,
                         int depth, ExpansionState& state, std::vector<std::uint32_t>& out) {
  if (depth > kMaxExpansionDepth) {
    return parse_error("sequence expansion exceeded recursion depth");
  }
  std::size_t i = 0;
  while (i < count) {
    if (state.steps_left == 0) {
      return parse_error("sequence expansion exceeded " + std::to_string(kMaxExpansionSteps) +
                         " steps");
    }
    --state.steps_left;
    const std::uint32_t code = codes[i];
    const Fxy d = split_code(code);
    switch (d.f) {
      case 0:
        // Class 31 (replication factors and the like) has no associated field.
        if (state.associated_field_width != 0 && d.x != 31) out.push_back(kAssociatedFieldCode);
        out.push_back(code);
        ++i;
        break;
      case 1: {
        const std::size_t x = d.x;
        if (x == 0) return error::UnsupportedReplication{code};
        if (d.y != 0) {
          if (i + x >= count) return error::UnsupportedReplication{code};
          for (unsigned r = 0; r < d.y; ++r) {
            SKERROW_CHECK(expand_step(tables, codes + i + 1, x, depth + 1, state, out));
          }
          i += x + 1;
        } else {
          // Delayed: the factor descriptor, then the body, once.
          if (i + x + 1 >= count) return error::IncompleteDelayedReplication{code};
          SKERROW_CHECK(expand_step(tables, codes + i + 1, x + 1, depth + 1, state, out));
          i += x + 2;
        }
        break;
      }
      case 2:
        switch (d.x) {
          case 4:
            state.associated_field_width = d.y;
            break;
          case 1:
          case 2:
          case 6:
          case 7:
          case 8:
            // Width, scale and reference changes act on later elements only.
            break;
          default:
            out.push_back(code);
        }
        ++i;
        break;
      case 3: {
        const SequenceDefinition* sequence = tables.sequence(code);
        if (sequence == nullptr) return error::SequenceNotFound{code};
        SKERROW_CHECK(expand_step(tables, sequence->members.data(), sequence->members.size(),
                                  depth + 1, state, out));
        ++i;
        break;
      }
      default:
        return parse_error("invalid descriptor " + format_descriptor(code));
    }
  }
  return {};
}

Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          const std::vector<std::uint32_t>& codes) {
  ExpansionState state;
  std::vector<std::uint32_t> out;
  SKERROW_CHECK(expand_step(tables, codes.data(), codes.size(), 0, state, out));
  return out;
}

}  // namespace skerrow
