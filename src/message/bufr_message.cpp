#include "message/bufr_message.h"

namespace skerrow {

std::string message_text(const BufrMessage& message) {
  std::string text = "BufrMessage(edition=" + std::to_string(message.edition) +
                     ", length=" + std::to_string(message.total_length) +
                     ", subsets=" + std::to_string(message.number_of_subsets) + ", descriptors=[";
  bool first = true;
  for (std::uint32_t code : message.unexpanded_descriptors) {
    if (!first) text += ", ";
    text += std::to_string(code);
    first = false;
  }
  text += "])";
  return text;
}

}  // namespace skerrow
