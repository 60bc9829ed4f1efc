%KALSETTINGS   The toolbox's preferences and figure bindings
%
% SYNOPSIS:
%  value = kalsettings(0, name)          read one preference
%  table = kalsettings(0, 0)             all names with their default values
%  table = kalsettings(0, 1)             all names with their current values
%  kalsettings(1, name, value, ...)      set preferences, in the order given
%  h = kalsettings(2, variable)          figure bound to a variable name
%  kalsettings(3, variable, h)           bind a variable name to a figure
%  kalsettings(3, 'other', h)            add a figure to the pool of others
%  kalsettings(4)                        forget every binding and the pool
%  kalsettings(999)                      unlock, so that "clear kalsettings"
%                                        frees the module
%
%  The values live in module memory from the first call until the module is
%  cleared (after MODE 999); nothing is written to disk, and the next load
%  starts from the defaults.  BoundaryCondition and Truncation are kept by
%  KAL_SETBOUNDARY/KAL_GETBOUNDARY and KAL_SETTRUNCATION/KAL_GETTRUNCATION.
%
% PARAMETERS:
%  MODE:     a double scalar, 0, 1, 2, 3, 4 or 999 (fractions are dropped).
%  name:     character array, one of the 28 names below, in any letter case.
%  value:    by the preference's kind:
%            on/off:  'on' or 'off' (any letter case)
%            integer: a double scalar in -2147483647..2147483647, truncated
%            real:    a double scalar
%            triple:  a double array of exactly 3 elements
%            string:  a character array (4095 characters are kept)
%  variable: character array, a variable name (255 characters are kept).
%  h:        a whole number in the 32-bit range, a figure handle.
%
%  name                   kind     default  correction after a set
%  BoundaryCondition      string   (kal_getboundary)
%  BringToFrontOnDisplay  on/off   on
%  CommandFilePath        string   ''
%  ComplexMappingDisplay  string   'x+iy'
%  ComputationLimit       integer  65536    below 1 gives 65536
%  CurrentImageFileDir    string   ''
%  DebugMode              on/off   off
%  DefaultActionState     string   'kaltest'
%  DefaultColorMap        string   'grey'
%  DefaultComplexMapping  string   'abs'
%  DefaultFigureHeight    integer  256      below 1 gives 256
%  DefaultFigureWidth     integer  256      below 1 gives 256
%  DefaultGlobalStretch   on/off   off
%  DefaultMappingMode     string   'normal'
%  DefaultSlicing         string   'xy'
%  DerivativeFlavour      string   'best'
%  DisplayToFigure        on/off   on
%  EnableKeyboard         on/off   on
%  FileWriteWarning       on/off   on
%  Gamma                  triple   [1 1 1]  each clamped to 0.01..100; NaN is
%                                           stored as it is
%  GammaGrey              real     1        clamped to 0.01..100; NaN is stored
%                                           as it is
%  ImageFilePath          string   ''
%  ImageSizeLimit         integer  2048     negative gives 0
%  MorphologicalFlavour   integer  0
%  PutInCommandWindow     on/off   on
%  RespectVisibility      on/off   off
%  TrueSize               on/off   on
%  Truncation             integer  (kal_gettruncation)
%
% RESULTS:
%  value: the current value: a double for integer and real preferences,
%         'on'/'off', a character array, or a 1-by-3 double.
%  table: 28-by-2 cell array of names and values.
%  h:     1-by-1 double, the bound figure handle, 0 if there is none; for
%         'other' the pool hands out its figures in turn.
%
% MESSAGES:
%  "Wrong number of input arguments."
%  "Undefined MODE."
%  "Preference name must be a string."
%  "Unknown preference name."
%  "Expected a scalar value for preference 'NAME'."
%  "Overflow in double to int conversion."
%  "Expected either 'on' or 'off' for preference 'NAME'."
%  "Expected a string value for preference 'NAME'."
%  "Expected an array of length 3 for preference 'NAME'."
%  "Variable names must be strings."
%  "Invalid figure handle."
%  "Variable name buffer full."   (256 names, and 256 pool figures)
%  Warning "Clipping the string value." for a string of 4096 characters or
%  more, or a variable name of 256 or more.
%  In MODE 1 the pairs before a failing one stay set.
%
% EXAMPLE:
%  kalsettings(1, 'DefaultColorMap', 'jet', 'gammagrey', 2);
%  disp(kalsettings(0, 'DefaultColorMap'))
%  disp(kalsettings(0, 'GammaGrey'))
%  kalsettings(1, 'DefaultColorMap', 'grey', 'GammaGrey', 1);
%
% SEE ALSO:
%  kal_getboundary, kal_setboundary, kal_gettruncation, kal_settruncation

%!test
%! % A preference reads back as set (clamped where its kind says), and a
%! % figure bound to a variable name is found by that name.
%! old = kalsettings(0, 'GammaGrey');
%! unwind_protect
%!   kalsettings(1, 'gammagrey', 2.5);
%!   assert(kalsettings(0, 'GammaGrey'), 2.5);
%!   kalsettings(1, 'GammaGrey', 1000);
%!   assert(kalsettings(0, 'GammaGrey'), 100);
%!   kalsettings(1, 'GammaGrey', NaN);
%!   assert(isnan(kalsettings(0, 'GammaGrey')));
%!   kalsettings(3, 'kx_demo_image', 7);
%!   assert(kalsettings(2, 'kx_demo_image'), 7);
%! unwind_protect_cleanup
%!   kalsettings(1, 'GammaGrey', old);
%!   kalsettings(4);
%! end_unwind_protect
%!error <Unknown preference name> kalsettings(0, 'NoSuchPreference')

%!demo
%! % A figure bound to the name of the variable it shows, found again by
%! % that name, with the colour map preference.
%! img = peaks(64);
%! h = figure();
%! imagesc(img); axis image off; colormap(gray(256));
%! kalsettings(3, 'img', double(h));
%! title(sprintf('kalsettings(2, ''img'') gives figure %d; DefaultColorMap is ''%s''', ...
%!               kalsettings(2, 'img'), kalsettings(0, 'DefaultColorMap')));
%! kalsettings(4);
