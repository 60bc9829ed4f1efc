% kalsettings inside Octave: reads, sets with corrections, messages and
% their identifiers, figures and the four toolbox functions that hold
% BoundaryCondition and Truncation.

% Whole tables right after load: same values, names as in the list.
d = kalsettings(0, 0);
c = kalsettings(0, 1);
kx_assert(iscell(d) && isequal(size(d), [28 2]), 'table shape');
kx_assert(isequal(d, c), 'default and current tables differ after load');
kx_assert(strcmp(d{9, 1}, 'DefaultColorMap') && strcmp(d{9, 2}, 'grey'), 'DefaultColorMap');
kx_assert(isequal(d{20, 2}, [1 1 1]), 'Gamma default');
kx_assert(strcmp(d{1, 2}, 'mirror') && isequal(d{28, 2}, 3), 'toolbox defaults');
kx_assert(isequal(kalsettings(0, 0.5), d), 'MODE 0 with 0.5');

% Every kind, names ignoring case, with the corrections.
kx_assert(isequal(kalsettings(0, 'gamma'), [1 1 1]), 'gamma');
kalsettings(1, 'debugmode', 'ON');
kx_assert(strcmp(kalsettings(0, 'DebugMode'), 'on'), 'DebugMode on');
kalsettings(1, 'Gamma', [0; 50; 1000], 'GammaGrey', NaN, 'ComputationLimit', 0);
kx_assert(isequal(kalsettings(0, 'Gamma'), [0.01 50 100]), 'Gamma clamped');
kx_assert(isnan(kalsettings(0, 'GammaGrey')), 'GammaGrey NaN');
kx_assert(kalsettings(0, 'ComputationLimit') == 65536, 'ComputationLimit corrected');
kalsettings(1, 'ComputationLimit', NaN, 'DefaultFigureWidth', 99.9, 'ImageSizeLimit', -5);
kx_assert(kalsettings(0, 'ComputationLimit') == 65536, 'NaN ComputationLimit');
kx_assert(kalsettings(0, 'DefaultFigureWidth') == 99, 'DefaultFigureWidth 99.9');
kx_assert(kalsettings(0, 'ImageSizeLimit') == 0, 'ImageSizeLimit -5');
kalsettings(1, 'Gamma', [2+1i 3 4]);
kx_assert(isequal(kalsettings(0, 'Gamma'), [2 3 4]), 'complex Gamma uses the real part');
kalsettings(1, 'DefaultColorMap', 'foo');
kx_assert(strcmp(kalsettings(0, 'defaultcolormap'), 'foo'), 'string set');
kx_assert(strcmp(kalsettings(0, 0){9, 2}, 'grey'), 'defaults never change');

% Long strings: clipped at 4095 characters with a warning.
lastwarn('');
kalsettings(1, 'ImageFilePath', repmat('p', 1, 4095));
kx_assert(isempty(lastwarn()), 'no warning for 4095 characters');
kx_assert(isequal(kalsettings(0, 'ImageFilePath'), repmat('p', 1, 4095)), '4095 stored whole');
kalsettings(1, 'ImageFilePath', repmat('q', 1, 5000));
kx_assert(kalsettings_clipped(), 'clipping warning');
kx_assert(isequal(kalsettings(0, 'ImageFilePath'), repmat('q', 1, 4095)), '5000 clipped');

% Messages, the name written as in the list; pairs before a failure stay.
kx_assert_error(@() kalsettings(1, 'debugmode', 'yes'), ...
                'Expected either ''on'' or ''off'' for preference ''DebugMode''.');
kalsettings(1, 'DebugMode', 'off');
kx_assert_error(@() kalsettings(1, 'DebugMode', 'on', 'gamma', 5), ...
                'Expected an array of length 3 for preference ''Gamma''.');
kx_assert(strcmp(kalsettings(0, 'DebugMode'), 'on'), 'pair before the failure stays set');
kx_assert_error(@() kalsettings(1, 'Gamma', sparse([1 0 3])), ...
                'Expected an array of length 3 for preference ''Gamma''.');
kx_assert_error(@() kalsettings(1, 'GammaGrey', 'x'), ...
                'Expected a scalar value for preference ''GammaGrey''.');
kx_assert_error(@() kalsettings(1, 'CommandFilePath', 3), ...
                'Expected a string value for preference ''CommandFilePath''.');
kx_assert_error(@() kalsettings(1, 'ComputationLimit', -2147483647.5), ...
                'Overflow in double to int conversion.');
kx_assert_error(@() kalsettings(0, repmat('a', 1, 300)), 'Unknown preference name.', 1);
kx_assert_error(@() kalsettings(1, 2, 1), 'Preference name must be a string.');
kx_assert_error(@() kalsettings(0, {}), 'Preference name must be a string.', 1);
kx_assert_error(@() kalsettings(0, 'DebugMode', 3), 'Wrong number of input arguments.', 1);
kx_assert_error(@() kalsettings(), 'Wrong number of input arguments.');
for mode = {5, 'x', [0 1], NaN, int32(1)}
  kx_assert_error(@() kalsettings(mode{1}), 'Undefined MODE.');
end
kalsettings(1.9, 'DebugMode', 'off');
kx_assert(strcmp(kalsettings(-0.5, 'DebugMode'), 'off'), 'MODE 1.9 sets, -0.5 reads');

% Every error carries the identifier kalmex:kalsettings:REASON.
cases = {@() kalsettings(), 'wrongInputCount'; @() kalsettings(0, 'DebugMode', 3), 'wrongInputCount';
         @() kalsettings(5), 'undefinedMode'; @() kalsettings(1, 2, 1), 'nameNotText';
         @() kalsettings(0, 'NoSuchThing'), 'unknownName';
         @() kalsettings(1, 'GammaGrey', 'x'), 'notScalar';
         @() kalsettings(1, 'ComputationLimit', 3e9), 'integerOverflow';
         @() kalsettings(1, 'DebugMode', 'yes'), 'notOnOff';
         @() kalsettings(1, 'CommandFilePath', 3), 'valueNotText';
         @() kalsettings(1, 'Gamma', 5), 'notTriple'; @() kalsettings(3, 1, 1), 'variableNotText';
         @() kalsettings(3, 'img', 1.5), 'invalidHandle'};
for k = 1:rows(cases)
  got = kalsettings_error_id(cases{k, 1});
  kx_assert(strcmp(got, ['kalmex:kalsettings:' cases{k, 2}]), 'identifier %s: got %s', cases{k, 2}, got);
end
kalsettings(1, 'DebugMode', 'off');

% BoundaryCondition and Truncation go through the toolbox functions.
kalsettings(1, 'BoundaryCondition', 'periodic', 'truncation', 4.5);
kx_assert(strcmp(kalsettings(0, 'boundarycondition'), 'periodic'), 'boundary read back');
kx_assert(isequal(kal_getboundary(2), {'periodic', 'periodic'}), 'kal_getboundary(2)');
kx_assert(kalsettings(0, 'Truncation') == 4.5 && kal_gettruncation() == 4.5, 'truncation');
kx_assert(strcmp(kalsettings(0, 0){1, 2}, 'periodic'), 'the default table asks the toolbox too');
kx_assert_error(@() kalsettings(1, 'Truncation', '4'), ...
                'Expected a scalar value for preference ''Truncation''.');
kx_assert_error(@() kal_settruncation(-1), 'T must be a real, finite, positive number.');
kx_assert_error(@() kal_setboundary(''), 'BC must be a non-empty character row vector.');
kx_assert_error(@() kal_getboundary(1.5), 'N must be a non-negative whole number.', 1);
kal_setboundary();
kal_settruncation();
kx_assert(isequal(kal_getboundary(), {'mirror'}) && kal_gettruncation() == 3, 'reset to defaults');

% Figures for variables.
kx_assert(kalsettings(2, 'anything') == 0, 'nothing bound');
kalsettings(3, 'other', 5);
kalsettings(3, 'Other', int32(7));
kalsettings(3, 'OTHER', 9);
kalsettings(3, 'img', [3 4]);
got = [kalsettings(2, 'a'), kalsettings(2, 'img'), kalsettings(2, 'IMG'), ...
       kalsettings(2, 'other'), kalsettings(2, 'b')];
kx_assert(isequal(got, [5 3 7 9 5]), 'pool turn order');
for h = {1.5, '1', true, [], NaN}
  kx_assert_error(@() kalsettings(3, 'img', h{1}), 'Invalid figure handle.');
end
kx_assert_error(@() kalsettings(3, 1, 1), 'Variable names must be strings.');
kx_assert_error(@() kalsettings(2, {'a'}), 'Variable names must be strings.', 1);
lastwarn('');
kalsettings(3, [repmat('n', 1, 255) 'first'], 12);
kx_assert(kalsettings_clipped(), 'long name warning');
kx_assert(kalsettings(2, repmat('n', 1, 255)) == 12, 'long name bound under 255 characters');
kalsettings(4);
kx_assert(kalsettings(2, 'img') == 0 && kalsettings(2, 'a') == 0, 'MODE 4 forgets all');
for k = 1:256
  kalsettings(3, sprintf('v%d', k), k);
end
kx_assert_error(@() kalsettings(3, 'v257', 1), 'Variable name buffer full.');
kx_assert(strcmp(kalsettings_error_id(@() kalsettings(3, 'v257', 1)), 'kalmex:kalsettings:storeFull'), ...
          'identifier of a full store');
kalsettings(3, 'v17', 99);
kx_assert(kalsettings(2, 'v17') == 99, 'rebinding when full');
