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

block_origin_t block_origin(const seg_context &ctx, uint32_t code, int32_t level) {
  int32_t x = 0;
  int32_t y = 0;
  int32_t z = 0;
  for (int32_t i = level; i < ctx.levels; ++i) {
    const uint32_t k = code_digit(code, i) - 1;
    if (k & 1u) {
      x += int32_t{1} << i;
    }
    if (k & 2u) {
      y += int32_t{1} << i;
    }
    if ((k & 4u) && i >= ctx.flat_levels) {
      z += int32_t{1} << (i - ctx.flat_levels);
    }
  }
  block_origin_t o;
  o.x = x;
  o.y = y * ctx.dim_x;
  o.z = z * ctx.plane_stride;
  return o;
}
