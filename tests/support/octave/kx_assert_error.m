function kx_assert_error(f, expected, nout)
% KX_ASSERT_ERROR(F, EXPECTED [, NOUT]) calls F with NOUT outputs (default 0)
% and fails unless it raises an error whose message is EXPECTED.  Octave puts
% "NAME: " in front of the text of a MEX error; both forms are accepted.
  if nargin < 3
    nout = 0;
  end
  try
    if nout == 0
      f();
    else
      out = cell(1, nout);
      [out{:}] = f();
    end
  catch err
    msg = err.message;
    colon = strfind(msg, ': ');
    if strcmp(msg, expected) || (~isempty(colon) && strcmp(msg(colon(1) + 2:end), expected))
      return;
    end
    error('kx:fail', 'expected error "%s", got "%s"', expected, msg);
  end
  error('kx:fail', 'expected error "%s", got none', expected);
end
