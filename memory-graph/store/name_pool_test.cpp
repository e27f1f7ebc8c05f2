#include "name_pool.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace recall_mesh::store {

struct NamePoolPeer {
  static void set_refs(NamePool& pool, NameId id, std::uint32_t refs) {
    (*pool.slots_)[id].refs = refs;
  }
};

namespace {

using test_support::numbered;

TEST(NamePool, InternsEachNameOnceAndComparesBytes) {
  NamePool pool;
  const NameId a = pool.acquire("alpha");
  EXPECT_EQ(pool.acquire("alpha"), a);
  EXPECT_EQ(pool.refs(a), 2u);
  // Case and Unicode form are different names; the empty string is a name.
  const NameId upper = pool.acquire("Alpha");
  const NameId composed = pool.acquire("caf\xc3\xa9");
  const NameId decomposed = pool.acquire("cafe\xcc\x81");
  const NameId empty = pool.acquire("");
  EXPECT_NE(upper, a);
  EXPECT_NE(composed, decomposed);
  EXPECT_EQ(pool.find(""), empty);
  EXPECT_EQ(pool.text(composed), "caf\xc3\xa9");
  EXPECT_EQ(pool.find("missing"), kNoName);
  EXPECT_EQ(pool.live(), 5u);
}

TEST(NamePool, SameBytesSeesEveryByteAtEveryLength) {
  // The short paths compare overlapping words: a difference anywhere, at any length,
  // must still show, and a NUL is a byte like any other.
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string base(n, 'a');
    EXPECT_TRUE(same_bytes(base, std::string(n, 'a')));
    EXPECT_FALSE(same_bytes(base, std::string(n + 1, 'a')));
    for (std::size_t at = 0; at < n; ++at) {
      std::string other = base;
      other[at] = '\0';
      EXPECT_FALSE(same_bytes(base, other)) << n << " " << at;
      EXPECT_FALSE(same_bytes(other, base)) << n << " " << at;
    }
  }
}

TEST(NamePool, ReleasedNameIsForgottenAndItsIdReused) {
  NamePool pool;
  const NameId a = pool.acquire("a");
  const NameId b = pool.acquire("b");
  pool.retain(a);
  pool.release(a);
  EXPECT_EQ(pool.find("a"), a) << "one user is left";
  pool.release(a);
  EXPECT_EQ(pool.find("a"), kNoName);
  EXPECT_EQ(pool.live(), 1u);
  const NameId c = pool.acquire("c");
  EXPECT_EQ(c, a) << "the free id is reused";
  EXPECT_EQ(pool.text(c), "c");
  EXPECT_EQ(pool.find("b"), b);
}

TEST(NamePool, NameWithMoreUsersThanTheCountHoldsIsKept) {
  // Counting past the top would wrap to few users, and later releases would free a name
  // that entries still hold; instead it stays, with the count at the top.
  NamePool pool;
  const NameId a = pool.acquire("a");
  NamePoolPeer::set_refs(pool, a, 0xfffffffeU);
  pool.retain(a);
  ASSERT_EQ(pool.refs(a), 0xffffffffU);
  pool.retain(a);
  EXPECT_EQ(pool.acquire("a"), a);
  EXPECT_EQ(pool.refs(a), 0xffffffffU) << "the count stays at the top";
  for (int i = 0; i < 3; ++i) pool.release(a);
  EXPECT_EQ(pool.find("a"), a) << "a pinned name is never released";
  EXPECT_EQ(pool.text(a), "a");
}

TEST(NamePool, SurvivesGrowthAndMoves) {
  NamePool pool;
  for (int i = 0; i < 5000; ++i) pool.acquire(numbered("name-", i));
  NamePool moved = std::move(pool);
  for (int i = 0; i < 5000; i += 7) {
    const NameId id = moved.find(numbered("name-", i));
    ASSERT_NE(id, kNoName);
    EXPECT_EQ(moved.text(id), numbered("name-", i));
  }
  for (int i = 0; i < 5000; i += 2) moved.release(moved.find(numbered("name-", i)));
  EXPECT_EQ(moved.live(), 2500u);
  EXPECT_NE(moved.find("name-4999"), kNoName);
  EXPECT_EQ(moved.find("name-4998"), kNoName);
}

}  // namespace
}  // namespace recall_mesh::store
