function t = kal_gettruncation
%KAL_GETTRUNCATION   Filter truncation of the toolbox for this session
%
% SYNOPSIS:
%  t = kal_gettruncation
%
% RESULT:
%  t: the truncation, a positive double: filters of the toolbox cut their
%     Gaussian kernels off at T times the kernel's sigma.
%
% DEFAULTS:
%  The truncation is 3 until KAL_SETTRUNCATION, or
%  kalsettings(1,'Truncation',T), sets another value.  The value is kept for
%  the rest of the session; clearing functions or variables does not reset
%  it.
%
% SEE ALSO:
%  kal_settruncation, kalsettings

if isappdata(0, 'kal_truncation')
   t = getappdata(0, 'kal_truncation');
else
   t = 3;
end

%!test
%! kal_settruncation();
%! assert(kal_gettruncation(), 3);

%!demo
%! % A Gaussian kernel cut at the truncation, in units of its sigma.
%! t = kal_gettruncation();
%! x = linspace(-5, 5, 201);
%! figure(); plot(x, exp(-x .^ 2 / 2), ':'); hold on;
%! inside = abs(x) <= t;
%! plot(x(inside), exp(-x(inside) .^ 2 / 2), 'linewidth', 2);
%! title(sprintf('truncation %g: the kernel ends at %g sigma', t, t));
