function build_mex(outdir)
% BUILD_MEX  Compile every kalmex module with the host's own mex command.
%
%   build_mex          builds into the folder of this file
%   build_mex(OUTDIR)  builds into OUTDIR
%
% For users who have MATLAB or Octave but not CMake.  Run it from any
% folder; it finds the sources next to this toolbox folder.  In Octave the
% result is the same as the CMake build's octave/ folder.  The wrappers
% kal_peakfit, kal_turnvolume and kal_troughfind also need the image library
% (imagelib/): it is built first as part of the same call.
  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1
    outdir = here;
  end
  inc = {['-I' fullfile(root, 'host')]};
  util = fullfile(root, 'host', 'mexutil.cpp');
  modules = kalmex_module_sources(root);
  for k = 1:size(modules, 1)
    name = modules{k, 1};
    srcs = modules{k, 2};
    extra = modules{k, 3};
    fprintf('building %s\n', name);
    mex('-output', fullfile(outdir, name), inc{:}, extra{:}, srcs{:}, util);
  end
end

function modules = kalmex_module_sources(root)
% Module name, its sources and extra flags, read from the kal_add_module
% calls of each module folder's CMakeLists.txt, so the two builds cannot
% drift apart.
  modules = cell(0, 3);
  for folder = {'edgethin', 'regionseg_core', 'kalsettings', 'tiffmend', 'wrappers'}
    file = fullfile(root, folder{1}, 'CMakeLists.txt');
    if exist(file, 'file') ~= 2
      continue;
    end
    text = fileread(file);
    text = regexprep(text, '#[^\n]*', '');
    calls = regexp(text, 'kal_add_module\s*\(([^)]*)\)', 'tokens');
    for k = 1:numel(calls)
      words = strsplit(strtrim(calls{k}{1}));
      words = words(~cellfun(@isempty, words));
      name = words{1};
      if strcmp(name, '${module}')
        continue; % the wrappers, below
      end
      srcs = {};
      extra = {};
      mode = '';
      for w = words(2:end)
        word = w{1};
        if any(strcmp(word, {'SOURCES', 'EMBEDDED_LIBS', 'OCTAVE_LIBS'}))
          mode = word;
        elseif strcmp(mode, 'SOURCES')
          srcs{end + 1} = fullfile(root, folder{1}, word);
        end
      end
      modules(end + 1, :) = {name, srcs, [extra, {['-I' fullfile(root, folder{1})]}]};
    end
  end
  % The wrappers: here the image library is compiled into each module file
  % instead of being shared beside them.
  lib = fullfile(root, 'imagelib');
  if exist(fullfile(root, 'wrappers', 'CMakeLists.txt'), 'file') == 2
    libsrcs = cellfun(@(n) fullfile(lib, n), {'brx.cpp', 'kal_core.cpp', 'kal_spline.cpp', ...
                      'kal_maxima.cpp', 'kal_turn.cpp', 'kal_trough.cpp'}, 'UniformOutput', false);
    for name = {'kal_peakfit', 'kal_turnvolume', 'kal_troughfind'}
      modules(end + 1, :) = {name{1}, [{fullfile(root, 'wrappers', [name{1} '.cpp'])}, libsrcs], ...
                             {['-I' lib], ['-I' fullfile(root, 'wrappers')]}};
    end
  end
end
