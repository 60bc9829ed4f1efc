function ok = kalsettings_clipped()
% True when the last warning is the clipping warning of kalsettings, with its
% identifier; Octave puts "kalsettings: " in front of the text.
  [msg, id] = lastwarn();
  ok = any(strcmp(msg, {'Clipping the string value.', 'kalsettings: Clipping the string value.'})) ...
       && strcmp(id, 'kalmex:kalsettings:clipped');
end
