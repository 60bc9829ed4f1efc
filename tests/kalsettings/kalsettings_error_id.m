function id = kalsettings_error_id(f)
% The identifier of the error F raises, 'no error' when it raises none.
  id = 'no error';
  try
    f();
  catch err
    id = err.identifier;
  end
end
