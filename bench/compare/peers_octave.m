% Octave side of the side-by-side benchmarks: our Octave build and the image
% package's qtdecomp and watershed in one session, on the same image, with
% edgethin beside the streaming bound (a MEX file of its own), and
% regionseg on the camera stacks: 120 planes with small-region elimination,
% and 40 planes with its snapshots within a budget (peak memory from the
% kernel's high-water mark of this process, reset before each call).
%   octave-cli peers_octave.m DATA_DIR RAW_CSV REPS
% Needs build/octave, the folder of streambound.mex and toolbox/ on the
% path.  Single values (bytes, counts) go to RAW_CSV with _meta before .csv.
args = argv ();
data = args{1};
raw = args{2};
reps = str2double (args{3});
min_time = str2double (getenv ("KALMEX_BENCH_MIN_TIME"));
if (isnan (min_time))
  min_time = 0.2;
endif
big_reps = str2double (getenv ("KALMEX_BENCH_BIG_REPS"));
if (isnan (big_reps))
  big_reps = 1;
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

% CPU and wall seconds and minor page faults per call of f, calling it until
% min_time CPU seconds (once, without a warm-up call, when min_time is 0).
function [cpu, wall, faults] = measure (f, min_time)
  if (min_time > 0)
    r = f ();
  endif
  calls = 0;
  usage = getrusage ();
  f0 = usage.minflt;
  c0 = cputime ();
  w0 = tic ();
  do
    r = f ();
    calls++;
    c1 = cputime ();
  until (c1 - c0 >= min_time)
  cpu = (c1 - c0) / calls;
  wall = toc (w0) / calls;
  usage = getrusage ();
  faults = (usage.minflt - f0) / calls;
endfunction

% The kernel's high-water mark of this process in bytes, and its reset to
% the present size.
function b = peak_bytes ()
  s = fileread ("/proc/self/status");
  b = 1024 * sscanf (s(strfind (s, "VmHWM:") + 6:end), "%d", 1);
endfunction
function reset_peak ()
  fid = fopen ("/proc/self/clear_refs", "w");
  fprintf (fid, "5");
  fclose (fid);
endfunction

% Peak memory of f's call beyond what the process held before it.
function extra = call_peak (f)
  reset_peak ();
  base = peak_bytes ();
  f ();
  extra = peak_bytes () - base;
endfunction

function s = with_snapshots (stack, budget)
  [~, s] = regionseg (stack, "threshold", 20, "snapshot_budget", budget);
endfunction

camera = load_u8 (data, "camera256", [256 256]);
cam32 = int32 (camera);
bn32 = int32 (load_u8 (data, "bn3d128", [128 128 128]));
stack120 = load_u8 (data, "camstack120", [231 201 120]);
stack40 = load_u8 (data, "camstack40", [231 201 40]);
camera4096 = load_u8 (data, "camera4096", [4096 4096]);
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

% Each case: key, function, whether it is big (run big_reps times, once
% each, without a warm-up), and its KALMEX_THREADS (1 but for the rows of
% the threads, .t2).
setenv ("KALMEX_THREADS", "1");
cases = {};
for c = 1:5
  cases(end+1, :) = {sprintf("oct.rs.camera256_c%d_seq.labels", c), @() ours (cam32, c, 0), ...
                     false, 1};
  cases(end+1, :) = {sprintf("oct.rs.camera256_c%d_par.labels", c), @() ours (cam32, c, 1), ...
                     false, 1};
endfor
cases(end+1, :) = {"peer.octave.watershed.camera256", @() watershed (camera), false, 1};
cases(end+1, :) = {"peer.octave.qtdecomp.camera256", @() qtdecomp (camera, 20 / 255), false, 1};
cases(end+1, :) = {"oct.edgethin.4096", @() edgethin (d, gc, gr), false, 1};
cases(end+1, :) = {"oct.stream.edge", @() streambound (d, gc, gr), false, 1};
cases(end+1, :) = {"oct.edgethin.4096.t2", @() edgethin (d, gc, gr), false, 2};
% The blurred-noise volume: criterion 1, threshold 20, start level 1.
cases(end+1, :) = {"oct.rs.bn3d128_c1.labels", ...
                   @() regionseg_core (bn32, 7, 0, 1, 0, 1, 0, 1, 20, 0.1, 6, 2, 1, 0, 0), false, 1};
cases(end+1, :) = {"oct.rs.bn3d128_c1.labels.t2", ...
                   @() regionseg_core (bn32, 7, 0, 1, 0, 1, 0, 1, 20, 0.1, 6, 2, 1, 0, 0), false, 2};
cases(end+1, :) = {"oct.regionseg.camstack120_m40", ...
                   @() regionseg (stack120, "threshold", 20, "min_region_size", 40), true, 1};
cases(end+1, :) = {"oct.regionseg.camera4096", @() regionseg (camera4096, "threshold", 20), true, 1};

% The progress lines of regionseg_core go to standard output (the bench
% script discards it); the measurements go to the CSV file and stderr.
fid = fopen (raw, "w");
only = getenv ("KALMEX_BENCH_ONLY");
for rep = 0:reps-1
  for k = 1:rows (cases)
    if (! isempty (only) && isempty (strfind (cases{k, 1}, only)))
      continue;
    endif
    if (cases{k, 3} && rep >= big_reps)
      continue;
    endif
    if (cases{k, 4} > 1)
      % The machine's one-minute load average beside the threaded rows.
      one_minute = sscanf (fileread ("/proc/loadavg"), "%f", 1);
      name = regexprep (cases{k, 1}, '^oct\.', '');
      fprintf (fid, "oct.load.%s,%d,%.3f,%.3f\n", name, rep, one_minute, one_minute);
    endif
    setenv ("KALMEX_THREADS", num2str (cases{k, 4}));
    [cpu, wall, faults] = measure (cases{k, 2}, min_time * ! cases{k, 3});
    setenv ("KALMEX_THREADS", "1");
    fprintf (fid, "%s,%d,%.9g,%.9g,%.6g\n", cases{k, 1}, rep, cpu, wall, faults);
    fflush (fid);
    fprintf (stderr, "  %-44s rep %d  cpu %10.3f ms  wall %10.3f ms  faults %10.0f\n", ...
             cases{k, 1}, rep, 1e3 * cpu, 1e3 * wall, faults);
  endfor
endfor
fclose (fid);

% The 40-plane stack with its snapshots, within a budget of 1e9 bytes: the
% peak beyond the labels-only call's must stay within it, and the module
% warns that it cut the stack.
fid = fopen (strrep (raw, ".csv", "_meta.csv"), "w");
if (isempty (only) || ! isempty (strfind ("oct.budget.camstack40", only)))
  budget = 1e9;
  labels_peak = call_peak (@() regionseg (stack40, "threshold", 20));
  lastwarn ("");
  c0 = cputime ();
  reset_peak ();
  base = peak_bytes ();
  snaps = with_snapshots (stack40, budget);
  snap_peak = peak_bytes () - base;
  cpu = cputime () - c0;
  [~, id] = lastwarn ();
  fprintf (fid, "oct.budget.camstack40.budget,%.17g\n", budget);
  fprintf (fid, "oct.budget.camstack40.labels_peak,%.17g\n", labels_peak);
  fprintf (fid, "oct.budget.camstack40.snap_peak,%.17g\n", snap_peak);
  fprintf (fid, "oct.budget.camstack40.slices,%d\n", size (snaps, 4));
  fprintf (fid, "oct.budget.camstack40.result_bytes,%.17g\n", 8 * numel (snaps));
  fprintf (fid, "oct.budget.camstack40.warned,%d\n", strcmp (id, "kalmex:regionseg_core:snapshotBudget"));
  fprintf (fid, "oct.budget.camstack40.cpu,%.17g\n", cpu);
  fprintf (stderr, "  %-44s %d slices, peak %.0f MB beyond labels-only %.0f MB, warning %s\n", ...
           "oct.budget.camstack40", size (snaps, 4), snap_peak / 1e6, labels_peak / 1e6, id);
  clear snaps;
endif
fclose (fid);
