%EDGETHIN   Thin an edge-strength image by non-maximum suppression
%
% SYNOPSIS:
%  thin = edgethin(strength, gc, gr)
%
%  A pixel keeps its strength only where it is a local maximum along the
%  gradient direction; the strength on either side is interpolated linearly
%  between the two nearest pixels of the 8-neighbourhood.  Every other pixel
%  becomes 0.  Neighbours outside the image are taken from the nearest pixel
%  on the border.
%
% PARAMETERS:
%  strength: real double matrix, M-by-N: the edge strength, normally the
%            gradient magnitude.
%  gc:       real double matrix, M-by-N: the image's derivative along the
%            second dimension (across the columns).
%  gr:       real double matrix, M-by-N: the image's derivative along the
%            first dimension (down the rows).
%  Any values are accepted; where the gradient is 0 or not a number the
%  output pixel is 0.
%
% RESULTS:
%  thin:     real double matrix, M-by-N: STRENGTH where it is a ridge, else 0.
%            Exactly one output must be asked for.
%
% THREADS:
%  An image of 2^19 pixels or more (724 x 724) is thinned on several
%  threads, at most one per 2^18 pixels; the result is the same for every
%  count.  The count is MATLAB's maxNumCompThreads in MATLAB; elsewhere the
%  environment variable KALMEX_THREADS, a whole number from 1 to 1024 (1
%  keeps the call on one thread), else one per core.  Any other value of
%  KALMEX_THREADS is passed over with a warning (identifier
%  kalmex:edgethin:badThreadCount).  In Octave, setenv('KALMEX_THREADS',
%  '1') before the call keeps it on one thread.
%
% MESSAGES:
%  "non-maximum suppression: Three input images required."
%  "non-maximum suppression: One output image required."
%  "non-maximum suppression: Only double input data supported."
%  "non-maximum suppression: Sparse input is not supported."
%  "non-maximum suppression: Only 2D images are supported."
%  "non-maximum suppression: Images have different dimensions."
%  Their identifiers, in this order: kalmex:edgethin:inputCount,
%  kalmex:edgethin:outputCount, kalmex:edgethin:notReal,
%  kalmex:edgethin:sparse, kalmex:edgethin:not2D and
%  kalmex:edgethin:sizeMismatch.
%
% EXAMPLE:
%  [x, y] = meshgrid(-8:8);
%  im = double(x.^2 + y.^2 < 36);
%  [gc, gr] = gradient(im);
%  thin = edgethin(hypot(gc, gr), gc, gr);
%  disp(nnz(thin))
%
% SEE ALSO:
%  regionseg

%!test
%! % A disk's edge thinned to a ring one pixel wide: every kept pixel keeps
%! % its strength, and far fewer pixels are kept than have any strength.
%! [x, y] = meshgrid(-15:15);
%! im = exp(-max(hypot(x, y) - 9, 0) .^ 2 / 6);
%! [gc, gr] = gradient(im);
%! strength = hypot(gc, gr);
%! thin = edgethin(strength, gc, gr);
%! kept = thin > 0;
%! assert(nnz(kept) > 40 && nnz(kept) < nnz(strength > 0.01) / 2);
%! assert(thin(kept), strength(kept));
%! assert(edgethin(ones(4), zeros(4), zeros(4)), zeros(4));
%!error <Three input images required> x = edgethin(ones(3), ones(3))
%!error id=kalmex:edgethin:notReal x = edgethin(single(ones(3)), ones(3), ones(3))

%!demo
%! % The edges of a ring and a square, before and after thinning.
%! [x, y] = meshgrid(1:96);
%! im = double(abs(hypot(x - 40, y - 44) - 22) < 6) + double(abs(x - 72) < 14 & abs(y - 70) < 14);
%! [gc, gr] = gradient(conv2(im, ones(5) / 25, 'same'));
%! strength = hypot(gc, gr);
%! figure();
%! subplot(1, 2, 1); imagesc(strength); axis image off; title('gradient magnitude');
%! subplot(1, 2, 2); imagesc(edgethin(strength, gc, gr) > 0); axis image off; title('edgethin');
%! colormap(gray(256));
