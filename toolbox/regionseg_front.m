%REGIONSEG_FRONT   The compiled front end of REGIONSEG
%
% SYNOPSIS:
%  labels = regionseg_front(image)
%  labels = regionseg_front(image, 'name', value, ...)
%  [labels, snapshots] = regionseg_front(...)
%
%  What REGIONSEG does, with int32 results: REGIONSEG calls it and turns
%  them into doubles.  It reads the options, brings the image's grey values
%  to 0..255 as its class says (where the image lies, without a copy),
%  chooses the block tree, runs the segmentation of REGIONSEG_CORE in the
%  same call and numbers the regions from 1 by size.  With 'verbose' true
%  the progress lines of the segmentation are printed as REGIONSEG_CORE
%  prints them, through the host's own printing (the command window).
%
% PARAMETERS:
%  image:   real numeric or logical array, 2-D or 3-D, as for REGIONSEG.
%  options: the name/value pairs of REGIONSEG, with the same defaults and
%           checks (see HELP REGIONSEG).  'snapshot_budget' counts the
%           memory of REGIONSEG's call: the int32 stack and its double copy,
%           three times the stack's own bytes.
%
% RESULTS:
%  labels:    int32 array of the image's size (a colour picture's first two
%             dimensions): the region of every pixel, 1 for the largest.
%  snapshots: int32 array with one more dimension than LABELS, the stages of
%             the painting, each value one more than the value painted.
%             Made only when asked for.
%
% THREADS:
%  As REGIONSEG_CORE; a bad KALMEX_THREADS is passed over with a warning
%  (identifier kalmex:regionseg:badThreadCount).
%
% MESSAGES:
%  The errors of REGIONSEG, with their texts and identifiers:
%  kalmex:regionseg:badOption, kalmex:regionseg:badImage and
%  kalmex:regionseg:imageTooLarge; kalmex:regionseg:outputCount for more
%  than two outputs ("regionseg: at most two outputs: labels and
%  snapshots.").  A budget in bytes too small for the final state is refused
%  before the run with the smallest that works (a share of the memory is
%  raised to it), for instance
%  "regionseg: option 'snapshot_budget' must be at least 196608 bytes for
%   this image: the snapshot of the final state alone takes that."
%  A run that could not have its memory ends with an error, identifier
%  kalmex:regionseg_core:outOfMemory.  A stack cut to its budget warns,
%  identifier kalmex:regionseg_core:snapshotBudget.
%
% EXAMPLE:
%  labels = regionseg_front(uint8([zeros(6, 4), 200 * ones(6, 5)]), 'threshold', 10);
%  disp(labels)
%
% SEE ALSO:
%  regionseg, regionseg_core

%!test
%! % Two halves: two regions numbered by size, as int32.
%! labels = regionseg_front(uint8([zeros(6, 4), 200 * ones(6, 5)]), 'threshold', 10);
%! assert(labels, int32([2 * ones(6, 4), ones(6, 5)]));
%!error id=kalmex:regionseg:badOption regionseg_front(magic(4), 'treshold', 3)

%!demo
%! % A disk on a ramp, its regions and the last snapshot of the run.
%! [x, y] = ndgrid(1:48, 1:64);
%! im = uint8(50 + x + 120 * ((x - 24) .^ 2 + (y - 30) .^ 2 < 200));
%! [labels, snaps] = regionseg_front(im, 'threshold', 12);
%! figure();
%! subplot(1, 2, 1); imagesc(labels); axis image off; title('regions');
%! subplot(1, 2, 2); imagesc(snaps(:, :, end)); axis image off; title('last snapshot');
