#include "common/byte_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

using Block = std::vector<unsigned char>;  // kBlockBytes bytes and one more

// Every byte value at every lane (block s holds s + k at lane k), then random
// bytes drawn from a few values, so that neighbours repeat.
std::vector<Block> test_blocks() {
  std::vector<Block> blocks;
  for (int s = 0; s < 256; ++s) {
    Block block(kBlockBytes + 1);
    for (std::size_t k = 0; k < block.size(); ++k) block[k] = static_cast<unsigned char>(s + k);
    blocks.push_back(block);
  }
  std::mt19937_64 rng(7);
  const unsigned char values[] = {'x', '0', '9', 'A', 'z', 0x7F, 0x80, 0xFF, 0x20};
  for (int round = 0; round < 500; ++round) {
    Block block(kBlockBytes + 1);
    for (unsigned char& b : block) b = values[rng() % std::size(values)];
    blocks.push_back(block);
  }
  return blocks;
}

// The mask against its meaning lane by lane: every lane all ones or all
// zeros (LaneCounter and with_bits_where use whole lanes), and its bits
// gathered both ways (the build's own and the portable multiplication).
template <typename Holds>
testing::AssertionResult lanes_hold(LaneMask mask, const Block& block, Holds holds_at) {
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < kBlockBytes; ++k) {
    const bool holds = holds_at(k);
    bits |= std::uint32_t{holds} << k;
    if (mask.lanes()[k] != (holds ? -1 : 0)) {
      return testing::AssertionFailure() << "lane " << k << " is " << int{mask.lanes()[k]} << " in "
                                         << testing::PrintToString(block);
    }
  }
  if (mask.bits() != bits || gather_lane_bits(mask.lanes()) != bits) {
    return testing::AssertionFailure()
           << "bits " << mask.bits() << " and " << gather_lane_bits(mask.lanes()) << ", not "
           << bits << " in " << testing::PrintToString(block);
  }
  return testing::AssertionSuccess();
}

// eq with every byte value and with the bytes one further on, the bytes from
// 0x80 (where a signed comparison goes wrong first), a folded range, and the
// logic between masks.
TEST(ByteBlockTest, ComparisonsMatchTheirMeaningAtEveryLane) {
  for (const Block& block : test_blocks()) {
    const unsigned char* p = block.data();
    const ByteBlock b = ByteBlock::load(p);
    for (int c = 0; c < 256; ++c) {
      ASSERT_TRUE(lanes_hold(b.eq(static_cast<unsigned char>(c)), block,
                             [&](std::size_t k) { return p[k] == c; }))
          << "eq " << c;
    }
    EXPECT_TRUE(lanes_hold(b.eq(ByteBlock::load(p + 1)), block,
                           [&](std::size_t k) { return p[k] == p[k + 1]; }));
    EXPECT_TRUE(lanes_hold(b.non_ascii(), block, [&](std::size_t k) { return p[k] >= 0x80; }));
    EXPECT_EQ(b.non_ascii_bits(), b.non_ascii().bits());
    EXPECT_TRUE(lanes_hold(b.with_bits(0x20).in_range('a', 'z'), block, [&](std::size_t k) {
      return (p[k] | 0x20) >= 'a' && (p[k] | 0x20) <= 'z';
    }));
    const LaneMask x = b.eq('x');
    const LaneMask digit = b.in_range('0', '9');
    const auto is_x = [&](std::size_t k) { return p[k] == 'x'; };
    const auto is_digit = [&](std::size_t k) { return p[k] >= '0' && p[k] <= '9'; };
    EXPECT_TRUE(
        lanes_hold(x | digit, block, [&](std::size_t k) { return is_x(k) || is_digit(k); }));
    EXPECT_TRUE(lanes_hold((x | digit) & digit, block, is_digit));
    EXPECT_TRUE(lanes_hold((x | digit).and_not(digit), block, is_x));
    EXPECT_TRUE(lanes_hold(x & digit, block, [](std::size_t) { return false; }));
    if (HasFailure()) return;
  }
}

// Every range from every lower bound to every upper bound: the shift that
// in_range makes wraps around differently for each, and some cross the signed
// boundary between 0x7F and 0x80.
TEST(ByteBlockTest, InRangeHoldsForEveryRange) {
  const std::vector<Block> blocks = test_blocks();
  for (int lo = 0; lo < 256; ++lo) {
    for (int hi = lo; hi < 256; ++hi) {
      for (const Block& block : blocks) {
        const LaneMask mask =
            ByteBlock::load(block.data())
                .in_range(static_cast<unsigned char>(lo), static_cast<unsigned char>(hi));
        ASSERT_TRUE(lanes_hold(mask, block,
                               [&](std::size_t k) { return block[k] >= lo && block[k] <= hi; }))
            << "range " << lo << " to " << hi;
      }
    }
  }
}

// Stored blocks, changed or not, and nothing written outside the 16 bytes.
TEST(ByteBlockTest, StoredBytesMatchTheirMeaning) {
  constexpr unsigned char kGuard = 0xA5;
  const auto stored = [&](ByteBlock b) {
    Block out(kBlockBytes + 2, kGuard);
    b.store(out.data() + 1);
    EXPECT_EQ(out.front(), kGuard);
    EXPECT_EQ(out.back(), kGuard);
    return Block(out.begin() + 1, out.end() - 1);
  };
  for (const Block& block : test_blocks()) {
    const ByteBlock b = ByteBlock::load(block.data());
    const auto expect_bytes = [&](ByteBlock changed, auto byte_at, const std::string& what) {
      const Block out = stored(changed);
      for (std::size_t k = 0; k < kBlockBytes; ++k) {
        ASSERT_EQ(out[k], byte_at(k))
            << what << ", lane " << k << " of " << testing::PrintToString(block);
      }
    };
    expect_bytes(
        b, [&](std::size_t k) { return block[k]; }, "as loaded");
    for (int bits : {0x00, 0x01, 0x20, 0x7F, 0x80, 0xFF}) {
      const auto m = static_cast<unsigned char>(bits);
      expect_bytes(
          b.with_bits(m), [&](std::size_t k) { return block[k] | m; },
          "with_bits " + std::to_string(bits));
      const LaneMask capital = b.in_range('A', 'Z');
      expect_bytes(
          b.with_bits_where(capital, m),
          [&](std::size_t k) {
            return block[k] >= 'A' && block[k] <= 'Z' ? block[k] | m : block[k];
          },
          "with_bits_where capitals " + std::to_string(bits));
      expect_bytes(
          b.with_bits_where(b.non_ascii(), m),
          [&](std::size_t k) { return block[k] >= 0x80 ? block[k] | m : block[k]; },
          "with_bits_where non-ASCII " + std::to_string(bits));
    }
    if (HasFailure()) return;
  }
}

// Lanes that differ from block to block, flushed after the most adds allowed,
// and a lane true in every add up to that limit: one byte per lane must hold
// 255 without wrapping.
TEST(ByteBlockTest, LaneCounterCountsEveryTrueLane) {
  LaneCounter counter;
  std::uint64_t expected = 0;
  int adds = 0;
  for (const Block& block : test_blocks()) {
    counter.add(ByteBlock::load(block.data()).in_range('0', 'z'));
    for (std::size_t k = 0; k < kBlockBytes; ++k) expected += block[k] >= '0' && block[k] <= 'z';
    if (++adds == LaneCounter::kAddsBeforeFlush) {
      counter.flush();
      adds = 0;
      ASSERT_EQ(counter.total(), expected);
    }
  }
  counter.flush();
  EXPECT_EQ(counter.total(), expected);

  const Block ascii = test_blocks()[0];  // bytes 0 to 16
  const ByteBlock b = ByteBlock::load(ascii.data());
  LaneCounter full;
  for (int add = 0; add < LaneCounter::kAddsBeforeFlush; ++add) full.add(b.eq(b));
  EXPECT_EQ(full.total(), 0u);
  full.flush();
  EXPECT_EQ(full.total(), std::uint64_t{LaneCounter::kAddsBeforeFlush} * kBlockBytes);
}

TEST(ByteBlockTest, CountBitsMatchesABitByBitCount) {
  const auto bit_by_bit = [](std::uint64_t word) {
    int n = 0;
    for (int k = 0; k < 64; ++k) n += static_cast<int>((word >> k) & 1);
    return n;
  };
  std::vector<std::uint64_t> words = {0, ~std::uint64_t{0}, 0x8000000000000001ull};
  for (int k = 0; k < 64; ++k) words.push_back(std::uint64_t{1} << k);
  std::mt19937_64 rng(11);
  for (int k = 0; k < 3000; ++k) words.push_back(k % 3 == 0 ? rng() & rng() : rng() | rng());
  for (std::uint64_t word : words) EXPECT_EQ(count_bits(word), bit_by_bit(word)) << word;
}

}  // namespace
}  // namespace vesko
