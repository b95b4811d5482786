#include "tables/expansion.h"

#include "tables/descriptor.h"
#include "tables/descriptor_walk.h"

namespace skerrow {

Result<void> expand_step(const TableSet& tables, std::span<const std::uint32_t> codes,
                         unsigned depth, ExpansionState& state, std::vector<std::uint32_t>& out) {
  SKERROW_CHECK(check_depth(depth, Walk::kExpansion));
  std::size_t i = 0;
  while (i < codes.size()) {
    if (state.steps_left == 0) {
      return parse_error("sequence expansion exceeded " + std::to_string(kMaxExpansionSteps) +
                         " steps");
    }
    --state.steps_left;
    const std::uint32_t code = codes[i];
    const Fxy d = split_code(code);
    switch (d.f) {
      case 0:
        if (state.associated_field_width != 0 && takes_associated_field(code)) {
          out.push_back(kAssociatedFieldCode);
        }
        out.push_back(code);
        ++i;
        break;
      case 1: {
        SKERROW_TRY(const Replication r, check_replication(code, i, codes.size(), Walk::kExpansion));
        if (r.delayed()) {
          // The factor descriptor, then the body, once.
          SKERROW_CHECK(
              expand_step(tables, codes.subspan(i + 1, r.length + 1), depth + 1, state, out));
        } else {
          for (unsigned k = 0; k < r.times; ++k) {
            SKERROW_CHECK(
                expand_step(tables, codes.subspan(r.body, r.length), depth + 1, state, out));
          }
        }
        i = r.next();
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
        SKERROW_TRY(const SequenceDefinition* sequence, find_sequence(tables, code));
        SKERROW_CHECK(expand_step(tables, sequence->members, depth + 1, state, out));
        ++i;
        break;
      }
      default:
        return invalid_descriptor(code);
    }
  }
  return {};
}

Result<std::vector<std::uint32_t>> expand(const TableSet& tables,
                                          const std::vector<std::uint32_t>& codes) {
  ExpansionState state;
  std::vector<std::uint32_t> out;
  SKERROW_CHECK(expand_step(tables, codes, 0, state, out));
  return out;
}

}  // namespace skerrow
