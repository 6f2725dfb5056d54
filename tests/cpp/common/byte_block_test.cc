#include "common/byte_block.h"

#include <gtest/gtest.h>

#include <bit>
#include <cctype>
#include <cstdint>
#include <random>
#include <vector>

namespace vesko {
namespace {

// Every operation against its meaning byte by byte, its bits gathered both
// ways (SSE2 and the portable multiplication). The ranges include the ones
// that cross the signed boundary between 0x7F and 0x80, where a signed
// comparison goes wrong first.
void expect_scalar_meaning(const unsigned char* p) {
  const auto expect = [p](LaneMask mask, auto holds_at) {
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < kBlockBytes; ++k) bits |= std::uint32_t{holds_at(k)} << k;
    EXPECT_EQ(mask.bits(), bits);
    EXPECT_EQ(gather_lane_bits(mask.lanes()), bits);
  };
  const ByteBlock b = ByteBlock::load(p);
  for (int c : {0x00, int{'!'}, int{'0'}, int{'A'}, int{'a'}, 0x7F, 0x80, 0xFF}) {
    expect(b.eq(static_cast<unsigned char>(c)), [&](std::size_t k) { return p[k] == c; });
  }
  const std::pair<int, int> ranges[] = {{'0', '9'},   {'A', 'Z'},   {'!', '~'},   {0x00, 0x20},
                                        {0x7F, 0x80}, {0x80, 0xFF}, {0x00, 0xFE}, {0x41, 0x41}};
  for (auto [lo, hi] : ranges) {
    expect(b.in_range(static_cast<unsigned char>(lo), static_cast<unsigned char>(hi)),
           [&](std::size_t k) { return p[k] >= lo && p[k] <= hi; });
  }
  expect(b.with_bits(0x20).in_range('a', 'z'),
         [&](std::size_t k) { return (p[k] | 0x20) >= 'a' && (p[k] | 0x20) <= 'z'; });
  expect(b.non_ascii(), [&](std::size_t k) { return p[k] >= 0x80; });
  EXPECT_EQ(b.non_ascii_bits(), b.non_ascii().bits());
  const LaneMask digit = b.in_range('0', '9');
  expect(b.eq('x') | digit, [&](std::size_t k) { return p[k] == 'x' || std::isdigit(p[k]); });
  expect((b.eq('x') | digit) & digit, [&](std::size_t k) { return std::isdigit(p[k]) != 0; });
  expect((b.eq('x') | digit).and_not(digit), [&](std::size_t k) { return p[k] == 'x'; });
  expect(b.eq(ByteBlock::load(p + 1)), [&](std::size_t k) { return p[k] == p[k + 1]; });
}

// Every byte value, then random bytes drawn from a few values, so that
// neighbours repeat.
TEST(ByteBlockTest, OperationsMatchTheirMeaningByteByByte) {
  std::vector<unsigned char> bytes(256 + kBlockBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200 && !HasFailure(); ++round) {
    for (std::size_t at = 0; at + kBlockBytes < bytes.size(); at += kBlockBytes) {
      expect_scalar_meaning(bytes.data() + at);
    }
    const std::uint64_t word = rng() & rng();
    EXPECT_EQ(count_bits(word), std::popcount(word));
    const unsigned char values[] = {'x', '0', '9', 'A', 'z', 0x7F, 0x80, 0xFF, 0x20};
    for (unsigned char& b : bytes) b = values[rng() % std::size(values)];
  }
  for (std::uint64_t word : {~std::uint64_t{0}, std::uint64_t{1} << 63}) {
    EXPECT_EQ(count_bits(word), std::popcount(word));
  }
}

}  // namespace
}  // namespace vesko
