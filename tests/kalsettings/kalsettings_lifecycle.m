% The life cycle of kalsettings inside Octave: started and locked by the
% first call, kept by every kind of clear while locked, back at its defaults
% after MODE 999 and a clear.  The checks live in function files, since
% "clear all" also clears the variables of this script.

kx_assert_error(@() kalsettings(), 'Wrong number of input arguments.');
kx_assert(mislocked('kalsettings'), 'a failing first call still locks the module');

kalsettings(1, 'DebugMode', 'on', 'DefaultColorMap', 'jet', 'Gamma', [2 3 4]);
kalsettings(3, 'img', 8);
kalsettings(1, 'BoundaryCondition', 'periodic');
clear kalsettings
kalsettings_check_kept('clear kalsettings');
clear all
kalsettings_check_kept('clear all');
clear mex
kalsettings_check_kept('clear mex');
clear functions
kalsettings_check_kept('clear functions');

% Unlocked, each clear that unloads the function starts it afresh.
kalsettings_unlock_changed();
clear kalsettings
kalsettings_check_fresh('clear kalsettings');
kalsettings_unlock_changed();
clear all
kalsettings_check_fresh('clear all');
kalsettings_unlock_changed();
clear functions
kalsettings_check_fresh('clear functions');

% The toolbox keeps its two values for the session, whatever is cleared.
kx_assert(strcmp(kalsettings(0, 'BoundaryCondition'), 'periodic'), 'boundary kept');
kal_setboundary();
