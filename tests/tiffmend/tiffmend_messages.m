% tiffmend in Octave: the per-file report and the reasons of failures as the
% command window shows them (captured with evalc), and the files' bytes.
1;

function write_bytes(name, bytes)
  fid = fopen(name, 'wb');
  fwrite(fid, bytes, 'uint8');
  fclose(fid);
end

function b = read_bytes(name)
  fid = fopen(name, 'rb');
  b = fread(fid, Inf, 'uint8')';
  fclose(fid);
end

% One directory at offset 8 with PhotometricInterpretation (its value field
% at bytes 19 to 22) and SamplesPerPixel (3 unless given).
function b = tiff_ii(value, samples = 3)
  b = [73 73 42 0 8 0 0 0, 2 0, 6 1 3 0 1 0 0 0 value 0 0 0, 21 1 3 0 1 0 0 0 samples 0 0 0, 0 0 0 0];
end

function b = tiff_mm(value)
  b = [77 77 0 42 0 0 0 8, 0 2, 1 6 0 3 0 0 0 1 0 value 0 0, 1 21 0 3 0 0 0 1 0 3 0 0, 0 0 0 0];
end

function expect_text(command, expected)
  out = evalc(command);
  kx_assert(strcmp(out, expected), '%s printed "%s", expected "%s"', command, out, expected);
end

% run() works in the script's own folder: the files go to a fresh one.
work = tempname();
mkdir(work);
home = cd(work);
unwind_protect
  % The report of each outcome, and the value fields rewritten.
  write_bytes('ii.tif', tiff_ii(3));
  expect_text('tiffmend(''ii.tif'')', "Fixed the file ii.tif\n");
  kx_assert(isequal(read_bytes('ii.tif'), tiff_ii(2)), 'II value field');
  write_bytes('mm.tif', tiff_mm(3));
  expect_text('tiffmend(''mm.tif'')', "Fixed the file mm.tif\n");
  kx_assert(isequal(read_bytes('mm.tif'), tiff_mm(2)), 'MM value field');
  ff = tiff_ii(3);
  ff(21:22) = [255 255];
  write_bytes('ff.tif', ff);
  expect_text('tiffmend(''ff.tif'')', "Fixed the file ff.tif\n");
  kx_assert(isequal(read_bytes('ff.tif'), tiff_ii(2)), '03 00 FF FF becomes 02 00 00 00');
  for v = 0:2
    write_bytes('v.tif', tiff_mm(v));
    expect_text('tiffmend(''v.tif'')', "Nothing to fix in v.tif\n");
    kx_assert(isequal(read_bytes('v.tif'), tiff_mm(v)), 'value %d left alone', v);
  end
  % A true palette image (one sample per pixel) keeps its palette colour.
  write_bytes('indexed.tif', tiff_ii(3, 1));
  expect_text('tiffmend(''indexed.tif'')', "Nothing to fix in indexed.tif\n");
  expect_text('tiffmend(''-v'', ''indexed.tif'')', ...
              ["Kept PhotometricInterpretation 3 in directory at offset 0x8: " ...
               "palette image with one sample per pixel\nNothing to fix in indexed.tif\n"]);
  kx_assert(isequal(read_bytes('indexed.tif'), tiff_ii(3, 1)), 'true palette left alone');

  % The reasons of failures under '-v'.
  write_bytes('short.tif', [73 73 42 0 8]);
  expect_text('tiffmend(''-v'', ''short.tif'')', ...
              "Could not read header.\nProblem reading the file short.tif\n");
  write_bytes('gif.tif', [double('GIF89a') 1 0 1 0]);
  expect_text('tiffmend(''-v'', ''gif.tif'')', ...
              "Not a TIFF file, bad magic number 18759 (0x4947)\nProblem reading the file gif.tif\n");
  write_bytes('big.tif', [73 73 43 0 8 0 0 0]);
  expect_text('tiffmend(''-v'', ''big.tif'')', ...
              "Not a TIFF file, bad version number 43 (0x2b)\nProblem reading the file big.tif\n");
  write_bytes('far.tif', [77 77 0 42 0 0 1 0]);
  expect_text('tiffmend(''-v'', ''far.tif'')', ...
              "Could not read directory count.\nProblem reading the file far.tif\n");
  cut = tiff_ii(3);
  write_bytes('cut.tif', cut(1:30));
  expect_text('tiffmend(''-v'', ''cut.tif'')', ...
              ["Could only read 1 of 2 entries in directory at offset 0x8\n" ...
               "Problem reading the file cut.tif\n"]);
  write_bytes('nonext.tif', cut(1:end - 2));
  expect_text('tiffmend(''-v'', ''nonext.tif'')', ...
              "Could not read next directory offset.\nProblem reading the file nonext.tif\n");
  kx_assert(isequal(read_bytes('nonext.tif'), [tiff_ii(2)](1:end - 2)), 'cut file repaired as read');
  loop = tiff_ii(3);
  loop(35) = 8;
  write_bytes('loop.tif', loop);
  expect_text('tiffmend(''-v'', ''loop.tif'')', ...
              "Loop in TIFF directory chain at offset 0x8\nProblem reading the file loop.tif\n");
  expect_text('tiffmend(''-v'', ''missing.tif'')', "Problem opening file missing.tif\n");
  write_bytes('zero.tif', [73 73 42 0 0 0 0 0]);
  expect_text('tiffmend(''-v'', ''zero.tif'')', "Nothing to fix in zero.tif\n");

  % Option rules: quiet wins for the rest of the call.
  write_bytes('a.tif', tiff_ii(3));
  write_bytes('b.tif', tiff_mm(3));
  expect_text('tiffmend(''-q'', ''a.tif'', ''b.tif'')', '');
  kx_assert(isequal(read_bytes('a.tif'), tiff_ii(2)) && isequal(read_bytes('b.tif'), tiff_mm(2)), ...
            'quiet still repairs');
  write_bytes('a.tif', tiff_ii(3));
  write_bytes('b.tif', tiff_mm(3));
  expect_text('tiffmend(''a.tif'', ''-q'', ''b.tif'')', "Fixed the file a.tif\n");
  kx_assert(isequal(read_bytes('b.tif'), tiff_mm(2)), 'b.tif repaired under -q');
  expect_text('tiffmend(''-vq'', ''gif.tif'')', '');
  expect_text('tiffmend(''-q'', ''-v'', ''gif.tif'', ''missing.tif'')', '');
  expect_text('tiffmend(''-'')', '');
  expect_text('tiffmend(''-x'')', '');

  % Inputs that are not text carry no name.
  write_bytes('a.tif', tiff_ii(3));
  expect_text('tiffmend(1, {''b.tif''}, ''a.tif'')', "Fixed the file a.tif\n");
  expect_text('tiffmend(''-v'', 1, ''a.tif'')', ...
              "Skipping an input that is not a file name.\nNothing to fix in a.tif\n");

  % A read-only file (not for the superuser, who may write any file) and a
  % missing one among others.
  write_bytes('a.tif', tiff_ii(3));
  write_bytes('locked.tif', tiff_ii(3));
  write_bytes('b.tif', tiff_mm(3));
  [status, uid] = system('id -u');
  if status == 0 && str2double(uid) ~= 0
    kx_assert(system('chmod 0444 locked.tif') == 0, 'chmod');
    expect_text('tiffmend(''a.tif'', ''locked.tif'', ''missing.tif'', ''b.tif'')', ...
                ["Fixed the file a.tif\nProblem opening file locked.tif\n" ...
                 "Problem opening file missing.tif\nFixed the file b.tif\n"]);
    kx_assert(isequal(read_bytes('locked.tif'), tiff_ii(3)), 'read-only file unchanged');
  else
    expect_text('tiffmend(''a.tif'', ''missing.tif'', ''b.tif'')', ...
                "Fixed the file a.tif\nProblem opening file missing.tif\nFixed the file b.tif\n");
  end

  % The only error.
  kx_assert_error(@() tiffmend(), 'Expected at least one input file name.');
unwind_protect_cleanup
  cd(home);
  confirm_recursive_rmdir(false);
  rmdir(work, 's');
end_unwind_protect
