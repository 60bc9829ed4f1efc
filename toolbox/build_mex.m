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
% Module name, its sources, and extra flags.  Keep in step with the
% CMakeLists.txt of each module folder.
  src = @(dir, names) cellfun(@(n) fullfile(root, dir, n), names, 'UniformOutput', false);
  modules = {
    'edgethin', src('edgethin', {'edgethin.cpp', 'nms.cpp'}), {}
    'kalsettings', src('kalsettings', {'kalsettings.cpp', 'preferences.cpp', 'figurenames.cpp'}), {}
  };
  present = cellfun(@(s) all(cellfun(@(f) exist(f, 'file') == 2, s)), modules(:, 2));
  modules = modules(present, :);
end
