function kalsettings_unlock_changed()
% Changes a preference and a binding, then unlocks kalsettings.
  kalsettings(1, 'DebugMode', 'on');
  kalsettings(3, 'img', 8);
  kalsettings(999, 'anything');
  kx_assert(~mislocked('kalsettings'), 'MODE 999 does not unlock');
end
