function [labels, snapshots] = regionseg(image, varargin)
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
%  image of any numeric class and size, brings its grey values to 0..255 as
%  'scale' says (by default as the image's class says, as image toolboxes
%  do), pads it by repeating its border pixels to the power-of-two size that
%  REGIONSEG_CORE works on, and crops the result back.  The progress lines of
%  REGIONSEG_CORE appear on standard output.
%
% PARAMETERS:
%  image: real numeric or logical array, 2-D or 3-D, not empty, no NaN, of
%         at most 2^30 voxels once padded: the first two dimensions are padded
%         to the same power of two 2^L, the third to a power of two up to 2^L
%         (so 2-D up to 32768 x 32768; 3-D up to 1024 x 1024 x 1024 or, say,
%         4096 x 4096 x 64).  An M x N x 3 array of class uint8 or uint16 is
%         a colour picture and is turned grey (0.299 R + 0.587 G + 0.114 B,
%         rounded) unless 'rgb' is 'volume'.
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
%                     log2 of the padded image side (default min(3, L - 1)).
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
%                     'class'  the range of the class to 0..255: uint8 as it
%                              is, other integer classes from intmin..intmax,
%                              single and double from 0..1 (as im2double
%                              gives), logical false/true to 0/255
%                     'none'   used as they are; whole numbers in 0..255 only
%                              (for instance double(imread(...)))
%                     'minmax' the image's minimum to 0, its maximum to 255
%                     'clip'   rounded, and clipped to 0..255
%                     Values are rounded to whole numbers after scaling.
%  'rgb'              'grey' (default): an M x N x 3 uint8 or uint16 image is
%                     a colour picture, turned grey first; 'volume': its
%                     three planes are a 3-D image.
%  'flat_levels'      3-D only, whole number 0 to 16: block levels that stay
%                     one plane thick (default: the fewest that fit the
%                     planes).
%  'snapshot_budget'  number > 0, with SNAPSHOTS only: the memory that the
%                     snapshots may take in this call, REGIONSEG's own copies
%                     included; above 1 in bytes, up to 1 as a fraction of
%                     the machine's physical memory (default 0.25, a
%                     quarter).  A longer run keeps its first snapshots and
%                     its final state, and REGIONSEG_CORE warns (identifier
%                     kalmex:regionseg_core:snapshotBudget) with the number
%                     kept.
%
% RESULTS:
%  labels:    double array of the image's size: the region of every pixel,
%             1 for the largest region, 2 for the next, ... up to the number
%             of regions (sizes counted within the image; equal sizes keep
%             the order of REGIONSEG_CORE).
%  snapshots: double array with one more dimension than the image, the
%             stages of the painting (slice 1 the start blocks, the last the
%             final state), cropped like LABELS, each value one more than the
%             value painted.  Computed only when asked for, within
%             'snapshot_budget'.
%
% THREADS:
%  REGIONSEG_CORE runs the stages that work on the pixels of a padded image
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
%  "regionseg: option 'threshold' must be a whole number >= 0."
%  "regionseg: option 'criterion' must be one of 'range', 'range_mean',
%   'robust_range', 'chi2_variance', 'scaled_variance' or 1 to 5."
%  "regionseg: the image must hold whole numbers in 0..255 (found ...);
%   use the option 'scale'."
%  "regionseg: for 'scale' 'class' a double image must hold values in 0..1
%   (found 0..255); use the option 'scale' ('none' takes grey values 0..255
%   as they are)."
%  "regionseg: the image of 40000 x 30000 pixels is too large: padded to
%   65536 x 65536 it would pass the 2^30 voxels that regionseg_core can
%   take."
%  "regionseg: option 'start_level' must be a whole number 0 to 2 for this
%   image."
%
% EXAMPLE:
%  [x, y] = ndgrid(1:50, 1:70);
%  im = uint8(60 + 100 * ((x - 25).^2 + (y - 30).^2 < 300) + 40 * (y > 55));
%  labels = regionseg(im, 'threshold', 10);
%  fprintf('%d regions\n', max(labels(:)));
%
% SEE ALSO:
%  regionseg_core

  if nargin < 1
    error('kalmex:regionseg:badImage', 'regionseg: expected an image.');
  end
  opts = parse_options(varargin);
  grey = grey_values(image, opts);

  % Padded geometry: the first two dimensions 2^levels, the third
  % 2^(levels - flat_levels), at most 2^30 voxels in all.
  sz = size(grey);
  sz(end + 1:3) = 1;
  side_bits = bits_for(max(sz(1:2)));
  plane_bits = bits_for(sz(3));
  if sz(3) > 1
    % The fewest flat levels that fit the planes need the fewest voxels.
    levels = max([side_bits, plane_bits, 1]);
    check_size(sz, [2^levels, 2^levels, 2^plane_bits]);
    if isempty(opts.flat_levels)
      flat_levels = levels - plane_bits;
    else
      flat_levels = opts.flat_levels;
      levels = padded_levels(side_bits, plane_bits, flat_levels);
      if 3 * levels - flat_levels > 30
        allowed = find(arrayfun(@(f) 3 * padded_levels(side_bits, plane_bits, f) - f <= 30, ...
                                0:16)) - 1;
        error('kalmex:regionseg:badOption', ...
              'regionseg: option ''flat_levels'' must be a whole number %d to %d for this image.', ...
              allowed(1), allowed(end));
      end
    end
  else
    if ~isempty(opts.flat_levels)
      error('kalmex:regionseg:badOption', ...
            'regionseg: option ''flat_levels'' applies to 3-D images only.');
    end
    levels = max(side_bits, 1);
    check_size(sz(1:2), [2^levels, 2^levels]);
    flat_levels = levels;
  end
  padded = [2^levels, 2^levels, 2^(levels - flat_levels)];

  start_level = opts.start_level;
  if isempty(start_level)
    start_level = min(3, levels - 1);
  elseif start_level > levels - 1
    error('kalmex:regionseg:badOption', ...
          'regionseg: option ''start_level'' must be a whole number 0 to %d for this image.', ...
          levels - 1);
  end

  if opts.criterion == 4
    % The chi-square table covers blocks of up to 262144 pixels below the root.
    flat = min(levels - 1, flat_levels);
    below_root = 4^flat * 8^(levels - 1 - flat);
    if below_root > 262144
      error('kalmex:regionseg:badOption', ...
            ['regionseg: option ''criterion'' ''chi2_variance'' allows at most 262144 ', ...
             'pixels in a block just below the whole padded image, which is %d x %d x %d ', ...
             'here; raise ''flat_levels'' or choose another criterion.'], padded);
    end
  end

  % Pad by repeating the last row, column and plane (grey is uint8 here:
  % the padded copy is made at one byte a voxel, then widened once).
  cropped = ~isequal(sz, padded);
  if cropped
    grey = grey(min(1:padded(1), sz(1)), min(1:padded(2), sz(2)), min(1:padded(3), sz(3)));
  end

  args = {int32(grey), levels, flat_levels, start_level, opts.parallel, opts.seeds, ...
          opts.seed_any_level, opts.criterion, opts.threshold, opts.outlier_fraction, ...
          opts.noise_sigma, opts.confidence_row, opts.size_factor, opts.min_region_size, ...
          opts.keep_small_stats};
  clear grey;
  if nargout > 1
    % The budget covers the whole call.  Besides the module's int32 stack S
    % (which the host may copy once on its way out: 2 S), this function holds
    % its cropped int32 copy C and the double result, 2 C, at once: the peak
    % is max(2 S, 3 C) with C = S * voxels / padded voxels.  The module gets
    % the share of the budget that leaves room for that.
    share = opts.snapshot_budget / max(2, 3 * prod(sz) / prod(padded));
    if opts.snapshot_budget > 1
      share = max(share, 2);               % still a number of bytes
    end
    [core_labels, core_snapshots] = regionseg_core(args{:}, share);
  else
    core_labels = regionseg_core(args{:});
  end
  clear args;

  % Number the regions from 1 (the module numbers them from 0, by size).
  % Large arrays cost most in their first touch: one double array is made
  % and changed in place where it can be.
  if cropped
    core_labels = core_labels(1:sz(1), 1:sz(2), 1:sz(3));
  end
  labels = double(core_labels);
  clear core_labels;
  if in_octave
    eval('labels += 1;');                 % in place; MATLAB's parser has no +=
  else
    labels = labels + 1;                  % which MATLAB does in place
  end
  if cropped
    % Sizes within the image decide the numbers; the module's order is kept
    % for equal sizes.  Often the crop keeps the order and nothing moves.
    counts = accumarray(labels(:), 1);
    present = find(counts > 0);
    [~, order] = sortrows([-counts(present), present]);
    if ~isequal(present(order), (1:numel(counts))')
      map = zeros(numel(counts), 1);
      map(present(order)) = 1:numel(present);
      labels = reshape(map(labels), size(labels));
    end
  end

  if nargout > 1
    % Each step frees its source before the next one: int32 crop, double,
    % then one added in place.
    if cropped && sz(3) > 1
      core_snapshots = core_snapshots(1:sz(1), 1:sz(2), 1:sz(3), :);
    elseif cropped
      core_snapshots = core_snapshots(1:sz(1), 1:sz(2), :);
    end
    snapshots = double(core_snapshots);
    clear core_snapshots;
    if in_octave
      eval('snapshots += 1;');
    else
      snapshots = snapshots + 1;
    end
  end
end

function yes = in_octave()
  yes = exist('OCTAVE_VERSION', 'builtin') ~= 0;
end

% Smallest b with 2^b >= n.
function b = bits_for(n)
  b = 0;
  while 2^b < n
    b = b + 1;
  end
end

% Levels of a 3-D image with flat_levels given: the planes must fit below
% the flat levels.
function levels = padded_levels(side_bits, plane_bits, flat_levels)
  levels = max([side_bits, flat_levels + plane_bits, 1]);
end

% Refuses an image of size sz whose padded size would pass 2^30 voxels.
function check_size(sz, padded)
  if prod(padded) > 2^30
    text = @(d) strjoin(arrayfun(@(x) sprintf('%d', x), d, 'UniformOutput', false), ' x ');
    error('kalmex:regionseg:imageTooLarge', ...
          ['regionseg: the image of %s pixels is too large: padded to %s it would pass ', ...
           'the 2^30 voxels that regionseg_core can take.'], text(sz), text(padded));
  end
end

function opts = parse_options(args)
  opts = struct('criterion', 1, 'threshold', 20, 'start_level', [], 'parallel', 0, ...
                'seeds', 4, 'seed_any_level', 0, 'min_region_size', 0, ...
                'keep_small_stats', 0, 'outlier_fraction', 0.05, 'noise_sigma', 2, ...
                'confidence_row', 2, 'size_factor', 1, 'scale', 'class', 'flat_levels', [], ...
                'rgb', 'grey', 'snapshot_budget', 0.25);
  if mod(numel(args), 2) ~= 0
    error('kalmex:regionseg:badOption', 'regionseg: options come in name/value pairs.');
  end
  for k = 1:numel(args)
    if isstring(args{k}) && isscalar(args{k})
      args{k} = char(args{k});       % MATLAB's string scalars mean their text
    end
  end
  for k = 1:2:numel(args)
    name = args{k};
    if ~ischar(name) || size(name, 1) ~= 1
      error('kalmex:regionseg:badOption', 'regionseg: option name %d is not a text.', (k + 1) / 2);
    end
    value = args{k + 1};
    switch lower(name)
      case 'criterion'
        opts.criterion = criterion_code(value);
      case 'threshold'
        opts.threshold = whole(value, name, 0, 2^31 - 1);
      case 'start_level'
        opts.start_level = whole(value, name, 0, 15);
      case 'grouping'
        opts.parallel = word(value, name, {'sequential', 'parallel'}) - 1;
      case 'seeds'
        opts.seeds = whole(value, name, 1, 2^31 - 1);
      case 'seed_any_level'
        opts.seed_any_level = flag(value, name);
      case 'min_region_size'
        opts.min_region_size = whole(value, name, 0, 2^31 - 1);
      case 'keep_small_stats'
        opts.keep_small_stats = flag(value, name);
      case 'outlier_fraction'
        opts.outlier_fraction = real_value(value, name, 0, 1);
      case 'noise_sigma'
        opts.noise_sigma = real_value(value, name, 0, Inf);
      case 'confidence'
        probabilities = [0.5, 0.75, 0.9];
        if ~is_real_scalar(value) || ~any(abs(double(value) - probabilities) < 1e-9)
          error('kalmex:regionseg:badOption', ...
                'regionseg: option ''confidence'' must be 0.5, 0.75 or 0.9.');
        end
        opts.confidence_row = find(abs(double(value) - probabilities) < 1e-9);
      case 'size_factor'
        opts.size_factor = real_value(value, name, 0, Inf);
      case 'scale'
        names = {'none', 'minmax', 'class', 'clip'};
        opts.scale = names{word(value, name, names)};
      case 'flat_levels'
        opts.flat_levels = whole(value, name, 0, 16);
      case 'rgb'
        names = {'grey', 'volume'};
        opts.rgb = names{word(value, name, names)};
      case 'snapshot_budget'
        if ~is_real_scalar(value) || ~(value > 0)
          error('kalmex:regionseg:badOption', ...
                ['regionseg: option ''snapshot_budget'' must be a number > 0: bytes above 1, ', ...
                 'a fraction of the physical memory up to 1.']);
        end
        opts.snapshot_budget = double(value);
      otherwise
        error('kalmex:regionseg:badOption', 'regionseg: unknown option ''%s''.', name);
    end
  end
end

function ok = is_real_scalar(v)
  ok = (isnumeric(v) || islogical(v)) && isscalar(v) && isreal(v) && isfinite(double(v));
end

function v = whole(v, name, lo, hi)
  if ~is_real_scalar(v) || double(v) ~= fix(double(v)) || v < lo || v > hi
    if hi < 2^31 - 1
      error('kalmex:regionseg:badOption', ...
            'regionseg: option ''%s'' must be a whole number %d to %d.', name, lo, hi);
    end
    error('kalmex:regionseg:badOption', ...
          'regionseg: option ''%s'' must be a whole number >= %d.', name, lo);
  end
  v = double(v);
end

function v = real_value(v, name, lo, hi)
  if ~is_real_scalar(v) || v < lo || v > hi
    if isinf(hi)
      error('kalmex:regionseg:badOption', ...
            'regionseg: option ''%s'' must be a finite number >= %g.', name, lo);
    end
    error('kalmex:regionseg:badOption', ...
          'regionseg: option ''%s'' must be a number %g to %g.', name, lo, hi);
  end
  v = double(v);
end

function v = flag(v, name)
  if ~is_real_scalar(v) || (double(v) ~= 0 && double(v) ~= 1)
    error('kalmex:regionseg:badOption', ...
          'regionseg: option ''%s'' must be true or false.', name);
  end
  v = double(v);
end

function k = word(v, name, names)
  k = [];
  if ischar(v) && size(v, 1) == 1
    k = find(strcmpi(v, names), 1);
  end
  if isempty(k)
    error('kalmex:regionseg:badOption', 'regionseg: option ''%s'' must be %s.', name, ...
          word_list(names));
  end
end

function text = word_list(names)
  quoted = strcat('''', names, '''');
  text = [strjoin(quoted(1:end - 1), ', '), ' or ', quoted{end}];
end

function code = criterion_code(v)
  names = {'range', 'range_mean', 'robust_range', 'chi2_variance', 'scaled_variance'};
  code = [];
  if ischar(v) && size(v, 1) == 1
    code = find(strcmpi(v, names), 1);
  elseif is_real_scalar(v) && any(double(v) == 1:5)
    code = double(v);
  end
  if isempty(code)
    error('kalmex:regionseg:badOption', ...
          'regionseg: option ''criterion'' must be one of %s or 1 to 5.', word_list(names));
  end
end

% The image as uint8 grey values, brought to 0..255 as opts.scale says.
function grey = grey_values(image, opts)
  if ~(isnumeric(image) || islogical(image)) || ~isreal(image)
    error('kalmex:regionseg:badImage', 'regionseg: the image must be a real numeric or logical array.');
  end
  if isempty(image) || ndims(image) > 3
    error('kalmex:regionseg:badImage', 'regionseg: the image must be a non-empty 2-D or 3-D array.');
  end
  if issparse(image)
    image = full(image);
  end
  if isfloat(image) && any(isnan(image(:)))
    error('kalmex:regionseg:badImage', 'regionseg: the image must not hold NaN.');
  end
  if size(image, 3) == 3 && (isa(image, 'uint8') || isa(image, 'uint16')) && ...
     strcmp(opts.rgb, 'grey')
    % A colour picture: its luminance, rounded, in the class's own range.
    grey = 0.299 * double(image(:, :, 1)) + 0.587 * double(image(:, :, 2)) + ...
           0.114 * double(image(:, :, 3));
    image = cast(round(grey), class(image));
  end
  switch opts.scale
    case 'minmax'
      lo = double(min(image(:)));
      hi = double(max(image(:)));
      if ~isfinite(lo) || ~isfinite(hi)
        error('kalmex:regionseg:badImage', ...
              'regionseg: the image must hold finite values for ''scale'' ''minmax''.');
      end
      if hi > lo
        grey = uint8(round((double(image) - lo) * (255 / (hi - lo))));
      else
        grey = zeros(size(image), 'uint8');
      end
    case 'class'
      if isa(image, 'uint8')
        grey = image;
      elseif islogical(image)
        grey = uint8(image) * 255;
      elseif isinteger(image)
        lo = double(intmin(class(image)));
        hi = double(intmax(class(image)));
        grey = uint8((double(image) - lo) * (255 / (hi - lo)));  % rounds to the nearest
      else
        lo = min(image(:));
        hi = max(image(:));
        if lo < 0 || hi > 1
          error('kalmex:regionseg:badImage', ...
                ['regionseg: for ''scale'' ''class'' a %s image must hold values in 0..1 ', ...
                 '(found %g..%g); use the option ''scale'' (''none'' takes grey values 0..255 ', ...
                 'as they are).'], class(image), lo, hi);
        end
        grey = uint8(image * 255);         % rounds to the nearest
      end
    case 'clip'
      grey = uint8(min(max(round(double(image)), 0), 255));
    otherwise
      if ~isa(image, 'uint8') && ...
         any(image(:) < 0 | image(:) > 255 | image(:) ~= fix(image(:)))
        error('kalmex:regionseg:badImage', ...
              ['regionseg: the image must hold whole numbers in 0..255 (found %g..%g); ', ...
               'use the option ''scale''.'], min(image(:)), max(image(:)));
      end
      grey = uint8(image);
  end
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
