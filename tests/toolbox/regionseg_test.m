% regionseg, the front end, against direct regionseg_core calls.

% The documented defaults, as regionseg_core parameters after the image:
% levels, flat_levels, start_level, parallel_grouping, parallel_seeds,
% seed_any_level, criterion, threshold, outlier_fraction, noise_sigma,
% confidence_row, size_factor, min_region_size, keep_small_stats.
core_defaults = @(levels) {levels, levels, min(3, levels - 1), 0, 4, 0, 1, 20, 0.05, 2, 2, 1, 0, 0};
core = @(im, p) double(regionseg_core(int32(im), p{:})) + 1;
% Two label images that cut the image into the same regions.
same_partition = @(a, b) numel(unique(a)) == numel(unique(b)) && ...
                         size(unique([a(:), b(:)], 'rows'), 1) == numel(unique(a));

rand('seed', 7);
blocks = kron(round(rand(4) * 200), ones(8));          % 32 x 32, eight-pixel blocks
noisy = min(max(round(blocks + 6 * randn(32)), 0), 255);

% An image of the module's own geometry: the labels are the module's plus 1.
p = core_defaults(5);
labels = regionseg(uint8(noisy));
kx_assert(isa(labels, 'double') && isequal(size(labels), [32 32]), 'class and size');
kx_assert(isequal(labels, core(noisy, p)), 'defaults equal the documented core parameters');
kx_assert(min(labels(:)) == 1 && isequal(unique(labels(:))', 1:max(labels(:))), 'labels 1..k');

% Every criterion by name and by number, with the options that reach the core.
names = {'range', 'range_mean', 'robust_range', 'chi2_variance', 'scaled_variance'};
for c = 1:5
  p = core_defaults(5);
  p([7 8 3 9 10 11 12]) = {c, 12, 2, 0.1, 3, 3, 0.5};
  opts = {'threshold', 12, 'start_level', 2, 'outlier_fraction', 0.1, 'noise_sigma', 3, ...
          'confidence', 0.9, 'size_factor', 0.5};
  expected = core(noisy, p);
  kx_assert(isequal(regionseg(noisy, 'criterion', names{c}, opts{:}), expected), ...
            'criterion %s', names{c});
  kx_assert(isequal(regionseg(noisy, 'Criterion', upper(names{c}), opts{:}), expected), ...
            'criterion %s in upper case', names{c});
  kx_assert(isequal(regionseg(noisy, 'criterion', c, opts{:}), expected), 'criterion %d', c);
end

% Grouping, seeds and small regions.
p = core_defaults(5);
p([4 5 6 13 14]) = {1, 3, 1, 20, 1};
kx_assert(isequal(regionseg(noisy, 'grouping', 'parallel', 'seeds', 3, 'seed_any_level', true, ...
                            'min_region_size', 20, 'keep_small_stats', true), core(noisy, p)), ...
          'parallel grouping and elimination');

% A 3-D image of the module's geometry: 16 x 16 x 4 is levels 4, flat_levels 2.
vol = min(max(round(repelem(round(rand(2, 2, 2) * 200), 8, 8, 2) + 4 * randn(16, 16, 4)), 0), 255);
p = core_defaults(4);
p{2} = 2;
kx_assert(isequal(regionseg(vol), core(vol, p)), '3-D defaults');
p{2} = 1;                                              % 16 x 16 x 8 planes
padded = vol(:, :, min(1:8, 4));
expected = core(padded, p);
labels = regionseg(vol, 'flat_levels', 1);
kx_assert(isequal(size(labels), [16 16 4]) && same_partition(labels, expected(:, :, 1:4)), ...
          '3-D flat_levels, padded planes');

% Padding repeats the border and the labels are cropped and renumbered by size.
im = noisy(3:22, 5:17);                                % 20 x 13 -> 32 x 32
padded = im(min(1:32, 20), min(1:32, 13));
full_labels = core(padded, core_defaults(5));
labels = regionseg(im);
kx_assert(isequal(size(labels), [20 13]), 'cropped size');
cropped = full_labels(1:20, 1:13);
k = max(labels(:));
kx_assert(isequal(unique(labels(:))', 1:k), 'contiguous labels after cropping');
sizes = accumarray(labels(:), 1)';
kx_assert(all(diff(sizes) <= 0), 'labels by non-increasing size');
kx_assert(same_partition(cropped, labels), 'same partition as the core');

% Small and odd shapes: a single pixel, a row, a 3-D stack with padding.
kx_assert(isequal(regionseg(7), 1), 'one pixel');
kx_assert(isequal(regionseg(uint8([0 0 0 200 200])), [1 1 1 2 2]), 'one row');
small = cat(3, zeros(5, 6), 200 * ones(5, 6), 200 * ones(5, 6));
labels = regionseg(small);
kx_assert(isequal(size(labels), [5 6 3]), '3-D cropped size');
kx_assert(all(labels(:, :, 1)(:) == 2) && all(labels(:, :, 2:3)(:) == 1), '3-D two regions');

% Scaling of grey values.
im16 = uint16(noisy * 257);
kx_assert(isequal(regionseg(im16, 'scale', 'class'), regionseg(noisy)), 'uint16 class scaling');
kx_assert(isequal(regionseg(noisy / 255, 'scale', 'class'), regionseg(noisy)), 'double 0..1');
kx_assert(isequal(regionseg(logical(noisy > 100), 'scale', 'class'), ...
                  regionseg(255 * double(noisy > 100))), 'logical');
kx_assert(isequal(regionseg(int8(noisy - 128), 'scale', 'class'), regionseg(noisy)), 'int8');
kx_assert(isequal(regionseg(noisy * 4 - 1000, 'scale', 'minmax'), ...
                  regionseg(round((noisy - min(noisy(:))) * 255 / (max(noisy(:)) - min(noisy(:)))))), ...
          'minmax');
kx_assert(isequal(regionseg(noisy * 2 - 100, 'scale', 'clip'), ...
                  regionseg(min(max(noisy * 2 - 100, 0), 255))), 'clip');
kx_assert(isequal(regionseg(sparse(noisy)), regionseg(noisy)), 'sparse input');

% Snapshots only when asked for, cropped like the labels.
[labels, snaps] = regionseg(im);
kx_assert(isequal(labels, regionseg(im)), 'labels do not depend on the snapshots');
[~, core_snaps] = regionseg_core(int32(padded), core_defaults(5){:});
kx_assert(size(snaps, 3) >= 2 && isequal(size(snaps), [20 13 size(core_snaps, 3)]), 'stack size');
kx_assert(isequal(snaps, double(core_snaps(1:20, 1:13, :)) + 1), 'stack values');
[~, snaps] = regionseg(small);
kx_assert(ndims(snaps) == 4 && isequal(size(snaps)(1:3), [5 6 3]), '3-D stack');

% Every bad option is named.
e = @(text) ['regionseg: ' text];
kx_assert_error(@() regionseg(noisy, 'treshold', 3), e('unknown option ''treshold''.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold'), e('options come in name/value pairs.'), 1);
kx_assert_error(@() regionseg(noisy, 5, 3), e('option name 1 is not a text.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', -1), ...
                e('option ''threshold'' must be a whole number >= 0.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', 1.5), ...
                e('option ''threshold'' must be a whole number >= 0.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', [1 2]), ...
                e('option ''threshold'' must be a whole number >= 0.'), 1);
crit = e(['option ''criterion'' must be one of ''range'', ''range_mean'', ''robust_range'', ', ...
          '''chi2_variance'' or ''scaled_variance'' or 1 to 5.']);
kx_assert_error(@() regionseg(noisy, 'criterion', 'variance'), crit, 1);
kx_assert_error(@() regionseg(noisy, 'criterion', 6), crit, 1);
kx_assert_error(@() regionseg(noisy, 'start_level', 5), ...
                e('option ''start_level'' must be a whole number 0 to 4 for this image.'), 1);
kx_assert_error(@() regionseg(noisy, 'start_level', 8), ...
                e('option ''start_level'' must be a whole number 0 to 7.'), 1);
kx_assert_error(@() regionseg(noisy, 'grouping', 'fast'), ...
                e('option ''grouping'' must be ''sequential'' or ''parallel''.'), 1);
kx_assert_error(@() regionseg(noisy, 'seeds', 0), e('option ''seeds'' must be a whole number >= 1.'), 1);
kx_assert_error(@() regionseg(noisy, 'seed_any_level', 2), ...
                e('option ''seed_any_level'' must be true or false.'), 1);
kx_assert_error(@() regionseg(noisy, 'min_region_size', -1), ...
                e('option ''min_region_size'' must be a whole number >= 0.'), 1);
kx_assert_error(@() regionseg(noisy, 'keep_small_stats', 'yes'), ...
                e('option ''keep_small_stats'' must be true or false.'), 1);
kx_assert_error(@() regionseg(noisy, 'outlier_fraction', 1.5), ...
                e('option ''outlier_fraction'' must be a number 0 to 1.'), 1);
kx_assert_error(@() regionseg(noisy, 'noise_sigma', NaN), ...
                e('option ''noise_sigma'' must be a finite number >= 0.'), 1);
kx_assert_error(@() regionseg(noisy, 'confidence', 0.6), ...
                e('option ''confidence'' must be 0.5, 0.75 or 0.9.'), 1);
kx_assert_error(@() regionseg(noisy, 'size_factor', -1), ...
                e('option ''size_factor'' must be a finite number >= 0.'), 1);
kx_assert_error(@() regionseg(noisy, 'scale', 'log'), ...
                e('option ''scale'' must be ''none'', ''minmax'', ''class'' or ''clip''.'), 1);
kx_assert_error(@() regionseg(noisy, 'flat_levels', 1), ...
                e('option ''flat_levels'' applies to 3-D images only.'), 1);
kx_assert_error(@() regionseg(ones(4, 4, 256), 'flat_levels', 1), ...
                e('option ''flat_levels'' must be at most 0 for this image.'), 1);
kx_assert_error(@() regionseg(ones(2, 2, 256), 'criterion', 'chi2_variance'), ...
                e(['option ''criterion'' ''chi2_variance'' allows at most 262144 pixels in a block ', ...
                   'just below the whole padded image, which is 256 x 256 x 256 here; raise ', ...
                   '''flat_levels'' or choose another criterion.']), 1);

% Bad images.
kx_assert_error(@() regionseg(), e('expected an image.'), 1);
kx_assert_error(@() regionseg('abc'), e('the image must be a real numeric or logical array.'), 1);
kx_assert_error(@() regionseg(complex(noisy, 1)), ...
                e('the image must be a real numeric or logical array.'), 1);
kx_assert_error(@() regionseg(zeros(0, 3)), e('the image must be a non-empty 2-D or 3-D array.'), 1);
kx_assert_error(@() regionseg(ones(2, 2, 2, 2)), e('the image must be a non-empty 2-D or 3-D array.'), 1);
kx_assert_error(@() regionseg([1 NaN]), e('the image must not hold NaN.'), 1);
kx_assert_error(@() regionseg([0 256]), ...
                e('the image must hold whole numbers in 0..255 (found 0..256); use the option ''scale''.'), 1);
kx_assert_error(@() regionseg([0 0.5]), ...
                e('the image must hold whole numbers in 0..255 (found 0..0.5); use the option ''scale''.'), 1);
kx_assert_error(@() regionseg([0 2], 'scale', 'class'), ...
                e('for ''scale'' ''class'' a double image must hold values in 0..1 (found 0..2).'), 1);
kx_assert_error(@() regionseg([0 Inf], 'scale', 'minmax'), ...
                e('the image must hold finite values for ''scale'' ''minmax''.'), 1);
kx_assert_error(@() regionseg(zeros(257, 2)), ...
                e('the image is larger than 256 pixels in dimension 1.'), 1);
kx_assert_error(@() regionseg(zeros(2, 2, 300)), ...
                e('the image is larger than 256 pixels in dimension 3.'), 1);
