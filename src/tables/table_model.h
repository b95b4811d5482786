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
  TableSet() = default;
  // A copy indexes its own entries; a move keeps the entries' addresses.
  TableSet(const TableSet& other)
      : elements_(other.elements_), sequences_(other.sequences_), code_tables_(other.code_tables_) {
    reindex();
  }
  TableSet& operator=(const TableSet& other) {
    if (this != &other) {
      elements_ = other.elements_;
      sequences_ = other.sequences_;
      code_tables_ = other.code_tables_;
      reindex();
    }
    return *this;
  }
  TableSet(TableSet&&) noexcept = default;
  TableSet& operator=(TableSet&&) noexcept = default;

  const ElementDefinition* element(std::uint32_t code) const {
    if (const std::size_t slot = slot_of(code, 0); slot != kNoSlot) {
      return element_slots_.empty() ? nullptr : element_slots_[slot];
    }
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
  }
  const SequenceDefinition* sequence(std::uint32_t code) const {
    if (const std::size_t slot = slot_of(code, 3); slot != kNoSlot) {
      return sequence_slots_.empty() ? nullptr : sequence_slots_[slot];
    }
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
  void insert_element(ElementDefinition e) {
    const std::uint32_t code = e.code;
    auto [it, added] = elements_.insert_or_assign(code, std::move(e));
    index(element_slots_, slot_of(code, 0), &it->second);
  }
  void insert_sequence(SequenceDefinition s) {
    const std::uint32_t code = s.code;
    auto [it, added] = sequences_.insert_or_assign(code, std::move(s));
    index(sequence_slots_, slot_of(code, 3), &it->second);
  }
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
  // Descriptors have 6 bits of X and 8 of Y, so the entries a message can
  // name fit a direct index of 2^14 slots per kind: the decoder looks
  // entries up per value, and a hash lookup there cost more than the read.
  // Codes no 16-bit descriptor has (tables may define them) stay in the maps.
  static constexpr std::size_t kSlots = std::size_t{1} << 14;
  static constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
  static std::size_t slot_of(std::uint32_t code, std::uint32_t f) {
    const std::uint32_t base = f * 100000u;
    if (code < base || code >= base + 64000u || code % 1000u >= 256u) return kNoSlot;
    return (std::size_t{(code - base) / 1000u} << 8) | (code % 1000u);
  }
  template <class T>
  static void index(std::vector<const T*>& slots, std::size_t slot, const T* entry) {
    if (slot == kNoSlot) return;
    if (slots.empty()) slots.assign(kSlots, nullptr);
    slots[slot] = entry;
  }
  void reindex() {
    element_slots_.clear();
    sequence_slots_.clear();
    for (const auto& [code, e] : elements_) index(element_slots_, slot_of(code, 0), &e);
    for (const auto& [code, s] : sequences_) index(sequence_slots_, slot_of(code, 3), &s);
  }

  std::unordered_map<std::uint32_t, ElementDefinition> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
  std::unordered_map<std::uint32_t, CodeTable> code_tables_;
  std::vector<const ElementDefinition*> element_slots_;
  std::vector<const SequenceDefinition*> sequence_slots_;
};

}  // namespace skerrow
