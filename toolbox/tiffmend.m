%TIFFMEND   Repair TIFF files that declare palette colour over RGB samples, in place (3 to 2)
%
% SYNOPSIS:
%  tiffmend(file, ...)
%  tiffmend('-q', file, ...)
%  tiffmend('-v', file, ...)
%
%  Every image file directory of every named TIFF file is read, and in each
%  directory with more than one sample per pixel, every
%  PhotometricInterpretation entry that holds 3 (palette colour) is rewritten
%  to hold 2 (RGB).  A true palette image, one sample per pixel (also when
%  SamplesPerPixel is absent), keeps its palette colour: it reads as before.
%  Nothing else in the file changes: only the 4-byte value fields of those
%  entries are written, in the file's own byte order.  A directory chain that
%  loops back on itself is stopped and the file is reported as a problem.
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
%  "Nothing to fix in NAME"         a TIFF file with no palette entries to
%                                   rewrite (a true palette image among them)
%  "Problem opening file NAME"      missing, or not writable
%  "Problem reading the file NAME"  not a TIFF file, cut short, or a loop
%  With '-v' also the reason, for instance "Could not read header.",
%  "Not a TIFF file, bad magic number ...", "Not a TIFF file, bad version
%  number ...", "Could not read directory count.", "Could only read ... of
%  ... entries in directory at offset ...", "Loop in TIFF directory chain
%  at offset ...", "Seek error accessing TIFF tag for writing." and "Could
%  not write new PhotometricInterpretation value.".  A true palette image is
%  no failure, but '-v' says why it was left: "Kept PhotometricInterpretation
%  3 in directory at offset ...: palette image with one sample per pixel".
%
% EXAMPLE:
%  name = [tempname() '.tif'];
%  fid = fopen(name, 'w');  fwrite(fid, uint8('II*'));  fclose(fid);
%  tiffmend('-v', name)
%  delete(name)

%!function declare_palette(name)
%! % Rewrites the PhotometricInterpretation of the file's first directory to
%! % 3 (palette colour), whatever it holds.
%! fid = fopen(name, 'r');
%! order = fread(fid, 2, '*char')';
%! fclose(fid);
%! fid = fopen(name, 'r+', merge(strcmp(order, 'MM'), 'ieee-be', 'ieee-le'));
%! fseek(fid, 4, 'bof');
%! ifd = fread(fid, 1, 'uint32');
%! fseek(fid, ifd, 'bof');
%! for k = 0:fread(fid, 1, 'uint16') - 1
%!   fseek(fid, ifd + 2 + 12 * k, 'bof');
%!   if fread(fid, 1, 'uint16') == 262
%!     fseek(fid, ifd + 10 + 12 * k, 'bof');
%!     fwrite(fid, 3, 'uint16');
%!   end
%! end
%! fclose(fid);

%!test
%! % An RGB picture declared palette colour is mended once; the second time
%! % there is nothing to do.  A true palette picture is left as it is.
%! rgb = uint8(cat(3, magic(8), 4 * magic(8), 255 - magic(8)));
%! name = [tempname() '.tif'];
%! imwrite(rgb, name);
%! declare_palette(name);
%! indexed = [tempname() '.tif'];
%! map = [0 0 0; 1 0.5 0.25];
%! imwrite(uint8(magic(8) > 32), map, indexed);
%! [ind, inmap] = imread(indexed);
%! unwind_protect
%!   assert(strtrim(evalc('tiffmend(name)')), ['Fixed the file ' name]);
%!   assert(strtrim(evalc('tiffmend(name)')), ['Nothing to fix in ' name]);
%!   assert(evalc('tiffmend(''-q'', name)'), '');
%!   assert(imread(name), rgb);
%!   assert(strtrim(evalc('tiffmend(indexed)')), ['Nothing to fix in ' indexed]);
%!   [after, aftermap] = imread(indexed);
%!   assert(after, ind);
%!   assert(aftermap, inmap);
%! unwind_protect_cleanup
%!   delete(name);
%!   delete(indexed);
%! end_unwind_protect
%!error id=kalmex:tiffmend:noInput tiffmend()

%!demo
%! % A palette picture written as TIFF is a true palette image (one sample
%! % per pixel): tiffmend leaves it as it is and, with '-v', says why.
%! [x, y] = meshgrid(1:64);
%! ind = uint8(mod(floor(x / 16) + floor(y / 16), 4));
%! map = [0.1 0.1 0.1; 0.9 0.2 0.2; 0.2 0.8 0.2; 0.2 0.3 0.9];
%! name = [tempname() '.tif'];
%! imwrite(ind, map, name);
%! report = strtrim(evalc('tiffmend(''-v'', name)'));
%! delete(name);
%! figure(); image(double(ind) + 1); colormap(map); axis image off;
%! title(strrep(report, tempdir(), ''), 'interpreter', 'none');
