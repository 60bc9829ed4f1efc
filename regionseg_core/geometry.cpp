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

namespace {

// The low 2 bits of each nibble of m packed together (nibble i to bits 2i).
inline uint32_t pack_nibbles_2(uint32_t m) {
  m &= 0x33333333u;
  m = (m | (m >> 2)) & 0x0F0F0F0Fu;
  m = (m | (m >> 4)) & 0x00FF00FFu;
  return (m | (m >> 8)) & 0x0000FFFFu;
}

// The low 3 bits of each nibble of m packed together (nibble i to bits 3i).
inline uint32_t pack_nibbles_3(uint32_t m) {
  m &= 0x77777777u;
  m = (m & 0x07070707u) | ((m & 0x70707070u) >> 1);
  m = (m & 0x003F003Fu) | ((m & 0x3F003F00u) >> 2);
  return (m & 0x00000FFFu) | ((m & 0x0FFF0000u) >> 4);
}

} // namespace

int32_t cell_index(const seg_context &ctx, uint32_t code) {
  // Mixed-radix position of the first start cell, the digit of start_level
  // being the least significant.  The radices are 4 and 8, so each digit
  // less one is a field of 2 bits (flat levels) or 3 bits (deep levels) and
  // the index is those fields side by side; a digit 0 adds nothing.  Digits
  // are handled all at once, as in block_origin below.
  const uint32_t less_one = (code | 0x88888888u) - 0x11111111u;
  const uint32_t nonzero = (code | (code >> 1) | (code >> 2) | (code >> 3)) & 0x11111111u;
  const uint32_t digits = less_one & (nonzero * 0xFu);
  const int32_t flat_top = ctx.flat_levels < ctx.levels ? ctx.flat_levels : ctx.levels;
  const int32_t deep_from = ctx.start_level > ctx.flat_levels ? ctx.start_level : ctx.flat_levels;
  uint32_t flat_part = 0;
  int32_t flat_bits = 0;
  if (ctx.start_level < flat_top) {
    flat_part =
        pack_nibbles_2(digits & digit_mask(ctx.start_level, flat_top)) >> (2 * ctx.start_level);
    flat_bits = 2 * (flat_top - ctx.start_level);
  }
  uint32_t deep_part = 0;
  if (deep_from < ctx.levels) {
    deep_part = pack_nibbles_3(digits & digit_mask(deep_from, ctx.levels)) >> (3 * deep_from);
  }
  return static_cast<int32_t>(flat_part | (deep_part << flat_bits));
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

// Digit i - 1 of each level i in level .. top-1 names the child: bit 0 a
// step of 2^i in x, bit 1 in y, bit 2 (deep levels only) one of
// 2^(i - flat_levels) planes.  All digits are taken at once: every nibble
// less one (modulo 16, so that a digit 0 gives all three bits, as counting it
// down would), then the bits of each kind gathered into a number.
block_origin_t block_steps(const seg_context &ctx, uint32_t code, int32_t level, int32_t top) {
  const uint32_t ones = 0x11111111u;
  const uint32_t less_one = (code | 0x88888888u) - ones; // low 3 bits of each nibble: digit - 1
  const uint32_t levels = digit_mask(level, top);
  const uint32_t deep = digit_mask(level < ctx.flat_levels ? ctx.flat_levels : level, top);
  block_origin_t s;
  s.x = static_cast<int32_t>(gather_nibble_bits(less_one & levels & ones));
  s.y = static_cast<int32_t>(gather_nibble_bits((less_one >> 1) & levels & ones));
  s.z = static_cast<int32_t>(gather_nibble_bits((less_one >> 2) & deep & ones) >> ctx.flat_levels);
  return s;
}

block_origin_t block_origin(const seg_context &ctx, uint32_t code, int32_t level) {
  block_origin_t o = block_steps(ctx, code, level, ctx.levels);
  o.y *= ctx.dim_x;
  o.z *= ctx.plane_stride;
  return o;
}
