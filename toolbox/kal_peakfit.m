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
