function bc = kal_getboundary(n)
%KAL_GETBOUNDARY   Boundary condition of the toolbox for this session
%
% SYNOPSIS:
%  bc = kal_getboundary(n)
%
% PARAMETERS:
%  n:  number of image dimensions to give a boundary condition for, a
%      non-negative whole number.  Default: 1.
%
% RESULT:
%  bc: 1-by-N cell array; every cell holds the boundary condition, the
%      character array that says how images are extended past their edges
%      by filters of the toolbox.
%
% DEFAULTS:
%  The boundary condition is 'mirror' (the image is reflected at its edges)
%  until KAL_SETBOUNDARY, or kalsettings(1,'BoundaryCondition',BC), sets
%  another one.  The value is kept for the rest of the session; clearing
%  functions or variables does not reset it.
%
% SEE ALSO:
%  kal_setboundary, kalsettings

if nargin < 1
   n = 1;
end
if ~isnumeric(n) || ~isreal(n) || numel(n) ~= 1 || ~isfinite(n) || n < 0 || n ~= fix(n)
   error('kalmex:kal_getboundary:invalidInput', 'N must be a non-negative whole number.');
end
if isappdata(0, 'kal_boundarycondition')
   value = getappdata(0, 'kal_boundarycondition');
else
   value = 'mirror';
end
bc = repmat({value}, 1, double(n));

%!test
%! kal_setboundary();
%! assert(kal_getboundary(), {'mirror'});
%! assert(kal_getboundary(3), {'mirror', 'mirror', 'mirror'});
%! assert(kal_getboundary(0), cell(1, 0));
%!error id=kalmex:kal_getboundary:invalidInput kal_getboundary(1.5)

%!demo
%! % A signal extended past its ends as the default boundary condition says.
%! s = [1 4 2 6 3 5];
%! bc = kal_getboundary(){1};
%! extended = s([3 2 1 1:6 6 5 4]);   % 'mirror': reflected at the edges
%! figure(); stem(-2:9, extended); hold on; stem(1:6, s, 'r', 'filled');
%! title(['boundary condition: ' bc]);
