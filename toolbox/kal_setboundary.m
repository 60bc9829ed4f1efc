function kal_setboundary(bc)
%KAL_SETBOUNDARY   Sets the boundary condition of the toolbox for this session
%
% SYNOPSIS:
%  kal_setboundary(bc)
%  kal_setboundary
%
% PARAMETERS:
%  bc: the boundary condition, a non-empty character row vector that says
%      how images are extended past their edges by filters of the toolbox,
%      for example 'mirror' or 'periodic'.  It is kept as given.
%
% Called without an argument, the boundary condition goes back to its
% default.
%
% DEFAULTS:
%  The boundary condition is 'mirror' until it is set.  The value is kept
%  for the rest of the session; clearing functions or variables does not
%  reset it.
%
% SEE ALSO:
%  kal_getboundary, kalsettings

if nargin < 1
   if isappdata(0, 'kal_boundarycondition')
      rmappdata(0, 'kal_boundarycondition');
   end
   return
end
if ~ischar(bc) || isempty(bc) || size(bc, 1) ~= 1 || ndims(bc) ~= 2
   error('kalmex:kal_setboundary:invalidInput', 'BC must be a non-empty character row vector.');
end
setappdata(0, 'kal_boundarycondition', bc);
