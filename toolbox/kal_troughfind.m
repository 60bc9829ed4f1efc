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
