% regionseg, the front end, against direct regionseg_core calls.

% The documented defaults, as regionseg_core parameters after the image:
% levels, flat_levels, start_level, parallel_grouping, parallel_seeds,
% seed_any_level, criterion, threshold, outlier_fraction, noise_sigma,
% confidence_row, size_factor, min_region_size, keep_small_stats.
core_defaults = @(levels) {levels, levels, min(3, levels - 1), 0, 4, 0, 1, 20, 0.05, 2, 2, 1, 0, 0};
core = @(im, p) double(regionseg_core(int32(im), p{:})) + 1;

rand('seed', 7);
randn('seed', 7);
blocks = kron(round(rand(4) * 200), ones(8));          % 32 x 32, eight-pixel blocks
noisy = uint8(blocks + 6 * randn(32));

% An image of the module's own geometry: the labels are the module's plus 1.
p = core_defaults(5);
labels = regionseg(noisy);
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
vol = uint8(repelem(round(rand(2, 2, 2) * 200), 8, 8, 2) + 4 * randn(16, 16, 4));
p = core_defaults(4);
p{2} = 2;
kx_assert(isequal(regionseg(vol), core(vol, p)), '3-D defaults');
p{2} = 1;                                              % a tree of 8 planes over 4
kx_assert(isequal(regionseg(vol, 'flat_levels', 1), core(vol, p)), '3-D flat_levels');

% An image of any size is taken as it is, in the smallest tree that covers
% it: the labels are the module's plus 1, numbered by size.
im = noisy(3:22, 5:17);                                % 20 x 13 in a tree of 32 x 32
labels = regionseg(im);
kx_assert(isequal(labels, core(im, core_defaults(5))), 'an odd image: the module labels plus 1');
sizes = accumarray(labels(:), 1)';
kx_assert(isequal(unique(labels(:))', 1:numel(sizes)) && all(diff(sizes) <= 0), ...
          'labels 1..k by non-increasing size');

% Small and odd shapes: a single pixel, a row, a 3-D stack of 4 planes.
kx_assert(isequal(regionseg(0.5), 1), 'one pixel');
kx_assert(isequal(regionseg(uint8([0 0 0 200 200])), [1 1 1 2 2]), 'one row');
small = uint8(cat(3, zeros(5, 6), repmat(200, [5 6 3])));
labels = regionseg(small);
kx_assert(isequal(size(labels), [5 6 4]), '3-D size');
kx_assert(all(labels(:, :, 1)(:) == 2) && all(labels(:, :, 2:4)(:) == 1), '3-D two regions');

% Scaling of grey values: by default as the class says (uint8 as it is,
% uint16 from 0..65535, floating point from 0..1, logical to 0/255, the
% other integer classes as they are), so that no option is needed for the
% usual inputs.
expected = regionseg(noisy);
g = double(noisy);
kx_assert(isequal(regionseg(uint16(g * 257)), expected), 'uint16 from its range');
kx_assert(isequal(regionseg(int32(g)), expected), 'int32 as it is');
kx_assert(isequal(regionseg(g / 255), expected) && isequal(regionseg(single(g / 255)), expected), ...
          'double and single in 0..1');
disc = ((1:40)' - 20).^2 + ((1:50) - 22).^2 < 150;
labels = regionseg(disc);
kx_assert(isequal(labels, regionseg(uint8(disc) * 255)) && max(labels(:)) == 2 && ...
          isequal(labels == 2, disc), 'a logical mask: the disc and the rest');
kx_assert(isequal(regionseg(g, 'scale', 'none'), expected), 'none: grey values as they are');
kx_assert(isequal(regionseg(g * 4 - 1000, 'scale', 'minmax'), ...
                  regionseg(round((g - min(g(:))) * 255 / (max(g(:)) - min(g(:)))), 'scale', 'none')), ...
          'minmax');
kx_assert(isequal(regionseg(g * 2 - 100, 'scale', 'clip'), ...
                  regionseg(min(max(g * 2 - 100, 0), 255), 'scale', 'none')), 'clip');
kx_assert(isequal(regionseg(sparse(g / 255)), expected), 'sparse input');

% Colour: an M x N x 3 array of any class is a picture, turned grey; a
% grey picture stored as RGB segments as the grey one, and 'rgb' 'volume'
% takes the planes as they are.
kx_assert(isequal(regionseg(repmat(noisy, [1 1 3])), expected), 'grey stored as RGB');
kx_assert(isequal(regionseg(repmat(uint16(g * 257), [1 1 3])), expected), 'uint16 RGB');
halves = zeros(8, 8, 3, 'uint8');
halves(:, 1:3, 1) = 200;                               % red on the left: grey 60
halves(:, 4:8, 2) = 200;                               % green on the right: grey 117
kx_assert(isequal(regionseg(halves, 'threshold', 50), [2 * ones(8, 3), ones(8, 5)]), ...
          'red and green are different greys');
kx_assert(isequal(regionseg(double(halves) / 255, 'threshold', 50), [2 * ones(8, 3), ones(8, 5)]), ...
          'a double colour picture');
labels = regionseg(halves, 'rgb', 'volume', 'threshold', 50);
kx_assert(isequal(size(labels), [8 8 3]) && max(labels(:)) >= 2, 'rgb volume: three planes');

% Snapshots only when asked for, of the image's size.
[labels, snaps] = regionseg(im);
kx_assert(isequal(labels, regionseg(im)), 'labels do not depend on the snapshots');
[~, core_snaps] = regionseg_core(int32(im), core_defaults(5){:});
kx_assert(size(snaps, 3) >= 2 && isequal(size(snaps), [20 13 size(core_snaps, 3)]), 'stack size');
kx_assert(isequal(snaps, double(core_snaps) + 1), 'stack values');
[~, snaps] = regionseg(small);
kx_assert(ndims(snaps) == 4 && isequal(size(snaps)(1:3), [5 6 4]), '3-D stack');

% The snapshot budget covers the whole call: a budget that cuts the stack
% keeps the first snapshots of the uncut run and its final state, the
% result itself within the budget, and the module says so once.  A budget
% in bytes too small for the final state alone is refused before the run,
% with the smallest that works; a share of the memory is raised to it.
budget_id = 'kalmex:regionseg_core:snapshotBudget';
speckle = uint8(255 * rand(100, 96));                  % in a tree of 128 x 128
fine = {'threshold', 10, 'start_level', 0};
[labels, full_stack] = regionseg(speckle, fine{:}, 'snapshot_budget', 1);
kx_assert(size(full_stack, 3) >= 8, 'a stack worth cutting');
try
  [~, ~] = regionseg(speckle, fine{:}, 'snapshot_budget', 100);
  error('kx:fail', 'a budget of no slice was taken');
catch err
  kx_assert(strcmp(err.identifier, 'kalmex:regionseg:badOption'), 'identifier %s', err.identifier);
  smallest = sscanf(err.message, ...
                    'regionseg: option ''snapshot_budget'' must be at least %f bytes for this image');
  kx_assert(isscalar(smallest), 'the smallest budget is named: %s', err.message);
end
kx_assert_error(@() regionseg_front(speckle, fine{:}, 'snapshot_budget', smallest - 1), ...
                err.message, 2);
for budget = [numel(full_stack) * 8 / 2, smallest, 1e-9]
  lastwarn('');
  [cut_labels, cut] = regionseg(speckle, fine{:}, 'snapshot_budget', budget);
  [~, id] = lastwarn();
  k = size(cut, 3);
  kx_assert(strcmp(id, budget_id), 'budget %g: warning %s', budget, id);
  kx_assert(isequal(cut_labels, labels), 'budget %g: the labels do not change', budget);
  kx_assert(k < size(full_stack, 3) && isequal(size(cut)(1:2), [100 96]), 'budget %g: cut', budget);
  kx_assert(budget < 1 || numel(cut) * 8 <= budget, 'budget %g: the result within it', budget);
  kx_assert(isequal(cut(:, :, 1:k - 1), full_stack(:, :, 1:k - 1)) && ...
            isequal(cut(:, :, k), full_stack(:, :, end)), 'budget %g: kept slices', budget);
  kx_assert(budget == numel(full_stack) * 8 / 2 || k == 1, ...
            'budget %g: the final state alone', budget);
end

% A photograph-like picture larger than 256 pixels a side: smooth shading,
% objects, texture and noise, 512 x 512 (levels 9), then cut to 300 x 500
% (in the same tree).
[y, x] = ndgrid(1:512, 1:512);
photo = 70 + 60 * sin(x / 90) .* cos(y / 120) + 0.1 * y;
photo(((y - 150) / 70).^2 + ((x - 200) / 110).^2 < 1) = 200;
photo(y > 330 & y < 470 & x > 60 & x < 260) = 30;
photo(y > 300 & x > 320) += 25 * (mod(floor(x(y > 300 & x > 320) / 6), 2) - 0.5);
photo = uint8(photo + 5 * randn(512));
p = core_defaults(9);
p([8 13]) = {16, 10};
labels = regionseg(photo, 'threshold', 16, 'min_region_size', 10);
kx_assert(isequal(labels, core(photo, p)), '512 x 512 picture: the module labels plus 1');
part = photo(1:300, 1:500);
labels = regionseg(part, 'threshold', 16, 'min_region_size', 10);
kx_assert(isequal(labels, core(part, p)), '300 x 500 picture: the module labels plus 1');
sizes = accumarray(labels(:), 1)';
kx_assert(all(sizes >= 10), 'every region of at least min_region_size pixels of the image');

% Every bad option is named.
e = @(text) ['regionseg: ' text];
kx_assert_error(@() regionseg(noisy, 'treshold', 3), e('unknown option ''treshold''.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold'), e('options come in name/value pairs.'), 1);
kx_assert_error(@() regionseg(noisy, 5, 3), e('option name 1 is not a text.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', -1), ...
                e('option ''threshold'' must be a whole number 0 to 2147483647.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', 1.5), ...
                e('option ''threshold'' must be a whole number 0 to 2147483647.'), 1);
kx_assert_error(@() regionseg(noisy, 'threshold', [1 2]), ...
                e('option ''threshold'' must be a whole number 0 to 2147483647.'), 1);
crit = e(['option ''criterion'' must be one of ''range'', ''range_mean'', ''robust_range'', ', ...
          '''chi2_variance'' or ''scaled_variance'' or 1 to 5.']);
kx_assert_error(@() regionseg(noisy, 'criterion', 'variance'), crit, 1);
kx_assert_error(@() regionseg(noisy, 'criterion', 6), crit, 1);
kx_assert_error(@() regionseg(noisy, 'start_level', 5), ...
                e('option ''start_level'' must be a whole number 0 to 4 for this image.'), 1);
kx_assert_error(@() regionseg(noisy, 'start_level', 16), ...
                e('option ''start_level'' must be a whole number 0 to 15.'), 1);
kx_assert_error(@() regionseg(noisy, 'grouping', 'fast'), ...
                e('option ''grouping'' must be ''sequential'' or ''parallel''.'), 1);
kx_assert_error(@() regionseg(noisy, 'seeds', 0), e('option ''seeds'' must be a whole number 1 to 2147483647.'), 1);
kx_assert_error(@() regionseg(noisy, 'seed_any_level', 2), ...
                e('option ''seed_any_level'' must be true or false.'), 1);
kx_assert_error(@() regionseg(noisy, 'min_region_size', -1), ...
                e('option ''min_region_size'' must be a whole number 0 to 2147483647.'), 1);
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
kx_assert_error(@() regionseg(noisy, 'snapshot_budget', 0), ...
                e(['option ''snapshot_budget'' must be a number > 0: bytes above 1, a fraction ', ...
                   'of the physical memory up to 1.']), 1);
kx_assert_error(@() regionseg(noisy, 'flat_levels', 1), ...
                e('option ''flat_levels'' applies to 3-D images only.'), 1);
% 2 x 2 x 4: flat_levels f needs a tree of f + 2 levels, at most 16.
kx_assert_error(@() regionseg(zeros(2, 2, 4, 'uint8'), 'flat_levels', 15), ...
                e('option ''flat_levels'' must be a whole number 0 to 14 for this image.'), 1);
kx_assert_error(@() regionseg(ones(2, 2, 256, 'uint8'), 'criterion', 'chi2_variance'), ...
                e(['option ''criterion'' ''chi2_variance'' allows at most 262144 pixels in a block ', ...
                   'just below the root block, which is 256 x 256 x 256 here; raise ', ...
                   '''flat_levels'' or choose another criterion.']), 1);

% Bad images.
kx_assert_error(@() regionseg(), e('expected an image.'), 1);
kx_assert_error(@() regionseg('abc'), e('the image must be a real numeric or logical array.'), 1);
kx_assert_error(@() regionseg(complex(g, 1)), ...
                e('the image must be a real numeric or logical array.'), 1);
kx_assert_error(@() regionseg(zeros(0, 3)), e('the image must be a non-empty 2-D or 3-D array.'), 1);
kx_assert_error(@() regionseg(ones(2, 2, 2, 2)), e('the image must be a non-empty 2-D or 3-D array.'), 1);
kx_assert_error(@() regionseg([1 NaN]), e('the image must not hold NaN.'), 1);
kx_assert_error(@() regionseg([0 256], 'scale', 'none'), ...
                e('the image must hold whole numbers in 0..255 (found 0..256); use the option ''scale''.'), 1);
kx_assert_error(@() regionseg([0 0.5], 'scale', 'none'), ...
                e('the image must hold whole numbers in 0..255 (found 0..0.5); use the option ''scale''.'), 1);
kx_assert_error(@() regionseg([0 255]), ...
                e(['for ''scale'' ''class'' a double image must hold values in 0..1 (found 0..255); ', ...
                   'use the option ''scale'' (''none'' takes grey values 0..255 as they are).']), 1);
kx_assert_error(@() regionseg(int16([0 300])), ...
                e(['for ''scale'' ''class'' an int16 image is taken as it is and must hold values ', ...
                   'in 0..255 (found 0..300); use the option ''scale'': ''minmax'' (the image''s ', ...
                   'range to 0..255) or ''clip'' (rounded and clipped to 0..255).']), 1);
kx_assert_error(@() regionseg(uint16([0 255])), ...
                e(['''scale'' ''class'' brings the values of this uint16 image (found 0..255) less ', ...
                   'than one grey value apart; use the option ''scale'': ''minmax'' (the image''s ', ...
                   'range to 0..255) or ''clip'' (rounded and clipped to 0..255).']), 1);
kx_assert_error(@() regionseg([0 Inf], 'scale', 'minmax'), ...
                e('the image must hold finite values for ''scale'' ''minmax''.'), 1);
kx_assert_error(@() regionseg(zeros(70000, 1, 'uint8')), ...
                e(['the image of 70000 x 1 pixels is too large: it would pass the 65536 pixels a ', ...
                   'side that regionseg_core can take.']), 1);
kx_assert(isequal(size(regionseg(zeros(40000, 2, 'uint8'))), [40000 2]), 'a long thin image');
try
  regionseg(zeros(70000, 1, 'uint8'));
catch err
  kx_assert(strcmp(err.identifier, 'kalmex:regionseg:imageTooLarge'), 'identifier %s', err.identifier);
end

% An image that its class brings to a few grey values warns once, naming the
% range, the grey values and the cure; its labels are those of the grey
% values.  A 12-bit camera's values in uint16 (a photograph times 16),
% times 2 and 4, doubles in 0..0.05; an ordinary photograph stays quiet.
[y, x] = ndgrid(1:40, 1:56);
photo = uint8(30 + 3 * x + 50 * (y > 20) + 5 * randn(40, 56));
low_id = 'kalmex:regionseg:lowRange';
squeezed = {uint16(photo) * 16, uint16(photo) * 4, uint16(photo) * 2, double(photo) / 255 * 0.05};
for k = 1:numel(squeezed)
  im = squeezed{k};
  greys = uint8(round(double(im) * 255 / (isa(im, 'double') + 65535 * isa(im, 'uint16'))));
  lastwarn('', '');
  labels = regionseg(im, 'threshold', 16, 'min_region_size', 8);
  [text, id] = lastwarn();
  kx_assert(strcmp(id, low_id), 'squeezed image %d: warning %s', k, id);
  kx_assert(!isempty(strfind(text, sprintf('to the grey values %d..%d only', min(greys(:)), max(greys(:))))) ...
            && !isempty(strfind(text, 'use ''scale'', ''minmax'' to spread its range over 0..255.')), ...
            'squeezed image %d: %s', k, text);
  kx_assert(isequal(labels, regionseg(greys, 'threshold', 16, 'min_region_size', 8)), ...
            'squeezed image %d: the labels of its grey values', k);
end
lastwarn('', '');
regionseg(photo, 'threshold', 16);
regionseg(squeezed{1}, 'threshold', 16, 'scale', 'minmax');
[~, id] = lastwarn();
kx_assert(isempty(id), 'an ordinary photograph and minmax: no warning (%s)', id);
