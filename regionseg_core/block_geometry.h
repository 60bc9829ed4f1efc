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

// The shape of the block tree over one image.  The tree covers the cube of
// 2^levels x 2^levels x 2^(levels - flat_levels) pixels; the image is the
// box of dim_x x dim_y x dim_z pixels at its origin (pixel (x, y, z) at
// x + y dim_x + z plane_stride), and the pixels of the cube outside it are
// absent.  A block is present when its first pixel is, and then its
// present part is a box from that pixel.
struct block_grid {
  int32_t levels;       // the root block has level `levels`
  int32_t flat_levels;  // levels 0 .. flat_levels-1 split in four, the others in eight
  int32_t start_level;  // level of the start blocks
  int32_t dim_x;        // the image's sides in pixels: d1 (the row stride),
  int32_t dim_y;        // d2
  int32_t dim_z;        // and d3, 1 for a 2-D image
  int32_t plane_stride; // dim_x x dim_y
  bool whole;           // the image fills the cube: every block is present
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

// The index of the lowest set bit of a non-zero mask of children, and the
// number of set bits (the compilers' own instructions where they have them).
inline int32_t lowest_child(uint32_t mask) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctz(mask);
#else
  int32_t k = 0;
  while ((mask & 1u) == 0) {
    mask >>= 1;
    ++k;
  }
  return k;
#endif
}
inline int32_t child_total(uint32_t mask) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_popcount(mask);
#else
  int32_t n = 0;
  for (; mask != 0; mask &= mask - 1) {
    ++n;
  }
  return n;
#endif
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

// Every digit less one (a digit 0 gives 0xF in its low bits, as counting it
// down modulo 16 would): setting bit 3 of each nibble first keeps the borrow
// inside the nibble.
//   r = 0; for i in 0..15: r |= ((digit_i - 1) & 7) << 4i   (the low 3 bits)
inline block_code digits_less_one(block_code code) { return (code | nibble_eights) - nibble_ones; }

} // namespace seg_bits

struct block_origin_t {
  int32_t x; // pixel offsets; the first pixel is at x + y + z
  int32_t y;
  int32_t z;
};

// Planes of a block of the given level: one up to flat_levels, then
// doubling with each level.
inline int32_t level_planes(const block_grid &g, int32_t level) {
  return level <= g.flat_levels ? 1 : int32_t{1} << (level - g.flat_levels);
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
// y (rows times dim_x) and z (planes times plane_stride).  For a present
// block only: the offsets of an absent one need not fit.
inline block_origin_t block_origin(const block_grid &g, block_code code, int32_t level) {
  block_origin_t o = block_steps(g, code, level, g.levels);
  o.y *= g.dim_x;
  o.z *= g.plane_stride;
  return o;
}

// Whether the block at pixel x, row y and plane z is present (its first
// pixel lies in the image), and whether the block code at level is.
inline bool present_at(const block_grid &g, int32_t x, int32_t y, int32_t z) {
  return x < g.dim_x && y < g.dim_y && z < g.dim_z;
}
inline bool block_present(const block_grid &g, block_code code, int32_t level) {
  if (g.whole) {
    return true;
  }
  const block_origin_t s = block_steps(g, code, level, g.levels);
  return present_at(g, s.x, s.y, s.z);
}

// The present part of a block: the box of the image from its first pixel,
// as an offset and extents (width in pixels, height and depth as pixel
// offsets, as the pixel loops step), and its number of pixels n(B).
struct block_box {
  int32_t start;
  int32_t width;
  int32_t height; // rows x dim_x
  int32_t depth;  // planes x plane_stride
  int32_t voxels;
};

// The present part of the block of the given level at pixel x, row y and
// plane z (a present block).
inline block_box box_at(const block_grid &g, int32_t x, int32_t y, int32_t z, int32_t level) {
  const int32_t side = int32_t{1} << level;
  const int32_t planes = level_planes(g, level);
  const int32_t width = g.dim_x - x < side ? g.dim_x - x : side;
  const int32_t rows = g.dim_y - y < side ? g.dim_y - y : side;
  const int32_t depth = g.dim_z - z < planes ? g.dim_z - z : planes;
  block_box b;
  b.start = x + y * g.dim_x + z * g.plane_stride;
  b.width = width;
  b.height = rows * g.dim_x;
  b.depth = depth * g.plane_stride;
  b.voxels = width * rows * depth;
  return b;
}

// The present children of the block of level + 1 at pixel x, row y and
// plane z (a present block): bit k - 1 set for child k.  Child 1 is always
// present; a child in the upper half along a direction is present when
// that half starts inside the image.
inline uint32_t present_children(const block_grid &g, int32_t x, int32_t y, int32_t z,
                                 int32_t level) {
  uint32_t mask = level < g.flat_levels ? 0x0Fu : 0xFFu;
  if (g.whole) {
    return mask;
  }
  const int32_t side = int32_t{1} << level;
  if (x + side >= g.dim_x) {
    mask &= 0x55u; // no child 2, 4, 6, 8
  }
  if (y + side >= g.dim_y) {
    mask &= 0x33u; // no child 3, 4, 7, 8
  }
  if (level >= g.flat_levels && z + level_planes(g, level) >= g.dim_z) {
    mask &= 0x0Fu; // no child 5 to 8
  }
  return mask;
}

// The present part of the block code at its own level (a present block).
inline block_box present_box(const block_grid &g, block_code code, int32_t level) {
  const block_origin_t s = block_steps(g, code, level, g.levels);
  return box_at(g, s.x, s.y, s.z, level);
}

#endif
