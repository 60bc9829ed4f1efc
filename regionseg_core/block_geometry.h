// Block codes and where a block lies in the image.
//
// A block code holds sixteen 4-bit digits, digit L in bits 4L .. 4L+3.  For
// a block of level L, digit i (i >= L) is the child index 1 .. 8 of its
// level-i ancestor within that ancestor's parent, and the digits below L are
// 0; the root's code is 0.  Compared as unsigned integers, codes run in
// depth-first order.  In child index k, bit 0 of k - 1 means the upper half
// along x (the first dimension), bit 1 along y, bit 2 along z.
//
// These functions run for every block in every stage, so they are inline
// and take the digits all at once with bit arithmetic.  Each states the
// plain loop over the digits that it equals; the unit tests compare the two.
// No shift here reaches 64.
#ifndef KALMEX_REGIONSEG_BLOCK_GEOMETRY_H
#define KALMEX_REGIONSEG_BLOCK_GEOMETRY_H

#include <stdint.h>

typedef uint64_t block_code;

// Digits a code holds, and so the most levels a tree may have.
enum : int32_t { max_levels = 16 };

// The shape of the block tree over one image.
struct block_grid {
  int32_t levels;       // the root block has level `levels`
  int32_t flat_levels;  // levels 0 .. flat_levels-1 split in four, the others in eight
  int32_t start_level;  // level of the start blocks
  int32_t dim_x;        // side of the image in pixels (first two dimensions)
  int32_t plane_stride; // dim_x x dim_x
};

inline block_code code_digit(block_code code, int32_t level) {
  return level >= max_levels ? 0u : (code >> (4 * level)) & 0xFu;
}

// The code with digits 0 .. level-1 cleared (all of them from max_levels on).
inline block_code clear_digits_below(block_code code, int32_t level) {
  return level >= max_levels ? 0u : code & ~((block_code{1} << (4 * level)) - 1u);
}

// The code with digit level replaced by value (no change from max_levels on).
inline block_code set_digit(block_code value, int32_t level, block_code code) {
  if (level >= max_levels) {
    return code;
  }
  const int shift = 4 * level;
  return (code & ~(block_code{0xF} << shift)) | ((value & 0xFu) << shift);
}

// The level of a code: the number of zero digits at its low end, `levels`
// for the root's code 0.
//   level = 0; while (code_digit(code, level) == 0) ++level;
inline int32_t code_level(const block_grid &g, block_code code) {
  if (code == 0) {
    return g.levels;
  }
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(code) >> 2;
#else
  int32_t level = 0;
  while ((code & 0xFu) == 0) {
    code >>= 4;
    ++level;
  }
  return level;
#endif
}

namespace seg_bits {

constexpr block_code nibble_ones = 0x1111111111111111u;
constexpr block_code nibble_eights = 0x8888888888888888u;

// Bit 4i of m moved to bit i (i = 0 .. 15); m holds no other bits.
//   r = 0; for i in 0..15: r |= ((m >> 4i) & 1) << i
inline uint64_t gather_nibble_bits(uint64_t m) {
  m = (m | (m >> 3)) & 0x0303030303030303u;
  m = (m | (m >> 6)) & 0x000F000F000F000Fu;
  m = (m | (m >> 12)) & 0x000000FF000000FFu;
  return (m | (m >> 24)) & 0xFFFFu;
}

// Digits lo .. hi-1 as a mask of whole nibbles (0 <= lo, hi <= 16).
inline block_code digit_mask(int32_t lo, int32_t hi) {
  if (hi <= lo) {
    return 0;
  }
  const block_code below_hi = hi >= max_levels ? ~block_code{0} : (block_code{1} << (4 * hi)) - 1u;
  const block_code below_lo = (block_code{1} << (4 * lo)) - 1u;
  return below_hi & ~below_lo;
}

// The low 2 bits of each nibble packed together (nibble i to bits 2i).
//   r = 0; for i in 0..15: r |= ((m >> 4i) & 3) << 2i
inline uint64_t pack_nibbles_2(uint64_t m) {
  m &= 0x3333333333333333u;
  m = (m | (m >> 2)) & 0x0F0F0F0F0F0F0F0Fu;
  m = (m | (m >> 4)) & 0x00FF00FF00FF00FFu;
  m = (m | (m >> 8)) & 0x0000FFFF0000FFFFu;
  return (m | (m >> 16)) & 0xFFFFFFFFu;
}

// The low 3 bits of each nibble packed together (nibble i to bits 3i).
//   r = 0; for i in 0..15: r |= ((m >> 4i) & 7) << 3i
inline uint64_t pack_nibbles_3(uint64_t m) {
  m &= 0x7777777777777777u;
  m = (m & 0x0707070707070707u) | ((m & 0x7070707070707070u) >> 1);
  m = (m & 0x003F003F003F003Fu) | ((m & 0x3F003F003F003F00u) >> 2);
  m = (m & 0x00000FFF00000FFFu) | ((m & 0x0FFF00000FFF0000u) >> 4);
  return (m & 0x0000000000FFFFFFu) | ((m & 0x00FFFFFF00000000u) >> 8);
}

// Every digit less one (a digit 0 gives 0xF in its low bits, as counting it
// down modulo 16 would): setting bit 3 of each nibble first keeps the borrow
// inside the nibble.
//   r = 0; for i in 0..15: r |= ((digit_i - 1) & 7) << 4i   (the low 3 bits)
inline block_code digits_less_one(block_code code) { return (code | nibble_eights) - nibble_ones; }

} // namespace seg_bits

// Index of the first start cell of a block at level >= start_level: the
// mixed-radix number of its digits less one, the digit of start_level being
// the least significant and each radix child_count of its level; a digit 0
// adds nothing.
//   index = 0; weight = 1;
//   for L = start_level .. levels-1:
//     if digit L != 0: index += weight x (digit L - 1)
//     weight x= (L < flat_levels ? 4 : 8)
// The radices are 4 and 8, so each digit less one is a field of 2 bits
// (flat levels) or 3 bits (deep levels) and the index is those fields side
// by side.
inline int32_t cell_index(const block_grid &g, block_code code) {
  using namespace seg_bits;
  const block_code nonzero = (code | (code >> 1) | (code >> 2) | (code >> 3)) & nibble_ones;
  const block_code digits = digits_less_one(code) & (nonzero * 0xFu);
  const int32_t flat_top = g.flat_levels < g.levels ? g.flat_levels : g.levels;
  const int32_t deep_from = g.start_level > g.flat_levels ? g.start_level : g.flat_levels;
  uint64_t flat_part = 0;
  int32_t flat_bits = 0;
  if (g.start_level < flat_top) {
    flat_part = pack_nibbles_2(digits & digit_mask(g.start_level, flat_top)) >> (2 * g.start_level);
    flat_bits = 2 * (flat_top - g.start_level);
  }
  uint64_t deep_part = 0;
  if (deep_from < g.levels) {
    deep_part = pack_nibbles_3(digits & digit_mask(deep_from, g.levels)) >> (3 * deep_from);
  }
  return static_cast<int32_t>(flat_part | (deep_part << flat_bits));
}

struct block_extent_t {
  int32_t width;  // pixels along x
  int32_t height; // 2^L rows, as a pixel offset
  int32_t depth;  // planes, as a pixel offset
};
struct block_origin_t {
  int32_t x; // pixel offsets; the first pixel is at x + y + z
  int32_t y;
  int32_t z;
};

inline block_extent_t block_extent(const block_grid &g, int32_t level) {
  block_extent_t e;
  e.width = int32_t{1} << level;
  e.height = e.width * g.dim_x;
  e.depth = level < g.flat_levels ? g.plane_stride
                                  : (int32_t{1} << (level - g.flat_levels)) * g.plane_stride;
  return e;
}

// Where the block code at level starts within its ancestor of level top, in
// pixels along x and y and in planes along z (level <= top <= levels).
//   x = y = z = 0;
//   for i = level .. top-1: k = digit i - 1 (modulo 16)
//     if k & 1: x += 2^i;  if k & 2: y += 2^i
//     if k & 4 and i >= flat_levels: z += 2^(i - flat_levels)
inline block_origin_t block_steps(const block_grid &g, block_code code, int32_t level,
                                  int32_t top) {
  using namespace seg_bits;
  const block_code less_one = digits_less_one(code);
  const block_code levels = digit_mask(level, top);
  const block_code deep = digit_mask(level < g.flat_levels ? g.flat_levels : level, top);
  block_origin_t s;
  s.x = static_cast<int32_t>(gather_nibble_bits(less_one & levels & nibble_ones));
  s.y = static_cast<int32_t>(gather_nibble_bits((less_one >> 1) & levels & nibble_ones));
  s.z = static_cast<int32_t>(gather_nibble_bits((less_one >> 2) & deep & nibble_ones) >>
                             g.flat_levels);
  return s;
}

// The first pixel of the block code at its own level, as offsets along x,
// y (rows times dim_x) and z (planes times plane_stride).
inline block_origin_t block_origin(const block_grid &g, block_code code, int32_t level) {
  block_origin_t o = block_steps(g, code, level, g.levels);
  o.y *= g.dim_x;
  o.z *= g.plane_stride;
  return o;
}

#endif
