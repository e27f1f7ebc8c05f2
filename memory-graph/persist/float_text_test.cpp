#include "float_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace recall_mesh::persist {
namespace {

std::string f32_text(float v) {
  char buf[kMaxFloatText];
  return std::string(buf, write_f32(buf, v));
}

std::string f64_text(double v) {
  char buf[kMaxFloatText];
  return std::string(buf, write_f64(buf, v));
}

TEST(FloatText, LayoutOfStoredFloats) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {1.0f, "1.0"},
      {3.0f, "3.0"},
      {100.0f, "100.0"},
      {-2.5f, "-2.5"},
      {0.5f, "0.5"},
      {123.25f, "123.25"},
      {0.1f, "0.10000000149011612"},
      {0.7f, "0.699999988079071"},
      {1.1f, "1.100000023841858"},
      {1e-4f, "0.00009999999747378752"},          // k = -5: still positional
      {1e-6f, "9.999999974752427e-7"},            // k = -7: scientific
      {1e-5f, "9.999999747378752e-6"},            // k = -6: scientific
      {999999986991104.0f, "999999986991104.0"},  // k = 14
      {1e15f, "999999986991104.0"},
      {1e16f, "1.0000000272564224e+16"},
      {std::numeric_limits<float>::max(), "3.4028234663852886e+38"},
      {std::numeric_limits<float>::denorm_min(), "1.401298464324817e-45"},
      {-std::numeric_limits<float>::denorm_min(), "-1.401298464324817e-45"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(f32_text(c.value), c.text) << c.text;
}

TEST(FloatText, DoublesForMessages) {
  EXPECT_EQ(f64_text(1.0), "1.0");
  EXPECT_EQ(f64_text(2.5e-300), "2.5e-300");
  EXPECT_EQ(f64_text(1e16), "1e+16");
  EXPECT_EQ(f64_text(1e15), "1000000000000000.0");
  EXPECT_EQ(f64_text(1.8446744073709552e19), "1.8446744073709552e+19");
  EXPECT_EQ(f64_text(0.1), "0.1");
  EXPECT_EQ(f64_text(-0.00001), "-0.00001");
  EXPECT_EQ(f64_text(5e-324), "5e-324");
}

// Every finite float, read back as a double and narrowed, is the same bit pattern; the
// text is never longer than the room promised.
TEST(FloatText, SweepOfBitPatternsReadsBackExactly) {
  std::uint64_t checked = 0;
  for (std::uint64_t bits = 0; bits <= 0xffffffffULL; bits += 65521) {
    for (std::uint32_t low : {0U, 1U, 0x7fffffU}) {
      const auto pattern = static_cast<std::uint32_t>(bits) | low;
      const float value = std::bit_cast<float>(pattern);
      if (!std::isfinite(value)) continue;
      char buf[kMaxFloatText];
      char* end = write_f32(buf, value);
      ASSERT_LE(end - buf, 24);
      double back = 0;
      ASSERT_EQ(std::from_chars(buf, end, back).ec, std::errc{}) << std::string(buf, end);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(back)), pattern)
          << std::string(buf, end);
      ASSERT_EQ(back, static_cast<double>(value)) << "the widened value, not a shorter one";
      ++checked;
    }
  }
  EXPECT_GT(checked, 150000u);
}

}  // namespace
}  // namespace recall_mesh::persist
