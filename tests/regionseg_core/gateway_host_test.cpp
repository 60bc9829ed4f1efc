// The shipped module on the embedded host: refusals of malformed calls,
// output shapes, progress lines and the release of everything a call made.
#include "host_inputs.h"
#include "hosttest.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
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

TEST_F(Gateway, VolumeGivesAFourDimensionalStack) {
  Params p;
  p.levels = 2;
  p.flat_levels = 1;
  p.start_level = 1;
  Inputs in(uniformImage({4, 4, 2}, 30), p);
  Call c = call("regionseg_core", 2, in.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.stdoutText, kOneBlock);
  EXPECT_EQ(dims(c.out[0].get()), (std::vector<mwSize>{4, 4, 2}));
  EXPECT_EQ(dims(c.out[1].get()), (std::vector<mwSize>{4, 4, 2, 2}));
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
    Inputs in(uniformImage({4, 8}, 1), p);
    expect_refused(in, image + "must be 2^levels in its first two dimensions.");
  }
  {
    Params q = p;
    q.flat_levels = 1;
    Inputs in(uniformImage({4, 4}, 1), q);
    expect_refused(in, image + "must be 3-D unless flat_levels equals levels.");
    Inputs vol(uniformImage({4, 4, 4}, 1), q);
    expect_refused(vol, image + "must have 2^(levels - flat_levels) planes.");
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
      EXPECT_TRUE(kept.empty()); // a share below one byte allows no slice
      EXPECT_EQ(kalhost::warnings().size(), 1u);
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
// turn; the call always returns both outputs and leaves nothing behind.
TEST_F(Gateway, EveryAllocationFailingLeavesNothingBehind) {
  Params p;
  p.levels = 3;
  p.flat_levels = 3;
  p.start_level = 1;
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
  const std::vector<mwSize> clean_dims = dims(clean.out[1].get());
  for (long n = 1; n <= total; ++n) {
    hooks.fail_at(n);
    Call c = call("regionseg_core", 2, in.list(), true);
    hooks.fail_at(0);
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_EQ(hooks.live(), live) << "n " << n;
    // A failed run leaves the labels all zero; a snapshot that cannot be
    // had is merely not opened, and the run then gives the full result.
    const std::vector<int32_t> labels = int32Values(c.out[0].get());
    EXPECT_TRUE(std::all_of(labels.begin(), labels.end(), [](int32_t v) { return v == 0; }) ||
                labels == int32Values(clean.out[0].get()))
        << "n " << n;
    const std::vector<mwSize> d = dims(c.out[1].get());
    EXPECT_EQ(d[0], 8u);
    // One slice or more, unless the first snapshot itself could not be had.
    const mwSize slices = d.size() == 3 ? d[2] : (d[1] == 0 ? 0 : 1);
    EXPECT_EQ(slices == 0, n <= 2) << "n " << n;
    EXPECT_LE(slices, clean_dims[2]);
  }
}

// FNV-1a of one slice of the stack.
uint64_t slice_hash(const int32_t *labels, std::size_t voxels) {
  uint64_t h = 1469598103934665603ULL;
  for (std::size_t i = 0; i < voxels; ++i) {
    const uint32_t v = static_cast<uint32_t>(labels[i]);
    for (int b = 0; b < 4; ++b) {
      h = (h ^ ((v >> (8 * b)) & 0xFFu)) * 1099511628211ULL;
    }
  }
  return h;
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

// Output 2 of three runs (a few to a few dozen snapshots), slice by slice:
// the number of slices and a hash of each.  The stack, the times its
// snapshots are taken and what each shows must stay bit-identical whatever
// the data model behind them; these figures are that promise kept.
TEST_F(Gateway, SnapshotStackStaysBitIdentical) {
  struct Case {
    int32_t side, planes, noise;
    Params p;
    std::vector<uint64_t> hashes;
  };
  Params flat;
  flat.levels = 6;
  flat.flat_levels = 6;
  flat.start_level = 0;
  flat.threshold = 12;
  Params deep = flat;
  deep.levels = 4;
  deep.flat_levels = 2;
  deep.criterion = 4;
  deep.noise_sigma = 6;
  Params par = flat;
  par.levels = 7;
  par.flat_levels = 7;
  par.parallel_grouping = 1;
  par.parallel_seeds = 3;
  par.min_region_size = 3;
  const std::vector<Case> cases = {
      {64,
       1,
       30,
       flat,
       {0xbc15e9bc9b6f8383ULL, 0xfec3f7b05192bb6cULL, 0xc6bbf496c9592e6eULL, 0xd7821c4e3a9a0aeaULL,
        0x784ef477445c2fe8ULL, 0xb572f648da57b67fULL}},
      {16, 4, 20, deep, {0x132b5b4ac8ad0383ULL, 0xc9a45770127d035dULL}},
      {128, 1, 60, par, {0xa2b755424ae70383ULL, 0xaab804241d1b6ca0ULL, 0xa001c848975f84f8ULL,
                         0x1f4c4a84b349d93cULL, 0xfe63b66a28594d15ULL, 0x78ff1c78111bf931ULL,
                         0x611249bddf6fe30dULL, 0x1a01aaedc2b77f91ULL, 0x2fe34f611e89d3c3ULL,
                         0x4ac9a672238f8f09ULL, 0xadb67d0f95e59dd6ULL, 0x948fe7d0922d0114ULL,
                         0xf18de4519e73fed0ULL, 0xfee1ca454ac0f7e1ULL, 0x4f054d7a119ed203ULL,
                         0x26fb6b4c9c137c68ULL, 0x91ff50b9206ba8ceULL, 0x5270b2b67c78ddf6ULL,
                         0xe64d20d3c20f66feULL, 0x29179053ddbfd094ULL, 0x207e780bd5293784ULL,
                         0x2321f0447c27e6b5ULL, 0x2b566d36cf8ecd36ULL, 0x3356feb0e9a864f1ULL,
                         0x2bb2b5edcbb86144ULL, 0x86139e4820444044ULL}},
  };
  for (const Case &k : cases) {
    const std::vector<int32_t> grey = seeded_picture(k.side, k.planes, 7, k.noise);
    std::vector<mwSize> d = {mwSize(k.side), mwSize(k.side)};
    if (k.planes > 1) {
      d.push_back(mwSize(k.planes));
    }
    Inputs in(int32Array(d, grey), k.p);
    Call c = call("regionseg_core", 2, in.list(), true);
    ASSERT_TRUE(c.ok()) << c.error();
    d.push_back(k.hashes.size());
    EXPECT_EQ(dims(c.out[1].get()), d);
    const std::vector<int32_t> stack = int32Values(c.out[1].get());
    ASSERT_EQ(stack.size(), grey.size() * k.hashes.size());
    for (std::size_t s = 0; s < k.hashes.size(); ++s) {
      EXPECT_EQ(slice_hash(stack.data() + s * grey.size(), grey.size()), k.hashes[s])
          << k.side << " x " << k.planes << ", slice " << s + 1;
    }
    // The last slice is the painting the labels-only run ends with; the
    // labels themselves do not depend on the stack.
    Call one = call("regionseg_core", 1, in.list(), true);
    EXPECT_EQ(int32Values(one.out[0].get()), int32Values(c.out[0].get()));
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

  // Host allocations of the call: the labels, the arena's first block, one
  // growth (8 slices, kept as they are) and output 2; an array to copy the
  // stack into would be a fifth.
  kalhost::failAllocationAt(0);
  Call counted = call("regionseg_core", 2, in.list(), true);
  EXPECT_EQ(kalhost::allocationCount(), 4);
}

// The host ending the call at each of its allocations (the outputs, the
// arena's first block, then its growth or its trim): "Out of memory.", and
// what the run held is released by the next call, which gives the whole
// result.
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
      if (n > 1) {
        EXPECT_GT(hooks.live(), live) << "the run's records, n " << n;
      }
      Call next = call("regionseg_core", 2, call_in->list(), true);
      ASSERT_TRUE(next.ok()) << next.error();
      EXPECT_EQ(hooks.live(), live) << "n " << n;
      EXPECT_EQ(int32Values(next.out[1].get()), int32Values(clean.out[1].get())) << "n " << n;
    }
    EXPECT_EQ(n, 5) << "four points of failure";
    EXPECT_EQ(dims(clean.out[1].get())[2], call_in == &in ? 6u : 2u);
  }
  const std::size_t blocks = kalhost::liveBlocks();
  // Clearing the module releases an interrupted run too (a leak checker
  // would see what it did not).
  kalhost::failAllocationAt(3);
  EXPECT_FALSE(call("regionseg_core", 2, in.list(), true).ok());
  kalhost::failAllocationAt(0);
  EXPECT_TRUE(kalhost::clear("regionseg_core"));
  EXPECT_EQ(kalhost::liveBlocks(), blocks);
}

} // namespace
