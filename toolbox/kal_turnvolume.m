%KAL_TURNVOLUME   Rotate an image about one of its axes
%
% SYNOPSIS:
%  out = kal_turnvolume(image, angle, axis, interpolation, fill)
%
%  Turns a 3-D image by ANGLE about the axis that runs along dimension AXIS,
%  or a 2-D image about axis 3, about the centre pixel (index floor(size/2)
%  in each dimension, counted from 0).  The output has the input's size and
%  class; integer classes are rounded and clamped.
%
% PARAMETERS:
%  image:         real numeric or logical array, 2-D or 3-D.
%  angle:         real scalar, the angle in radians.
%  axis:          whole number: 1, 2 or 3 for a 3-D image, 3 for a 2-D one.
%  interpolation: [] or '' for the default, else one of (any case):
%                 'default' as '3-cubic'
%                 'bspline' cubic B-spline with its prefilter
%                 '4-cubic' four-point cubic Lagrange
%                 '3-cubic' cubic convolution
%                 'linear' or 'bilinear'
%                 'zoh'     nearest neighbour
%  fill:          [] or '' for the default, else what output pixels whose
%                 source lies outside the image get (any case):
%                 'default' as 'zero'
%                 'zero'    0
%                 'max'     the maximum of the whole input
%                 'min'     its minimum
%
% RESULTS:
%  out: the turned image, same size and class as IMAGE.  At most one output.
%
% MESSAGES:
%  "Wrong number of input arguments."
%  "Wrong number of output arguments."
%  "Argument 2 should be a real scalar."
%  "Argument 3 should be an integer scalar."
%  "Argument 4 should be a string."  and "Argument 5 should be a string."
%  "Argument 4 is invalid string."   and "Argument 5 is invalid string."
%  and the image library's own text for an image it refuses or an axis it
%  cannot turn about, for instance "The axis must be 1, 2 or 3, not 4.".
%  A refused image is reported before any other argument.
%  Identifiers: kalmex:kal_turnvolume:REASON, REASON inputCount, outputCount,
%  notRealScalar, notInteger, notString, unknownWord in the order above;
%  notImage for an image the library refuses, whose text starts with the
%  argument ("Argument 1 (image): "); library for the library's other
%  failures.
%
% EXAMPLE:
%  im = magic(5);
%  out = kal_turnvolume(im, pi / 2, 3, 'zoh', 'zero');
%  disp(out)
%
% SEE ALSO:
%  kal_peakfit, kal_troughfind

%!test
%! % A quarter turn keeps the values; four of them give the image back.
%! im = magic(5);
%! once = kal_turnvolume(im, pi / 2, 3, 'zoh', 'zero');
%! assert(size(once), size(im));
%! assert(sort(once(:)), sort(im(:)));
%! back = im;
%! for k = 1:4
%!   back = kal_turnvolume(back, pi / 2, 3, 'zoh', 'zero');
%! end
%! assert(back, im);
%!error id=kalmex:kal_turnvolume:notRealScalar kal_turnvolume(magic(3), 'a', 3, [], [])

%!demo
%! % A letter-like shape turned by 30 degrees with linear interpolation.
%! im = zeros(64);
%! im(12:52, 18:26) = 1;
%! im(12:20, 18:46) = 1;
%! im(30:37, 18:40) = 1;
%! figure();
%! subplot(1, 2, 1); imagesc(im); axis image off; title('image');
%! subplot(1, 2, 2); imagesc(kal_turnvolume(im, pi / 6, 3, 'linear', 'zero'));
%! axis image off; title('turned by 30 degrees');
%! colormap(gray(256));
