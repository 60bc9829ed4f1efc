// Block codes and where a block lies in the image.
#include "regionseg.h"

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
