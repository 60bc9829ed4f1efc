%KAL_TROUGHFIND   Position of the minimum along one dimension
%
% SYNOPSIS:
%  pos = kal_troughfind(image, mask, dim, last)
%
%  For every line of IMAGE along dimension DIM, the 0-based position of the
%  smallest value among the pixels inside MASK.
%
% PARAMETERS:
%  image: real numeric or logical array of any number of dimensions.
%  mask:  [] for the whole image, or an array of IMAGE's size whose non-zero
%         pixels take part.
%  dim:   whole number, 1 to the number of dimensions of IMAGE.
%  last:  a whole number or logical scalar: 0 (false) gives the first
%         position of a tied minimum, anything else (true) the last.
%
% RESULTS:
%  pos: int32 array of IMAGE's size with dimension DIM of size 1: the
%       0-based position along DIM, or -1 for a line with no pixel in the
%       mask.  At most one output.
%
% MESSAGES:
%  "Wrong number of input arguments."
%  "Wrong number of output arguments."
%  "Argument 3 should be an integer scalar."
%  "Argument 4 should be a boolean."
%  and the image library's own text for an image or mask it refuses or a
%  dimension the image lacks, for instance "The mask and the image differ
%  in size.".
%  Identifiers: kalmex:kal_troughfind:REASON, REASON inputCount, outputCount,
%  notInteger, notBoolean in the order above; notImage for an image or mask
%  the library refuses, whose text starts with the argument ("Argument 1
%  (image): "); library for the library's other failures.
%
% EXAMPLE:
%  im = [3 1 2; 0 5 0; 4 4 9];
%  disp(kal_troughfind(im, [], 2, 0))
%  disp(kal_troughfind(im, [], 2, true))
%
% SEE ALSO:
%  kal_peakfit, kal_turnvolume

%!test
%! % The 0-based position of each row's minimum, the last of equal ones when
%! % asked for, and -1 where the mask holds no pixel of the row.
%! im = [3 1 2; 0 5 0; 4 4 9];
%! assert(kal_troughfind(im, [], 2, 0), int32([1; 0; 0]));
%! assert(kal_troughfind(im, [], 2, true), int32([1; 2; 1]));
%! assert(kal_troughfind(im, logical([1 0 1; 0 0 0; 1 1 1]), 2, 0), int32([2; -1; 0]));
%!error id=kalmex:kal_troughfind:notBoolean kal_troughfind(ones(3), [], 1, 0.5)

%!demo
%! % A valley that winds down an image, and the minimum of every row.
%! [r, c] = ndgrid(1:80, 1:120);
%! valley = 60 + 25 * sin(r / 12);
%! im = (c - valley) .^ 2 + 30 * rand(size(r));
%! pos = double(kal_troughfind(im, [], 2, 0));
%! figure(); imagesc(im); axis image; colormap(gray(256)); hold on;
%! plot(pos + 1, 1:80, 'r.');
%! title('kal\_troughfind: minimum of each row');
