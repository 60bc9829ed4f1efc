// Block codes and where a block lies in the image.
#include "regionseg.h"

int32_t code_level(const seg_context &ctx, uint32_t code) {
  if (code == 0) {
    return ctx.levels;
  }
  int32_t level = 0;
  while (code_digit(code, level) == 0) {
    ++level;
  }
  return level;
}

int32_t cell_index(const seg_context &ctx, uint32_t code) {
  // Mixed-radix position of the first start cell, the digit of start_level
  // being the least significant.
  int32_t index = 0;
  int32_t weight = 1;
  for (int32_t level = ctx.start_level; level < ctx.levels; ++level) {
    const uint32_t digit = code_digit(code, level);
    if (digit != 0) {
      index += weight * static_cast<int32_t>(digit - 1);
    }
    weight *= ctx.child_count[level];
  }
  return index;
}

uint32_t next_code(const seg_context &ctx, uint32_t code, int32_t level) {
  if (level >= ctx.levels) {
    return 0;
  }
  code = clear_digits_below(code, level);
  if (static_cast<int32_t>(code_digit(code, level)) == ctx.child_count[level]) {
    code = next_code(ctx, code, level + 1);
    if (code == 0) {
      return 0;
    }
  }
  return code + (1u << (4 * level));
}

block_extent_t block_extent(const seg_context &ctx, int32_t level) {
  block_extent_t e;
  e.width = int32_t{1} << level;
  e.height = e.width * ctx.dim_x;
  e.depth = level < ctx.flat_levels ? ctx.plane_stride
                                    : (int32_t{1} << (level - ctx.flat_levels)) * ctx.plane_stride;
  return e;
}

namespace {

// Bit 4i of m (for i = 0..7) moved to bit i; m holds no other bits.
inline uint32_t gather_nibble_bits(uint32_t m) {
  m = (m | (m >> 3)) & 0x03030303u;
  m = (m | (m >> 6)) & 0x000F000Fu;
  return (m | (m >> 12)) & 0x000000FFu;
}

// Digits lo .. hi-1 of a code, as a mask of whole nibbles (0 <= lo, hi <= 8).
inline uint32_t digit_mask(int32_t lo, int32_t hi) {
  if (hi <= lo) {
    return 0;
  }
  const uint64_t below_hi = (uint64_t{1} << (4 * hi)) - 1u;
  const uint64_t below_lo = (uint64_t{1} << (4 * lo)) - 1u;
  return static_cast<uint32_t>(below_hi & ~below_lo);
}

} // namespace

// Digit i - 1 of each level from level up names the child: bit 0 a step of
// 2^i in x, bit 1 in y, bit 2 (deep levels only) one of 2^(i - flat_levels)
// planes.  All digits are taken at once: every nibble less one (modulo 16,
// so that a digit 0 gives all three bits, as counting it down would), then
// the bits of each kind gathered into a number.
block_origin_t block_origin(const seg_context &ctx, uint32_t code, int32_t level) {
  const uint32_t ones = 0x11111111u;
  const uint32_t less_one = (code | 0x88888888u) - ones; // low 3 bits of each nibble: digit - 1
  const uint32_t levels = digit_mask(level, ctx.levels);
  const uint32_t deep = digit_mask(level < ctx.flat_levels ? ctx.flat_levels : level, ctx.levels);
  const int32_t x = static_cast<int32_t>(gather_nibble_bits(less_one & levels & ones));
  const int32_t y = static_cast<int32_t>(gather_nibble_bits((less_one >> 1) & levels & ones));
  const int32_t z =
      static_cast<int32_t>(gather_nibble_bits((less_one >> 2) & deep & ones) >> ctx.flat_levels);
  block_origin_t o;
  o.x = x;
  o.y = y * ctx.dim_x;
  o.z = z * ctx.plane_stride;
  return o;
}
