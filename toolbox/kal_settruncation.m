function kal_settruncation(t)
%KAL_SETTRUNCATION   Sets the filter truncation of the toolbox for this session
%
% SYNOPSIS:
%  kal_settruncation(t)
%  kal_settruncation
%
% PARAMETERS:
%  t: the truncation, a real, finite, positive number: filters of the
%     toolbox cut their Gaussian kernels off at T times the kernel's sigma.
%     It is kept as a double.
%
% Called without an argument, the truncation goes back to its default.
%
% DEFAULTS:
%  The truncation is 3 until it is set.  The value is kept for the rest of
%  the session; clearing functions or variables does not reset it.
%
% SEE ALSO:
%  kal_gettruncation, kalsettings

if nargin < 1
   t = [];  % back to the default
elseif ~isnumeric(t) || ~isreal(t) || numel(t) ~= 1 || ~isfinite(t) || t <= 0
   error('kalmex:kal_settruncation:invalidInput', 'T must be a real, finite, positive number.');
end
kal_keepforsession('kal_truncation', double(t));

%!test
%! unwind_protect
%!   kal_settruncation(int8(2));
%!   assert(kal_gettruncation(), 2);
%!   assert(class(kal_gettruncation()), 'double');
%! unwind_protect_cleanup
%!   kal_settruncation();
%! end_unwind_protect
%! assert(kal_gettruncation(), 3);
%!error id=kalmex:kal_settruncation:invalidInput kal_settruncation(-1)
%!error id=kalmex:kal_settruncation:invalidInput kal_settruncation(Inf)

%!demo
%! % Kernels cut at two truncations.
%! x = linspace(-5, 5, 201);
%! figure(); hold on;
%! for t = [1.5 4]
%!   kal_settruncation(t);
%!   inside = abs(x) <= kal_gettruncation();
%!   plot(x(inside), exp(-x(inside) .^ 2 / 2));
%! end
%! kal_settruncation();
%! legend('truncation 1.5', 'truncation 4'); title('kal\_settruncation');
