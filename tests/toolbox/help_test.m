% Every module answers help from its help-only file in toolbox/, and the
% example of that help runs against the built module.
toolbox = fileparts(which('regionseg'));
modules = module_list(fileparts(toolbox));
kx_assert(numel(modules) >= 8, 'modules.txt lists %d modules', numel(modules));
for k = 1:numel(modules)
  name = modules{k};
  file = fullfile(toolbox, [name '.m']);
  kx_assert(exist(file, 'file') == 2, '%s: no help file', name);

  % Only comments: the file must never run in place of the module.
  lines = strsplit(fileread(file), "\n");
  code = lines(~cellfun(@isempty, regexp(lines, '^\s*[^%\s]', 'once')));
  kx_assert(isempty(code), '%s: the help file holds code: %s', name, strjoin(code, ' | '));

  text = get_help_text_from_file(file);
  kx_assert(strncmp(strtrim(text), upper(name), numel(name)), '%s: first line names it', name);
  for section = {'SYNOPSIS:', 'PARAMETERS:', 'MESSAGES:', 'EXAMPLE:'}
    kx_assert(~isempty(strfind(text, section{1})), '%s: no %s section', name, section{1});
  end

  % The example: the lines between EXAMPLE: and the next section.
  example = regexp(text, 'EXAMPLE:\s*\n(.*?)(\n\s*\n|\n\s*[A-Z ]+:|$)', 'tokens', 'once');
  kx_assert(~isempty(example) && ~isempty(strtrim(example{1})), '%s: empty example', name);
  if exist(name) == 3
    try
      evalc(example{1});
    catch err
      error('kx:fail', '%s: the example fails: %s', name, err.message);
    end
  else
    printf('%s is not built: its example was not run\n', name);
  end
end

% The front end has its help and example too.
text = get_help_text('regionseg');
kx_assert(~isempty(strfind(text, 'EXAMPLE:')) && ~isempty(strfind(text, 'scaled_variance')), ...
          'regionseg help');

% The examples of the other toolbox functions run as written as well.
files = dir(fullfile(toolbox, '*.m'));
others = setdiff(regexprep({files.name}, '\.m$', ''), [modules, {'build_mex'}]);
ran = 0;
for k = 1:numel(others)
  text = get_help_text_from_file(fullfile(toolbox, [others{k} '.m']));
  example = regexp(text, 'EXAMPLE:\s*\n(.*?)(\n\s*\n|\n\s*[A-Z ]+:|$)', 'tokens', 'once');
  if ~isempty(example)
    try
      evalc(example{1});
    catch err
      error('kx:fail', '%s: the example fails: %s', others{k}, err.message);
    end
    ran = ran + 1;
  end
end
kx_assert(ran >= 1, 'no example of the toolbox functions was found');
