% Finished segmentations inside Octave: the worked example of the 4 x 4
% plane as whole calls, with and without small-region elimination and with
% parallel grouping, and a 3-D call.

% Grey values by rows y = 0..3 (x across); the image has x first.
grid = [100  52 100 100;
         48 103 100 100;
         50  50 105 105;
         50  50 105 105];
img = int32(grid.');
% Parameters after the image: levels, flat_levels, start_level,
% parallel_grouping, parallel_seeds, seed_any_level, criterion, threshold,
% outlier_fraction, noise_sigma, confidence_row, size_factor,
% min_region_size, keep_small_stats.
p = {2, 2, 1, 0, 1, 0, 1, 10, 0.1, 2, 2, 1, 0, 0};

[labels, snaps] = regionseg_core(img, p{:});
expected = int32([2 3 0 0; 1 0 0 0; 1 1 0 0; 1 1 0 0]).';
kx_assert(isa(labels, 'int32') && isequal(labels, expected), 'worked example labels');
kx_assert(ndims(snaps) == 3 && size(snaps, 3) >= 2, 'snapshot stack of the worked example');
kx_assert(isequal(snaps(:, :, end), expected), 'last snapshot: grouping painted 0 to 3');

q = p; q{13} = 2;
labels = regionseg_core(img, q{:});
kx_assert(isequal(labels, int32([2 2 0 0; 1 0 0 0; 1 1 0 0; 1 1 0 0]).'), ...
          'worked example with regions below 2 pixels eliminated');

q = p; q{4} = 1; q{5} = 2; q{6} = 1;
labels = regionseg_core(img, q{:});
kx_assert(isequal(labels, expected), 'parallel grouping gives the same regions');

% A 3-D call: 16 x 16 x 4 (levels 4, flat_levels 2), two halves in x, two
% in z, mild noise; criterion 4.
rand('seed', 7);
[x, y, z] = ndgrid(0:15, 0:15, 0:3);
vol = int32(60 + 120 * (x >= 8) + 40 * (z >= 2) + floor(3 * rand(16, 16, 4)));
q = {4, 2, 2, 0, 1, 0, 4, 10, 0.1, 3, 2, 1, 4, 0};
[labels3, snaps3] = regionseg_core(vol, q{:});
kx_assert(isequal(size(labels3), [16 16 4]), 'labels of the 3-D call');
kx_assert(ndims(snaps3) == 4 && isequal(size(snaps3)(1:3), [16 16 4]), ...
          'snapshot stack of the 3-D call');
k = double(max(labels3(:))) + 1;
counts = accumarray(double(labels3(:)) + 1, 1);
kx_assert(numel(counts) == k && all(counts > 0), 'labels 0..k-1 all used');
kx_assert(all(diff(counts) <= 0), 'labels numbered by size, largest first');
kx_assert(k >= 4, 'the four blocks of the volume are found (%d regions)', k);
% Each of the four constant parts is one region.
parts = double(x >= 8) + 2 * double(z >= 2);
for part = 0:3
  kx_assert(numel(unique(labels3(parts == part))) == 1, 'part %d in one region', part);
end

% A 64 x 64 pattern split down to its pixels: six snapshots, so the stack
% is an arena that grew (to 8 slices) before it became the output.  Each
% slice against its weighted sum from the embedded host.
[x, y] = ndgrid(0:63, 0:63);
pattern = int32(mod(7 * x .^ 2 + 13 * y + 3 * x .* y, 256));
q = {6, 6, 0, 0, 1, 0, 1, 12, 0.1, 2, 2, 1, 0, 0};
[labels6, snaps6] = regionseg_core(pattern, q{:});
kx_assert(isequal(size(snaps6), [64 64 6]), 'six snapshots of the pattern');
weights = mod(0:4095, 997)' + 1;
sums = zeros(1, 6);
for s = 1:6
  sums(s) = sum(double(reshape(snaps6(:, :, s), [], 1)) .* weights);
end
kx_assert(isequal(sums, [4973288 239849871 905930547 2044540249 3582337391 3775686564]), ...
          'slices of the pattern as the embedded host gives them');
kx_assert(isequal(regionseg_core(pattern, q{:}), labels6), 'labels without the stack');

% A volume large enough for threads (128 x 128 x 32): the same labels for
% every KALMEX_THREADS.
[x, y, z] = ndgrid(0:127, 0:127, 0:31);
vol = int32(mod(floor((x .^ 2 + 3 * y) / 80), 200) + 30 * (z >= 16) + floor(5 * rand(128, 128, 32)));
q = {7, 2, 3, 0, 1, 0, 3, 12, 0.1, 2, 2, 1, 4, 0};
setenv('KALMEX_THREADS', '1');
one = regionseg_core(vol, q{:});
for n = {'2', '3'}
  setenv('KALMEX_THREADS', n{1});
  kx_assert(isequal(regionseg_core(vol, q{:}), one), 'KALMEX_THREADS=%s', n{1});
end
unsetenv('KALMEX_THREADS');
