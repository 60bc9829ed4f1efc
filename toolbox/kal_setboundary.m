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
   bc = [];  % back to the default
elseif ~ischar(bc) || isempty(bc) || size(bc, 1) ~= 1 || ndims(bc) ~= 2
   error('kalmex:kal_setboundary:invalidInput', 'BC must be a non-empty character row vector.');
end
kal_keepforsession('kal_boundarycondition', bc);

%!test
%! unwind_protect
%!   kal_setboundary('periodic');
%!   assert(kal_getboundary(2), {'periodic', 'periodic'});
%! unwind_protect_cleanup
%!   kal_setboundary();
%! end_unwind_protect
%! assert(kal_getboundary(), {'mirror'});
%!error id=kalmex:kal_setboundary:invalidInput kal_setboundary(['ab'; 'cd'])

%!demo
%! % One signal extended under two boundary conditions.
%! s = [1 4 2 6 3 5];
%! kal_setboundary('periodic');
%! figure();
%! subplot(2, 1, 1); stem(-2:9, s([4:6 1:6 1:3])); title(['set: ' kal_getboundary(){1}]);
%! kal_setboundary();
%! subplot(2, 1, 2); stem(-2:9, s([3 2 1 1:6 6 5 4])); title(['default: ' kal_getboundary(){1}]);
