% "test NAME" and "demo NAME" for every function of the toolbox, as a user
% types them in octave-cli: every test block passes, and the one demo runs
% without failing and draws into a figure (kept invisible here).
set(0, 'defaultfigurevisible', 'off');
warning('off', 'Octave:gnuplot-graphics');
toolbox = fileparts(which('regionseg'));
files = dir(fullfile(toolbox, '*.m'));
names = setdiff(regexprep({files.name}, '\.m$', ''), {'build_mex'});
kx_assert(numel(names) >= 12, 'the toolbox functions: %s', strjoin(names, ' '));
for k = 1:numel(names)
  name = names{k};
  [passed, total] = test(name, 'quiet', stdout);
  kx_assert(total > 0 && passed == total, '%s: %d of %d tests passed', name, passed, total);

  [~, idx] = test(name, 'grabdemo');
  kx_assert(numel(idx) == 2, '%s: %d demos, one expected (demo NAME would wait between them)', ...
            name, numel(idx) - 1);
  close all;
  text = evalc(sprintf('demo %s', name));
  kx_assert(isempty(strfind(text, ': failed')), '%s: the demo failed: %s', name, text);
  drawn = findobj(get(0, 'children'), 'type', 'axes');
  kx_assert(~isempty(drawn) && ~isempty(get(drawn(1), 'children')), '%s: the demo drew nothing', name);
  close all;
end
printf('test and demo of %d toolbox functions\n', numel(names));
