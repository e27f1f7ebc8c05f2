// One entry of the document as its members or elements arrive: its fields, which of them
// were given and which failed to convert, and the fault the whole entry then has. Private
// to the document reader. Persist layer only.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "document_format.h"
#include "reader_values.h"
#include "store/memory_edge.h"

namespace recall_mesh::persist {

class EdgeBuilder {
 public:
  /// No field of the table: an unknown key, or an element past the last field.
  static constexpr std::size_t kNoField = kFieldCount;

  /// Starts an entry, every field at its default.
  void reset() {
    reset_fields(edge_);
    name_.clear();
    present_.reset();
    faulty_.reset();
    elements_ = 0;
    array_fault_.reset();
  }

  /// The object member `key` starts; true when it names a field.
  bool key(std::string_view key) noexcept {
    field_ = kNoField;
    for (std::size_t f = 0; f < kFieldCount; ++f) {
      if (kFieldKeys[f] == key) field_ = f;
    }
    return field_ != kNoField;
  }
  /// The next element of the positional form starts; true when it is a field.
  bool element() noexcept {
    field_ = elements_ < kFieldCount ? static_cast<std::size_t>(elements_) : kNoField;
    ++elements_;
    return field_ != kNoField;
  }
  bool in_field() const noexcept { return field_ != kNoField; }

  /// The current field's value is the scalar `v`.
  Fault set(const Scalar& v) { return set_field(field_, v, edge_, name_); }
  /// The current field's value is a container (`found` names its kind).
  Fault container(std::string_view found) const { return field_wants_scalar(field_, found); }

  /// The current object member is complete; a repeated key replaces the earlier outcome.
  void member_done(Fault fault) {
    if (field_ == kNoField) return;
    present_.set(field_);
    faulty_.set(field_, fault.has_value());
    if (fault) faults_[field_] = std::move(*fault);
  }
  /// The current element is complete. Elements are taken in order and the first bad one
  /// ends the conversion.
  void element_done(Fault fault) {
    if (fault && !array_fault_) array_fault_ = std::move(fault);
  }

  /// The object form's fault: of several faulty members the one with the smallest key,
  /// then the first missing required field.
  Fault object_fault() {
    if (faulty_.any()) {
      for (const std::size_t f : kFieldsByKey) {
        if (faulty_[f]) return std::move(faults_[f]);
      }
    }
    for (std::size_t f = 0; f < kRequiredFields; ++f) {
      if (!present_[f]) return "missing field `" + std::string(kFieldKeys[f]) + "`";
    }
    return {};
  }
  /// The positional form's fault.
  Fault array_fault() {
    if (array_fault_) return std::move(array_fault_);
    if (elements_ < kRequiredFields) {
      return "invalid length " + std::to_string(elements_) + ", expected struct MemoryEdge with " +
             std::to_string(kFieldCount) + " elements";
    }
    if (elements_ > kFieldCount) return too_long(elements_);
    return {};
  }

  /// The converted entry; its name fields point into this builder.
  const store::EdgeValues& values() {
    set_names(edge_, name_);
    return edge_;
  }

  static Fault too_long(std::uint64_t n) {
    return "invalid length " + std::to_string(n) + ", expected fewer elements in array";
  }

 private:
  store::EdgeValues edge_;
  std::string name_;  // the text of the name field
  std::size_t field_ = kNoField;
  std::bitset<kFieldCount> present_;
  std::bitset<kFieldCount> faulty_;
  std::array<std::string, kFieldCount> faults_;
  std::uint64_t elements_ = 0;
  Fault array_fault_;
};

}  // namespace recall_mesh::persist
