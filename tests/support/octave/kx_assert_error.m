function kx_assert_error(f, expected)
% KX_ASSERT_ERROR(F, EXPECTED) calls F and fails unless it raises an error
% whose message is EXPECTED (Octave may put "NAME: " in front of the text of
% a MEX error; both forms are accepted).
  try
    f();
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
