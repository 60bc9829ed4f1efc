% kal_troughfind in Octave: positions, the boolean flag, masks and faults.
A = [4 1 1; 0 3 0; 2 0 5];
r = kal_troughfind(A, [], 1, 0);
kx_assert(isa(r, 'int32') && isequal(r, int32([1 2 1])), 'along dimension 1');
first = int32([1; 0; 1]);
last = int32([2; 2; 1]);
kx_assert(isequal(kal_troughfind(A, [], 2, 0), first), 'first minimum');
kx_assert(isequal(kal_troughfind(A, [], 2.0, 5), last), 'flag 5');
kx_assert(isequal(kal_troughfind(A, [], 2, -1), last), 'flag -1');
kx_assert(isequal(kal_troughfind(A, [], 2, true), last), 'flag true');
kx_assert(isequal(kal_troughfind(A, [], 2, int8(1)), last), 'flag int8');
kx_assert(isequal(kal_troughfind(A, [], 2, false), first), 'flag false');
kx_assert(isequal(kal_troughfind(single(A), {}, 2, 0), first), 'single image, empty cell mask');

mask = logical([1 0 1; 0 0 1; 1 0 1]);
kx_assert(isequal(kal_troughfind(A, mask, 1, 0), int32([2 -1 1])), 'mask');

% Brute force on a random 3-D image with ties.
V = randi(3, 4, 5, 6);
M = rand(4, 5, 6) > 0.4;
R = kal_troughfind(V, M, 2, 1);
for i = 1:4
  for k = 1:6
    line = V(i, :, k);
    inside = find(M(i, :, k));
    if isempty(inside)
      expected = -1;
    else
      lowest = min(line(inside));
      expected = inside(find(line(inside) == lowest, 1, 'last')) - 1;
    end
    kx_assert(R(i, 1, k) == expected, 'brute force');
  end
end

kx_assert_error(@() kal_troughfind(A, [], 2, 0.5), 'Argument 4 should be a boolean.', 1);
kx_assert_error(@() kal_troughfind(A, [], 2, 'a'), 'Argument 4 should be a boolean.', 1);
kx_assert_error(@() kal_troughfind(A, [], 2.5, 0), 'Argument 3 should be an integer scalar.', 1);
kx_assert_error(@() kal_troughfind(A, [], 2.5, 0.5), 'Argument 3 should be an integer scalar.', 1);
kx_assert_error(@() kal_troughfind(A, {1}, 2.5, 0.5), ...
                'Argument 2 (mask): brx_mex2kal: Cannot make an image of a cell array.', 1);
kx_assert_error(@() kal_troughfind(A, [], 3, 0), ...
                'kal_TroughFind: The dimension must lie in 1..2, not 3.', 1);
kx_assert_error(@() kal_troughfind(A, ones(2), 1, 0), ...
                'kal_TroughFind: The mask and the image differ in size.', 1);
kx_assert_error(@() kal_troughfind(A, [], 1), 'Wrong number of input arguments.', 1);
kx_assert_error(@() kal_troughfind(A, [], 1, 0), 'Wrong number of output arguments.', 2);
