% build_mex compiles every module with Octave's own mex into a fresh folder;
% each result loads and answers a call.
out = fullfile(pwd, 'built');
mkdir(out);
build_mex(out);
% Only the freshly built files, not the CMake build, may answer below.
rmpath(fileparts(which('edgethin')));
addpath(out);
kx_assert(strcmp(fileparts(which('edgethin')), out), 'edgethin comes from the new build');
thin = edgethin([0 1 0; 0 3 0; 0 1 0], ones(3), zeros(3));
kx_assert(isequal(thin, [0 1 0; 0 3 0; 0 1 0]), 'edgethin answers');
if exist(fullfile(out, ['kalsettings.' mexext]), 'file')
  kx_assert(isequal(kalsettings(0, 'Gamma'), [1 1 1]), 'kalsettings answers');
  kalsettings(999);
end
