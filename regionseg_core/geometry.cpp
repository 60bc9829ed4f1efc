// Block codes and where a block lies in the image.
#include "seg_context.h"

block_code next_code(const block_grid &g, block_code code, int32_t level) {
  if (level >= g.levels) {
    return 0;
  }
  code = clear_digits_below(code, level);
  if (static_cast<int32_t>(code_digit(code, level)) == (level < g.flat_levels ? 4 : 8)) {
    code = next_code(g, code, level + 1);
    if (code == 0) {
      return 0;
    }
  }
  return code + (block_code{1} << (4 * level));
}

block_code next_present_code_past(const block_grid &g, block_code code, int32_t level) {
  code = next_code(g, code, level);
  while (code != 0 && !block_present(g, code, level)) {
    // Past the highest absent ancestor (the root is present), then down to
    // its successor's first block of the level.
    int32_t top = level;
    while (top + 1 < g.levels && !block_present(g, clear_digits_below(code, top + 1), top + 1)) {
      ++top;
    }
    code = next_code(g, code, top);
    for (int32_t l = level; l < top && code != 0; ++l) {
      code = set_digit(1, l, code);
    }
  }
  return code;
}
