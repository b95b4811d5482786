// TableSet's direct index of descriptor codes must agree with its maps
// whatever the codes, and survive copies and moves of the set.
#include "tables/table_model.h"

#include <gtest/gtest.h>

#include <memory>

namespace skerrow {
namespace {

ElementDefinition element(std::uint32_t code, std::string name) {
  ElementDefinition e;
  e.code = code;
  e.name = std::move(name);
  return e;
}

TableSet sample() {
  TableSet t;
  // Both ends of the indexed range, and codes outside it: X beyond 63, Y
  // beyond 255 (six-digit codes a table may write), another F.
  for (std::uint32_t code : {0u, 1001u, 63255u, 64000u, 1256u, 99999u, 112001u}) {
    t.insert_element(element(code, "e" + std::to_string(code)));
  }
  t.insert_sequence(SequenceDefinition{301001, {1001}});
  t.insert_sequence(SequenceDefinition{363255, {1001}});
  t.insert_sequence(SequenceDefinition{364000, {1001}});
  return t;
}

void expect_sample(const TableSet& t) {
  for (std::uint32_t code : {0u, 1001u, 63255u, 64000u, 1256u, 99999u, 112001u}) {
    const ElementDefinition* e = t.element(code);
    ASSERT_NE(e, nullptr) << code;
    EXPECT_EQ(e->name, "e" + std::to_string(code));
  }
  for (std::uint32_t code : {1002u, 63254u, 2001u, 301001u, 255u}) {
    EXPECT_EQ(t.element(code), nullptr) << code;
  }
  for (std::uint32_t code : {301001u, 363255u, 364000u}) EXPECT_NE(t.sequence(code), nullptr);
  EXPECT_EQ(t.sequence(301002), nullptr);
  EXPECT_EQ(t.sequence(1001), nullptr);
}

TEST(TableModel, IndexedAndUnindexedCodesAreFound) {
  expect_sample(sample());
  const TableSet empty;
  EXPECT_EQ(empty.element(1001), nullptr);
  EXPECT_EQ(empty.sequence(301001), nullptr);
}

TEST(TableModel, ALaterDefinitionReplacesTheIndexedOne) {
  TableSet t = sample();
  t.insert_element(element(1001, "replaced"));
  EXPECT_EQ(t.element(1001)->name, "replaced");
  EXPECT_EQ(t.element_count(), 7u);
}

TEST(TableModel, CopiesAndMovesOutliveTheOriginal) {
  auto original = std::make_unique<TableSet>(sample());
  TableSet copied(*original);
  TableSet assigned;
  assigned = *original;
  original.reset();  // a copy must not point into the original's entries
  expect_sample(copied);
  expect_sample(assigned);
  TableSet moved(std::move(copied));
  expect_sample(moved);
  moved.insert_element(element(1002, "only in the moved one"));
  EXPECT_EQ(moved.element(1002)->name, "only in the moved one");
  EXPECT_EQ(assigned.element(1002), nullptr);
}

}  // namespace
}  // namespace skerrow
