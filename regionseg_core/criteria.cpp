// The homogeneity criteria a run can choose (the parameter criterion), each
// defined in its own file, and their operations one item at a time for what
// works outside the stages' loops.
#include "criterion.h"

extern const criterion_rules range_criterion;
extern const criterion_rules range_mean_criterion;
extern const criterion_rules robust_range_criterion;
extern const criterion_rules chi2_variance_criterion;
extern const criterion_rules scaled_variance_criterion;

namespace {

const criterion_rules *const criteria[] = {&range_criterion, &range_mean_criterion,
                                           &robust_range_criterion, &chi2_variance_criterion,
                                           &scaled_variance_criterion};

} // namespace

const criterion_rules *find_criterion(int32_t number) {
  for (const criterion_rules *rules : criteria) {
    if (rules->number == number) {
      return rules;
    }
  }
  return NULL;
}

int32_t set_up_criterion(seg_context &ctx) { return ctx.rules->set_up(ctx); }

void evaluate_block(const run_config &ctx, const block_box &box, int32_t level, block_record &node,
                    int32_t worker) {
  find_criterion(ctx.criterion)->evaluate(ctx, box, level, node, worker);
}

bool merge_test(const run_config &ctx, const block_record &child, int64_t &acc_a, int64_t &acc_b,
                int32_t position, int32_t child_level, const sibling_group &group) {
  return find_criterion(ctx.criterion)
      ->merge(ctx, child, acc_a, acc_b, position, child_level, group);
}
