% Installs the package into kx_prefix, loads it and calls every module in it
% once, from the installed files only.  Set by pkg_test.sh: kx_prefix,
% kx_tarball, kx_modules (the modules the package was made with).
check = @(ok, varargin) assert(all(ok(:)), varargin{:});

% Both package lists go to the temporary folder: as root, pkg installs into
% the global list unless that is redirected too.  The lists in force before
% (the system's and the user's) are read now and again at the end.
system_lists = {pkg('global_list'), pkg('local_list')};
before = cell(size(system_lists));
for k = 1:numel(system_lists)
  if exist(system_lists{k}, 'file'), before{k} = fileread(system_lists{k}); end
end
mkdir(kx_prefix);
pkg('prefix', fullfile(kx_prefix, 'share'), fullfile(kx_prefix, 'arch'));
pkg('local_list', fullfile(kx_prefix, 'octave_packages'));
pkg('global_list', fullfile(kx_prefix, 'octave_packages_global'));
pkg('install', kx_tarball);
pkg('load', 'kalmex');
installed = pkg('list', 'kalmex');
check(numel(installed) == 1 && installed{1}.loaded, 'kalmex is not loaded');

inside = @(name) strncmp(which(name), kx_prefix, numel(kx_prefix));
for k = 1:numel(kx_modules)
  name = kx_modules{k};
  check(exist(name) == 3 && inside(name), '%s: not a module of the installed package', name);
  text = evalc(sprintf('help %s', name));
  check(~isempty(strfind(text, upper(name))) && ~isempty(strfind(text, 'EXAMPLE:')), ...
        '%s: help does not work', name);
end
check(inside('regionseg'), 'regionseg is not in the package');

% Every function of the package answers help and passes its own tests
% (test NAME), from the installed files.
functions = dir(fullfile(installed{1}.dir, '*.m'));
functions = [kx_modules, setdiff(regexprep({functions.name}, '\.m$', ''), {'build_mex'})];
for k = 1:numel(functions)
  name = functions{k};
  check(inside(name), '%s: not from the installed package', name);
  check(~isempty(strfind(evalc(sprintf('help %s', name)), upper(name))), '%s: help', name);
  [passed, total] = test(name, 'quiet', stdout);
  check(total > 0 && passed == total, '%s: %d of %d tests passed', name, passed, total);
end
if any(strcmp(kx_modules, 'kalsettings'))
  check(inside('kal_getboundary') && inside('kal_settruncation'), 'the functions kalsettings calls');
end

% One call of each module.
calls = struct();
calls.regionseg_core = @() check(isequal(regionseg_core(int32([0 0; 200 200]), 1, 1, 0, 0, 1, 0, ...
                                                   1, 10, 0, 0, 1, 0, 0, 0), int32([1 1; 0 0])) ...
                                 || isequal(regionseg_core(int32([0 0; 200 200]), 1, 1, 0, 0, 1, ...
                                                   0, 1, 10, 0, 0, 1, 0, 0, 0), int32([0 0; 1 1])), ...
                                 'regionseg_core: two regions');
calls.regionseg_front = @() check(isequal(regionseg_front(uint8([0 0 0 200 200])), ...
                                          int32([1 1 1 2 2])), 'regionseg_front');
calls.edgethin = @() check(isequal(edgethin(ones(3), ones(3), zeros(3)), zeros(3)), 'edgethin');
calls.kalsettings = @() check(strcmp(kalsettings(0, 'DefaultColorMap'), 'grey'), 'kalsettings');
missing = sprintf('tiffmend(''%s'')', fullfile(kx_prefix, 'none.tif'));
calls.tiffmend = @() check(~isempty(strfind(evalc(missing), 'Problem opening file')), 'tiffmend');
[x, y] = ndgrid(0:10, 0:10);
peak = exp(-((x - 4.25) .^ 2 + (y - 6.5) .^ 2) / 4);
calls.kal_peakfit = @() check(max(abs(kal_peakfit(peak, [], 'gaussian') - [4.25 6.5])) < 0.01, ...
                              'kal_peakfit');
calls.kal_turnvolume = @() check(isequal(kal_turnvolume(magic(5), 0, 3, 'zoh', []), magic(5)), ...
                                 'kal_turnvolume');
calls.kal_troughfind = @() check(isequal(kal_troughfind([3 1 2; 0 5 0], [], 2, 0), int32([1; 0])), ...
                                 'kal_troughfind');
for k = 1:numel(kx_modules)
  calls.(kx_modules{k})();
end
if any(strcmp(kx_modules, 'regionseg_front'))
  check(isequal(regionseg(uint8([0 0 0 200 200])), [1 1 1 2 2]), 'regionseg');
end
if any(strcmp(kx_modules, 'kalsettings'))
  kalsettings(999);
end
pkg('unload', 'kalmex');
check(exist('regionseg') == 0, 'unloaded');
% On a machine where other processes install packages meanwhile, a list may
% change under us: that is only a failure when the change names our prefix.
for k = 1:numel(system_lists)
  after = [];
  if exist(system_lists{k}, 'file'), after = fileread(system_lists{k}); end
  if ~isequal(before{k}, after)
    check(isempty(strfind(after, kx_prefix)), 'the package list %s names %s', system_lists{k}, ...
          kx_prefix);
    printf('note: %s was changed meanwhile, not by this test\n', system_lists{k});
  end
end
printf('package kalmex: %s installed, loaded and called\n', strjoin(kx_modules, ', '));
