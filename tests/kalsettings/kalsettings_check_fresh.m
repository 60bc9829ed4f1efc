function kalsettings_check_fresh(how)
% Fails unless kalsettings started afresh after HOW: defaults, no
% bindings, locked again.
  kx_assert(strcmp(kalsettings(0, 'DebugMode'), 'off'), 'not back at the default after %s', how);
  kx_assert(kalsettings(2, 'img') == 0, 'binding kept after %s', how);
  kx_assert(isequal(kalsettings(0, 1), kalsettings(0, 0)), 'tables differ after %s', how);
  kx_assert(mislocked('kalsettings'), 'not locked again after %s', how);
end
