// Quantized codes: their bit order, and the tile scorers of every instruction set giving
// the bits of the plain fused chains.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <new>
#include <random>
#include <vector>

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"
#include "isa_levels.hpp"

namespace qv::quantized {
namespace {

TEST(QuantizedCodes, LowOrderCodeFirst) {
  // bits 2, dim 5: codes 3, 0, 1, 2, 1 pack into 147 (3 + 0*4 + 1*16 + 2*64) and 1.
  const uint8_t run[] = {147, 1};
  const unsigned expected[] = {3, 0, 1, 2, 1};
  for (unsigned d = 0; d < 5; ++d) EXPECT_EQ(code_at<2>(run, d), expected[d]);
  const uint8_t one[] = {0b10110010, 0b1};
  const unsigned bits1[] = {0, 1, 0, 0, 1, 1, 0, 1, 1};
  for (unsigned d = 0; d < 9; ++d) EXPECT_EQ(code_at<1>(one, d), bits1[d]);
  const uint8_t four[] = {0x3A, 0xC5};
  EXPECT_EQ(code_at<4>(four, 0), 0xAu);
  EXPECT_EQ(code_at<4>(four, 1), 0x3u);
  EXPECT_EQ(code_at<4>(four, 3), 0xCu);
  EXPECT_EQ(code_at<8>(four, 1), 0xC5u);
  EXPECT_EQ(row_bytes(5, 2), 2u);
  EXPECT_EQ(row_bytes(9, 1), 2u);
  EXPECT_EQ(row_bytes(7, 8), 7u);
  EXPECT_EQ(row_bytes(0, 4), 0u);
}

// Bytes that end where a page the process may not read begins, so a scorer that reads one
// byte past the codes it was given faults instead of passing.
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t n) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (n + page - 1) / page * page + page;
    base_ = static_cast<uint8_t*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) throw std::bad_alloc();
    if (mprotect(base_ + size_ - page, page, PROT_NONE) != 0) throw std::bad_alloc();
    data_ = base_ + size_ - page - n;
  }
  ~GuardedBytes() { munmap(base_, size_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  uint8_t* data() { return data_; }

 private:
  uint8_t* base_;
  uint8_t* data_;
  size_t size_;
};

class TilePaths : public testing_isa::LevelTest {};

enum class Weights { finite, infinite, nan };

// Every path against the portable fused chains, for each width, for widths around the
// words and groups of eight codes and the vector blocks, for every block length and lanes
// in use (few lanes put candidates in the register lanes, many put query lanes there),
// with repeated items and the array's last row, which ends at a guard page. A weight of
// inf or NaN in use must give the NaN a plain fused multiply-add gives for code 0.
TEST_P(TilePaths, SameBitsAsPortable) {
  std::mt19937_64 g(7);
  std::normal_distribution<double> normal;
  for (uint32_t bits : {1u, 2u, 4u, 8u}) {
    for (uint64_t dim : {1u, 3u, 7u, 8u, 9u, 16u, 17u, 63u, 64u, 65u, 129u, 130u, 200u}) {
      for (Weights kind : {Weights::finite, Weights::infinite, Weights::nan}) {
        const uint64_t rb = row_bytes(dim, bits);
        const uint64_t n_items = 11;
        GuardedBytes codes(rb * n_items);
        for (uint64_t i = 0; i < rb * n_items; ++i) codes.data()[i] = static_cast<uint8_t>(g());
        std::vector<double> tile(kLanes * dim);
        for (auto& w : tile) w = normal(g) * std::ldexp(1.0, static_cast<int>(g() % 40) - 20);
        const double odd = kind == Weights::infinite ? -INFINITY : NAN;
        if (kind != Weights::finite) tile[kLanes * (g() % dim)] = odd;
        std::vector<double> unpacked(kTileBlock * dim);
        for (size_t n = 1; n <= kTileBlock; ++n) {
          std::vector<uint64_t> items(n);
          for (auto& it : items) it = g() % 3 == 0 ? n_items - 1 : g() % n_items;
          for (size_t lanes : {1, 2, 3, 4, 5, 8, 9, 16}) {
            const Tile t{tile.data(), dim, lanes, finite_lanes(tile.data(), dim, lanes)};
            ASSERT_EQ(t.finite, kind == Weights::finite);
            std::vector<double> acc(kTileBlock * kLanes, -1.0);
            tile_scorer(bits, GetParam(), lanes)(codes.data(), rb, items.data(), n, t, unpacked.data(), acc.data());
            for (size_t i = 0; i < n; ++i) {
              double want[kLanes];
              with_width(bits, [&](auto w) {
                tile_row<decltype(w)::value>(want, codes.data() + items[i] * rb, tile.data(), dim);
              });
              for (size_t l = 0; l < lanes; ++l) {
                const double got = acc[kTileBlock * l + i];
                if (std::isnan(want[l])) {
                  ASSERT_TRUE(std::isnan(got)) << "bits " << bits << " dim " << dim << " lane " << l;
                  continue;
                }
                ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want[l]))
                    << "bits " << bits << " dim " << dim << " n " << n << " item " << i << " lane " << l;
              }
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Quantized, TilePaths, QV_ALL_LEVELS, testing_isa::level_name);

TEST(QuantizedTile, OneFusedChainPerLane) {
  // Lane l of the portable chain: fma over dimensions in order from +0.0.
  const uint64_t dim = 3;
  std::vector<double> tile(kLanes * dim);
  for (size_t i = 0; i < tile.size(); ++i) tile[i] = 0.1 * static_cast<double>(i + 1);
  const uint8_t run[] = {0b00000101};  // 1-bit codes 1, 0, 1; the upper bits are ignored
  double acc[kLanes];
  tile_row<1>(acc, run, tile.data(), dim);
  for (size_t l = 0; l < kLanes; ++l) {
    double want = std::fma(tile[l], 1.0, 0.0);
    want = std::fma(tile[kLanes + l], 0.0, want);
    want = std::fma(tile[2 * kLanes + l], 1.0, want);
    EXPECT_EQ(std::bit_cast<uint64_t>(acc[l]), std::bit_cast<uint64_t>(want));
  }
}

}  // namespace
}  // namespace qv::quantized
