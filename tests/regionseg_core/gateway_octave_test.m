% regionseg_core inside Octave: a one-block run, a 3-D run and a volume that
% does not fill its tree, with their output shapes and progress lines, and
% refusals of malformed calls.

one_block = sprintf(['finished initialisation\nfinished merging\nfinished calculating region\n' ...
                     'finished the split_merge routine\nfinished make_output \n' ...
                     'No save_regionlist specified\n']);

% Parameters after the image: levels, flat_levels, start_level,
% parallel_grouping, parallel_seeds, seed_any_level, criterion, threshold,
% outlier_fraction, noise_sigma, confidence_row, size_factor,
% min_region_size, keep_small_stats.
p2 = {3, 3, 1, 0, 1, 1, 1, 10, 0.1, 2, 2, 1, 0, 0};
[labels, snaps] = regionseg_core(int32(77 * ones(8, 8)), p2{:});
kx_assert(isa(labels, 'int32') && isequal(size(labels), [8 8]), 'labels of a 2-D run');
kx_assert(all(labels(:) == 0), 'one block gives label 0 everywhere');
kx_assert(isa(snaps, 'int32') && isequal(size(snaps), [8 8 2]), 'snapshot stack of a 2-D run');
kx_assert(isequal(snaps(1:4, 1:4, 1), int32([1 1 3 3; 1 1 3 3; 2 2 4 4; 2 2 4 4])), ...
          'checkerboard of 2 x 2 start blocks');
kx_assert(all(all(snaps(:, :, 2) == 0)), 'the root painted 0');

p3 = {3, 2, 1, 0, 1, 1, 4, 10, 0.1, 2, 2, 1, 0, 0};
[labels3, snaps3] = regionseg_core(int32(5 * ones(8, 8, 2)), p3{:});
kx_assert(isequal(size(labels3), [8 8 2]), 'labels of a 3-D run');
kx_assert(isequal(size(snaps3), [8 8 2 2]), 'snapshot stack of a 3-D run');
kx_assert(all(labels3(:) == 0), 'a uniform volume is one region');

% An image that does not fill its tree: outputs of its own size.
[odd, odd_snaps] = regionseg_core(int32(77 * ones(5, 3, 2)), 3, 2, 1, 0, 1, 1, 1, 10, 0.1, 2, 2, 1, 0, 0);
kx_assert(isequal(size(odd), [5 3 2]) && all(odd(:) == 0), 'labels of a 5 x 3 x 2 volume');
kx_assert(isequal(size(odd_snaps), [5 3 2 2]), 'snapshot stack of a 5 x 3 x 2 volume');

only = regionseg_core(int32(77 * ones(8, 8)), p2{:});
kx_assert(isequal(only, labels), 'one output only');

% The progress lines go to the process's standard output: run a second
% Octave and read what it printed.
octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
mexdir = fileparts(which('regionseg_core'));
for k = 1:2
  if k == 1
    expr = 'regionseg_core(int32(77 * ones(8, 8)), 3, 3, 1, 0, 1, 1, 1, 10, 0.1, 2, 2, 1, 0, 0);';
  else
    expr = '[a, b] = regionseg_core(int32(5 * ones(8, 8, 2)), 3, 2, 1, 0, 1, 1, 4, 10, 0.1, 2, 2, 1, 0, 0);';
  end
  cmd = sprintf('"%s" --no-gui --norc --quiet --eval "addpath(''%s''); %s"', octave, mexdir, expr);
  [status, printed] = system(cmd);
  kx_assert(status == 0, 'child Octave failed: %s', printed);
  kx_assert(strcmp(printed, one_block), 'progress lines of run %d: "%s"', k, printed);
end

% Refusals name the argument.
kx_assert_error(@() regionseg_core(77 * ones(8, 8), p2{:}), ...
                'Argument 1 (image) must be a real, full int32 array.', 1);
kx_assert_error(@() regionseg_core(int32(ones(8, 9)), p2{:}), ...
                'Argument 1 (image) must be at most 2^levels in its first two dimensions.', 1);
id = '';
try
  regionseg_core(int32(ones(9, 8)), p2{:});
catch err
  id = err.identifier;
end
kx_assert(strcmp(id, 'kalmex:regionseg_core:badImage'), 'an uncovered image refused as badImage');
bad = p2; bad{7} = 6;
kx_assert_error(@() regionseg_core(int32(ones(8, 8)), bad{:}), ...
                'Argument 8 (criterion) must be 1 to 5.', 1);
bad = p2; bad{8} = 'x';
kx_assert_error(@() regionseg_core(int32(ones(8, 8)), bad{:}), ...
                'Argument 9 (threshold) must be a real numeric or logical value.', 1);
kx_assert_error(@() regionseg_core(int32(300 * ones(8, 8)), p2{:}), ...
                'Argument 1 (image) must hold grey values 0 to 255.', 1);
kx_assert_error(@() regionseg_core(int32(ones(8, 8)), p2{1:13}), ...
                'Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget.', 1);

% Parameters of other classes mean their values.
typed = p2; typed{1} = int8(3); typed{2} = uint16(3); typed{3} = true; typed{7} = single(1);
[l2, s2] = regionseg_core(int32(77 * ones(8, 8)), typed{:});
kx_assert(isequal(l2, labels) && isequal(s2, snaps), 'typed parameters');

% A snapshot budget of two slices keeps the first and the last, and warns
% once under the module's identifier.
noisy = int32(mod(reshape(0:4095, 64, 64) * 7919, 251));
p6 = {6, 6, 0, 0, 1, 1, 1, 10, 0.1, 2, 2, 1, 0, 0};
[l6, s6] = regionseg_core(noisy, p6{:});
lastwarn('');
[l6b, s6b] = regionseg_core(noisy, p6{:}, 2.5 * 4 * 64 * 64);
[msg, id] = lastwarn();
kx_assert(strcmp(id, 'kalmex:regionseg_core:snapshotBudget'), 'budget warning identifier');
kx_assert(~isempty(strfind(msg, '2 snapshots kept')), 'budget warning names the snapshots kept');
kx_assert(isequal(l6b, l6) && size(s6b, 3) == 2 && isequal(s6b(:, :, 1), s6(:, :, 1)) && ...
          isequal(s6b(:, :, 2), s6(:, :, end)), 'cut stack: first slice and last');
