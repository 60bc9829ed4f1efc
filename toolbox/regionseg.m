function [labels, snapshots] = regionseg(varargin)
%REGIONSEG   Segment a 2-D or 3-D image into homogeneous regions
%
% SYNOPSIS:
%  labels = regionseg(image)
%  labels = regionseg(image, 'name', value, ...)
%  [labels, snapshots] = regionseg(...)
%
%  Split-and-merge segmentation: the image is tiled by square (2-D) or cubic
%  (3-D) blocks, homogeneous neighbouring blocks are merged, inhomogeneous
%  ones split, and the blocks are grown into regions.  REGIONSEG takes an
%  image of any numeric class and size and brings its grey values to 0..255
%  as 'scale' says (by default as the image's class says, as image toolboxes
%  do).  The tree of blocks is the smallest of power-of-two sides that covers
%  the image; its pixels outside the image are absent, taking no part in any
%  block, region or size.  A call prints nothing unless asked ('verbose').
%
%  Pixels are neighbours when they share a face: 4 neighbours a pixel in a
%  picture, 6 a voxel in a volume, never across an edge or a corner.  The
%  result depends on the image's orientation: the tree of blocks and the
%  order of the region list see the axes in order (rows, columns, planes),
%  so a transposed image may give a slightly different segmentation.
%
% PARAMETERS:
%  image: real numeric or logical array, 2-D or 3-D, not empty, no NaN, of
%         at most 2^30 voxels and 65536 pixels a side.  An M x N x 3 array
%         of any class is a colour picture and is turned grey (0.299 R +
%         0.587 G + 0.114 B in the class's range, rounded for an integer
%         class, then scaled as its class says) unless 'rgb' is 'volume'.
%
%  Options, as name/value pairs (names in any letter case):
%  'criterion'        how homogeneity is judged (default 'range'):
%                     'range'           maximum - minimum <= threshold
%                     'range_mean'      blocks as 'range'; regions join when
%                                       their means differ by <= threshold
%                     'robust_range'    as 'range', tolerating a fraction
%                                       'outlier_fraction' of outliers
%                     'chi2_variance'   the variance passes a chi-square test
%                                       against the noise variance
%                                       'noise_sigma'^2
%                     'scaled_variance' the variance of n pixels is at most
%                                       'noise_sigma'^2 * (1 + 'size_factor' /
%                                       sqrt(n))
%                     or the number 1 to 5 of one of these, in this order.
%  'threshold'        whole number >= 0, in grey values (default 20).
%  'start_level'      whole number 0 to L - 1: the initial blocks have sides
%                     of 2^start_level pixels; L is the number of block levels,
%                     log2 of the tree's side (default min(3, L - 1)).
%  'grouping'         'sequential' (default) or 'parallel' (a set of seed
%                     regions grows in turns, then sequential grouping).
%  'seeds'            whole number >= 1: seed regions of parallel grouping
%                     (default 4).
%  'seed_any_level'   logical: seeds from any block level (default false:
%                     only from the level of the first region).
%  'min_region_size'  whole number >= 0: regions of fewer pixels are merged
%                     into their most similar neighbour; 0 (default) keeps
%                     them.
%  'keep_small_stats' logical: a merged small region adds its statistics to
%                     the region that takes it (default false).
%  'outlier_fraction' 0 to 1 ('robust_range'): tolerated fraction of outliers
%                     (default 0.05; whole percent, truncated).
%  'noise_sigma'      >= 0 (variance criteria): the noise standard deviation
%                     in grey values (default 2).
%  'confidence'       0.5, 0.75 or 0.9 ('chi2_variance'): probability of the
%                     test (default 0.75).
%  'size_factor'      >= 0 ('scaled_variance'): the factor of the limit
%                     (default 1).
%  'scale'            how grey values are brought to 0..255 (default 'class'):
%                     'class'  as the class says: uint8 as it is, uint16
%                              from 0..65535, single and double from 0..1
%                              (as im2double gives), logical false/true to
%                              0/255; int8, int16, int32, int64, uint32 and
%                              uint64 (whose range is never an image's) as
%                              they are, when they all lie in 0..255, and
%                              otherwise refused
%                     'none'   used as they are; whole numbers in 0..255 only
%                              (for instance double(imread(...)))
%                     'minmax' the image's minimum to 0, its maximum to 255
%                     'clip'   rounded, and clipped to 0..255
%                     Values are rounded to whole numbers after scaling.
%                     Whatever the class, a scale that would bring an
%                     image of several values less than one grey value
%                     apart is refused (a uint16 image holding 0..255 under
%                     'class': use 'clip'), naming 'minmax' and 'clip'.  One
%                     that brings an image of more than 32 distinct values
%                     to fewer than 32 grey values warns (identifier
%                     kalmex:regionseg:lowRange), naming the range found,
%                     the grey values and 'scale', 'minmax'; a 12-bit
%                     camera's 0..4095 in a uint16 image become 0..16.
%  'rgb'              'grey' (default): an M x N x 3 image of any class is a
%                     colour picture, turned grey first; 'volume': its
%                     three planes are a 3-D image.
%  'flat_levels'      3-D only, whole number 0 to 16: block levels that stay
%                     one plane thick (default: the fewest that fit the
%                     planes).
%  'snapshot_budget'  number > 0, with SNAPSHOTS only: the memory that the
%                     snapshots may take in this call, REGIONSEG's own copies
%                     included; above 1 in bytes, up to 1 as a fraction of
%                     the machine's physical memory (default 0.25, a
%                     quarter).  A longer run keeps its first snapshots and
%                     its final state, and warns (identifier
%                     kalmex:regionseg_core:snapshotBudget) with the number
%                     kept.  The final state always has its snapshot: a
%                     budget in bytes too small for it is refused before the
%                     run, with the smallest that works; a smaller fraction
%                     is raised to it.
%  'verbose'          logical: print the progress lines of the segmentation
%                     as each stage ends (default false: nothing).
%
% RESULTS:
%  labels:    double array of the image's size: the region of every pixel,
%             1 for the largest region, 2 for the next, ... up to the number
%             of regions (equal sizes keep the order of REGIONSEG_CORE).
%  snapshots: double array with one more dimension than the image, the
%             stages of the painting (slice 1 the start blocks, the last the
%             final state), each value one more than the value painted.
%             Computed only when asked for, within 'snapshot_budget'.
%
% THREADS:
%  REGIONSEG_CORE runs the stages that work on the pixels of an image
%  of 2^19 voxels or more (1024 x 1024) on several threads, with the same
%  result for every count: MATLAB's maxNumCompThreads in MATLAB; elsewhere
%  the environment variable KALMEX_THREADS (a whole number from 1 to 1024;
%  1 keeps it on one thread), else one per core.  See HELP REGIONSEG_CORE.
%
% MESSAGES:
%  Errors start with "regionseg: " and name the argument or option; their
%  identifiers are kalmex:regionseg:badOption, kalmex:regionseg:badImage and
%  kalmex:regionseg:imageTooLarge.  For example
%  "regionseg: unknown option 'treshold'."
%  "regionseg: option 'threshold' must be a whole number 0 to 2147483647."
%  "regionseg: option 'criterion' must be one of 'range', 'range_mean',
%   'robust_range', 'chi2_variance', 'scaled_variance' or 1 to 5."
%  "regionseg: the image must hold whole numbers in 0..255 (found ...);
%   use the option 'scale'."
%  "regionseg: for 'scale' 'class' a double image must hold values in 0..1
%   (found 0..255); use the option 'scale' ('none' takes grey values 0..255
%   as they are)."
%  "regionseg: for 'scale' 'class' an int16 image is taken as it is and must
%   hold values in 0..255 (found -12..4000); use the option 'scale':
%   'minmax' (the image's range to 0..255) or 'clip' (rounded and clipped
%   to 0..255)."
%  "regionseg: 'scale' 'class' brings the values of this uint16 image (found
%   0..255) less than one grey value apart; use the option 'scale': 'minmax'
%   (the image's range to 0..255) or 'clip' (rounded and clipped to 0..255)."
%  "regionseg: the image of 40000 x 30000 pixels is too large: it would
%   pass the 2^30 voxels that regionseg_core can take."
%  "regionseg: option 'start_level' must be a whole number 0 to 2 for this
%   image."
%  The one warning of REGIONSEG itself, kalmex:regionseg:lowRange, reads
%  "regionseg: 'scale' 'class' brings the values of this uint16 image (found
%   0..4080, more than 32 distinct values) to the grey values 0..16 only;
%   use 'scale', 'minmax' to spread its range over 0..255."
%
% EXAMPLE:
%  [x, y] = ndgrid(1:50, 1:70);
%  im = uint8(60 + 100 * ((x - 25).^2 + (y - 30).^2 < 300) + 40 * (y > 55));
%  labels = regionseg(im, 'threshold', 10);
%  fprintf('%d regions\n', max(labels(:)));
%
% SEE ALSO:
%  regionseg_core

  for k = 1:numel(varargin)
    if isstring(varargin{k}) && isscalar(varargin{k})
      varargin{k} = char(varargin{k});    % MATLAB's string scalars mean their text
    end
  end
  % The compiled front end does the work; its int32 results become doubles.
  if nargout > 1
    [labels, snapshots] = regionseg_front(varargin{:});
    snapshots = double(snapshots);
  else
    labels = regionseg_front(varargin{:});
  end
  labels = double(labels);
end

%!test
%! % Two flat halves and a bright square in the left one: three regions,
%! % numbered by size (284, 280 and 36 pixels).
%! im = uint8([40 * ones(20, 16), 120 * ones(20, 14)]);
%! im(5:10, 5:10) = 220;
%! labels = regionseg(im, 'threshold', 10);
%! assert(size(labels), size(im));
%! assert(labels(1, 1), 1);
%! assert(labels(1, end), 2);
%! assert(all(labels(5:10, 5:10)(:) == 3));
%! assert(max(labels(:)), 3);
%!test
%! % The snapshots show the run: each is a labelling of the whole image.
%! [labels, snaps] = regionseg(uint8(magic(16)), 'threshold', 40);
%! assert(size(snaps, 1) == 16 && size(snaps, 2) == 16 && size(snaps, 3) >= 1);
%! assert(min(labels(:)), 1);
%!test
%! % Quiet unless asked: 'verbose' prints the progress lines of the run.
%! im = uint8(magic(16));
%! assert(evalc('regionseg(im);'), '');
%! out = evalc('regionseg(im, ''verbose'', true);');
%! assert(strncmp(out, sprintf('finished initialisation\n'), 24));
%! assert(!isempty(strfind(out, sprintf('finished make_output \n'))));
%!error id=kalmex:regionseg:badImage regionseg('text')
%!error id=kalmex:regionseg:badOption regionseg(magic(4), 'treshold', 3)

%!demo
%! % A generated picture of shapes, gradients and noise, its regions, and
%! % the snapshot in the middle of the run.
%! [x, y] = ndgrid(1:96, 1:128);
%! im = 60 + 100 * ((x - 40) .^ 2 + (y - 50) .^ 2 < 600) + 50 * (y > 95) + 0.4 * x;
%! im = uint8(im + 4 * randn(size(im)));
%! [labels, snaps] = regionseg(im, 'criterion', 'range', 'threshold', 30, 'min_region_size', 20);
%! figure();
%! subplot(1, 3, 1); imagesc(im); axis image off; title('image');
%! subplot(1, 3, 2); imagesc(labels); axis image off;
%! title(sprintf('%d regions', max(labels(:))));
%! subplot(1, 3, 3); imagesc(snaps(:, :, ceil(end / 2))); axis image off; title('a snapshot');
%! colormap(jet(256));
