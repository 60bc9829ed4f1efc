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
