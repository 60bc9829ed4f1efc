function kalsettings_check_kept(how)
% Fails unless the values set by kalsettings_lifecycle survived HOW.
  kx_assert(strcmp(kalsettings(0, 'DebugMode'), 'on'), 'DebugMode lost by %s', how);
  kx_assert(strcmp(kalsettings(0, 'DefaultColorMap'), 'jet'), 'colour map lost by %s', how);
  kx_assert(isequal(kalsettings(0, 'Gamma'), [2 3 4]), 'Gamma lost by %s', how);
  kx_assert(kalsettings(2, 'img') == 8, 'binding lost by %s', how);
  kx_assert(mislocked('kalsettings'), 'unlocked by %s', how);
end
