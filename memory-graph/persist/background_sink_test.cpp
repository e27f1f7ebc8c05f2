#include "background_sink.h"

#include <gtest/gtest.h>

#include <string>

namespace recall_mesh::persist {
namespace {

// Keeps what it is given; refuses everything once it holds `limit` bytes.
class Recorder final : public ByteSink {
 public:
  explicit Recorder(std::size_t limit = std::string::npos) : limit_(limit) {}
  bool write(const char* data, std::size_t size) override {
    ++calls;
    if (text.size() + size > limit_) return false;
    text.append(data, size);
    return true;
  }
  std::string text;
  int calls = 0;

 private:
  std::size_t limit_;
};

// Bytes that show where they came from: position i holds i mod 251.
std::string pattern(std::size_t n, std::size_t from = 0) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((from + i) % 251);
  return s;
}

TEST(BackgroundSink, PassesEveryByteOnInOrder) {
  // Pieces smaller than a block, one of exactly a block, one of more than two blocks,
  // and an empty one.
  constexpr std::size_t kBlock = BackgroundSink::kBlock;
  const std::size_t sizes[] = {1, 4095, 65536, 2 * kBlock + 17, 300, 0, kBlock, 9};
  Recorder out;
  std::string expected;
  {
    BackgroundSink sink(out);
    for (const std::size_t n : sizes) {
      const std::string piece = pattern(n, expected.size());
      ASSERT_TRUE(sink.write(piece.data(), piece.size()));
      expected += piece;
    }
    EXPECT_TRUE(sink.finish());
  }
  EXPECT_EQ(out.text.size(), expected.size());
  EXPECT_TRUE(out.text == expected);
}

TEST(BackgroundSink, StopsAtTheFirstFailedWrite) {
  Recorder out(BackgroundSink::kBlock);  // takes one block, refuses the next
  BackgroundSink sink(out);
  const std::string piece = pattern(BackgroundSink::kBlock / 2);
  bool refused = false;
  for (int i = 0; i < 12 && !refused; ++i) refused = !sink.write(piece.data(), piece.size());
  EXPECT_FALSE(sink.finish());
  EXPECT_FALSE(sink.write(piece.data(), piece.size())) << "nothing is taken after a failure";
  EXPECT_EQ(out.text.size(), BackgroundSink::kBlock);
  EXPECT_EQ(out.calls, 2) << "no write is tried after the first failure";
}

TEST(BackgroundSink, DestructorWritesWhatWasHandedOver) {
  Recorder out;
  const std::string piece = pattern(BackgroundSink::kBlock + 5);
  {
    BackgroundSink sink(out);
    ASSERT_TRUE(sink.write(piece.data(), piece.size()));
  }
  // The full block was handed over before the sink went; the five staged bytes were not.
  EXPECT_EQ(out.text, piece.substr(0, BackgroundSink::kBlock));
}

}  // namespace
}  // namespace recall_mesh::persist
