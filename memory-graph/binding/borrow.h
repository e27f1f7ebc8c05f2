// The access rule of one graph object: any number of readers, or one writer.
//
// Binding layer only. A method takes its borrow after parsing and before converting its
// arguments, so Python code run by a conversion (`__float__`, `__index__`, iteration) that
// calls back into the same object meets the conflict instead of a store in mid-change.
// Everything runs under the interpreter lock; this guards re-entry, not threads.
#pragma once

#include <Python.h>

#include <cstdint>

namespace recall_mesh::binding {

enum class Access { kNone, kShared, kExclusive };

struct BorrowState {
  static constexpr std::intptr_t kWriter = -1;
  // 0: free; n > 0: n readers; kWriter: one writer.
  std::intptr_t state = 0;
};

/// Holds a borrow for its lifetime. Check `ok()` after construction: when the borrow
/// conflicts, nothing is held and a RuntimeError is set.
template <Access A>
class BorrowGuard {
 public:
  explicit BorrowGuard(BorrowState& b) noexcept : b_(&b) {
    if constexpr (A == Access::kShared) {
      if (b.state == BorrowState::kWriter) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        b_ = nullptr;
        return;
      }
      ++b.state;
    } else if constexpr (A == Access::kExclusive) {
      if (b.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        b_ = nullptr;
        return;
      }
      b.state = BorrowState::kWriter;
    }
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (b_ == nullptr) return;
    if constexpr (A == Access::kShared) {
      --b_->state;
    } else if constexpr (A == Access::kExclusive) {
      b_->state = 0;
    }
  }

  bool ok() const noexcept { return b_ != nullptr; }

 private:
  BorrowState* b_;
};

}  // namespace recall_mesh::binding
