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
%  'scale' says, pads it by repeating its border pixels to the power-of-two
%  size that REGIONSEG_CORE works on, and crops the result back.  The
%  progress lines of REGIONSEG_CORE appear on standard output.
%
% PARAMETERS:
%  image: real numeric or logical array, 2-D or 3-D, not empty, no NaN.  The
%         first two dimensions may be at most 256 each, the third at most 256.
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
%  'scale'            how grey values are brought to 0..255 (default 'none'):
%                     'none'   used as they are; whole numbers in 0..255 only
%                     'minmax' the image's minimum to 0, its maximum to 255
%                     'class'  the range of the class to 0..255: uint8 as it
%                              is, other integer classes from intmin..intmax,
%                              single and double from 0..1, logical to 0/255
%                     'clip'   rounded, and clipped to 0..255
%                     Values are rounded to whole numbers after scaling.
%  'flat_levels'      3-D only, whole number >= 0: block levels that stay one
%                     plane thick (default: the fewest that fit the planes).
%
% RESULTS:
%  labels:    double array of the image's size: the region of every pixel,
%             1 for the largest region, 2 for the next, ... up to the number
%             of regions (sizes counted within the image; equal sizes keep
%             the order of REGIONSEG_CORE).
%  snapshots: double array with one more dimension than the image, the
%             stages of the painting (slice 1 the start blocks, the last the
%             final state), cropped like LABELS, each value one more than the
%             value painted.  Computed only when asked for.
%
% MESSAGES:
%  Errors start with "regionseg: " and name the argument or option, e.g.
%  "regionseg: unknown option 'treshold'."
%  "regionseg: option 'threshold' must be a whole number >= 0."
%  "regionseg: option 'criterion' must be one of 'range', 'range_mean',
%   'robust_range', 'chi2_variance', 'scaled_variance' or 1 to 5."
%  "regionseg: the image must hold whole numbers in 0..255 (found ...);
%   use the option 'scale'."
%  "regionseg: the image is larger than 256 pixels in dimension 1."
%  "regionseg: option 'start_level' must be a whole number 0 to 2 for this
%   image."
%
% EXAMPLE:
%  [x, y] = ndgrid(1:50, 1:70);
%  im = 60 + 100 * ((x - 25).^2 + (y - 30).^2 < 300) + 40 * (y > 55);
%  labels = regionseg(im, 'threshold', 10);
%  fprintf('%d regions\n', max(labels(:)));
%
% SEE ALSO:
%  regionseg_core

  if nargin < 1
    error('regionseg:badImage', 'regionseg: expected an image.');
  end
  opts = parse_options(varargin);
  grey = grey_values(image, opts.scale);

  % Padded geometry: the first two dimensions 2^levels, the third
  % 2^(levels - flat_levels).
  sz = size(grey);
  sz(end + 1:3) = 1;
  for d = 1:3
    if sz(d) > 256
      error('regionseg:badImage', ...
            'regionseg: the image is larger than 256 pixels in dimension %d.', d);
    end
  end
  bits = @(n) ceil(log2(n) - 1e-9);
  side_bits = max(bits(max(sz(1:2))), 0);
  plane_bits = max(bits(sz(3)), 0);
  if sz(3) > 1
    if isempty(opts.flat_levels)
      levels = max(side_bits, plane_bits);
      flat_levels = levels - plane_bits;
    else
      flat_levels = opts.flat_levels;
      levels = max(side_bits, flat_levels + plane_bits);
    end
    levels = max(levels, 1);
    if levels > 8
      error('regionseg:badOption', ...
            'regionseg: option ''flat_levels'' must be at most %d for this image.', ...
            8 - plane_bits);
    end
  else
    if ~isempty(opts.flat_levels)
      error('regionseg:badOption', ...
            'regionseg: option ''flat_levels'' applies to 3-D images only.');
    end
    levels = max(side_bits, 1);
    flat_levels = levels;
  end

  start_level = opts.start_level;
  if isempty(start_level)
    start_level = min(3, levels - 1);
  elseif start_level > levels - 1
    error('regionseg:badOption', ...
          'regionseg: option ''start_level'' must be a whole number 0 to %d for this image.', ...
          levels - 1);
  end

  if opts.criterion == 4
    % The chi-square table covers blocks of up to 262144 pixels below the root.
    flat = min(levels - 1, flat_levels);
    below_root = 4^flat * 8^(levels - 1 - flat);
    if below_root > 262144
      error('regionseg:badOption', ...
            ['regionseg: option ''criterion'' ''chi2_variance'' allows at most 262144 ', ...
             'pixels in a block just below the whole padded image, which is %d x %d x %d ', ...
             'here; raise ''flat_levels'' or choose another criterion.'], ...
            2^levels, 2^levels, 2^(levels - flat_levels));
    end
  end

  % Pad by repeating the last row, column and plane.
  padded = [2^levels, 2^levels, 2^(levels - flat_levels)];
  grey = grey(min(1:padded(1), sz(1)), min(1:padded(2), sz(2)), min(1:padded(3), sz(3)));

  args = {int32(grey), levels, flat_levels, start_level, opts.parallel, opts.seeds, ...
          opts.seed_any_level, opts.criterion, opts.threshold, opts.outlier_fraction, ...
          opts.noise_sigma, opts.confidence_row, opts.size_factor, opts.min_region_size, ...
          opts.keep_small_stats};
  if nargout > 1
    [core_labels, core_snapshots] = regionseg_core(args{:});
  else
    core_labels = regionseg_core(args{:});
  end

  % Crop, then number the regions from 1 by their size within the image.
  core_labels = double(core_labels(1:sz(1), 1:sz(2), 1:sz(3)));
  counts = accumarray(core_labels(:) + 1, 1);
  present = find(counts > 0);
  [~, order] = sortrows([-counts(present), present]);
  map = zeros(numel(counts), 1);
  map(present(order)) = 1:numel(present);
  labels = reshape(map(core_labels + 1), size(core_labels));

  if nargout > 1
    if sz(3) > 1
      snapshots = double(core_snapshots(1:sz(1), 1:sz(2), 1:sz(3), :)) + 1;
    else
      snapshots = double(core_snapshots(1:sz(1), 1:sz(2), :)) + 1;
    end
  end
end

function opts = parse_options(args)
  opts = struct('criterion', 1, 'threshold', 20, 'start_level', [], 'parallel', 0, ...
                'seeds', 4, 'seed_any_level', 0, 'min_region_size', 0, ...
                'keep_small_stats', 0, 'outlier_fraction', 0.05, 'noise_sigma', 2, ...
                'confidence_row', 2, 'size_factor', 1, 'scale', 'none', 'flat_levels', []);
  if mod(numel(args), 2) ~= 0
    error('regionseg:badOption', 'regionseg: options come in name/value pairs.');
  end
  for k = 1:numel(args)
    if isstring(args{k}) && isscalar(args{k})
      args{k} = char(args{k});       % MATLAB's string scalars mean their text
    end
  end
  for k = 1:2:numel(args)
    name = args{k};
    if ~ischar(name) || size(name, 1) ~= 1
      error('regionseg:badOption', 'regionseg: option name %d is not a text.', (k + 1) / 2);
    end
    value = args{k + 1};
    switch lower(name)
      case 'criterion'
        opts.criterion = criterion_code(value);
      case 'threshold'
        opts.threshold = whole(value, name, 0, 2^31 - 1);
      case 'start_level'
        opts.start_level = whole(value, name, 0, 7);
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
          error('regionseg:badOption', ...
                'regionseg: option ''confidence'' must be 0.5, 0.75 or 0.9.');
        end
        opts.confidence_row = find(abs(double(value) - probabilities) < 1e-9);
      case 'size_factor'
        opts.size_factor = real_value(value, name, 0, Inf);
      case 'scale'
        names = {'none', 'minmax', 'class', 'clip'};
        opts.scale = names{word(value, name, names)};
      case 'flat_levels'
        opts.flat_levels = whole(value, name, 0, 8);
      otherwise
        error('regionseg:badOption', 'regionseg: unknown option ''%s''.', name);
    end
  end
end

function ok = is_real_scalar(v)
  ok = (isnumeric(v) || islogical(v)) && isscalar(v) && isreal(v) && isfinite(double(v));
end

function v = whole(v, name, lo, hi)
  if ~is_real_scalar(v) || double(v) ~= fix(double(v)) || v < lo || v > hi
    if hi < 2^31 - 1
      error('regionseg:badOption', ...
            'regionseg: option ''%s'' must be a whole number %d to %d.', name, lo, hi);
    end
    error('regionseg:badOption', ...
          'regionseg: option ''%s'' must be a whole number >= %d.', name, lo);
  end
  v = double(v);
end

function v = real_value(v, name, lo, hi)
  if ~is_real_scalar(v) || v < lo || v > hi
    if isinf(hi)
      error('regionseg:badOption', ...
            'regionseg: option ''%s'' must be a finite number >= %g.', name, lo);
    end
    error('regionseg:badOption', ...
          'regionseg: option ''%s'' must be a number %g to %g.', name, lo, hi);
  end
  v = double(v);
end

function v = flag(v, name)
  if ~is_real_scalar(v) || (double(v) ~= 0 && double(v) ~= 1)
    error('regionseg:badOption', ...
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
    error('regionseg:badOption', 'regionseg: option ''%s'' must be %s.', name, ...
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
    error('regionseg:badOption', ...
          'regionseg: option ''criterion'' must be one of %s or 1 to 5.', word_list(names));
  end
end

function grey = grey_values(image, scale)
  if ~(isnumeric(image) || islogical(image)) || ~isreal(image)
    error('regionseg:badImage', 'regionseg: the image must be a real numeric or logical array.');
  end
  if isempty(image) || ndims(image) > 3
    error('regionseg:badImage', 'regionseg: the image must be a non-empty 2-D or 3-D array.');
  end
  grey = double(full(image));
  if any(isnan(grey(:)))
    error('regionseg:badImage', 'regionseg: the image must not hold NaN.');
  end
  switch scale
    case 'minmax'
      if ~all(isfinite(grey(:)))
        error('regionseg:badImage', ...
              'regionseg: the image must hold finite values for ''scale'' ''minmax''.');
      end
      lo = min(grey(:));
      hi = max(grey(:));
      if hi > lo
        grey = round((grey - lo) * (255 / (hi - lo)));
      else
        grey = zeros(size(grey));
      end
    case 'class'
      if islogical(image)
        grey = grey * 255;
      elseif isinteger(image)
        lo = double(intmin(class(image)));
        hi = double(intmax(class(image)));
        grey = round((grey - lo) * (255 / (hi - lo)));
      else
        grey = round(grey * 255);
      end
      if any(grey(:) < 0 | grey(:) > 255)
        error('regionseg:badImage', ...
              ['regionseg: for ''scale'' ''class'' a %s image must hold values in 0..1 ', ...
               '(found %g..%g).'], class(image), min(image(:)), max(image(:)));
      end
    case 'clip'
      grey = min(max(round(grey), 0), 255);
    otherwise
      if any(grey(:) < 0 | grey(:) > 255 | grey(:) ~= fix(grey(:)))
        error('regionseg:badImage', ...
              ['regionseg: the image must hold whole numbers in 0..255 (found %g..%g); ', ...
               'use the option ''scale''.'], min(grey(:)), max(grey(:)));
      end
  end
end

%!test
%! % Two flat halves and a bright square in the left one: three regions,
%! % numbered by size (284, 280 and 36 pixels).
%! im = [40 * ones(20, 16), 120 * ones(20, 14)];
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
%!error id=regionseg:badImage regionseg('text')
%!error id=regionseg:badOption regionseg(magic(4), 'treshold', 3)

%!demo
%! % A generated picture of shapes, gradients and noise, its regions, and
%! % the snapshot in the middle of the run.
%! [x, y] = ndgrid(1:96, 1:128);
%! im = 60 + 100 * ((x - 40) .^ 2 + (y - 50) .^ 2 < 600) + 50 * (y > 95) + 0.4 * x;
%! im = min(max(round(im + 4 * randn(size(im))), 0), 255);
%! [labels, snaps] = regionseg(im, 'criterion', 'range', 'threshold', 30, 'min_region_size', 20);
%! figure();
%! subplot(1, 3, 1); imagesc(im); axis image off; title('image');
%! subplot(1, 3, 2); imagesc(labels); axis image off;
%! title(sprintf('%d regions', max(labels(:))));
%! subplot(1, 3, 3); imagesc(snaps(:, :, ceil(end / 2))); axis image off; title('a snapshot');
%! colormap(jet(256));
