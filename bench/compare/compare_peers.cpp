// Our side of the side-by-side benchmarks, on the embedded host and the
// shipped module files, with the streaming bounds measured in the same
// process and interleaved with our runs (one repetition of every case, then
// the next repetition).
//
//   compare_peers DATA_DIR RAW_CSV META_CSV REPS [TIFF_FILE]
//
// DATA_DIR holds the images of make_images.py.  RAW_CSV gets one line per
// case and repetition: key,rep,cpu_seconds,wall_seconds,minor_faults (time
// and minor page faults per call).
// META_CSV gets one line per segmentation case: peak bytes of a labels-only
// call (its input excluded, its output included), records and adjacency
// cells (where the module counts them, else -1), regions, snapshots and
// voxels.  With TIFF_FILE (a 10,000-page palette file) tiffmend is timed
// against libtiff's tiffinfo reading the same file.
//
// The scale cases (KALMEX_BENCH_SCALE=0 leaves them out) run blurred noise
// from 64^3 to 256^3 and 512^2 to 4096^2 for every criterion with and
// without small-region elimination, and the 4096 x 4096 photograph; all
// but the smallest (64^3, 512^2) run only KALMEX_BENCH_BIG_REPS times
// (default 1), one call each, the first of which is the peak-memory call.
// KALMEX_BENCH_ONLY=WORD[,WORD...] keeps the segmentation cases whose names
// contain one of the words; KALMEX_BENCH_SKIP_EDGE leaves out edgethin.
//
// Every call runs on one thread (KALMEX_THREADS=1) except the rows of the
// threads: edgethin's pass, a stream of its bytes and its gateway on two
// threads (.t2), and the 128^3 blurred noise and the photograph on two
// (cases NAME_t2); beside each, the load average when it ran.
#include <dlfcn.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "kalhost.h"
#include "nms.h"
#include "threadpool.h"

// ---------------------------------------------------------------------------
// Counting allocator: every allocation of the process, the module files'
// included, passes here, so the peak of a call is known to the byte.

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {
bool g_tracking = false;
long long g_current = 0, g_peak = 0;

inline void noteAlloc(void *p) {
  if (g_tracking && p != nullptr) {
    g_current += static_cast<long long>(malloc_usable_size(p));
    g_peak = std::max(g_peak, g_current);
  }
}
inline void noteFree(void *p) {
  if (g_tracking && p != nullptr) {
    g_current -= static_cast<long long>(malloc_usable_size(p));
  }
}
} // namespace

extern "C" {
void *malloc(size_t n) {
  void *p = __libc_malloc(n);
  noteAlloc(p);
  return p;
}
void *calloc(size_t c, size_t n) {
  void *p = __libc_calloc(c, n);
  noteAlloc(p);
  return p;
}
void *realloc(void *q, size_t n) {
  noteFree(q);
  void *p = __libc_realloc(q, n);
  noteAlloc(p != nullptr ? p : (n == 0 ? nullptr : q));
  return p;
}
void free(void *p) {
  noteFree(p);
  __libc_free(p);
}
void *memalign(size_t a, size_t n) {
  void *p = __libc_memalign(a, n);
  noteAlloc(p);
  return p;
}
void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void **out, size_t a, size_t n) {
  void *p = memalign(a, n);
  if (p == nullptr) {
    return 12; // ENOMEM
  }
  *out = p;
  return 0;
}
}

namespace {

// ---------------------------------------------------------------------------
// Timing

double now(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct Sample {
  double cpu, wall;
  double faults = -1; // minor page faults per call, -1 where not counted
};

// Minor page faults of the process so far (every thread's).
long minorFaults() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_minflt;
}

double g_minTime = 0.2; // CPU seconds of calls per repetition
double g_maxSnapshotBytes = 1.5e9;

// Calls f until at least g_minTime CPU seconds have passed; time per call.
// A call already warmed (code, caches, page mappings) may skip the warm-up.
Sample measure(const std::function<void()> &f, bool warm = true) {
  if (warm) {
    f();
  }
  long calls = 0;
  const long f0 = minorFaults();
  const double c0 = now(CLOCK_PROCESS_CPUTIME_ID), w0 = now(CLOCK_MONOTONIC);
  double c1;
  do {
    f();
    ++calls;
    c1 = now(CLOCK_PROCESS_CPUTIME_ID);
  } while (c1 - c0 < g_minTime);
  const double w1 = now(CLOCK_MONOTONIC);
  const double faults = double(minorFaults() - f0) / double(calls);
  return {(c1 - c0) / double(calls), (w1 - w0) / double(calls), faults};
}

FILE *g_raw = nullptr;
FILE *g_meta = nullptr;

void record(const std::string &key, int rep, Sample s) {
  if (s.faults >= 0) {
    std::fprintf(g_raw, "%s,%d,%.9g,%.9g,%.6g\n", key.c_str(), rep, s.cpu, s.wall, s.faults);
  } else {
    std::fprintf(g_raw, "%s,%d,%.9g,%.9g\n", key.c_str(), rep, s.cpu, s.wall);
  }
  std::fflush(g_raw);
  std::fprintf(stderr, "  %-44s rep %d  cpu %10.3f ms  wall %10.3f ms  faults %10.0f\n",
               key.c_str(), rep, 1e3 * s.cpu, 1e3 * s.wall, s.faults);
}

// ---------------------------------------------------------------------------
// Images

template <typename T> std::vector<T> readRaw(const std::string &path, size_t count) {
  std::vector<T> v(count);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char *>(v.data()), std::streamsize(count * sizeof(T)));
  if (!in) {
    std::fprintf(stderr, "compare_peers: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return v;
}

// ---------------------------------------------------------------------------
// Streaming bounds: the same bytes as the case, read and written once.

__attribute__((noinline)) void streamThree(const double *__restrict a, const double *__restrict b,
                                           const double *__restrict c, double *__restrict o,
                                           size_t n) {
  for (size_t k = 0; k < n; ++k) {
    o[k] = a[k] + b[k] + c[k];
  }
}

// The same on threads threads, each streaming its own stretch.
void streamThreeOn(int threads, const double *a, const double *b, const double *c, double *o,
                   size_t n) {
  kxThreadPool pool(threads);
  const int parts = pool.size();
  pool.run(parts, [&](int part, int) {
    const size_t first = n * size_t(part) / size_t(parts),
                 last = n * size_t(part + 1) / size_t(parts);
    streamThree(a + first, b + first, c + first, o + first, last - first);
  });
}

__attribute__((noinline)) void streamCopy(const int32_t *__restrict a, int32_t *__restrict o,
                                          size_t n) {
  for (size_t k = 0; k < n; ++k) {
    o[k] = a[k];
  }
}

// ---------------------------------------------------------------------------
// Threads: every case runs on one thread (KALMEX_THREADS=1) but the threaded
// ones, which say how many.  Their wall times are the figures; the load of
// the machine when they ran goes to the raw file too, as emb.load.KEY
// (the one-minute load average in both columns).

void useThreads(int n) { setenv("KALMEX_THREADS", std::to_string(n).c_str(), 1); }

double loadAverage() {
  double one = -1;
  if (FILE *f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &one) != 1) {
      one = -1;
    }
    std::fclose(f);
  }
  return one;
}

void recordLoad(const std::string &key, int rep) {
  const double load = loadAverage();
  std::fprintf(g_raw, "emb.load.%s,%d,%.3f,%.3f\n", key.c_str(), rep, load, load);
}

// ---------------------------------------------------------------------------
// edgethin

struct EdgeCase {
  size_t side = 4096;
  std::vector<double> d, gc, gr, out;
  mxArray *in[3] = {nullptr, nullptr, nullptr};
};

void edgeRuns(EdgeCase &e, int rep) {
  const size_t n = e.side * e.side;
  record("emb.edgethin.core", rep, measure([&] {
           suppressNonMaxima(e.d.data(), e.gc.data(), e.gr.data(), e.out.data(), e.side, e.side, 1);
         }));
  record("emb.stream.edge", rep,
         measure([&] { streamThree(e.d.data(), e.gc.data(), e.gr.data(), e.out.data(), n); }));
  record("emb.edgethin.gateway", rep, measure([&] {
           mxArray *out[1] = {nullptr};
           kalhost::call("edgethin", 1, out, 3, const_cast<const mxArray **>(e.in));
           mxDestroyArray(out[0]);
         }));
  record("emb.stream.edge.hostout", rep, measure([&] {
           mxArray *o = mxCreateDoubleMatrix(e.side, e.side, mxREAL);
           streamThree(mxGetPr(e.in[0]), mxGetPr(e.in[1]), mxGetPr(e.in[2]), mxGetPr(o), n);
           mxDestroyArray(o);
         }));
  // On two threads, beside the same bytes streamed by two threads.
  recordLoad("edgethin.t2", rep);
  record("emb.edgethin.core.t2", rep, measure([&] {
           suppressNonMaxima(e.d.data(), e.gc.data(), e.gr.data(), e.out.data(), e.side, e.side, 2);
         }));
  record("emb.stream.edge.t2", rep,
         measure([&] { streamThreeOn(2, e.d.data(), e.gc.data(), e.gr.data(), e.out.data(), n); }));
  useThreads(2);
  record("emb.edgethin.gateway.t2", rep, measure([&] {
           mxArray *out[1] = {nullptr};
           kalhost::call("edgethin", 1, out, 3, const_cast<const mxArray **>(e.in));
           mxDestroyArray(out[0]);
         }));
  useThreads(1);
}

// ---------------------------------------------------------------------------
// regionseg_core

struct SegCase {
  std::string name;  // key part
  std::string image; // file stem in DATA_DIR
  int side, planes;
  double params[14];             // levels .. keep_small_stats, as the gateway reads them
  mxArray *args[15] = {};        // args[0] is shared by the cases of one image
  bool big = false;              // few repetitions, no warm-up
  bool snapshots = true;         // also runs with output 2, when the stack fits
  int threads = 1;               // KALMEX_THREADS of its calls
  Sample firstCall{};            // the time of the peak-memory call
  size_t snapshotVoxels = 0;     // voxels x snapshots of a snapshot call
  std::vector<mwSize> stackDims; // dimensions of its output 2
  std::vector<int32_t> snapSrc, snapDst;
};

int log2i(int v) {
  int l = 0;
  while ((1 << l) < v) {
    ++l;
  }
  return l;
}

SegCase makeSeg(const std::string &name, const std::string &image, int side, int planes, int start,
                int criterion, int threshold, int parallel, double sigma, int minRegionSize = 0) {
  SegCase c;
  c.name = name;
  c.image = image;
  c.side = side;
  c.planes = planes;
  const int levels = log2i(side);
  const int flat = levels - log2i(planes);
  const double p[14] = {double(levels),
                        double(flat),
                        double(start),
                        double(parallel),
                        parallel ? 16.0 : 1.0,
                        0.0,
                        double(criterion),
                        double(threshold),
                        0.1,
                        sigma,
                        2.0,
                        1.0,
                        double(minRegionSize),
                        0.0};
  std::copy(p, p + 14, c.params);
  return c;
}

bool segCall(SegCase &c, int nlhs, mxArray **outs) {
  useThreads(c.threads);
  const kalhost::CallResult r =
      kalhost::call("regionseg_core", nlhs, outs, 15, const_cast<const mxArray **>(c.args));
  useThreads(1);
  if (!r.ok) {
    std::fprintf(stderr, "compare_peers: %s: %s\n", c.name.c_str(), r.error.c_str());
    std::exit(3);
  }
  return true;
}

// The module's own counters, reached in the module file the host loaded.
struct SegHooks {
  void (*reset)(long) = nullptr;
  long (*records)() = nullptr;
  long (*cells)() = nullptr;
  // Gives the spans the module keeps between calls back (a module without
  // them: nothing to do).
  void (*releasePool)() = nullptr;
};

const SegHooks &segHooks() {
  static SegHooks h;
  if (h.reset == nullptr) {
    const std::string path = kalhost::defaultModuleDir() + "/regionseg_core.so";
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib != nullptr) {
      h.reset = reinterpret_cast<void (*)(long)>(dlsym(lib, "regionseg_core_fail_allocation_at"));
      h.records = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_records_taken"));
      h.cells = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_cells_taken"));
      h.releasePool = reinterpret_cast<void (*)()>(dlsym(lib, "regionseg_core_release_pool"));
    }
    if (h.reset == nullptr || h.records == nullptr || h.cells == nullptr) {
      h = SegHooks(); // a module without its counters: counts -1
      h.reset = [](long) {};
      h.records = [] { return -1L; };
      h.cells = [] { return -1L; };
    }
    if (h.releasePool == nullptr) {
      h.releasePool = [] {};
    }
  }
  return h;
}

// The int32 images, one host array per file, shared by the cases.
std::vector<std::pair<std::string, mxArray *>> g_images;

mxArray *segImage(const SegCase &c, const std::string &dir) {
  for (const auto &im : g_images) {
    if (im.first == c.image) {
      return im.second;
    }
  }
  const size_t voxels = size_t(c.side) * c.side * c.planes;
  const std::vector<uint8_t> grey = readRaw<uint8_t>(dir + "/" + c.image + ".u8", voxels);
  const mwSize dims[3] = {mwSize(c.side), mwSize(c.side), mwSize(c.planes)};
  mxArray *a = mxCreateNumericArray(c.planes > 1 ? 3 : 2, dims, mxINT32_CLASS, mxREAL);
  std::copy(grey.begin(), grey.end(), static_cast<int32_t *>(mxGetData(a)));
  g_images.emplace_back(c.image, a);
  return a;
}

void segPrepare(SegCase &c, const std::string &dir) {
  const size_t voxels = size_t(c.side) * c.side * c.planes;
  c.args[0] = segImage(c, dir);
  for (int k = 0; k < 14; ++k) {
    c.args[k + 1] = mxCreateDoubleScalar(c.params[k]);
  }

  // One labels-only call under the counting allocator: the peak memory of
  // the call (outputs included); the module counts the records and cells.
  mxArray *outs[2] = {nullptr, nullptr};
  if (!c.big) {
    segCall(c, 1, outs); // loads the module
    mxDestroyArray(outs[0]);
  }
  const SegHooks &hooks = segHooks();
  hooks.reset(0);
  // The peak of a call as a fresh process makes it: no pages kept from the
  // calls before.
  hooks.releasePool();
  g_current = g_peak = 0;
  const long f0 = minorFaults();
  const double c0 = now(CLOCK_PROCESS_CPUTIME_ID), w0 = now(CLOCK_MONOTONIC);
  g_tracking = true;
  segCall(c, 1, outs);
  g_tracking = false;
  c.firstCall = {now(CLOCK_PROCESS_CPUTIME_ID) - c0, now(CLOCK_MONOTONIC) - w0,
                 double(minorFaults() - f0)};
  const long long peak = g_peak, nodes = hooks.records(), links = hooks.cells();
  const int32_t *lab = static_cast<const int32_t *>(mxGetData(outs[0]));
  const int32_t regions = 1 + *std::max_element(lab, lab + voxels);
  mxDestroyArray(outs[0]);

  // A snapshot opens every 1001 paint events, about one per thousand
  // records; the stack exists twice (the list and output 2).  Runs whose
  // stack would not fit comfortably in memory are left out.
  size_t snaps = 0;
  const double stackBytes = (double(nodes) / 1000.0 + 2.0) * double(voxels) * 4.0 * 2.0;
  if (c.snapshots && nodes >= 0 && stackBytes <= g_maxSnapshotBytes) {
    outs[0] = outs[1] = nullptr;
    segCall(c, 2, outs);
    const size_t nd = mxGetNumberOfDimensions(outs[1]);
    snaps = mxGetDimensions(outs[1])[nd - 1];
    c.stackDims.assign(mxGetDimensions(outs[1]), mxGetDimensions(outs[1]) + nd);
    mxDestroyArray(outs[0]);
    mxDestroyArray(outs[1]);
  }
  c.snapshotVoxels = snaps * voxels;
  c.snapSrc.assign(c.snapshotVoxels, 1);
  c.snapDst.assign(c.snapshotVoxels, 0);

  std::fprintf(g_meta, "%s,%lld,%lld,%lld,%d,%zu,%zu\n", c.name.c_str(), peak, nodes, links,
               regions, snaps, voxels);
  std::fflush(g_meta);
}

int g_bigReps = 1;

void segRuns(SegCase &c, int rep) {
  if (c.big && rep >= g_bigReps) {
    return;
  }
  if (c.threads > 1) {
    recordLoad("rs." + c.name, rep);
  }
  if (c.big && rep == 0) {
    // The peak-memory call was this case's first: it counts as a repetition
    // (the counting allocator costs nothing against a run of seconds).
    record("emb.rs." + c.name + ".labels", rep, c.firstCall);
    return;
  }
  record("emb.rs." + c.name + ".labels", rep,
         measure(
             [&] {
               mxArray *outs[1] = {nullptr};
               segCall(c, 1, outs);
               mxDestroyArray(outs[0]);
             },
             !c.big));
  if (c.snapshotVoxels == 0) {
    return;
  }
  record("emb.rs." + c.name + ".snap", rep, measure([&] {
           mxArray *outs[2] = {nullptr, nullptr};
           segCall(c, 2, outs);
           mxDestroyArray(outs[0]);
           mxDestroyArray(outs[1]);
         }));
  record("emb.stream.snap." + c.name, rep,
         measure([&] { streamCopy(c.snapSrc.data(), c.snapDst.data(), c.snapshotVoxels); }));
  // The same bytes written into a fresh host array of the stack's size, as
  // any output must be.
  record("emb.stream.snapfresh." + c.name, rep, measure([&] {
           mxArray *o =
               mxCreateNumericArray(c.stackDims.size(), c.stackDims.data(), mxINT32_CLASS, mxREAL);
           streamCopy(c.snapSrc.data(), static_cast<int32_t *>(mxGetData(o)), c.snapshotVoxels);
           mxDestroyArray(o);
         }));
}

// ---------------------------------------------------------------------------
// tiffmend against tiffinfo

bool copyFile(const std::string &from, const std::string &to) {
  std::error_code ec;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                    ec);
}

// CPU time (user + system) of one tiffinfo run over path, output discarded.
double tiffinfoOnce(const std::string &path) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (freopen("/dev/null", "w", stdout) == nullptr ||
        freopen("/dev/null", "w", stderr) == nullptr) {
      _exit(127);
    }
    execlp("tiffinfo", "tiffinfo", path.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "compare_peers: tiffinfo failed\n");
    std::exit(4);
  }
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

void tiffRuns(const std::string &pristine, const std::string &work, int rep) {
  // tiffmend repairs in place: every call starts from the palette file.
  double cpu = 0, wall = 0;
  int calls = 0;
  while (cpu < g_minTime || calls < 3) {
    copyFile(pristine, work);
    mxArray *name = mxCreateString(work.c_str());
    mxArray *outs[1] = {nullptr};
    const double c0 = now(CLOCK_PROCESS_CPUTIME_ID), w0 = now(CLOCK_MONOTONIC);
    const kalhost::CallResult r =
        kalhost::call("tiffmend", 0, outs, 1, const_cast<const mxArray **>(&name));
    cpu += now(CLOCK_PROCESS_CPUTIME_ID) - c0;
    wall += now(CLOCK_MONOTONIC) - w0;
    mxDestroyArray(name);
    if (!r.ok) {
      std::fprintf(stderr, "compare_peers: tiffmend: %s\n", r.error.c_str());
      std::exit(4);
    }
    ++calls;
  }
  record("emb.tiffmend.10000", rep, {cpu / calls, wall / calls});

  copyFile(pristine, work);
  cpu = wall = 0;
  calls = 0;
  while (cpu < g_minTime || calls < 3) {
    const double w0 = now(CLOCK_MONOTONIC);
    cpu += tiffinfoOnce(work);
    wall += now(CLOCK_MONOTONIC) - w0;
    ++calls;
  }
  record("peer.tiffinfo.10000", rep, {cpu / calls, wall / calls});
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: compare_peers DATA_DIR RAW_CSV META_CSV REPS [TIFF_FILE]\n");
    return 2;
  }
  const std::string dir = argv[1];
  g_raw = std::fopen(argv[2], "w");
  g_meta = std::fopen(argv[3], "w");
  const int reps = std::max(1, std::atoi(argv[4]));
  const std::string tiff = argc > 5 ? argv[5] : "";
  if (g_raw == nullptr || g_meta == nullptr) {
    std::fprintf(stderr, "compare_peers: cannot write the CSV files\n");
    return 2;
  }
  if (const char *t = std::getenv("KALMEX_BENCH_MIN_TIME")) {
    g_minTime = std::atof(t);
  }
  if (const char *r = std::getenv("KALMEX_BENCH_BIG_REPS")) {
    g_bigReps = std::max(1, std::atoi(r));
  }
  std::fprintf(g_meta, "case,peak_bytes,records,link_cells,regions,snapshots,voxels\n");
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  useThreads(1);

  // The segmentation progress lines go to stdout; keep them out of the way.
  if (freopen("/dev/null", "w", stdout) == nullptr) {
    return 2;
  }

  const bool skipEdge = std::getenv("KALMEX_BENCH_SKIP_EDGE") != nullptr;
  EdgeCase edge;
  if (!skipEdge) {
    const size_t n = edge.side * edge.side;
    edge.d = readRaw<double>(dir + "/edge4096_d.f64", n);
    edge.gc = readRaw<double>(dir + "/edge4096_gc.f64", n);
    edge.gr = readRaw<double>(dir + "/edge4096_gr.f64", n);
    edge.out.assign(n, 0.0);
    for (int k = 0; k < 3; ++k) {
      edge.in[k] = mxCreateDoubleMatrix(edge.side, edge.side, mxREAL);
    }
    std::copy(edge.d.begin(), edge.d.end(), mxGetPr(edge.in[0]));
    std::copy(edge.gc.begin(), edge.gc.end(), mxGetPr(edge.in[1]));
    std::copy(edge.gr.begin(), edge.gr.end(), mxGetPr(edge.in[2]));
  }

  std::vector<SegCase> segs;
  for (int criterion = 1; criterion <= 5; ++criterion) {
    segs.push_back(makeSeg("camera256_c" + std::to_string(criterion) + "_seq", "camera256", 256, 1,
                           2, criterion, 20, 0, 4.0));
    segs.push_back(makeSeg("camera256_c" + std::to_string(criterion) + "_par", "camera256", 256, 1,
                           2, criterion, 20, 1, 4.0));
  }
  for (const char *img : {"shapes256", "gradient256", "shapes_noise4_256", "shapes_noise16_256"}) {
    segs.push_back(makeSeg(std::string(img) + "_c1_seq", img, 256, 1, 2, 1, 20, 0, 4.0));
    segs.push_back(makeSeg(std::string(img) + "_c4_seq", img, 256, 1, 2, 4, 20, 0, 4.0));
  }
  for (int side : {32, 64, 128}) {
    const std::string img = "blobs" + std::to_string(side);
    segs.push_back(makeSeg(img + "_c1_seq", img, side, side, 2, 1, 20, 0, 6.0));
    segs.push_back(makeSeg(img + "_c4_seq", img, side, side, 2, 4, 20, 0, 6.0));
  }
  // The snapshot stack of a volume: blobs 64^3 (a few hundred slices of
  // 1 MB) for every criterion and both grouping modes.
  for (int criterion = 1; criterion <= 5; ++criterion) {
    for (int parallel : {0, 1}) {
      if (parallel == 0 && (criterion == 1 || criterion == 4)) {
        continue; // above
      }
      segs.push_back(makeSeg("blobs64_c" + std::to_string(criterion) + (parallel ? "_par" : "_seq"),
                             "blobs64", 64, 64, 2, criterion, 20, parallel, 6.0));
    }
  }
  segs.push_back(makeSeg("noise128_t0_s0", "noise128", 128, 1, 0, 1, 0, 0, 4.0));
  segs.push_back(makeSeg("noise256_t0_s0", "noise256", 256, 1, 0, 1, 0, 0, 4.0));
  segs.push_back(makeSeg("noisevol32_t0_s0", "noisevol32", 32, 32, 0, 1, 0, 0, 4.0));
  segs.push_back(makeSeg("noisevol64_t0_s0", "noisevol64", 64, 64, 0, 1, 0, 0, 4.0));
  const char *scale = std::getenv("KALMEX_BENCH_SCALE");
  if (scale == nullptr || std::string(scale) != "0") {
    // Blurred noise at every size, every criterion, elimination off and on
    // (min_region_size 40); chi2_variance only up to the sizes it takes
    // (blocks below the root of at most 262144 pixels).
    for (int criterion = 1; criterion <= 5; ++criterion) {
      for (int mrs : {0, 40}) {
        const std::string tail = "_c" + std::to_string(criterion) + "_m" + std::to_string(mrs);
        // 129^3 and 1025^2: one past a power of two, in a tree of twice the
        // side (criterion 4 does not take such trees).
        for (int side : {64, 128, 129, 256}) {
          if (criterion != 4 || side <= 128) {
            const std::string img = "bn3d" + std::to_string(side);
            segs.push_back(makeSeg(img + tail, img, side, side, 1, criterion, 20, 0, 6.0, mrs));
            segs.back().big = side >= 128;
            segs.back().snapshots = false;
          }
        }
        for (int side : {512, 1024, 1025, 4096}) {
          if (criterion != 4 || side <= 1024) {
            const std::string img = "bn2d" + std::to_string(side);
            segs.push_back(makeSeg(img + tail, img, side, 1, 2, criterion, 20, 0, 6.0, mrs));
            segs.back().big = side >= 1024;
            segs.back().snapshots = false;
          }
        }
      }
    }
    // The photograph scaled up, as regionseg would run it (start level 3).
    segs.push_back(makeSeg("camera4096_c1", "camera4096", 4096, 1, 3, 1, 20, 0, 4.0));
    segs.back().big = true;
    segs.back().snapshots = false;
    // The targets of the threads: the 128^3 volume and the photograph on
    // two threads, each right after its one-thread run.
    for (const std::string name : {"bn3d128_c1_m0", "camera4096_c1"}) {
      for (size_t k = 0; k < segs.size(); ++k) {
        if (segs[k].name == name) {
          SegCase twin = segs[k];
          twin.name += "_t2";
          twin.threads = 2;
          segs.insert(segs.begin() + long(k) + 1, twin);
          break;
        }
      }
    }
  }
  if (const char *only = std::getenv("KALMEX_BENCH_ONLY")) {
    // The cases whose names contain one of the comma-separated words.
    std::vector<std::string> words;
    for (const char *w = only;; ++w) {
      const char *end = std::strchr(w, ',');
      words.emplace_back(w, end != nullptr ? end : w + std::strlen(w));
      if (end == nullptr) {
        break;
      }
      w = end;
    }
    std::vector<SegCase> kept;
    for (SegCase &c : segs) {
      for (const std::string &w : words) {
        if (!w.empty() && c.name.find(w) != std::string::npos) {
          kept.push_back(c);
          break;
        }
      }
    }
    segs.swap(kept);
  }
  for (SegCase &c : segs) {
    segPrepare(c, dir);
  }

  std::string tiffWork;
  if (!tiff.empty()) {
    tiffWork = tiff + ".work";
  }
  for (int rep = 0; rep < reps; ++rep) {
    std::fprintf(stderr, "repetition %d of %d\n", rep + 1, reps);
    if (!skipEdge) {
      edgeRuns(edge, rep);
    }
    for (SegCase &c : segs) {
      segRuns(c, rep);
    }
    if (!tiff.empty()) {
      tiffRuns(tiff, tiffWork, rep);
    }
  }
  if (!tiffWork.empty()) {
    std::remove(tiffWork.c_str());
  }
  for (SegCase &c : segs) {
    for (int k = 1; k < 15; ++k) {
      mxDestroyArray(c.args[k]);
    }
  }
  for (auto &im : g_images) {
    mxDestroyArray(im.second);
  }
  for (mxArray *a : edge.in) {
    mxDestroyArray(a);
  }
  std::fclose(g_raw);
  std::fclose(g_meta);
  return 0;
}
