% kal_peakfit in Octave: results, method words, argument faults and their order.
[x, y] = ndgrid(0:20, 0:18);
g = 50 * exp(-((x - 6.3).^2 + (y - 5.6).^2) / 8) + 30 * exp(-((x - 14.8).^2 + (y - 12.2).^2) / 4.5);

p = kal_peakfit(g, [], 'gaussian');
kx_assert(isa(p, 'double') && isequal(size(p), [2 2]), 'one row per peak, one column per dimension');
kx_assert(max(abs(p(:) - [6.3; 14.8; 5.6; 12.2])) < 1e-3, 'gaussian fit in storage order');

% A 3-D blob at a known sub-pixel position, within 0.01 pixel.
[x3, y3, z3] = ndgrid(0:24, 0:23, 0:25);
blob = exp(-((x3 - 12.3).^2 + (y3 - 11.6).^2 + (z3 - 12.45).^2) / 18);
for method = {'bspline', 'parabolic', 'gaussian'}
  q = kal_peakfit(blob, [], method{1});
  kx_assert(isequal(size(q), [1 3]) && max(abs(q - [12.3 11.6 12.45])) < 0.01, method{1});
end

% Words are case-blind; empty arrays and strings mean the default.
lin = kal_peakfit(g, [], 'linear');
kx_assert(isequal(lin, kal_peakfit(g, [], 'LINEAR'), kal_peakfit(g, [], 'Linear')), 'case-blind');
kx_assert(~isequal(lin, kal_peakfit(g, [], 'parabolic')), 'linear is its own method');
def = kal_peakfit(g, [], 'default');
kx_assert(isequal(def, kal_peakfit(g, [], []), kal_peakfit(g, [], ''), kal_peakfit(g, [], 'parabolic')), ...
          'default is the parabola');
kx_assert(~isequal(def, kal_peakfit(g, [], 'BSpline')), 'bspline is its own method');

kx_assert_error(@() kal_peakfit(g, [], 3), 'Argument 3 should be a string.', 1);
kx_assert_error(@() kal_peakfit(g, [], ['ab'; 'cd']), 'Argument 3 should be a string.', 1);
kx_assert_error(@() kal_peakfit(g, [], {'linear'}), 'Argument 3 should be a string.', 1);
kx_assert_error(@() kal_peakfit(g, [], 'cubic'), 'Argument 3 is invalid string.', 1);
kx_assert_error(@() kal_peakfit(g, [], repmat('l', 1, 50)), 'Argument 3 is invalid string.', 1);
kx_assert_error(@() kal_peakfit(g, [], ['linear' blanks(44)]), 'Argument 3 is invalid string.', 1);

% Masks: empty means none; a mask chooses the candidates.
mask = false(size(g));
mask(11:end, 11:end) = true;
m = kal_peakfit(g, mask, 'gaussian');
kx_assert(isequal(size(m), [1 2]) && isequal(m, p(2, :)), 'mask keeps the second peak');
kx_assert(isequal(kal_peakfit(g, {}, 'gaussian'), p), 'an empty cell is no mask');
kx_assert_error(@() kal_peakfit(g, ones(3), []), ...
                'kal_SubpixelMaxima: The mask and the image differ in size.', 1);

% Fault order: the image, then the mask, then the method.
kx_assert_error(@() kal_peakfit({1}, [], 3), 'Argument 1 (image): brx_mex2kal: Cannot make an image of a cell array.', 1);
kx_assert_error(@() kal_peakfit(g, complex(g, 1), 3), ...
                'Argument 2 (mask): brx_mex2kal: Cannot make an image of a complex array.', 1);
kx_assert_error(@() kal_peakfit('text', [], []), 'Argument 1 (image): brx_mex2kal: Cannot make an image of a char array.', 1);
kx_assert_error(@() kal_peakfit(g, []), 'Wrong number of input arguments.', 1);
kx_assert_error(@() kal_peakfit(g, [], [], []), 'Wrong number of input arguments.', 1);
kx_assert_error(@() kal_peakfit(g, [], []), 'Wrong number of output arguments.', 2);

% Empty results: 0 x 2 without dimensions, 0 x D without maxima.
kx_assert(isequal(size(kal_peakfit(7, [], [])), [0 2]), 'scalar image');
kx_assert(isequal(size(kal_peakfit(ones(4), [], [])), [0 2]), 'flat 2-D image');
kx_assert(isequal(size(kal_peakfit(ones(4, 4, 4, 'single'), [], [])), [0 3]), 'flat 3-D image');
c = kal_peakfit(uint8([0; 1; 5; 1; 0]), [], []);
kx_assert(isequal(c, 2), 'a column is a 1-D image');
