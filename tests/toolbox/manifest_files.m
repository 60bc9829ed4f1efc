function files = manifest_files(file)
% The files the source manifest FILE lists (one a line, # for comment
% lines, @OTHER.sources for the files of that manifest), as full paths,
% sorted.
  files = {};
  for line = strsplit(fileread(file), "\n")
    word = strtrim(line{1});
    if ~isempty(word) && word(1) == '@'
      files = [files, manifest_files(fullfile(fileparts(file), word(2:end)))];
    elseif ~isempty(word) && word(1) ~= '#'
      files{end + 1} = fullfile(fileparts(file), word);
    end
  end
  files = sort(files);
end
