%KAL_PEAKFIT   Sub-pixel positions of the local maxima of an image
%
% SYNOPSIS:
%  coords = kal_peakfit(image, mask, method)
%
%  Finds every local maximum of IMAGE inside MASK (a pixel strictly greater
%  than each of its 3^D - 1 neighbours, not on the image border) and refines
%  its position to sub-pixel accuracy.
%
% PARAMETERS:
%  image:  real numeric or logical array of any number of dimensions.
%  mask:   [] for the whole image, or an array of IMAGE's size whose non-zero
%          pixels are the candidates (their neighbours are read from the whole
%          image).
%  method: [] or '' for the default, else one of these words (any case):
%          'default'    as 'parabolic'
%          'linear'     centre of gravity of the neighbourhood above its
%                       minimum
%          'parabolic'  a 3-point parabola fitted along each dimension
%          'gaussian'   a parabola fitted to the logarithm along each
%                       dimension (Gaussian peaks; needs positive values)
%          'bspline'    cubic B-spline interpolation with a refining search
%
% RESULTS:
%  coords: N-by-D double matrix, one row per maximum in storage order:
%          the 0-based coordinates along each dimension of the array.  With
%          no maximum, or an image with no dimensions, a 0-by-2 or 0-by-D
%          empty matrix.  At most one output.
%
% MESSAGES:
%  "Wrong number of input arguments."
%  "Wrong number of output arguments."
%  "Argument 3 should be a string."
%  "Argument 3 is invalid string."
%  and the image library's own text for an image or mask it refuses (text,
%  cell, struct, complex or sparse arrays, a mask of another size) or a
%  method that cannot work, for instance "The mask and the image differ in
%  size." or "The gaussian fit needs positive values around every maximum."
%  Identifiers: kalmex:kal_peakfit:REASON, REASON inputCount, outputCount,
%  notString, unknownWord in the order above; notImage for an image or mask
%  the library refuses, whose text starts with the argument ("Argument 1
%  (image): "); library for the library's other failures.
%
% EXAMPLE:
%  [x, y] = ndgrid(0:20, 0:20);
%  im = exp(-((x - 8.3).^2 + (y - 11.6).^2) / 8);
%  disp(kal_peakfit(im, [], 'gaussian'))
%
% SEE ALSO:
%  kal_troughfind, kal_turnvolume

%!test
%! % Gaussian peaks are found to a hundredth of a pixel (0-based).
%! [x, y] = ndgrid(0:30, 0:30);
%! im = exp(-((x - 8.3) .^ 2 + (y - 11.6) .^ 2) / 8) + exp(-((x - 21.75) .^ 2 + (y - 20.2) .^ 2) / 8);
%! found = sortrows(kal_peakfit(im, [], 'gaussian'));
%! assert(found, [8.3 11.6; 21.75 20.2], 0.01);
%! assert(size(kal_peakfit(zeros(5), [], 'linear')), [0 2]);
%!error id=kalmex:kal_peakfit:unknownWord kal_peakfit(ones(3), [], 'cubic')

%!demo
%! % Three blurred spots and the sub-pixel maxima found in them.
%! [x, y] = ndgrid(0:63, 0:63);
%! centres = [12.4 20.7; 40.2 15.1; 30.8 48.6];
%! im = zeros(size(x));
%! for k = 1:rows(centres)
%!   im += exp(-((x - centres(k, 1)) .^ 2 + (y - centres(k, 2)) .^ 2) / 18);
%! end
%! found = kal_peakfit(im, [], 'gaussian');
%! figure(); imagesc(im); axis image; colormap(gray(256)); hold on;
%! plot(found(:, 2) + 1, found(:, 1) + 1, 'r+', 'markersize', 12);
%! title('kal\_peakfit: maxima (+)');
