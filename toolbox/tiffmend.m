%TIFFMEND   Repair palette-colour TIFF files in place (PhotometricInterpretation 3 to 2)
%
% SYNOPSIS:
%  tiffmend(file, ...)
%  tiffmend('-q', file, ...)
%  tiffmend('-v', file, ...)
%
%  Every image file directory of every named TIFF file is read, and each
%  PhotometricInterpretation entry that holds 3 (palette colour) is rewritten
%  to hold 2 (RGB).  Nothing else in the file changes: only the 4-byte value
%  fields of those entries are written, in the file's own byte order.  A
%  directory chain that loops back on itself is stopped and the file is
%  reported as a problem.
%
% PARAMETERS:
%  file:    character array, the name of a TIFF file, used exactly as written
%           (relative names are relative to the current folder); at most 1023
%           characters are used.  Any number of names may follow one another.
%  options: a character array starting with '-': each following 'q' or 'Q'
%           turns on quiet (no per-file report), each 'v' or 'V' verbose (the
%           reason for every problem); other characters are ignored.  Options
%           apply to the files named after them; once quiet is on, verbose
%           stays off for the rest of the call.  '-qv' is quiet.
%  An input that is not text is skipped (under verbose with a message).
%  There are no outputs.
%
% MESSAGES:
%  "Expected at least one input file name."   (no inputs; the only error,
%                                   identifier kalmex:tiffmend:noInput)
%  Per file, unless quiet:
%  "Fixed the file NAME"            at least one value was rewritten
%  "Nothing to fix in NAME"         a TIFF file with no palette entries
%  "Problem opening file NAME"      missing, or not writable
%  "Problem reading the file NAME"  not a TIFF file, cut short, or a loop
%  With '-v' also the reason, for instance "Could not read header.",
%  "Not a TIFF file, bad magic number ...", "Not a TIFF file, bad version
%  number ...", "Could not read directory count.", "Could only read ... of
%  ... entries in directory at offset ...", "Loop in TIFF directory chain
%  at offset ...", "Seek error accessing TIFF tag for writing." and "Could
%  not write new PhotometricInterpretation value.".
%
% EXAMPLE:
%  name = [tempname() '.tif'];
%  fid = fopen(name, 'w');  fwrite(fid, uint8('II*'));  fclose(fid);
%  tiffmend('-v', name)
%  delete(name)

%!test
%! % A palette TIFF is mended once; the second time there is nothing to do.
%! name = [tempname() '.tif'];
%! imwrite(uint8(magic(8) > 32), [0 0 0; 1 1 1], name);
%! unwind_protect
%!   assert(strtrim(evalc('tiffmend(name)')), ['Fixed the file ' name]);
%!   assert(strtrim(evalc('tiffmend(name)')), ['Nothing to fix in ' name]);
%!   assert(evalc('tiffmend(''-q'', name)'), '');
%! unwind_protect_cleanup
%!   delete(name);
%! end_unwind_protect
%!error id=kalmex:tiffmend:noInput tiffmend()

%!demo
%! % A palette picture written as TIFF, then mended: its photometric
%! % interpretation becomes RGB, and tiffmend says so.
%! [x, y] = meshgrid(1:64);
%! ind = uint8(mod(floor(x / 16) + floor(y / 16), 4));
%! map = [0.1 0.1 0.1; 0.9 0.2 0.2; 0.2 0.8 0.2; 0.2 0.3 0.9];
%! name = [tempname() '.tif'];
%! imwrite(ind, map, name);
%! report = strtrim(evalc('tiffmend(''-v'', name)'));
%! delete(name);
%! figure(); image(double(ind) + 1); colormap(map); axis image off;
%! title(strrep(report, tempdir(), ''), 'interpreter', 'none');
