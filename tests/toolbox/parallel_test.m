% The scale-out recipe of README.md: many images and volumes segmented at
% once with parcellfun (Octave's parallel package, Debian's octave-parallel)
% give the labels of one call after another, and kalsettings, the only
% module with state, is held by each worker for itself.
kx_assert(~isempty(pkg('list', 'parallel')), ...
          'the parallel package is not installed (tools/setup.sh test installs octave-parallel)');
pkg load parallel

rand('seed', 5);
images = cell(1, 7);
for k = 1:6
  [x, y] = ndgrid(1:40 + 3 * k, 1:50);
  images{k} = uint8(60 + 90 * ((x - 20) .^ 2 + (y - 10 - 4 * k) .^ 2 < 120) + 8 * rand(size(x)));
end
images{7} = uint8(100 * (rand(16, 16, 8) > 0.5) + 20 * rand(16, 16, 8)); % a volume
segment = @(im) regionseg(im, 'threshold', 12, 'min_region_size', 4);
evalc('one_by_one = cellfun(segment, images, ''UniformOutput'', false);');
evalc('at_once = parcellfun(2, segment, images, ''UniformOutput'', false, ''VerboseLevel'', 0);');
for k = 1:numel(images)
  kx_assert(isequal(at_once{k}, one_by_one{k}), 'image %d: other labels in a worker', k);
end

% Each worker keeps the settings it makes to itself: it reads back what it
% set, a second job in the same worker may see it, and the session's value
% stays.  (Whether a worker starts from the session's value or from the
% defaults is the parallel package's affair: workers set what they need.)
old = kalsettings(0, 'GammaGrey');
kalsettings(1, 'GammaGrey', 2);
seen = parcellfun(2, @kx_settings_in_worker, {3, 4, 5}, 'UniformOutput', false, 'VerboseLevel', 0);
seen = cat(1, seen{:});
kx_assert(isequal(seen(:, 2)', [3 4 5]) && all(ismember(seen(:, 1), [1 2 3 4 5])), ...
          'what the workers saw: %s', mat2str(seen));
kx_assert(kalsettings(0, 'GammaGrey') == 2, 'a worker changed the session''s settings');
kalsettings(1, 'GammaGrey', old);
printf('%d images segmented in two workers\n', numel(images));
