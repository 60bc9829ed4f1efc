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
