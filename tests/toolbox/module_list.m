function [names, folders, imagelib] = module_list(root)
% The modules of ROOT/modules.txt (NAME FOLDER [imagelib] a line, # for
% comment lines), in its order: their names, their folders, and whether
% each links the image library.
  names = {};
  folders = {};
  imagelib = false(1, 0);
  for line = strsplit(fileread(fullfile(root, 'modules.txt')), "\n")
    words = regexp(strtrim(line{1}), '\s+', 'split');
    if ~isempty(words{1}) && words{1}(1) ~= '#'
      names{end + 1} = words{1};
      folders{end + 1} = words{2};
      imagelib(end + 1) = numel(words) > 2 && strcmp(words{3}, 'imagelib');
    end
  end
end
