function varargout = build_mex(outdir)
% BUILD_MEX  Compile every kalmex module with the host's own mex command.
%
%   build_mex          builds into the folder of this file
%   build_mex(OUTDIR)  builds into OUTDIR
%   BUILT = build_mex(...)  also gives the modules built: one row each, the
%                      name and the sources compiled into it
%
% For users who have MATLAB or Octave but not CMake.  Run it from any
% folder; it finds the sources next to this toolbox folder.  In Octave the
% result is the same as the CMake build's octave/ folder.  The wrappers
% kal_peakfit, kal_turnvolume and kal_troughfind also need the image library
% (imagelib/) and its bridge (imagebridge/): they are built first as part of
% the same call.
  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1
    outdir = here;
  end
  inc = {['-I' fullfile(root, 'host')], ['-I' fullfile(root, 'common')]};
  util = {fullfile(root, 'host', 'mexutil.cpp'), fullfile(root, 'common', 'machine.cpp')};
  % The rules of every build: C++17, and every floating-point step rounded
  % as written (common/fpcontract.h refuses a GCC build without them).
  % MATLAB's mex takes compiler flags as variables: CXXFLAGS for GCC and
  % clang, COMPFLAGS for MSVC (which takes the rounding from a pragma).
  % MATLAB answers a module's question whether Ctrl-C is pending from its
  % libut (utIsInterruptPending); Octave's interrupt state needs no library.
  if exist('OCTAVE_VERSION', 'builtin')
    flags = {'-std=c++17', '-ffp-contract=off'};
  else
    flags = {'CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off', 'COMPFLAGS=$COMPFLAGS /std:c++17', ...
             '-lut'};
  end
  flags{end + 1} = '-DKALMEX_FP_CONTRACT_OFF';
  modules = kalmex_module_sources(root);
  for k = 1:size(modules, 1)
    name = modules{k, 1};
    srcs = modules{k, 2};
    extra = modules{k, 3};
    fprintf('building %s\n', name);
    mex('-output', fullfile(outdir, name), flags{:}, inc{:}, extra{:}, srcs{:}, util{:});
  end
  if nargout > 0
    varargout{1} = modules(:, 1:2);
  end
end

function modules = kalmex_module_sources(root)
% Module name, its sources and include flags, for every module of
% modules.txt (NAME FOLDER [imagelib] a line), the list the CMake build
% reads.  The sources are those of the module's manifest FOLDER/NAME.sources;
% a module without its manifest is not in the tree and is passed over.  A
% module marked imagelib gets the image library compiled into its file
% instead of shared beside it.
  modules = cell(0, 3);
  lib = fullfile(root, 'imagelib');
  bridge = fullfile(root, 'imagebridge');
  for line = regexp(fileread(fullfile(root, 'modules.txt')), '\r?\n', 'split')
    m = regexp(strtrim(line{1}), '\s+', 'split');
    if isempty(m{1}) || m{1}(1) == '#'
      continue;
    end
    folder = fullfile(root, m{2});
    srcs = manifest_sources(folder, m{1});
    if isempty(srcs)
      continue;
    end
    inc = {['-I' folder]};
    if numel(m) > 2 && strcmp(m{3}, 'imagelib')
      brx = manifest_sources(bridge, 'brx');
      kal = manifest_sources(lib, 'kal');
      if isempty(brx) || isempty(kal)
        continue;
      end
      srcs = [srcs, brx, kal];
      inc = [{['-I' lib], ['-I' bridge]}, inc];
    end
    modules(end + 1, :) = {m{1}, srcs, inc};
  end
end

function srcs = manifest_sources(folder, name)
% The files FOLDER/NAME.sources lists, one a line (# starts a comment line,
% @OTHER.sources stands for the files that manifest lists), as full paths;
% none when there is no such manifest.
  srcs = {};
  file = fullfile(folder, [name '.sources']);
  if exist(file, 'file') ~= 2
    return;
  end
  for line = regexp(fileread(file), '\r?\n', 'split')
    word = strtrim(line{1});
    if isempty(word) || word(1) == '#'
      continue;
    elseif word(1) == '@'
      [other_folder, other] = fileparts(fullfile(folder, word(2:end)));
      srcs = [srcs, manifest_sources(other_folder, other)];
    else
      srcs{end + 1} = fullfile(folder, word);
    end
  end
end
