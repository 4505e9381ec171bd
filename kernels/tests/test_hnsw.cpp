// The HNSW graph store: bounded heap, visited generations, link lists and their locks,
// and the structural check of index arrays.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "hnsw/graph.hpp"
#include "hnsw/heaps.hpp"
#include "hnsw/visited.hpp"

namespace qv::hnsw {
namespace {

std::vector<uint64_t> items_of(ResultHeap h) {
  std::vector<uint64_t> out;
  while (auto c = h.pop()) out.push_back(c->index);
  return out;
}

TEST(Keep, HoldsTheBestAndBreaksTiesToTheLowerIndex) {
  ResultHeap h(3, 10);
  for (uint64_t i = 0; i < 4; ++i) keep(h, i, 1.0 + static_cast<double>(i), 3);
  EXPECT_EQ(items_of(h), (std::vector<uint64_t>{1, 2, 3}));
  ResultHeap t(1, 10);
  keep(t, 7, 5.0, 1);
  keep(t, 4, 5.0, 1);
  EXPECT_EQ(items_of(t), (std::vector<uint64_t>{4}));
  ResultHeap z(0, 10);
  keep(z, 1, 1.0, 0);
  EXPECT_TRUE(z.empty());
}

TEST(Frontier, PopsBestFirst) {
  Frontier f;
  for (uint64_t i = 0; i < 9; ++i) f.push({static_cast<double>(i % 3), i});
  std::vector<uint64_t> order;
  while (!f.empty()) order.push_back(f.pop().index);
  EXPECT_EQ(order, (std::vector<uint64_t>{2, 5, 8, 1, 4, 7, 0, 3, 6}));
}

TEST(Visited, GenerationsWrapToOne) {
  Visited v(3);
  v.clear();
  EXPECT_FALSE(v.insert(1));
  EXPECT_TRUE(v.insert(1));
  v.set_epoch_for_test(UINT32_MAX);
  EXPECT_FALSE(v.insert(2));
  v.clear();
  EXPECT_EQ(v.epoch(), 1u);
  EXPECT_FALSE(v.insert(2));
  EXPECT_FALSE(v.insert(0));
}

TEST(BuildLinks, LinkIfRoomAndNeighbors) {
  BuildLinks links({1, 0, 0, 0}, 1);  // level-0 cap 2
  EXPECT_FALSE(links.link_if_room(0, 0, 2));
  EXPECT_TRUE(links.link_if_room(0, 1, 2));
  EXPECT_TRUE(links.link_if_room(0, 2, 2));
  EXPECT_FALSE(links.link_if_room(0, 3, 2));
  EXPECT_TRUE(links.link_if_room(0, 1, 2));  // already listed, though full
  std::vector<uint32_t> out = {9};
  links.neighbors(1, 1, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{9}));
  links.neighbors(0, 0, out);
  EXPECT_EQ(out, (std::vector<uint32_t>{9, 1, 2}));
  Graph g = links.freeze(0);
  EXPECT_EQ(g.links_indptr, (std::vector<int64_t>{0, 2, 2, 2, 2, 2}));
  EXPECT_EQ(g.entry_point, 0);
}

TEST(BuildLinks, AFailureInsideALockPoisonsTheList) {
  BuildLinks links({0, 0}, 2);
  EXPECT_THROW(links.with_list(0, 0, [](BuildLinks::Locked&) -> int { throw std::runtime_error("x"); }),
               std::runtime_error);
  try {
    std::vector<uint32_t> out;
    links.neighbors(0, 0, out);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_NE(std::string(e.what()).find("hnsw link lock poisoned"), std::string::npos);
  }
  std::vector<uint32_t> out;
  links.neighbors(1, 0, out);  // other lists are untouched
}

TEST(BuildLinks, EmptyBuildFreezesToTheEmptyIndex) {
  Graph g = BuildLinks({}, 4).freeze(0);
  EXPECT_TRUE(g.node_level.empty());
  EXPECT_EQ(g.links_indptr, (std::vector<int64_t>{0}));
  EXPECT_EQ(g.entry_point, -1);
}

TEST(GraphView, StructuralChecks) {
  const std::vector<int32_t> levels = {2, 0};
  const std::vector<int64_t> ptr = {0, 1, 1, 1, 2};
  const std::vector<int32_t> idx = {1, 0};
  auto g = GraphView::make(levels, ptr, idx, 0, 2);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->top(), 2u);
  EXPECT_EQ(g->list(0, 0).size(), 1u);
  EXPECT_TRUE(g->list(1, 1).empty());
  EXPECT_FALSE(GraphView::make(levels, std::vector<int64_t>{0, 1, 1, 2}, idx, 0, 2));
  EXPECT_FALSE(GraphView::make(levels, std::vector<int64_t>{0, 1, 0, 1, 2}, idx, 0, 2));
  EXPECT_FALSE(GraphView::make(levels, ptr, std::vector<int32_t>{1, 2}, 0, 2));
  EXPECT_FALSE(GraphView::make(levels, ptr, std::vector<int32_t>{1, -1}, 0, 2));
  EXPECT_FALSE(GraphView::make(levels, ptr, idx, 2, 2));
  EXPECT_FALSE(GraphView::make(std::vector<int32_t>{33, 0}, ptr, idx, 0, 2));
  EXPECT_FALSE(GraphView::make(std::vector<int32_t>{-1, 0}, ptr, idx, 0, 2));
  EXPECT_TRUE(GraphView::make(std::vector<int32_t>{0}, std::vector<int64_t>{0, 0}, {}, 0, 1));
  EXPECT_FALSE(GraphView::make({}, std::vector<int64_t>{0}, {}, -1, 0));
}

}  // namespace
}  // namespace qv::hnsw
