% Octave side of the side-by-side benchmarks: our Octave build and the image
% package's qtdecomp and watershed in one session, on the same image, with
% edgethin beside the streaming bound (a MEX file of its own).
%   octave-cli peers_octave.m DATA_DIR RAW_CSV REPS
% Needs build/octave and the folder of streambound.mex on the path.
args = argv ();
data = args{1};
raw = args{2};
reps = str2double (args{3});
min_time = str2double (getenv ("KALMEX_BENCH_MIN_TIME"));
if (isnan (min_time))
  min_time = 0.2;
endif
pkg load image

function img = load_u8 (data, name, shape)
  fid = fopen (fullfile (data, [name ".u8"]), "r");
  img = reshape (fread (fid, Inf, "uint8=>uint8"), shape);
  fclose (fid);
endfunction

function m = load_f64 (data, name, shape)
  fid = fopen (fullfile (data, [name ".f64"]), "r");
  m = reshape (fread (fid, Inf, "double=>double"), shape);
  fclose (fid);
endfunction

% CPU and wall seconds per call of f, calling it until min_time CPU seconds.
function [cpu, wall] = measure (f, min_time)
  r = f ();
  calls = 0;
  c0 = cputime ();
  w0 = tic ();
  do
    r = f ();
    calls++;
    c1 = cputime ();
  until (c1 - c0 >= min_time)
  cpu = (c1 - c0) / calls;
  wall = toc (w0) / calls;
endfunction

camera = load_u8 (data, "camera256", [256 256]);
cam32 = int32 (camera);
d = load_f64 (data, "edge4096_d", [4096 4096]);
gc = load_f64 (data, "edge4096_gc", [4096 4096]);
gr = load_f64 (data, "edge4096_gr", [4096 4096]);

% regionseg_core(image, levels, flat_levels, start_level, parallel_grouping,
%   parallel_seeds, seed_any_level, criterion, threshold, outlier_fraction,
%   noise_sigma, confidence_row, size_factor, min_region_size, keep_small_stats)
function labels = ours (img, criterion, parallel)
  seeds = 1 + 15 * (parallel != 0);
  labels = regionseg_core (img, 8, 8, 2, parallel, seeds, 0, criterion, 20, 0.1, 4, 2, 1, 0, 0);
endfunction

cases = {};
for c = 1:5
  cases(end+1, :) = {sprintf("oct.rs.camera256_c%d_seq.labels", c), @() ours (cam32, c, 0)};
  cases(end+1, :) = {sprintf("oct.rs.camera256_c%d_par.labels", c), @() ours (cam32, c, 1)};
endfor
cases(end+1, :) = {"peer.octave.watershed.camera256", @() watershed (camera)};
cases(end+1, :) = {"peer.octave.qtdecomp.camera256", @() qtdecomp (camera, 20 / 255)};
cases(end+1, :) = {"oct.edgethin.4096", @() edgethin (d, gc, gr)};
cases(end+1, :) = {"oct.stream.edge", @() streambound (d, gc, gr)};

% The progress lines of regionseg_core go to standard output (the bench
% script discards it); the measurements go to the CSV file and stderr.
fid = fopen (raw, "w");
only = getenv ("KALMEX_BENCH_ONLY");
for rep = 0:reps-1
  for k = 1:rows (cases)
    if (! isempty (only) && isempty (strfind (cases{k, 1}, only)))
      continue;
    endif
    [cpu, wall] = measure (cases{k, 2}, min_time);
    fprintf (fid, "%s,%d,%.9g,%.9g\n", cases{k, 1}, rep, cpu, wall);
    fflush (fid);
    fprintf (stderr, "  %-44s rep %d  cpu %10.3f ms  wall %10.3f ms\n", cases{k, 1}, rep, ...
             1e3 * cpu, 1e3 * wall);
  endfor
endfor
fclose (fid);
