// Block codes and where a block lies in the image.
#include "regionseg.h"

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
