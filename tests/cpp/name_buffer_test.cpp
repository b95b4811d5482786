// The buffer that holds the names of a message's items one after another:
// entries set in any order, set again, left empty, added at the end, and
// the buffer reused for the next message.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "pipeline/columns.h"

namespace skerrow {
namespace {

std::vector<std::string> all(const NameBuffer& buffer) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < buffer.size(); ++i) out.emplace_back(buffer[i]);
  return out;
}

TEST(NameBuffer, EntriesSetInAnyOrderKeepTheirOwnText) {
  NameBuffer names;
  names.reset(4);
  // Long enough to make the characters move as the buffer grows.
  const std::string key(200, 'k');
  names.set(2, "#2#", key);
  names.set(0, key);
  names.set(3, "", "");
  names.set(1, "#2#" + key, "->percentConfidence");
  EXPECT_EQ(all(names),
            (std::vector<std::string>{key, "#2#" + key + "->percentConfidence", "#2#" + key, ""}));
  // Set again: the entry's new text, the others unchanged.
  names.set(0, "airTemperature");
  EXPECT_EQ(names[0], "airTemperature");
  EXPECT_EQ(names[2], "#2#" + key);
  EXPECT_EQ(names.add("->associatedFieldSignificance"), 4u);
  EXPECT_EQ(names[4], "->associatedFieldSignificance");
}

TEST(NameBuffer, AResetBufferHoldsOnlyEmptyEntries) {
  NameBuffer names;
  names.reset(3);
  names.set(0, "pressure");
  names.set(2, "#2#pressure");
  // Moved, as a message's buffer is to serve the next.
  NameBuffer next = std::move(names);
  EXPECT_EQ(next[2], "#2#pressure");
  next.reset(5);
  EXPECT_EQ(all(next), std::vector<std::string>(5));
  next.set(4, "windSpeed");
  EXPECT_EQ(all(next), (std::vector<std::string>{"", "", "", "", "windSpeed"}));
  next.reset(0);
  EXPECT_EQ(next.size(), 0u);
}

}  // namespace
}  // namespace skerrow
