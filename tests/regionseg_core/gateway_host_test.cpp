// The shipped module on the embedded host: refusals of malformed calls,
// output shapes, progress lines and the release of everything a call made.
#include "host_inputs.h"
#include "hosttest.h"
#include "sanitized.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace kaltest;

namespace {

// The 14 parameters of a call, as doubles, in argument order.
struct Params {
  double levels = 2, flat_levels = 2, start_level = 0, parallel_grouping = 0, parallel_seeds = 1,
         seed_any_level = 1, criterion = 1, threshold = 10, outlier_fraction = 0.1, noise_sigma = 2,
         confidence_row = 2, size_factor = 1, min_region_size = 0, keep_small_stats = 0;
  double *at(int i) { return &levels + i; }
};

using Inputs = CallInputs<Params>;

Array uniformImage(std::vector<mwSize> d, int32_t value) {
  std::size_t n = 1;
  for (mwSize k : d) {
    n *= k;
  }
  return int32Array(d, std::vector<int32_t>(n, value));
}

const char *const kOneBlock = "finished initialisation\nfinished merging\nfinished calculating "
                              "region\nfinished the split_merge routine\nfinished make_output "
                              "\nNo save_regionlist specified\n";

// The module's own allocation counters (its copy, inside the loaded file).
struct ModuleHooks {
  void (*fail_at)(long) = nullptr;
  long (*count)() = nullptr;
  long (*live)() = nullptr;
};

ModuleHooks module_hooks() {
  ModuleHooks h;
  const std::string path = kalhost::defaultModuleDir() + "/regionseg_core.so";
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) {
    return h;
  }
  h.fail_at = reinterpret_cast<void (*)(long)>(dlsym(lib, "regionseg_core_fail_allocation_at"));
  h.count = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_allocation_count"));
  h.live = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_live_allocations"));
  dlclose(lib); // the host keeps its own reference
  return h;
}

class Gateway : public HostTest {
protected:
  // Calls the module, expecting the refusal text.
  void expect_refused(const Inputs &in, const std::string &message, int nlhs = 1) {
    Call c = call("regionseg_core", nlhs, in.list());
    EXPECT_FALSE(c.ok()) << message;
    EXPECT_EQ(c.error(), message);
  }
};

TEST_F(Gateway, OneBlockRunPrintsItsMessagesAndReturnsBothOutputs) {
  Inputs in(uniformImage({4, 4}, 100), Params{});
  Call c = call("regionseg_core", 2, in.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.stdoutText, kOneBlock);
  EXPECT_EQ(c.transcript, "");
  ASSERT_EQ(c.out.size(), 2u);
  EXPECT_EQ(mxGetClassID(c.out[0].get()), mxINT32_CLASS);
  EXPECT_EQ(dims(c.out[0].get()), (std::vector<mwSize>{4, 4}));
  const std::vector<int32_t> labels = int32Values(c.out[0].get());
  EXPECT_TRUE(std::all_of(labels.begin(), labels.end(), [](int32_t v) { return v == 0; }));
  // Slice 1 the checkerboard of single pixels, slice 2 the root painted 0.
  EXPECT_EQ(mxGetClassID(c.out[1].get()), mxINT32_CLASS);
  EXPECT_EQ(dims(c.out[1].get()), (std::vector<mwSize>{4, 4, 2}));
  const std::vector<int32_t> stack = int32Values(c.out[1].get());
  EXPECT_EQ(stack[0], 1);
  EXPECT_EQ(stack[1], 2);
  EXPECT_EQ(stack[4], 3);
  EXPECT_EQ(stack[5], 4);
  EXPECT_TRUE(std::all_of(stack.begin() + 16, stack.end(), [](int32_t v) { return v == 0; }));
}

// A volume's stack has four dimensions; an image that does not fill its
// tree gives outputs of its own size.
TEST_F(Gateway, OutputsHaveTheImagesOwnSize) {
  struct Shape {
    std::vector<mwSize> dims;
    double levels, flat_levels, start_level;
  };
  for (const Shape &s : {Shape{{4, 4, 2}, 2, 1, 1}, Shape{{5, 3}, 3, 3, 1},
                         Shape{{5, 3, 2}, 3, 2, 0}, Shape{{1, 7, 3}, 4, 2, 2}}) {
    Params p;
    p.levels = s.levels;
    p.flat_levels = s.flat_levels;
    p.start_level = s.start_level;
    Inputs in(uniformImage(s.dims, 30), p);
    Call c = call("regionseg_core", 2, in.list(), true);
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_EQ(c.stdoutText, kOneBlock);
    EXPECT_EQ(dims(c.out[0].get()), s.dims);
    std::vector<mwSize> stack = s.dims;
    stack.push_back(2);
    EXPECT_EQ(dims(c.out[1].get()), stack);
  }
}

TEST_F(Gateway, OneOutputOrNoneBuildsNoStack) {
  Inputs in(uniformImage({4, 4}, 100), Params{});
  for (int nlhs : {0, 1}) {
    Call c = call("regionseg_core", nlhs, in.list(), true);
    ASSERT_TRUE(c.ok()) << c.error();
    ASSERT_EQ(c.out.size(), 1u);
    EXPECT_EQ(dims(c.out[0].get()), (std::vector<mwSize>{4, 4}));
    EXPECT_EQ(c.stdoutText, kOneBlock);
  }
}

TEST_F(Gateway, ParametersOfAnyRealClassMeanTheirValue) {
  Params p;
  p.start_level = 1;
  Inputs doubles(uniformImage({4, 4}, 100), p);
  Call a = call("regionseg_core", 2, doubles.list(), true);
  Inputs typed(uniformImage({4, 4}, 100), p);
  typed.arrays[1] = int32Array({1, 1}, {2});             // levels
  typed.arrays[2] = numericArray(mxUINT8_CLASS, {1, 1}); // flat_levels
  static_cast<uint8_t *>(mxGetData(typed.arrays[2].get()))[0] = 2;
  typed.arrays[3] = logicalScalar(true); // start_level 1
  typed.arrays[7] = numericArray(mxSINGLE_CLASS, {1, 1});
  static_cast<float *>(mxGetData(typed.arrays[7].get()))[0] = 1.0f; // criterion
  typed.arrays[8] = int32Array({1, 2}, {10, -5});                   // threshold: the first element
  Call b = call("regionseg_core", 2, typed.list(), true);
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  EXPECT_EQ(b.stdoutText, a.stdoutText);
  EXPECT_EQ(int32Values(b.out[1].get()), int32Values(a.out[1].get()));
  // start_level 1: 2 x 2 start blocks in the checkerboard.
  const std::vector<int32_t> stack = int32Values(b.out[1].get());
  EXPECT_EQ(stack[1], 1);
  EXPECT_EQ(stack[2], 2);
}

TEST_F(Gateway, RefusesMalformedCalls) {
  const Params p;
  {
    Inputs in(uniformImage({4, 4}, 1), p);
    std::vector<const mxArray *> fewer = in.list();
    fewer.pop_back();
    Call c = call("regionseg_core", 1, fewer);
    EXPECT_EQ(c.error(),
              "Expected 15 or 16 inputs: the image, 14 parameters and the snapshot budget.");
    expect_refused(in, "At most two outputs: labels and snapshots.", 3);
  }
  const std::string image = "Argument 1 (image) ";
  {
    Inputs in(doubleMatrix(4, 4), p);
    expect_refused(in, image + "must be a real, full int32 array.");
  }
  {
    Array z(mxCreateNumericArray(2, std::vector<mwSize>{4, 4}.data(), mxINT32_CLASS, mxCOMPLEX));
    Inputs in(std::move(z), p);
    expect_refused(in, image + "must be a real, full int32 array.");
  }
  {
    Inputs in(uniformImage({4, 4, 2, 2}, 1), p);
    expect_refused(in, image + "must have two or three dimensions.");
  }
  {
    Inputs empty(uniformImage({0, 4}, 1), p);
    expect_refused(empty, image + "must not be empty.");
    // A tree that does not cover the image.
    Inputs in(uniformImage({4, 5}, 1), p);
    expect_refused(in, image + "must be at most 2^levels in its first two dimensions.");
    Call c = call("regionseg_core", 1, in.list());
    EXPECT_EQ(c.result.id, "kalmex:regionseg_core:badImage");
  }
  {
    Params q = p;
    q.flat_levels = 1;
    Inputs in(uniformImage({4, 4}, 1), q);
    expect_refused(in, image + "must be 3-D unless flat_levels equals levels.");
    Inputs vol(uniformImage({4, 4, 3}, 1), q);
    expect_refused(vol, image + "must have at most 2^(levels - flat_levels) planes.");
  }
  {
    Array img = uniformImage({4, 4}, 1);
    static_cast<int32_t *>(mxGetData(img.get()))[15] = 256;
    Inputs in(std::move(img), p);
    expect_refused(in, image + "must hold grey values 0 to 255.");
    static_cast<int32_t *>(mxGetData(in.arrays[0].get()))[15] = -1;
    expect_refused(in, image + "must hold grey values 0 to 255.");
  }

  // Ranges of the parameters: position, value, message.
  struct Case {
    int pos;
    double value;
    const char *message;
  };
  const Case cases[] = {
      {1, 0, "Argument 2 (levels) must be 1 to 16."},
      {1, 17, "Argument 2 (levels) must be 1 to 16."},
      {3, 2, "Argument 4 (start_level) must be 0 to levels - 1."},
      {3, -1, "Argument 4 (start_level) must be 0 to levels - 1."},
      {2, 3, "Argument 3 (flat_levels) must be 0 to levels."},
      {2, -1, "Argument 3 (flat_levels) must be 0 to levels."},
      {7, 0, "Argument 8 (criterion) must be 1 to 5."},
      {7, 6, "Argument 8 (criterion) must be 1 to 5."},
      {8, -1, "Argument 9 (threshold) must not be negative."},
      {9, -0.01, "Argument 10 (outlier_fraction) must not be negative."},
      {10, std::nan(""), "Argument 11 (noise_sigma) must be finite."},
      {12, std::numeric_limits<double>::infinity(), "Argument 13 (size_factor) must be finite."},
      {1, -std::numeric_limits<double>::infinity(), "Argument 2 (levels) must be finite."},
      {13, 3e9, "Argument 14 (min_region_size) must fit in a 32-bit integer."},
      {8, -3e9, "Argument 9 (threshold) must fit in a 32-bit integer."},
  };
  for (const Case &k : cases) {
    Params q = p;
    *q.at(k.pos - 1) = k.value;
    Inputs in(uniformImage({4, 4}, 1), q);
    expect_refused(in, k.message);
  }
  {
    Params q = p;
    q.criterion = 4;
    q.confidence_row = 0;
    Inputs in(uniformImage({4, 4}, 1), q);
    expect_refused(in, "Argument 12 (confidence_row) must be 1, 2 or 3 with criterion 4.");
    *q.at(10) = 4;
    Inputs four(uniformImage({4, 4}, 1), q);
    expect_refused(four, "Argument 12 (confidence_row) must be 1, 2 or 3 with criterion 4.");
    q.criterion = 1; // the row is not read by other criteria
    q.confidence_row = 7;
    Inputs other(uniformImage({4, 4}, 1), q);
    EXPECT_TRUE(call("regionseg_core", 1, other.list(), true).ok());
  }
  {
    Params q = p;
    q.parallel_grouping = 1;
    q.parallel_seeds = 0;
    Inputs in(uniformImage({4, 4}, 1), q);
    expect_refused(in, "Argument 6 (parallel_seeds) must be at least 1 with parallel grouping.");
    q.parallel_grouping = 0; // not read without parallel grouping
    Inputs off(uniformImage({4, 4}, 1), q);
    EXPECT_TRUE(call("regionseg_core", 1, off.list(), true).ok());
  }

  // Parameters that are not a real numeric or logical value.
  const std::string param = "Argument 9 (threshold) ";
  std::vector<std::function<Array()>> bad = {
      [] { return emptyDouble(); },  [] { return complexDouble(1, 1); },
      [] { return text("7"); },      [] { return cellMatrix(1, 1); },
      [] { return structScalar(); }, [] { return sparseDouble(1, 1); }};
  const char *const why[] = {"must not be empty.",
                             "must be a real numeric or logical value.",
                             "must be a real numeric or logical value.",
                             "must be a real numeric or logical value.",
                             "must be a real numeric or logical value.",
                             "must be a real numeric or logical value."};
  for (std::size_t i = 0; i < bad.size(); ++i) {
    Inputs in(uniformImage({4, 4}, 1), p);
    in.arrays[8] = bad[i]();
    expect_refused(in, param + why[i]);
  }
}

// Criterion 4 reads the chi-square table only up to blocks of 262144
// pixels below the root.
// A 16th input bounds the stack: two slices of a run that makes more keep
// the first and the last, with one warning; without it (or with a budget as
// large) the stack is whole and nothing is said.
TEST_F(Gateway, SnapshotBudgetCutsTheStackAndWarns) {
  Params p;
  p.levels = 6;
  p.flat_levels = 6;
  std::vector<int32_t> noise(64 * 64);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<int32_t>((i * 7919u) % 251u);
  }
  Inputs whole(int32Array({64, 64}, noise), p);
  Call full = call("regionseg_core", 2, whole.list());
  ASSERT_TRUE(full.ok()) << full.error();
  const std::vector<int32_t> stack = int32Values(full.out[1].get());
  const size_t slice = 64 * 64;
  ASSERT_GE(stack.size(), 4 * slice);
  EXPECT_TRUE(kalhost::warnings().empty());
  for (double budget : {2.5 * 4 * slice, 0.5, 1e-30}) {
    Inputs in(int32Array({64, 64}, noise), p);
    in.arrays.push_back(doubleScalar(budget));
    kalhost::clearTranscript();
    Call cut = call("regionseg_core", 2, in.list());
    ASSERT_TRUE(cut.ok()) << cut.error();
    EXPECT_EQ(int32Values(cut.out[0].get()), int32Values(full.out[0].get()));
    const std::vector<int32_t> kept = int32Values(cut.out[1].get());
    if (budget < 1e-20) {
      // A share too small for one slice still keeps the final state.
      EXPECT_TRUE(std::equal(kept.begin(), kept.end(), stack.end() - slice));
      ASSERT_EQ(kalhost::warnings().size(), 1u);
      EXPECT_NE(kalhost::warnings()[0].find("1 snapshots kept"), std::string::npos);
    } else if (budget > 1) {
      ASSERT_EQ(kept.size(), 2 * slice);
      EXPECT_TRUE(std::equal(kept.begin(), kept.begin() + slice, stack.begin()));
      EXPECT_TRUE(std::equal(kept.begin() + slice, kept.end(), stack.end() - slice));
      ASSERT_EQ(kalhost::warnings().size(), 1u);
      EXPECT_NE(kalhost::warnings()[0].find("2 snapshots kept"), std::string::npos);
    } else {
      EXPECT_EQ(kept, stack); // half of the machine's memory
      EXPECT_TRUE(kalhost::warnings().empty());
    }
  }
  Inputs bad(int32Array({64, 64}, noise), p);
  bad.arrays.push_back(doubleScalar(0));
  expect_refused(bad, "Argument 16 (snapshot_budget) must be positive.");
  // Bytes that do not hold one slice are refused before anything is made.
  for (double bytes : {2.0, 4.0 * slice - 1}) {
    Inputs small(int32Array({64, 64}, noise), p);
    small.arrays.push_back(doubleScalar(bytes));
    Call c = call("regionseg_core", 2, small.list(), true);
    EXPECT_EQ(c.error(), "Argument 16 (snapshot_budget) must be at least 16384 bytes: one "
                         "snapshot of this image.");
    EXPECT_EQ(c.result.id, "kalmex:regionseg_core:badParameter");
    EXPECT_TRUE(c.stdoutText.empty());
  }
}

// An image of more than 2^30 voxels is refused before anything is read or
// made (the array is never touched, so its pages are never faulted in).
TEST_F(Gateway, RefusesImagesOfMoreThanTwoToTheThirtyVoxels) {
  const mwSize dims[2] = {32768, 32769};
  Array huge(mxCreateNumericArray(2, dims, mxINT32_CLASS, mxREAL));
  ASSERT_NE(huge.get(), nullptr);
  Inputs in(std::move(huge), Params{});
  expect_refused(in, "Argument 1 (image) must have at most 2^30 voxels.");
}

TEST_F(Gateway, RefusesCriterionFourBeyondItsTable) {
  Params p;
  p.levels = 8;
  p.flat_levels = 2; // blocks of level 7: 16 x 8^5 = 524288 pixels
  p.start_level = 7;
  p.criterion = 4;
  Inputs in(uniformImage({256, 256, 64}, 0), p);
  expect_refused(in, "Argument 8 (criterion) 4 allows blocks below the root of at most 262144 "
                     "pixels.");
  p.flat_levels = 3; // 64 x 8^4 = 262144
  Inputs ok(uniformImage({256, 256, 32}, 0), p);
  Call c = call("regionseg_core", 1, ok.list(), true);
  EXPECT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.stdoutText, kOneBlock);
}

// Through the module file itself: every allocation of a small run fails in
// turn.  The call either gives both outputs whole (an allocation with a way
// round it) or raises kalmex:regionseg_core:outOfMemory saying what ran
// short; either way it leaves nothing behind.
TEST_F(Gateway, EveryAllocationFailingLeavesNothingBehind) {
  Params p;
  p.levels = 3;
  p.flat_levels = 3;
  p.start_level = 1;
  p.min_region_size = 2;
  std::vector<int32_t> values(64);
  for (int i = 0; i < 64; ++i) {
    values[i] = (i % 8) < 4 ? 40 : (i * 53) % 256;
  }
  Inputs in(int32Array({8, 8}, values), p);
  ASSERT_TRUE(call("regionseg_core", 2, in.list(), true).ok()); // loads the module
  const ModuleHooks hooks = module_hooks();
  ASSERT_TRUE(hooks.fail_at != nullptr && hooks.count != nullptr && hooks.live != nullptr);
  const long live = hooks.live();
  hooks.fail_at(0);
  Call clean = call("regionseg_core", 2, in.list(), true);
  const long total = hooks.count();
  ASSERT_GT(total, 10);
  int failed = 0;
  for (long n = 1; n <= total; ++n) {
    hooks.fail_at(n);
    Call c = call("regionseg_core", 2, in.list(), true);
    hooks.fail_at(0);
    EXPECT_EQ(hooks.live(), live) << "n " << n;
    if (c.ok()) {
      EXPECT_EQ(int32Values(c.out[0].get()), int32Values(clean.out[0].get())) << "n " << n;
      EXPECT_EQ(int32Values(c.out[1].get()), int32Values(clean.out[1].get())) << "n " << n;
      continue;
    }
    ++failed;
    EXPECT_EQ(c.result.id, "kalmex:regionseg_core:outOfMemory") << "n " << n;
    EXPECT_EQ(c.error().rfind("Out of memory during ", 0), 0u) << c.error();
    EXPECT_NE(c.error().find(" bytes) could not be allocated."), std::string::npos) << c.error();
  }
  EXPECT_GT(failed, total / 2);
}

// Grey values of a seeded picture: a bright box, a dark disc and noise of
// the given amplitude.
std::vector<int32_t> seeded_picture(int32_t side, int32_t planes, uint32_t seed, int32_t noise) {
  std::vector<int32_t> v(static_cast<std::size_t>(side) * side * planes);
  uint32_t state = seed;
  for (int32_t z = 0; z < planes; ++z) {
    for (int32_t y = 0; y < side; ++y) {
      for (int32_t x = 0; x < side; ++x) {
        state = state * 1664525u + 1013904223u;
        const int32_t r = static_cast<int32_t>(state >> 24) % (2 * noise + 1) - noise;
        const int32_t dx = x - side / 3, dy = y - side / 2;
        int32_t g = 120;
        if (x > side / 2 && y < side / 2 + z) {
          g = 200;
        } else if (dx * dx + dy * dy < side * side / 16) {
          g = 40;
        }
        v[x + side * (y + side * static_cast<std::size_t>(z))] = std::min(255, std::max(0, g + r));
      }
    }
  }
  return v;
}

// What the snapshots of a run show, painted here from their definition on
// pictures whose stages are plain to follow.  With threshold 0 and no noise
// every criterion calls a block homogeneous only when it holds one value,
// and the grouping tests join equal values only.  A constant picture merges
// into the root, level by level; on 60 x ((x + 2y + 3z) mod 4) no two face
// neighbours are alike, so nothing merges, every start block splits down to
// its pixels and grouping joins nothing, painting each pixel once at its
// turn (after the further seeds, with parallel grouping).
struct Painter {
  int32_t levels, flat, start, side, planes;
  std::vector<int32_t> now;                // the painting
  std::vector<std::vector<int32_t>> stack; // the frozen snapshots
  int32_t events_since_opening = 1000;     // the first event opens snapshot 2

  Painter(int32_t l, int32_t f, int32_t s)
      : levels(l), flat(f), start(s), side(1 << l), planes(1 << (l - f)),
        now(static_cast<std::size_t>(side) * side * planes) {}

  int32_t depth(int32_t level) const { return level < flat ? 1 : 1 << (level - flat); }
  int32_t children(int32_t level) const { return level <= flat ? 4 : 8; } // of a block at level

  // One paint event: every 1001st freezes the painting, this paint included.
  void count() {
    if (++events_since_opening > 1000) {
      stack.push_back(now);
      events_since_opening = 0;
    }
  }
  void paint(int32_t x, int32_t y, int32_t z, int32_t level, int32_t value) {
    for (int32_t k = z; k < z + depth(level); ++k) {
      for (int32_t j = y; j < y + (1 << level); ++j) {
        for (int32_t i = x; i < x + (1 << level); ++i) {
          now[i + side * (j + side * static_cast<std::size_t>(k))] = value;
        }
      }
    }
    count();
  }
  // visit(x, y, z, child index) for the children of the block at level + 1
  // with origin (x, y, z), in child-index order.
  template <typename Visit>
  void each_child(int32_t level, int32_t x, int32_t y, int32_t z, Visit visit) const {
    for (int32_t k = 1; k <= children(level + 1); ++k) {
      visit(x + ((k - 1) & 1 ? 1 << level : 0), y + ((k - 1) & 2 ? 1 << level : 0),
            z + ((k - 1) & 4 ? depth(level) : 0), k);
    }
  }
  // visit(x, y, z, child index) for every block of a level in code order.
  template <typename Visit>
  void each_block(int32_t level, Visit visit, int32_t at = -1, int32_t x = 0, int32_t y = 0,
                  int32_t z = 0, int32_t k = 0) const {
    if (at < 0) {
      at = levels;
    }
    if (at == level) {
      visit(x, y, z, k);
      return;
    }
    each_child(at - 1, x, y, z, [&](int32_t cx, int32_t cy, int32_t cz, int32_t ck) {
      each_block(level, visit, at - 1, cx, cy, cz, ck);
    });
  }
  void checkerboard() {
    const int32_t t = start < flat ? 0 : start - flat;
    for (int32_t z = 0; z < planes; ++z) {
      for (int32_t y = 0; y < side; ++y) {
        for (int32_t x = 0; x < side; ++x) {
          now[x + side * (y + side * static_cast<std::size_t>(z))] =
              1 + ((x >> start) & 1) + 2 * ((y >> start) & 1) + 4 * ((z >> t) & 1);
        }
      }
    }
    count();
  }
  void split(int32_t level, int32_t x, int32_t y, int32_t z) {
    each_child(level - 1, x, y, z, [&](int32_t cx, int32_t cy, int32_t cz, int32_t k) {
      paint(cx, cy, cz, level - 1, k);
      if (level > 1) {
        split(level - 1, cx, cy, cz);
      }
    });
  }
  // The whole stack: the frozen snapshots and the final painting.
  std::vector<int32_t> finish() {
    std::vector<int32_t> all;
    stack.push_back(now);
    for (const std::vector<int32_t> &slice : stack) {
      all.insert(all.end(), slice.begin(), slice.end());
    }
    return all;
  }
  std::vector<int32_t> constant_run() {
    checkerboard();
    for (int32_t level = start + 1; level <= levels; ++level) {
      each_block(level,
                 [&](int32_t x, int32_t y, int32_t z, int32_t k) { paint(x, y, z, level, k); });
    }
    return finish();
  }
  std::vector<int32_t> pattern_run(int32_t seeds) {
    checkerboard();
    each_block(start, [&](int32_t x, int32_t y, int32_t z, int32_t) { split(start, x, y, z); });
    std::vector<std::array<int32_t, 3>> pixels; // the regions, in list order
    each_block(0, [&](int32_t x, int32_t y, int32_t z, int32_t) { pixels.push_back({x, y, z}); });
    for (int32_t i = 1; i < seeds && i < static_cast<int32_t>(pixels.size()); ++i) {
      paint(pixels[i][0], pixels[i][1], pixels[i][2], 0, i - 1);
    }
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      paint(pixels[i][0], pixels[i][1], pixels[i][2], 0, static_cast<int32_t>(i));
    }
    return finish();
  }
};

TEST_F(Gateway, SnapshotStackIsThePaintingOfTheRun) {
  struct Shape {
    int32_t levels, flat, start;
  };
  // A picture, and a volume whose start blocks split in eight, then in four.
  for (const Shape &g : {Shape{5, 5, 2}, Shape{4, 1, 2}}) {
    const int32_t side = 1 << g.levels, planes = 1 << (g.levels - g.flat);
    std::vector<mwSize> d = {mwSize(side), mwSize(side)};
    if (planes > 1) {
      d.push_back(mwSize(planes));
    }
    std::vector<int32_t> pattern(static_cast<std::size_t>(side) * side * planes);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      const std::size_t x = i % side, y = i / side % side, z = i / side / side;
      pattern[i] = static_cast<int32_t>(60 * ((x + 2 * y + 3 * z) % 4));
    }
    for (int32_t criterion = 1; criterion <= 5; ++criterion) {
      for (int32_t seeds : {0, 3}) {
        Params p;
        p.levels = g.levels;
        p.flat_levels = g.flat;
        p.start_level = g.start;
        p.criterion = criterion;
        p.threshold = 0;
        p.outlier_fraction = 0;
        p.noise_sigma = 0;
        p.confidence_row = 1;
        p.size_factor = 0;
        p.parallel_grouping = seeds > 0;
        p.parallel_seeds = seeds > 0 ? seeds : 1;
        SCOPED_TRACE(std::to_string(side) + " x " + std::to_string(planes) + ", criterion " +
                     std::to_string(criterion) + (seeds > 0 ? ", parallel" : ", sequential"));
        Inputs in(int32Array(d, pattern), p);
        Call c = call("regionseg_core", 2, in.list(), true);
        ASSERT_TRUE(c.ok()) << c.error();
        const std::vector<int32_t> expected = Painter(g.levels, g.flat, g.start).pattern_run(seeds);
        ASSERT_GE(expected.size(), 4 * pattern.size());
        EXPECT_EQ(int32Values(c.out[1].get()), expected);
        if (seeds == 0) {
          Inputs flat(uniformImage(d, 90), p);
          Call one = call("regionseg_core", 2, flat.list(), true);
          ASSERT_TRUE(one.ok()) << one.error();
          EXPECT_EQ(int32Values(one.out[1].get()),
                    Painter(g.levels, g.flat, g.start).constant_run());
        }
      }
    }
  }
}

// Output 2 is the arena itself: its data is the module's mxMalloc block,
// alive with the array (one host block more than before the call, none once
// the array is gone), and no stack-sized array data is made beside it.
TEST_F(Gateway, TheStackIsHandedOverWithoutACopy) {
  Params p;
  p.levels = 6;
  p.flat_levels = 6;
  p.threshold = 12;
  Inputs in(int32Array({64, 64}, seeded_picture(64, 1, 7, 30)), p);
  Call c = call("regionseg_core", 2, in.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(dims(c.out[1].get()), (std::vector<mwSize>{64, 64, 6}));
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 1);
  c.out[1].reset();
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_);

  // Host allocations of the call: the labels, the arena (made once, as
  // large as the stack) and output 2; an array to copy the stack into would
  // be a fourth.
  kalhost::failAllocationAt(0);
  Call counted = call("regionseg_core", 2, in.list(), true);
  EXPECT_EQ(kalhost::allocationCount(), 3);
}

// The host ending the call at each of its allocations (the labels, the
// arena, output 2): "Out of memory.", and what the run held when the arena
// failed is released by the next call, which gives the whole result.
TEST_F(Gateway, HostMemoryFailingInTheMiddleOfARun) {
  Params p;
  p.levels = 6;
  p.flat_levels = 6;
  p.threshold = 12;
  Inputs in(int32Array({64, 64}, seeded_picture(64, 1, 7, 30)), p);
  Params q = p;
  q.levels = 4;
  q.flat_levels = 4;
  Inputs small(int32Array({16, 16}, seeded_picture(16, 1, 3, 80)), q);
  for (const Inputs *call_in : {&in, &small}) {
    Call clean = call("regionseg_core", 2, call_in->list(), true);
    ASSERT_TRUE(clean.ok()) << clean.error();
    const ModuleHooks hooks = module_hooks();
    ASSERT_TRUE(hooks.live != nullptr);
    const long live = hooks.live();
    const std::size_t blocks = kalhost::liveBlocks(), arrays = kalhost::liveArrays();
    long n = 1;
    for (;; ++n) {
      kalhost::failAllocationAt(n);
      Call c = call("regionseg_core", 2, call_in->list(), true);
      kalhost::failAllocationAt(0);
      if (c.ok()) {
        break;
      }
      EXPECT_EQ(c.error(), "Out of memory.") << "n " << n;
      EXPECT_EQ(kalhost::liveBlocks(), blocks) << "n " << n;
      EXPECT_EQ(kalhost::liveArrays(), arrays) << "n " << n;
      if (n == 2) {
        EXPECT_GT(hooks.live(), live) << "the run's records, n " << n;
      }
      Call next = call("regionseg_core", 2, call_in->list(), true);
      ASSERT_TRUE(next.ok()) << next.error();
      EXPECT_EQ(hooks.live(), live) << "n " << n;
      EXPECT_EQ(int32Values(next.out[1].get()), int32Values(clean.out[1].get())) << "n " << n;
    }
    EXPECT_EQ(n, 4) << "three points of failure";
    EXPECT_EQ(dims(clean.out[1].get())[2], call_in == &in ? 6u : 2u);
  }
  const std::size_t blocks = kalhost::liveBlocks();
  // Clearing the module releases an interrupted run too (a leak checker
  // would see what it did not).
  kalhost::failAllocationAt(2);
  EXPECT_FALSE(call("regionseg_core", 2, in.list(), true).ok());
  kalhost::failAllocationAt(0);
  EXPECT_TRUE(kalhost::clear("regionseg_core"));
  EXPECT_EQ(kalhost::liveBlocks(), blocks);
}

// A 128^3 volume of speckle that every criterion splits down to its
// voxels: a run of a second or more, and some 300 MB of records and cells.
Inputs speckle_volume() {
  Params p;
  p.levels = 7;
  p.flat_levels = 0;
  p.start_level = 3;
  p.threshold = 20;
  p.min_region_size = 40;
  std::vector<int32_t> v(128 * 128 * 128);
  uint32_t state = 12345;
  for (int32_t &x : v) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<int32_t>(state >> 24);
  }
  return Inputs(int32Array({128, 128, 128}, v), p);
}

volatile sig_atomic_t program_saw_sigint = 0;
void program_sigint(int) { program_saw_sigint = program_saw_sigint + 1; }

// Ctrl-C in the middle of a run (SIGINT from 0.3 s on, every 20 ms until
// the call returns): the call ends with kalmex:regionseg_core:interrupted,
// leaves nothing behind, and the signal is handed on to the program's own
// handler.
TEST_F(Gateway, SigintEndsTheRun) {
  const Inputs in = speckle_volume();
  ASSERT_TRUE(call("regionseg_core", 0, {}).result.id != ""); // loads the module
  const ModuleHooks hooks = module_hooks();
  ASSERT_TRUE(hooks.live != nullptr);
  const long live = hooks.live();
  struct sigaction mine = {}, before = {};
  mine.sa_handler = program_sigint;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &mine, &before), 0);
  std::atomic<bool> over{false};
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (!over) {
      kill(getpid(), SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  Call c = call("regionseg_core", 2, in.list(), true);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  over = true;
  sender.join();
  sigaction(SIGINT, &before, nullptr);
  EXPECT_EQ(c.result.id, "kalmex:regionseg_core:interrupted") << c.error();
  EXPECT_EQ(c.error().rfind("Interrupted during ", 0), 0u) << c.error();
  EXPECT_LT(seconds, 30.0);
  EXPECT_GE(program_saw_sigint, 1);
  EXPECT_EQ(hooks.live(), live);
}

#ifndef KALMEX_TEST_SANITIZED
// The address space this process has mapped, in bytes.
long long mapped_bytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long long kb = 0;
  while (status >> key) {
    if (key == "VmSize:") {
      status >> kb;
      break;
    }
  }
  return kb * 1024;
}

#endif

// Under an address-space limit that leaves room for the call's outputs but
// not for the run (in a child process), the call fails quickly with
// kalmex:regionseg_core:outOfMemory: it neither hands back labels nor
// hangs.
TEST_F(Gateway, RunUnderAnAddressSpaceLimitFailsWithTheError) {
#ifdef KALMEX_TEST_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#else
  const Inputs in = speckle_volume();
  ASSERT_TRUE(call("regionseg_core", 0, {}).result.id != ""); // loads the module
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    alarm(30); // a hang ends the child
    const rlimit limit = {static_cast<rlim_t>(mapped_bytes() + (64 << 20)), RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &limit);
    const kalhost::CallResult r = call("regionseg_core", 1, in.list()).result;
    const std::string said = (r.ok ? std::string("ok") : r.id) + "\n" + r.error;
    ssize_t written = write(fds[1], said.data(), said.size());
    _exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    said.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(said.substr(0, said.find('\n')), "kalmex:regionseg_core:outOfMemory") << said;
  EXPECT_NE(said.find("\nOut of memory during "), std::string::npos) << said;
#endif
}

} // namespace
