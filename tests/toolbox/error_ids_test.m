% Every error of the modules and of the toolbox functions carries an
% identifier kalmex:MODULE:reason and keeps its text, so that callers can
% catch it by identifier.  One row per identifier; the sources are searched
% for identifiers and for errors without one, so a new error without a row
% here fails.  Rows of regionseg_core, kalsettings and regionseg come with
% their own identifiers.
a = ones(3);
g = exp(-((1:9)' - 5) .^ 2 / 4) * exp(-((1:9) - 5) .^ 2 / 4);
v = rand(4, 4, 4);
p15 = {2, 2, 0, 0, 1, 0, 1, 10, 0, 1, 2, 1, 0, 0}; % regionseg_core's parameters
%  identifier, call, outputs, text
cases = {
  'kalmex:edgethin:inputCount', @() edgethin(a, a), 1, ...
      'non-maximum suppression: Three input images required.'
  'kalmex:edgethin:outputCount', @() edgethin(a, a, a), 0, ...
      'non-maximum suppression: One output image required.'
  'kalmex:edgethin:notReal', @() edgethin(a, complex(a, a), a), 1, ...
      'non-maximum suppression: Only double input data supported.'
  'kalmex:edgethin:sparse', @() edgethin(sparse(a), a, a), 1, ...
      'non-maximum suppression: Sparse input is not supported.'
  'kalmex:edgethin:not2D', @() edgethin(ones(3, 3, 2), a, a), 1, ...
      'non-maximum suppression: Only 2D images are supported.'
  'kalmex:edgethin:sizeMismatch', @() edgethin(a, ones(3, 4), a), 1, ...
      'non-maximum suppression: Images have different dimensions.'
  'kalmex:tiffmend:noInput', @() tiffmend(), 0, 'Expected at least one input file name.'
  'kalmex:kal_peakfit:inputCount', @() kal_peakfit(g, []), 1, 'Wrong number of input arguments.'
  'kalmex:kal_peakfit:outputCount', @() kal_peakfit(g, [], []), 2, 'Wrong number of output arguments.'
  'kalmex:kal_peakfit:notString', @() kal_peakfit(g, [], 3), 1, 'Argument 3 should be a string.'
  'kalmex:kal_peakfit:unknownWord', @() kal_peakfit(g, [], 'cubic'), 1, 'Argument 3 is invalid string.'
  'kalmex:kal_peakfit:notImage', @() kal_peakfit('text', [], []), 1, ...
      'Argument 1 (image): brx_mex2kal: Cannot make an image of a char array.'
  'kalmex:kal_peakfit:notImage', @() kal_peakfit(g, {1}, []), 1, ...
      'Argument 2 (mask): brx_mex2kal: Cannot make an image of a cell array.'
  'kalmex:kal_peakfit:library', @() kal_peakfit(g, true(2), []), 1, ...
      'kal_SubpixelMaxima: The mask and the image differ in size.'
  'kalmex:kal_turnvolume:inputCount', @() kal_turnvolume(v), 1, 'Wrong number of input arguments.'
  'kalmex:kal_turnvolume:notRealScalar', @() kal_turnvolume(v, 'a', 3, [], []), 1, ...
      'Argument 2 should be a real scalar.'
  'kalmex:kal_turnvolume:notInteger', @() kal_turnvolume(v, 0, 2.5, [], []), 1, ...
      'Argument 3 should be an integer scalar.'
  'kalmex:kal_turnvolume:unknownWord', @() kal_turnvolume(v, 0, 3, 'cubic', []), 1, ...
      'Argument 4 is invalid string.'
  'kalmex:kal_turnvolume:notImage', @() kal_turnvolume({1}, 0, 3, [], []), 1, ...
      'Argument 1 (image): brx_mex2kal: Cannot make an image of a cell array.'
  'kalmex:kal_troughfind:outputCount', @() kal_troughfind(a, [], 1, 0), 2, ...
      'Wrong number of output arguments.'
  'kalmex:kal_troughfind:notBoolean', @() kal_troughfind(a, [], 1, 0.5), 1, ...
      'Argument 4 should be a boolean.'
  'kalmex:kal_troughfind:notImage', @() kal_troughfind(a, struct(), 1, 0), 1, ...
      'Argument 2 (mask): brx_mex2kal: Cannot make an image of a struct array.'
  'kalmex:kal_troughfind:library', @() kal_troughfind(a, true(2), 1, 0), 1, ...
      'kal_TroughFind: The mask and the image differ in size.'
  'kalmex:kal_getboundary:invalidInput', @() kal_getboundary(-1), 1, ...
      'N must be a non-negative whole number.'
  'kalmex:kal_setboundary:invalidInput', @() kal_setboundary(''), 0, ...
      'BC must be a non-empty character row vector.'
  'kalmex:kal_settruncation:invalidInput', @() kal_settruncation(0), 0, ...
      'T must be a real, finite, positive number.'
  'kalmex:regionseg_core:inputCount', @() regionseg_core(int32(a)), 1, ...
      'Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget.'
  'kalmex:regionseg_core:outputCount', @() regionseg_core(int32(a), p15{:}), 3, ...
      'At most two outputs: labels and snapshots.'
  'kalmex:regionseg_core:badImage', @() regionseg_core(a, p15{:}), 1, ...
      'Argument 1 (image) must be a real, full int32 array.'
  'kalmex:regionseg_core:badParameter', @() regionseg_core(int32(ones(4)), 2, 2, 5, p15{4:end}), 1, ...
      'Argument 4 (start_level) must be 0 to levels - 1.'
  'kalmex:regionseg:badImage', @() regionseg('text'), 1, ...
      'regionseg: the image must be a real numeric or logical array.'
  'kalmex:regionseg:badOption', @() regionseg(a, 'treshold', 3), 1, ...
      'regionseg: unknown option ''treshold''.'
  'kalmex:regionseg:outputCount', @() regionseg_front(a), 3, ...
      'regionseg: at most two outputs: labels and snapshots.'
  'kalmex:regionseg:imageTooLarge', @() regionseg(zeros(70000, 1, 'uint8')), 1, ...
      ['regionseg: the image of 70000 x 1 pixels is too large: it would pass the 65536 pixels a ', ...
       'side that regionseg_core can take.']
};

for k = 1:size(cases, 1)
  [id, f, nout, text] = cases{k, :};
  try
    out = cell(1, nout);
    [out{:}] = f();
    error('kx:fail', '%s: no error', id);
  catch err
    if strcmp(err.identifier, 'kx:fail'), rethrow(err); end
    % Octave puts "NAME: " before the text of a MEX error.
    name = strsplit(id, ':'){2};
    kx_assert(strcmp(err.identifier, id), 'expected %s, got "%s" (%s)', id, err.identifier, ...
              err.message);
    kx_assert(any(strcmp(err.message, {text, [name ': ' text]})), '%s: the text "%s"', id, ...
              err.message);
  end
end

% The sources: every identifier they hold has a row, and no module error is
% raised without one.  The wrappers build theirs from the reasons their
% frame is given (and notImage, library, outOfMemory, which the frame picks);
% the other modules make theirs as a status of the module and a reason.
root = fileparts(fileparts(which('regionseg')));
% The warnings (regionseg_test provokes them), and the errors of memory that
% runs short and of Ctrl-C, which no plain call here provokes (the embedded
% host's tests and regionseg_failures_octave_test raise them).
unprovoked = {'kalmex:regionseg_core:snapshotBudget', 'kalmex:regionseg:lowRange', ...
              'kalmex:regionseg_core:outOfMemory', 'kalmex:regionseg_core:interrupted'};
ids = cases(:, 1);
reasons = cellfun(@(id) strsplit(id, ':'){3}, ids, 'UniformOutput', false);
sources = [glob(fullfile(root, {'edgethin', 'tiffmend', 'wrappers', 'imagelib', 'imagebridge', ...
                               'regionseg_core', 'regionseg_front'}, '*.cpp'));
           glob(fullfile(root, {'wrappers', 'imagelib', 'imagebridge'}, '*.h'));
           glob(fullfile(root, 'toolbox', {'kal_*.m', 'regionseg.m'}))];
for k = 1:numel(sources)
  code = fileread(sources{k});
  kx_assert(isempty(regexp(code, 'mexErrMsgTxt\s*\(', 'once')), '%s: an error without identifier', ...
            sources{k});
  found = regexp(code, '''(kalmex:\w+:\w+)''|"(kalmex:\w+:\w+)"', 'tokens');
  for t = [found{:}]
    kx_assert(any(strcmp(ids, t{1})) || strncmp(t{1}, 'kalmex:brx:', 11) || ...
              any(strcmp(t{1}, unprovoked)), '%s: %s has no row', sources{k}, t{1});
  end
  given = regexp(code, 'frameFault\(f, KxReason::(\w+)', 'tokens');
  for t = [given{:}]
    kx_assert(any(strcmp(reasons, t{1})), '%s: the reason %s has no row', sources{k}, t{1});
  end
  % The errors made as a status of a named module.
  made = regexp(code, 'kxFailuref?\("(\w+)", KxReason::(\w+)', 'tokens');
  for t = made
    id = sprintf('kalmex:%s:%s', t{1}{1}, t{1}{2});
    kx_assert(any(strcmp(ids, id)), '%s: %s has no row', sources{k}, id);
  end
end
printf("%d identifiers checked\n", size(cases, 1));
