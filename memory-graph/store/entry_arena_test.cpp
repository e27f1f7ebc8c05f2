#include "entry_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "adjacency_map.h"
#include "graph_ops.h"
#include "test_support.h"

namespace recall_mesh::store {
namespace {

using test_support::numbered;

// A block filled with records whose neighbour ids say whose and which they are.
struct Owned {
  MemoryEdge* block;
  std::uint32_t owner;
};

void fill(MemoryEdge* block, std::uint32_t owner, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    block[i] = MemoryEdge{};
    block[i].neighbour = owner * 1000 + i;
  }
  EntryArena::header(block).size = count;
}

bool holds(const MemoryEdge* block, std::uint32_t owner) {
  const auto& h = EntryArena::header(block);
  for (std::uint32_t i = 0; i < h.size; ++i) {
    if (block[i].neighbour != owner * 1000 + i) return false;
  }
  return h.owner == owner;
}

TEST(EntryArena, BlocksComeInClassesAndFreedOnesAreTakenAgain) {
  EntryArena arena;
  MemoryEdge* a = arena.allocate(1, 3);
  EXPECT_EQ(EntryArena::header(a).capacity, 4u) << "the class above 3 records";
  EXPECT_EQ(EntryArena::header(a).size, 0u);
  EXPECT_EQ(EntryArena::header(a).owner, 1u);
  arena.release(a);
  EXPECT_GT(arena.bytes_free(), 0u);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_TRUE(__asan_address_is_poisoned(&a[1])) << "a released block is closed to reads";
#endif
  MemoryEdge* b = arena.allocate(2, 4);
  EXPECT_EQ(b, a) << "a free block of the class is taken first";
  EXPECT_EQ(arena.bytes_free(), 0u);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_FALSE(__asan_address_is_poisoned(&b[3])) << "and open again when taken";
#endif

  // Larger than any pooled class: a block of its own, given back on release.
  MemoryEdge* big = arena.allocate(3, EntryArena::kLargestPooled + 1);
  EXPECT_GT(EntryArena::header(big).capacity, EntryArena::kLargestPooled);
  const std::size_t held = arena.bytes_held();
  arena.release(big);
  EXPECT_LT(arena.bytes_held(), held);
}

TEST(EntryArena, CapacitiesSaturateInsteadOfWrapping) {
  EXPECT_EQ(EntryArena::next_capacity(1064), 1597u);
  EXPECT_EQ(EntryArena::next_capacity(0xf0000000U), EntryArena::kMaxCapacity);
  EXPECT_EQ(EntryArena::next_capacity(EntryArena::kMaxCapacity), EntryArena::kMaxCapacity);
}

TEST(EntryArena, MovedArenaKeepsItsBlocksAndLeavesAnEmptyOne) {
  EntryArena first;
  MemoryEdge* kept = first.allocate(1, 5);
  fill(kept, 1, 5);
  MemoryEdge* freed = first.allocate(2, 5);
  first.release(freed);
  EntryArena second(std::move(first));
  EXPECT_TRUE(holds(kept, 1));
  EXPECT_EQ(second.allocate(3, 5), freed) << "the free block changed hands too";
  EXPECT_EQ(first.bytes_held(), 0u);  // NOLINT(bugprone-use-after-move): left empty
  EXPECT_EQ(first.bytes_free(), 0u);
  EXPECT_NE(first.allocate(4, 5), freed) << "the emptied arena works on its own";

  EntryArena third;
  third.allocate(5, 1);
  third = std::move(second);
  std::size_t walked = 0;
  third.for_each_block([&](EntryArena::Header&, MemoryEdge*) { ++walked; });
  EXPECT_EQ(walked, 2u);
}

TEST(EntryArena, WalkMeetsEveryBlockInUseOnce) {
  EntryArena arena;
  std::vector<Owned> live;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const std::uint32_t count = 1 + i % 40 + (i % 500 == 0 ? 2000 : 0);  // a few large
    MemoryEdge* block = arena.allocate(i, count);
    fill(block, i, count);
    if (i % 3 == 0) {
      arena.release(block);
    } else {
      live.push_back({block, i});
    }
  }
  std::map<std::uint32_t, int> met;
  arena.for_each_block([&](EntryArena::Header& h, MemoryEdge* records) {
    ++met[h.owner];
    EXPECT_TRUE(holds(records, h.owner)) << h.owner;
  });
  ASSERT_EQ(met.size(), live.size());
  for (const Owned& o : live) EXPECT_EQ(met[o.owner], 1) << o.owner;
}

TEST(EntryArena, CompactionKeepsEveryRecordAndGivesRoomBack) {
  EntryArena arena;
  std::map<std::uint32_t, MemoryEdge*> live;
  std::minstd_rand rng(7);
  // Many small blocks, most later outgrown: the free room a growing store leaves behind.
  for (std::uint32_t i = 0; i < 60000; ++i) {
    const auto count = static_cast<std::uint32_t>(1 + rng() % 12);
    MemoryEdge* block = arena.allocate(i, count);
    fill(block, i, count);
    live[i] = block;
  }
  for (std::uint32_t i = 0; i < 60000; i += 4) {
    arena.release(live[i]);
    live.erase(i);
  }
  ASSERT_TRUE(arena.wants_compaction());
  const std::size_t held = arena.bytes_held();
  std::size_t moved = 0;
  arena.compact([&](NameId owner, MemoryEdge* block) {
    live.at(owner) = block;
    ++moved;
  });
  EXPECT_GT(moved, 0u);
  EXPECT_LT(arena.bytes_held(), held) << "emptied chunks go back";
  EXPECT_LT(arena.bytes_free(), EntryArena::kChunkBytes);
  EXPECT_FALSE(arena.wants_compaction());
  for (const auto& [owner, block] : live) ASSERT_TRUE(holds(block, owner)) << owner;

  // The arena goes on working from where compaction left it.
  MemoryEdge* more = arena.allocate(99999, 5);
  fill(more, 99999, 5);
  std::size_t walked = 0;
  arena.for_each_block([&](EntryArena::Header& h, MemoryEdge* records) {
    ++walked;
    EXPECT_TRUE(holds(records, h.owner)) << h.owner;
  });
  EXPECT_EQ(walked, live.size() + 1);
}

// The store over a long random life, big enough for the arena to compact more than once,
// against a plain model of what it should hold.
TEST(EntryArena, StoreKeepsItsEntriesThroughGrowthDecayAndCompaction) {
  AdjacencyMap adj;
  std::map<std::pair<std::string, std::string>, float> model;  // only the keys are checked
  std::minstd_rand rng(11);
  const unsigned concepts = 30000;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 50000; ++i) {
      const auto spread = concepts / (1 + static_cast<unsigned>(i) % 8);  // some hubs
      const std::string a = numbered("c", static_cast<int>(rng() % concepts));
      const std::string b = numbered("c", static_cast<int>(rng() % spread));
      add_association(adj, a, b, "p", 0.5f, 0, 0.5f, false);
      model[{a, b}] = 0;
      model[{b, a}] = 0;
    }
    // Strong decay: entries die after ten weak passes, so round 3 clears out every entry not
    // made in it; the model drops what the store did.
    for (int pass = 0; pass < (round == 3 ? 11 : 1); ++pass) decay_and_prune(adj, 0.5f);
    for (auto it = model.begin(); it != model.end();) {
      it = adj.find_edge(it->first.first, it->first.second) ? std::next(it) : model.erase(it);
    }
    ASSERT_EQ(adj.edge_count(), model.size()) << "round " << round;
    std::size_t walked = 0;
    adj.for_each_concept([&](NameId id, const NeighbourMap& map) {
      for (const MemoryEdge& e : map.entries()) {
        ++walked;
        ASSERT_EQ(map.find(e.neighbour), &e);
        ASSERT_TRUE(model.count({std::string(adj.name(id)), std::string(adj.name(e.neighbour))}));
      }
    });
    ASSERT_EQ(walked, model.size());
  }
}

}  // namespace
}  // namespace recall_mesh::store
