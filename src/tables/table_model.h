// The tables of one decoding: Table B elements, Table D sequences and code
// tables, each keyed by descriptor code. A loader fills a TableSet; nothing
// changes it afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace skerrow {

// One Table B entry. Texts are stored exactly as read (UTF-8).
struct ElementDefinition {
  std::uint32_t code = 0;
  std::string abbreviation;
  std::string element_type;
  std::string name;
  std::string unit;
  std::int32_t scale = 0;
  std::int64_t reference = 0;
  std::uint16_t width = 0;
};

// One Table D entry.
struct SequenceDefinition {
  std::uint32_t code = 0;
  std::vector<std::uint32_t> members;
};

// Raw value -> meaning. Code and flag tables share this form.
using CodeTable = std::unordered_map<std::uint64_t, std::string>;

class TableSet {
 public:
  const ElementDefinition* element(std::uint32_t code) const {
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
  }
  const SequenceDefinition* sequence(std::uint32_t code) const {
    auto it = sequences_.find(code);
    return it == sequences_.end() ? nullptr : &it->second;
  }
  const CodeTable* code_table(std::uint32_t code) const {
    auto it = code_tables_.find(code);
    return it == code_tables_.end() ? nullptr : &it->second;
  }
  // The meaning of `raw` in the code table of element `code`: an exact match
  // on the whole value, or nothing.
  const std::string* meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = code_table(code);
    if (table == nullptr) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }

  // A later definition replaces an earlier one with the same code, whole.
  void insert_element(ElementDefinition e) { elements_.insert_or_assign(e.code, std::move(e)); }
  void insert_sequence(SequenceDefinition s) { sequences_.insert_or_assign(s.code, std::move(s)); }
  void insert_code_table(std::uint32_t code, CodeTable t) {
    code_tables_.insert_or_assign(code, std::move(t));
  }

  std::size_t element_count() const { return elements_.size(); }
  std::size_t sequence_count() const { return sequences_.size(); }
  std::size_t code_table_count() const { return code_tables_.size(); }

  const std::unordered_map<std::uint32_t, ElementDefinition>& elements() const { return elements_; }
  const std::unordered_map<std::uint32_t, SequenceDefinition>& sequences() const {
    return sequences_;
  }
  const std::unordered_map<std::uint32_t, CodeTable>& code_tables() const { return code_tables_; }

 private:
  std::unordered_map<std::uint32_t, ElementDefinition> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
  std::unordered_map<std::uint32_t, CodeTable> code_tables_;
};

}  // namespace skerrow
