#include "name_pool.h"

#include <cassert>
#include <limits>
#include <new>

#include "name_hash.h"

namespace recall_mesh::store {

std::size_t NamePool::IdHash::operator()(NameId id) const noexcept {
  return static_cast<std::size_t>(hash_name((*slots)[id].text));
}

std::size_t NamePool::IdHash::operator()(std::string_view text) const noexcept {
  return static_cast<std::size_t>(hash_name(text));
}

NamePool::NamePool()
    : slots_(std::make_unique<Slots>()), index_(0, IdHash{slots_.get()}, IdEqual{slots_.get()}) {}

NameId NamePool::find(std::string_view text, std::size_t hash) const noexcept {
  auto it = index_.find(text, hash);
  return it == index_.end() ? kNoName : *it;
}

NameId NamePool::acquire(std::string_view text, std::size_t hash) {
  auto it = index_.find(text, hash);
  if (it != index_.end()) {
    add_user((*slots_)[*it]);
    return *it;
  }
  NameId id;
  if (free_head_ != kNoName) {
    id = free_head_;
    Slot& slot = (*slots_)[id];
    slot.text.assign(text.data(), text.size());
    free_head_ = slot.next_free;
    slot.next_free = kNoName;
  } else {
    if (slots_->size() >= kNoName) throw std::bad_alloc();
    id = static_cast<NameId>(slots_->size());
    slots_->push_back(Slot{std::string(text), 0, kNoName});
  }
  try {
    index_.insert(id);
  } catch (...) {
    Slot& slot = (*slots_)[id];
    std::string().swap(slot.text);
    slot.next_free = free_head_;
    free_head_ = id;
    throw;
  }
  (*slots_)[id].refs = 1;
  return id;
}

void NamePool::release(NameId id) noexcept {
  Slot& slot = (*slots_)[id];
  assert(slot.refs > 0 && "released a name that has no users");
  if (slot.refs == kPinned || --slot.refs != 0) return;
  // Erase while the text is still there: the index hashes it to find the bucket.
  index_.erase(id);
  std::string().swap(slot.text);
  slot.next_free = free_head_;
  free_head_ = id;
}

}  // namespace recall_mesh::store
