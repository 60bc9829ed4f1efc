% kal_turnvolume in Octave: quarter turns, words, faults and their order.
A = uint8(reshape(1:9, 3, 3));
R = kal_turnvolume(A, pi / 2, 3, [], []);
kx_assert(isa(R, 'uint8') && isequal(R, rot90(A)), 'a quarter turn about axis 3 is rot90');

v = rand(5, 5, 5);
R3 = kal_turnvolume(v, pi / 2, 3, 'zoh', 'zero');
R1 = kal_turnvolume(v, pi / 2, 1, 'bspline', 'zero');
R2 = kal_turnvolume(v, pi / 2, 2.0, 'linear', 'zero');
for k = 1:5
  kx_assert(isequal(R3(:, :, k), rot90(v(:, :, k))), 'axis 3');
  kx_assert(isequal(squeeze(R1(k, :, :)), rot90(squeeze(v(k, :, :)))), 'axis 1');
  kx_assert(isequal(squeeze(R2(:, k, :)), rot90(squeeze(v(:, k, :))')'), 'axis 2');
end
for interp = {'default', 'bspline', '4-cubic', '3-cubic', 'bilinear', 'linear', 'zoh'}
  kx_assert(isequal(kal_turnvolume(v, 0, 2, interp{1}, 'max'), v), ['identity ' interp{1}]);
end

% Words: case-blind, synonyms, empty means default.
t = 30 * pi / 180;
kx_assert(isequal(kal_turnvolume(v, t, 1, 'bilinear', []), kal_turnvolume(v, t, 1, 'Linear', [])), ...
          'bilinear and linear');
kx_assert(~isequal(kal_turnvolume(v, t, 1, 'ZOH', []), kal_turnvolume(v, t, 1, 'linear', [])), ...
          'zoh is nearest neighbour');
d = kal_turnvolume(v, t, 1, 'default', 'default');
kx_assert(isequal(d, kal_turnvolume(v, t, 1, [], []), kal_turnvolume(v, t, 1, '', ''), ...
                  kal_turnvolume(v, t, 1, '3-cubic', 'zero')), 'defaults');
P = reshape(1:25, 5, 5);
kx_assert(kal_turnvolume(P, pi / 4, 3, [], 'MAX')(1) == 25, 'fill max');
kx_assert(kal_turnvolume(P, pi / 4, 3, [], 'min')(1) == 1, 'fill min');
kx_assert(kal_turnvolume(P, pi / 4, 3, [], 'zero')(1) == 0, 'fill zero');

kx_assert_error(@() kal_turnvolume(v, 'a', 3, [], []), 'Argument 2 should be a real scalar.', 1);
kx_assert_error(@() kal_turnvolume(v, true, 3, [], []), 'Argument 2 should be a real scalar.', 1);
kx_assert_error(@() kal_turnvolume(v, [1 2], 3, [], []), 'Argument 2 should be a real scalar.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 2.5, [], []), 'Argument 3 should be an integer scalar.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 'x', [], []), 'Argument 3 should be an integer scalar.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, 4, []), 'Argument 4 should be a string.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, 'cubic', []), 'Argument 4 is invalid string.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, [], 2), 'Argument 5 should be a string.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, [], 'maximum'), 'Argument 5 is invalid string.', 1);
kx_assert_error(@() kal_turnvolume(v, 'a', 3, 'cubic', []), 'Argument 2 should be a real scalar.', 1);
kx_assert_error(@() kal_turnvolume({1}, 'a', 0.5, [], []), ...
                'Argument 1 (image): brx_mex2kal: Cannot make an image of a cell array.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 4, [], []), ...
                'kal_TurnVolume: The axis must be 1, 2 or 3, not 4.', 1);
kx_assert_error(@() kal_turnvolume(P, 1, 1, [], []), ...
                'kal_TurnVolume: A 2-D image turns about axis 3 only, not 1.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, []), 'Wrong number of input arguments.', 1);
kx_assert_error(@() kal_turnvolume(v, 1, 3, [], []), 'Wrong number of output arguments.', 2);
