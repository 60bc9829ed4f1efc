%REGIONSEG_CORE   Split-and-merge segmentation of a 2-D or 3-D grey image
%
% SYNOPSIS:
%  labels = regionseg_core(image, levels, flat_levels, start_level, ...
%              parallel_grouping, parallel_seeds, seed_any_level, criterion, ...
%              threshold, outlier_fraction, noise_sigma, confidence_row, ...
%              size_factor, min_region_size, keep_small_stats)
%  [labels, snapshots] = regionseg_core(..., keep_small_stats, snapshot_budget)
%
%  The compiled core of REGIONSEG, which is the easier way in: REGIONSEG takes
%  any image and named options, and pads, scales and checks for you.
%
%  The image is tiled by a tree of square (2-D) or cubic (3-D) blocks.  Blocks
%  of the start level are tested for homogeneity; homogeneous siblings are
%  merged upwards, inhomogeneous start blocks are split down to single pixels
%  if need be.  The leaf blocks are then grouped into regions by region
%  growing over their faces, and regions smaller than MIN_REGION_SIZE can be
%  merged into their most similar neighbour.  A progress line is printed to
%  standard output after every stage ("finished merging", ...).
%
% PARAMETERS:
%  The first 15 are required, SNAPSHOT_BUDGET is optional.  Every parameter
%  after the image is a real scalar of any numeric or logical class; "whole"
%  parameters drop their fractional part.
%  image:             int32 array, 2-D or 3-D, grey values 0 to 255, at most
%                     2^30 voxels.  The block tree covers it: its first two
%                     dimensions are at most 2^LEVELS, and a 3-D image has
%                     at most 2^(LEVELS - FLAT_LEVELS) planes.  The tree's
%                     pixels outside the image are absent: they belong to no
%                     block and no region, and take no time or memory.
%  levels:            whole, 1 to 16: levels of the block tree; the root block
%                     covers the whole image.
%  flat_levels:       whole, 0 to LEVELS: blocks of levels 0 to FLAT_LEVELS are
%                     one plane thick.  Equals LEVELS for a 2-D image.
%  start_level:       whole, 0 to LEVELS - 1: the level of the initial blocks
%                     (side 2^START_LEVEL pixels).
%  parallel_grouping: 0 groups sequentially; non-zero first grows a set of
%                     seed regions in turns, then groups sequentially.
%  parallel_seeds:    whole, at least 1 when PARALLEL_GROUPING is non-zero:
%                     the number of seed regions.
%  seed_any_level:    0 takes seeds only from the level of the first region;
%                     non-zero takes the next regions of any level.
%  criterion:         whole, 1 to 5, the homogeneity test of a block:
%                     1 range:           maximum - minimum <= THRESHOLD
%                     2 range_mean:      blocks as 1; regions are grouped when
%                                        their means differ by <= THRESHOLD
%                     3 robust_range:    at most OUTLIER_FRACTION of the pixels
%                                        lie outside a window of width
%                                        THRESHOLD about the block's median
%                     4 chi2_variance:   the sample variance passes a
%                                        chi-square test against the noise
%                                        variance NOISE_SIGMA^2
%                     5 scaled_variance: the sample variance is at most
%                                        NOISE_SIGMA^2 * (1 + SIZE_FACTOR/sqrt(n))
%                                        for a block of n pixels
%  threshold:         whole, >= 0: grey-value threshold of criteria 1 to 3 and
%                     of region grouping.
%  outlier_fraction:  >= 0 (criterion 3): tolerated fraction of outlier
%                     pixels, 0.05 for 5 percent (whole percent, truncated).
%  noise_sigma:       finite (criteria 4 and 5): noise standard deviation.
%  confidence_row:    1, 2 or 3 with criterion 4: probability 0.50, 0.75 or
%                     0.90 of the chi-square test.  With criterion 4 the
%                     blocks just below the root may hold at most 262144
%                     pixels.
%  size_factor:       finite (criterion 5): the factor k of the limit.
%  min_region_size:   whole: regions of fewer pixels are merged into their
%                     most similar neighbour; 0 turns this off.
%  keep_small_stats:  non-zero: a merged small region adds its statistics to
%                     the region that takes it; 0: it does not.
%  snapshot_budget:   > 0, the memory the snapshot stack may take: a value
%                     above 1 is bytes, one in (0, 1] a share of the
%                     machine's physical memory; 0.25 when not given (Inf: no
%                     bound).  A snapshot that would pass it is not taken and
%                     the call warns once (identifier
%                     kalmex:regionseg_core:snapshotBudget); the final state
%                     always has its slice, so bytes that cannot hold one
%                     slice (4 bytes a voxel) are refused, and a share that
%                     cannot is raised to one slice.
%  NaN values are refused for every parameter, infinite ones for all but
%  SNAPSHOT_BUDGET.
%
% RESULTS:
%  labels:    int32 array of the image's size: the region of every pixel,
%             0 for the largest region, 1 for the next, and so on.  A run
%             that memory runs short for raises an error instead (nothing
%             is returned, nothing is left allocated).
%  snapshots: int32 array with one more dimension than the image: slice k
%             (last dimension) is the k-th snapshot of the painting, from the
%             initial checkerboard of start blocks to the final state.  Made
%             only when asked for.  When the budget cut the stack, its last
%             slice is still the final state.
%
% THREADS:
%  An image of 2^19 voxels or more (1024 x 1024, 128 x 128 x 32) runs the
%  stages that work on its pixels (the start blocks, splitting, the map of
%  the blocks, the labels) on several threads, each stage at most one per
%  2^18 voxels of its work; the grouping of the regions and the painting of
%  the snapshots stay on one.
%  The results are the same for every count.  The count is MATLAB's
%  maxNumCompThreads in MATLAB; elsewhere the environment variable
%  KALMEX_THREADS, a whole number from 1 to 1024 (1 keeps the call on one
%  thread), else one per core.  Any other value of KALMEX_THREADS is passed
%  over with a warning (identifier kalmex:regionseg_core:badThreadCount).
%
% INTERRUPTS:
%  Ctrl-C stops a run within a few milliseconds, between its stages or within
%  one, with the error kalmex:regionseg_core:interrupted ("Interrupted during
%  STAGE: the run was stopped and nothing is kept."); nothing is left
%  allocated.  Octave and MATLAB see Ctrl-C as ever; the embedded host and
%  kalseg catch SIGINT for the length of a call.
%
% MESSAGES:
%  "Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget."
%  "At most two outputs: labels and snapshots."
%  "Argument N (NAME) ..." for a bad argument, for instance
%  "Argument 1 (image) must be a real, full int32 array.",
%  "Argument 1 (image) must be at most 2^levels in its first two dimensions.",
%  "Argument 1 (image) must have at most 2^(levels - flat_levels) planes.",
%  "Argument 1 (image) must hold grey values 0 to 255.",
%  "Argument 1 (image) must have at most 2^30 voxels.",
%  "Argument 2 (levels) must be 1 to 16.",
%  "Argument 4 (start_level) must be 0 to levels - 1.",
%  "Argument 8 (criterion) must be 1 to 5.",
%  "Argument 9 (threshold) must not be negative.",
%  "Argument 12 (confidence_row) must be 1, 2 or 3 with criterion 4.",
%  "Argument 16 (snapshot_budget) must be positive.",
%  "Argument 16 (snapshot_budget) must be at least N bytes: one snapshot of
%  this image.",
%  and "must be finite.", "must not be empty." or "must be a real numeric or
%  logical value." for any parameter.
%  "Out of memory during STAGE: STRUCTURE (N bytes) could not be allocated."
%  (identifier kalmex:regionseg_core:outOfMemory) when memory runs short:
%  STAGE is the stage of the run ("splitting", "small region elimination",
%  ...), STRUCTURE what it could not have ("the block records", "the
%  referrer index", "the snapshot stack", ...).
%  "Interrupted during STAGE: the run was stopped and nothing is kept."
%  (identifier kalmex:regionseg_core:interrupted) on Ctrl-C.
%
% EXAMPLE:
%  im = int32([zeros(8, 4), 200 * ones(8, 4)]);
%  labels = regionseg_core(im, 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
%  disp(labels)
%
% SEE ALSO:
%  regionseg

%!test
%! % Two halves: two regions, labelled 0 and 1, as int32.
%! im = int32([zeros(8, 4), 200 * ones(8, 4)]);
%! labels = regionseg_core(im, 3, 3, 1, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
%! assert(class(labels), 'int32');
%! assert(unique(labels(:))', int32([0 1]));
%! assert(all(labels(:, 1:4)(:) == labels(1, 1)) && all(labels(:, 5:8)(:) == labels(1, 8)));
%!error regionseg_core(int32(zeros(8)))

%!demo
%! % A 32 x 32 image of four quadrants and a disk, segmented directly.
%! [x, y] = ndgrid(1:32);
%! im = int32(40 * (x > 16) + 80 * (y > 16) + 100 * ((x - 12) .^ 2 + (y - 20) .^ 2 < 30));
%! [labels, snaps] = regionseg_core(im, 5, 5, 1, 2, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
%! figure();
%! subplot(1, 2, 1); imagesc(im); axis image off; title('image');
%! subplot(1, 2, 2); imagesc(labels); axis image off; title('regionseg\_core labels');
%! colormap(jet(256));
