// The parser's view of a ByteSource: one piece at a time, with the byte offsets and line
// breaks that error positions need. Private to the document reader. Persist layer only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "byte_source.h"

namespace recall_mesh::persist {

inline constexpr char kEndOfInput[1] = {'\0'};

// The parser's view of a ByteSource: one piece at a time, with a NUL after the last byte
// (the parser's end mark). Line breaks of retired pieces are counted so that an error
// offset can be turned into a line and column without keeping old pieces.
class PieceStream {
 public:
  using Ch = char;

  explicit PieceStream(ByteSource& source) : source_(source) { load(); }

  Ch Peek() const noexcept { return *cur_; }
  Ch Take() {
    const Ch c = *cur_;
    if (cur_ + 1 < end_) {
      ++cur_;
    } else {
      advance();
    }
    return c;
  }
  std::size_t Tell() const noexcept { return base_ + static_cast<std::size_t>(cur_ - begin_); }

  // Only in-place parsing writes to the stream, and we never ask for it.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  /// True once every byte has been taken (a NUL byte inside the input is not the end).
  bool at_end() const noexcept { return at_end_; }

  /// 1-based line and byte column of the byte at `offset` (one past the last byte at the
  /// end). An error offset lies at most a few bytes before the current piece (the start of
  /// a number, an escape or a bad UTF-8 sequence), so the offsets of the last line breaks
  /// of retired pieces are enough to place it.
  std::pair<std::size_t, std::size_t> position_of(std::size_t offset) const noexcept {
    std::size_t lines = lines_;
    while (lines > 0 && lines_ - lines < kRecentBreaks &&
           recent_[lines % kRecentBreaks] >= offset) {
      --lines;
    }
    std::size_t line_start = lines == 0 ? 0 : recent_[lines % kRecentBreaks] + 1;
    if (!at_end_ && offset > base_) {
      const std::size_t n = std::min(offset - base_, static_cast<std::size_t>(end_ - begin_));
      for (std::size_t i = 0; i < n; ++i) {
        if (begin_[i] == '\n') {
          ++lines;
          line_start = base_ + i + 1;
        }
      }
    }
    return {lines + 1, offset >= line_start ? offset - line_start + 1 : 1};
  }

 private:
  static constexpr std::size_t kRecentBreaks = 8;

  void advance() {
    if (at_end_) return;
    for (const char* p = begin_; p < end_;) {
      const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
      if (!nl) break;
      p = static_cast<const char*>(nl);
      ++lines_;
      recent_[lines_ % kRecentBreaks] = base_ + static_cast<std::size_t>(p - begin_);
      ++p;
    }
    base_ += static_cast<std::size_t>(end_ - begin_);
    load();
  }

  void load() {
    const std::string_view piece = source_.next();
    if (piece.empty()) {
      at_end_ = true;
      begin_ = cur_ = kEndOfInput;
      end_ = kEndOfInput + 1;
      return;
    }
    begin_ = cur_ = piece.data();
    end_ = piece.data() + piece.size();
  }

  ByteSource& source_;
  const char* begin_ = nullptr;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  std::size_t base_ = 0;                             // offset of begin_
  std::size_t lines_ = 0;                            // line breaks in retired pieces
  std::array<std::size_t, kRecentBreaks> recent_{};  // offset of break i at i % kRecentBreaks
  bool at_end_ = false;
};

}  // namespace recall_mesh::persist
