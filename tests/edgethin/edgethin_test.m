% edgethin inside Octave: a real thinning and the messages as Octave shows them.

% A smooth ridge along the columns, thinned with its own gradient, becomes a
% ridge one pixel wide on its crest.
[x, y] = meshgrid(1:40, 1:30);
ridge = exp(-((y - 15.3) .^ 2) / 18) .* (1 + 0.01 * x);
[gc, gr] = gradient(ridge);
strength = hypot(gc, gr) + ridge;
thin = edgethin(ridge, gc, gr);
kx_assert(isequal(size(thin), size(ridge)), 'output size');
kx_assert(isa(thin, 'double'), 'output class');
kept = thin ~= 0;
kx_assert(all(sum(kept(:, 2:end-1), 1) == 1), 'one pixel per column on the crest');
kx_assert(all(find(kept(:, 20)) == 15), 'the crest row');
kx_assert(all(thin(kept) == ridge(kept)), 'kept values are unchanged');
kx_assert(numel(strength) == 1200);

% Constant images have no ridge at all.
kx_assert(all(all(edgethin(ones(5), ones(5), zeros(5)) == 0)), 'constant image');
kx_assert(isequal(size(edgethin(zeros(4, 0), zeros(4, 0), zeros(4, 0))), [4 0]), 'empty');

a = ones(3);
kx_assert_error(@() edgethin(a, a), 'non-maximum suppression: Three input images required.', 1);
kx_assert_error(@() edgethin(a, a, a), 'non-maximum suppression: One output image required.', 0);
kx_assert_error(@() edgethin(single(a), a, a), 'non-maximum suppression: Only double input data supported.', 1);
kx_assert_error(@() edgethin(a, complex(a, a), a), 'non-maximum suppression: Only double input data supported.', 1);
kx_assert_error(@() edgethin(a, a, int32(a)), 'non-maximum suppression: Only double input data supported.', 1);
kx_assert_error(@() edgethin(sparse(a), a, a), 'non-maximum suppression: Sparse input is not supported.', 1);
kx_assert_error(@() edgethin(ones(3, 3, 2), a, a), 'non-maximum suppression: Only 2D images are supported.', 1);
kx_assert_error(@() edgethin(a, ones(3, 4), a), 'non-maximum suppression: Images have different dimensions.', 1);

% An image large enough for threads: the same output for every
% KALMEX_THREADS; a value that is not a count warns and is passed over.
rand('seed', 3);
big = rand(800, 700);
[bgc, bgr] = gradient(big);
setenv('KALMEX_THREADS', '1');
one = edgethin(big, bgc, bgr);
for n = {'2', '5', 'many'}
  setenv('KALMEX_THREADS', n{1});
  lastwarn('');
  kx_assert(isequal(edgethin(big, bgc, bgr), one), 'KALMEX_THREADS=%s', n{1});
  [~, id] = lastwarn();
  kx_assert(strcmp(id, 'kalmex:edgethin:badThreadCount') == strcmp(n{1}, 'many'), ...
            'the warning of KALMEX_THREADS=%s: "%s"', n{1}, id);
end
unsetenv('KALMEX_THREADS');
