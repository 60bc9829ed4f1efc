function files = manifest_files(file)
% The files the source manifest FILE lists (one a line, # for comment
% lines), as full paths, sorted.
  files = {};
  for line = strsplit(fileread(file), "\n")
    word = strtrim(line{1});
    if ~isempty(word) && word(1) ~= '#'
      files{end + 1} = fullfile(fileparts(file), word);
    end
  end
  files = sort(files);
end
