// seg_compare: two regionseg_core module files side by side on the embedded
// host, over many seeded random full-cube runs; prints the first run whose
// outputs, warnings, progress lines or allocation counts differ.
//
//   seg_compare --base OLD.so [--new NEW.so] [--runs N] [--seed S]
//               [--min-levels L] [--max-levels L] [--threads T]
//               [--odd] [--no-allocations]
//
// Both files are copied into a private folder under names of their own, so
// that the host loads each as a module of its own (RTLD_LOCAL): two copies
// of the same module coexist.  NEW defaults to the build tree's module.
// --threads sets KALMEX_THREADS for both (the module reads it only for
// images large enough to use threads).  --odd makes three runs in four
// images of any size inside their tree (the rest fill it).  Exit status 0 when every run
// agrees, 1 on a difference, 2 on a usage or set-up error.
//
// Not shipped and not a test: a developer's check that a change leaves the
// results of every image the module took before bit for bit as they were.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kalhost.h"

namespace {

// The arguments of one call and the image they go with.
struct Case {
  int32_t levels = 2, flat = 2, start = 0;
  // The image's sides; the tree's own cube unless odd sizes were asked for.
  int32_t d1 = 0, d2 = 0, d3 = 0;
  double params[14] = {};
  bool budget = false;
  double budget_bytes = 0;
  int nlhs = 2;
  std::string texture;
  std::vector<int32_t> image;
  int32_t side() const { return 1 << levels; }
  int32_t planes() const { return 1 << (levels - flat); }
  bool volume() const { return flat != levels; }

  std::string describe() const {
    static const char *const names[14] = {
        "levels",         "flat_levels", "start_level",     "parallel_grouping", "parallel_seeds",
        "seed_any_level", "criterion",   "threshold",       "outlier_fraction",  "noise_sigma",
        "confidence_row", "size_factor", "min_region_size", "keep_small_stats"};
    std::string s = std::to_string(d1) + " x " + std::to_string(d2);
    if (volume()) {
      s += " x " + std::to_string(d3);
    }
    s += " in a tree of " + std::to_string(side()) + " x " + std::to_string(side()) + " x " +
         std::to_string(planes());
    s += " (" + texture + "), outputs " + std::to_string(nlhs) + ":";
    char buf[64];
    for (int i = 0; i < 14; ++i) {
      std::snprintf(buf, sizeof buf, " %s %g", names[i], params[i]);
      s += buf;
    }
    if (budget) {
      std::snprintf(buf, sizeof buf, " snapshot_budget %.0f", budget_bytes);
      s += buf;
    }
    return s;
  }
};

// What one call gave.
struct Result {
  bool ok = false;
  std::string error;
  std::vector<std::vector<mwSize>> dims;
  std::vector<std::vector<int32_t>> outputs;
  std::vector<std::string> warnings;
  std::string printed;
  long allocations = -1;
};

uint32_t below(std::mt19937 &rng, uint32_t n) { return static_cast<uint32_t>(rng() % n); }

// Grey values from constant to noise: flat areas, boxes, gradients, blurred
// noise and plain noise, so that merging, splitting, grouping and
// elimination all find work.
std::vector<int32_t> make_texture(std::mt19937 &rng, int32_t d1, int32_t d2, int32_t d3,
                                  std::string &name) {
  const size_t n = static_cast<size_t>(d1) * d2 * d3;
  std::vector<double> v(n, 0.0);
  auto at = [&](int32_t x, int32_t y, int32_t z) -> double & {
    return v[x + static_cast<size_t>(y) * d1 + static_cast<size_t>(z) * d1 * d2];
  };
  const uint32_t kind = below(rng, 6);
  const double base = below(rng, 256);
  std::fill(v.begin(), v.end(), base);
  static const char *const kinds[6] = {"constant",      "boxes", "gradient",
                                       "blurred noise", "noise", "boxes on blurred noise"};
  name = kinds[kind];
  if (kind == 2) {
    const double gx = (below(rng, 200) - 100) / 50.0, gy = (below(rng, 200) - 100) / 50.0;
    const double gz = (below(rng, 200) - 100) / 20.0;
    for (int32_t z = 0; z < d3; ++z) {
      for (int32_t y = 0; y < d2; ++y) {
        for (int32_t x = 0; x < d1; ++x) {
          at(x, y, z) = base + gx * x + gy * y + gz * z;
        }
      }
    }
  }
  if (kind == 3 || kind == 5) {
    // Noise smoothed by a few passes of a box filter along each axis.
    std::normal_distribution<double> g(0.0, 40.0);
    for (double &x : v) {
      x = g(rng);
    }
    const int passes = 1 + static_cast<int>(below(rng, 4));
    for (int p = 0; p < passes; ++p) {
      for (int32_t z = 0; z < d3; ++z) {
        for (int32_t y = 0; y < d2; ++y) {
          for (int32_t x = 0; x < d1; ++x) {
            if (x > 0) {
              at(x, y, z) = 0.5 * (at(x, y, z) + at(x - 1, y, z));
            }
            if (y > 0) {
              at(x, y, z) = 0.5 * (at(x, y, z) + at(x, y - 1, z));
            }
            if (z > 0) {
              at(x, y, z) = 0.5 * (at(x, y, z) + at(x, y, z - 1));
            }
          }
        }
      }
    }
    for (double &x : v) {
      x = base + 3.0 * x;
    }
  }
  if (kind == 1 || kind == 5) {
    const uint32_t boxes = 1 + below(rng, 8);
    for (uint32_t b = 0; b < boxes; ++b) {
      const int32_t x0 = static_cast<int32_t>(below(rng, d1)),
                    y0 = static_cast<int32_t>(below(rng, d2));
      const int32_t z0 = static_cast<int32_t>(below(rng, d3));
      const int32_t x1 = x0 + 1 + static_cast<int32_t>(below(rng, d1));
      const int32_t y1 = y0 + 1 + static_cast<int32_t>(below(rng, d2));
      const int32_t z1 = z0 + 1 + static_cast<int32_t>(below(rng, d3));
      const double value = below(rng, 256);
      for (int32_t z = z0; z < std::min(z1, d3); ++z) {
        for (int32_t y = y0; y < std::min(y1, d2); ++y) {
          for (int32_t x = x0; x < std::min(x1, d1); ++x) {
            at(x, y, z) = value;
          }
        }
      }
    }
  }
  // Fine noise on top, from none to plenty.
  const uint32_t amplitude = kind == 4            ? 1 + below(rng, 128)
                             : below(rng, 3) == 0 ? 0
                                                  : below(rng, 12);
  std::vector<int32_t> image(n);
  for (size_t i = 0; i < n; ++i) {
    double x = v[i];
    if (amplitude > 0) {
      x += static_cast<double>(below(rng, 2 * amplitude + 1)) - amplitude;
    }
    image[i] = static_cast<int32_t>(std::lround(std::min(255.0, std::max(0.0, x))));
  }
  return image;
}

// A side from half of full (one past) to full, or of any size, for odd images.
int32_t odd_side(std::mt19937 &rng, int32_t full) {
  if (full == 1) {
    return 1;
  }
  return below(rng, 4) == 0 ? 1 + static_cast<int32_t>(below(rng, static_cast<uint32_t>(full)))
                            : full / 2 + 1 + static_cast<int32_t>(below(rng, full / 2));
}

Case random_case(std::mt19937 &rng, int32_t min_levels, int32_t max_levels, bool odd) {
  Case c;
  const bool volume = below(rng, 2) == 0;
  c.levels = min_levels +
             static_cast<int32_t>(below(rng, static_cast<uint32_t>(max_levels - min_levels + 1)));
  c.flat = c.levels;
  if (volume && 2 * c.levels + 1 <= 20) {
    // Planes 2^(levels - flat), the whole within 2^20 voxels.
    do {
      c.flat = static_cast<int32_t>(below(rng, static_cast<uint32_t>(c.levels)));
    } while (3 * c.levels - c.flat > 20);
  }
  // Start levels low and high, mostly in between.
  c.start = static_cast<int32_t>(below(rng, static_cast<uint32_t>(c.levels)));
  const int32_t criterion = 1 + static_cast<int32_t>(below(rng, 5));
  const int32_t parallel = below(rng, 2);
  const double p[14] = {double(c.levels),
                        double(c.flat),
                        double(c.start),
                        double(parallel),
                        double(1 + below(rng, 6)),
                        double(below(rng, 2)),
                        double(criterion),
                        double(below(rng, 3) == 0 ? below(rng, 60) : below(rng, 24)),
                        below(rng, 50) / 100.0,
                        0.5 + below(rng, 100) / 10.0,
                        double(1 + below(rng, 3)),
                        below(rng, 50) / 10.0,
                        below(rng, 3) == 0 ? 0.0 : double(1 + below(rng, 80)),
                        double(below(rng, 2))};
  std::copy(p, p + 14, c.params);
  c.nlhs = below(rng, 4) == 0 ? 1 : 2;
  c.d1 = c.side();
  c.d2 = c.side();
  c.d3 = c.planes();
  if (odd && below(rng, 4) != 0) {
    c.d1 = odd_side(rng, c.d1);
    c.d2 = odd_side(rng, c.d2);
    if (c.volume()) {
      c.d3 = std::max(2, odd_side(rng, c.d3)); // a volume keeps its third dimension
    }
  }
  c.image = make_texture(rng, c.d1, c.d2, c.d3, c.texture);
  const double slice = 4.0 * static_cast<double>(c.image.size());
  if (c.nlhs == 2 && below(rng, 4) == 0) {
    // A budget of a few slices (bytes), so that the stack stops early.
    c.budget = true;
    c.budget_bytes = slice * (1 + below(rng, 6)) + below(rng, 1000) + 2;
  } else if (c.nlhs == 2 && c.image.size() > (1u << 16)) {
    // Large images with a pixel a region would open a thousand slices
    // or more: 256 MB for each of the two modules' stacks.
    c.budget = true;
    c.budget_bytes = 256.0 * 1024 * 1024;
  }
  return c;
}

// Standard output of the process while a call runs: the module prints its
// progress lines there with printf.
class StdoutCapture {
public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = dup(1);
    dup2(fileno(file_), 1);
  }
  std::string finish() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::string text;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) {
      text.append(buf, n);
    }
    std::fclose(file_);
    return text;
  }

private:
  FILE *file_ = nullptr;
  int saved_ = -1;
};

struct Module {
  std::string name; // the name the host loads it by
  std::string path;
  long (*allocation_count)() = nullptr;
};

Result run(Module &m, const Case &c) {
  std::vector<mxArray *> in;
  const mwSize dims[3] = {mwSize(c.d1), mwSize(c.d2), mwSize(c.d3)};
  mxArray *image = mxCreateNumericArray(c.volume() ? 3 : 2, dims, mxINT32_CLASS, mxREAL);
  std::memcpy(mxGetData(image), c.image.data(), sizeof(int32_t) * c.image.size());
  in.push_back(image);
  for (double v : c.params) {
    in.push_back(mxCreateDoubleScalar(v));
  }
  if (c.budget) {
    in.push_back(mxCreateDoubleScalar(c.budget_bytes));
  }
  mxArray *out[2] = {nullptr, nullptr};
  kalhost::clearTranscript();
  StdoutCapture capture;
  const kalhost::CallResult r = kalhost::call(m.name, c.nlhs, out, static_cast<int>(in.size()),
                                              const_cast<const mxArray **>(in.data()));
  Result res;
  res.printed = capture.finish();
  res.ok = r.ok;
  res.error = r.id + ": " + r.error;
  res.warnings = kalhost::warnings();
  if (m.allocation_count == nullptr) {
    if (void *lib = dlopen(m.path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      m.allocation_count =
          reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_allocation_count"));
      dlclose(lib);
    }
  }
  if (m.allocation_count != nullptr) {
    res.allocations = m.allocation_count();
  }
  for (mxArray *o : out) {
    if (o == nullptr) {
      continue;
    }
    const mwSize *d = mxGetDimensions(o);
    res.dims.emplace_back(d, d + mxGetNumberOfDimensions(o));
    const int32_t *data = static_cast<const int32_t *>(mxGetData(o));
    res.outputs.emplace_back(data, data + mxGetNumberOfElements(o));
    mxDestroyArray(o);
  }
  for (mxArray *a : in) {
    mxDestroyArray(a);
  }
  return res;
}

// The first difference between two results, or "" when there is none.
std::string difference(const Result &a, const Result &b, bool allocations) {
  if (a.ok != b.ok || (!a.ok && a.error != b.error)) {
    return "call status: base " + (a.ok ? std::string("ok") : a.error) + ", new " +
           (b.ok ? std::string("ok") : b.error);
  }
  if (a.printed != b.printed) {
    return "progress lines:\n--- base\n" + a.printed + "--- new\n" + b.printed;
  }
  if (a.warnings != b.warnings) {
    std::string s = "warnings:\n--- base\n";
    for (const std::string &w : a.warnings) {
      s += w + "\n";
    }
    s += "--- new\n";
    for (const std::string &w : b.warnings) {
      s += w + "\n";
    }
    return s;
  }
  if (a.outputs.size() != b.outputs.size()) {
    return "number of outputs";
  }
  for (size_t k = 0; k < a.outputs.size(); ++k) {
    if (a.dims[k] != b.dims[k]) {
      std::string s = "output " + std::to_string(k + 1) + " dimensions: base";
      for (mwSize d : a.dims[k]) {
        s += " " + std::to_string(d);
      }
      s += ", new";
      for (mwSize d : b.dims[k]) {
        s += " " + std::to_string(d);
      }
      return s;
    }
    for (size_t i = 0; i < a.outputs[k].size(); ++i) {
      if (a.outputs[k][i] != b.outputs[k][i]) {
        return "output " + std::to_string(k + 1) + " at element " + std::to_string(i) + ": base " +
               std::to_string(a.outputs[k][i]) + ", new " + std::to_string(b.outputs[k][i]);
      }
    }
  }
  if (allocations && a.allocations != b.allocations) {
    return "allocations of the module: base " + std::to_string(a.allocations) + ", new " +
           std::to_string(b.allocations);
  }
  return "";
}

bool copy_file(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  if (!in || !out) {
    return false;
  }
  out << in.rdbuf();
  return static_cast<bool>(out);
}

int usage() {
  std::fprintf(stderr,
               "usage: seg_compare --base OLD.so [--new NEW.so] [--runs N] [--seed S] "
               "[--min-levels L] [--max-levels L] [--threads T] [--odd] [--no-allocations]\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  std::string base_path;
  std::string new_path = kalhost::defaultModuleDir() + "/regionseg_core.so";
  long runs = 1000;
  uint32_t seed = 1;
  int32_t min_levels = 2;
  int32_t max_levels = 7;
  bool allocations = true;
  bool odd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--base" && has_value) {
      base_path = argv[++i];
    } else if (a == "--new" && has_value) {
      new_path = argv[++i];
    } else if (a == "--runs" && has_value) {
      runs = std::atol(argv[++i]);
    } else if (a == "--seed" && has_value) {
      seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--min-levels" && has_value) {
      min_levels = std::max(2, std::min(10, std::atoi(argv[++i])));
    } else if (a == "--max-levels" && has_value) {
      max_levels = std::max(2, std::min(10, std::atoi(argv[++i])));
    } else if (a == "--threads" && has_value) {
      setenv("KALMEX_THREADS", argv[++i], 1);
    } else if (a == "--odd") {
      odd = true;
    } else if (a == "--no-allocations") {
      allocations = false;
    } else {
      return usage();
    }
  }
  if (base_path.empty()) {
    return usage();
  }
  char folder[] = "/tmp/seg_compare_XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    std::perror("seg_compare: mkdtemp");
    return 2;
  }
  Module base{"seg_base", std::string(folder) + "/seg_base.so"};
  Module fresh{"seg_new", std::string(folder) + "/seg_new.so"};
  const bool copied = copy_file(base_path, base.path) && copy_file(new_path, fresh.path);
  kalhost::setSearchPath({folder});
  int status = copied ? 0 : 2;
  if (!copied) {
    std::fprintf(stderr, "seg_compare: cannot copy %s and %s\n", base_path.c_str(),
                 new_path.c_str());
  }
  std::mt19937 rng(seed);
  long compared = 0;
  // How many runs reached each stage's line, and met the budget.
  static const char *const stages[] = {
      "finished calculating region\n", "finished splitting\n", "finished parallell grouping\n",
      "finished small region elimination\n", "finished sorting of regionlist\n"};
  long reached[5] = {};
  long budget_warnings = 0;
  for (long r = 0; r < runs && status == 0; ++r) {
    const Case c = random_case(rng, min_levels, std::max(min_levels, max_levels), odd);
    const Result a = run(base, c);
    const Result b = run(fresh, c);
    if (!a.ok) {
      std::fprintf(stderr, "seg_compare: run %ld refused by the base module: %s\n%s\n", r,
                   a.error.c_str(), c.describe().c_str());
      status = 2;
      break;
    }
    const std::string d = difference(a, b, allocations);
    if (!d.empty()) {
      std::printf("run %ld (seed %u) differs: %s\ncall: %s\n", r, seed, d.c_str(),
                  c.describe().c_str());
      status = 1;
      break;
    }
    ++compared;
    for (int k = 0; k < 5; ++k) {
      reached[k] += a.printed.find(stages[k]) != std::string::npos;
    }
    budget_warnings += !a.warnings.empty();
  }
  kalhost::clearAll();
  unlink(base.path.c_str());
  unlink(fresh.path.c_str());
  rmdir(folder);
  if (status == 0) {
    std::printf("%ld runs agree (seed %u, levels up to %d): one block %ld, split %ld, parallel "
                "grouping %ld, elimination %ld, sorted %ld, with a warning %ld\n",
                compared, seed, max_levels, reached[0], reached[1], reached[2], reached[3],
                reached[4], budget_warnings);
  }
  return status;
}
