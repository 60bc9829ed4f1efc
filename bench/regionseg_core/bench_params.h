// The parameters every regionseg_core benchmark runs with, for a tree shape
// and a criterion: threshold 30, the variance criteria with noise sigma 4.
#ifndef KALMEX_BENCH_REGIONSEG_PARAMS_H
#define KALMEX_BENCH_REGIONSEG_PARAMS_H

#include "regionseg.h"

inline seg_params bench_params(int32_t levels, int32_t flat_levels, int32_t start_level,
                               int32_t criterion, int32_t parallel_grouping = 0) {
  seg_params p;
  p.levels = levels;
  p.flat_levels = flat_levels;
  p.start_level = start_level;
  p.parallel_grouping = parallel_grouping;
  p.parallel_seeds = parallel_grouping != 0 ? 16 : 1;
  p.seed_any_level = 1;
  p.criterion = criterion;
  p.threshold = 30;
  p.outlier_fraction = 0.1;
  p.noise_sigma = 4.0;
  p.confidence_row = 2;
  p.size_factor = 1.0;
  return p;
}

#endif
