% build_mex compiles every module with Octave's own mex into a fresh folder,
% each from exactly the files of its source manifest; each result loads and
% answers a call, with the same results as the CMake build's bit for bit.
out = fullfile(pwd, 'built');
mkdir(out);
built = build_mex(out);
root = fileparts(fileparts(which('build_mex')));
lib = [manifest_files(fullfile(root, 'imagebridge', 'brx.sources')), ...
       manifest_files(fullfile(root, 'imagelib', 'kal.sources'))];
[names, folders, imagelib] = module_list(root);
kx_assert(numel(names) == rows(built), 'build_mex built %d modules for the %d of modules.txt', ...
          rows(built), numel(names));
for k = 1:numel(names)
  name = names{k};
  want = manifest_files(fullfile(root, folders{k}, [name '.sources']));
  if imagelib(k)
    want = sort([want, lib]);
  end
  row = find(strcmp(built(:, 1), name));
  kx_assert(numel(row) == 1, '%s: built %d times', name, numel(row));
  kx_assert(isequal(sort(built{row, 2}), want), '%s: not built from its manifest', name);
end
% The results of the CMake build, to be met bit for bit below: edge strengths
% with many ties, where the rounding of each interpolation decides which
% pixels stay (a fused multiply-add would keep others), and the criteria
% that work in floating point.
rand('twister', 5);
strength = floor(4 * rand(300));
gc = round(2000 * rand(300) - 1000) / 7;
gr = round(2000 * rand(300) - 1000) / 3;
thin_cmake = edgethin(strength, gc, gr);
[x, y] = meshgrid(1:96);
picture = uint8(100 + 40 * sin(x / 9) .* cos(y / 13) + 20 * rand(96));
criteria = {'range_mean', 'chi2_variance', 'scaled_variance'};
labels_cmake = cellfun(@(c) regionseg(picture, 'criterion', c, 'threshold', 6, 'noise_sigma', 5, ...
                                      'min_region_size', 4), criteria, 'UniformOutput', false);
% Only the freshly built files, not the CMake build, may answer below.
rmpath(fileparts(which('edgethin')));
addpath(out);
kx_assert(strcmp(fileparts(which('edgethin')), out), 'edgethin comes from the new build');
thin = edgethin([0 1 0; 0 3 0; 0 1 0], ones(3), zeros(3));
kx_assert(isequal(thin, [0 1 0; 0 3 0; 0 1 0]), 'edgethin answers');
kx_assert(isequal(edgethin(strength, gc, gr), thin_cmake), 'edgethin: not the CMake build''s pixels');
if exist(fullfile(out, ['kalsettings.' mexext]), 'file')
  kx_assert(isequal(kalsettings(0, 'Gamma'), [1 1 1]), 'kalsettings answers');
  kalsettings(999);
end
if exist(fullfile(out, ['tiffmend.' mexext]), 'file')
  kx_assert(isempty(evalc('tiffmend(''-q'', ''no-such-file.tif'')')), 'tiffmend answers');
end
if exist(fullfile(out, ['regionseg_core.' mexext]), 'file')
  labels = regionseg_core(int32(7 * ones(4)), 2, 2, 0, 0, 1, 0, 1, 10, 0, 0, 1, 0, 0, 0);
  kx_assert(isequal(labels, zeros(4, 'int32')), 'regionseg_core answers');
  for k = 1:numel(criteria)
    labels = regionseg(picture, 'criterion', criteria{k}, 'threshold', 6, 'noise_sigma', 5, ...
                       'min_region_size', 4);
    kx_assert(isequal(labels, labels_cmake{k}), '%s: not the CMake build''s labels', criteria{k});
  end
end
if exist(fullfile(out, ['regionseg_front.' mexext]), 'file')
  kx_assert(isequal(regionseg_front(uint8(magic(4)), 'threshold', 100), ones(4, 'int32')), ...
            'regionseg_front answers');
end
if exist(fullfile(out, ['kal_troughfind.' mexext]), 'file')
  kx_assert(isequal(kal_troughfind([3 1 2; 0 5 4], [], 1, 0), int32([1 0 0])), 'kal_troughfind answers');
  kx_assert(isequal(size(kal_peakfit(zeros(5), [], 'linear')), [0 2]), 'kal_peakfit answers');
  kx_assert(isequal(kal_turnvolume(magic(5), 0, 3, 'zoh', []), magic(5)), 'kal_turnvolume answers');
end
