// Finished segmentations through the shipped module on the embedded host:
// the worked example with and without small-region elimination, the
// progress lines of each path, and the outputs of 2-D and 3-D runs.
#include "host_inputs.h"
#include "hosttest.h"

#include <dlfcn.h>

#include <stdlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace kaltest;

namespace {

// The 14 parameters after the image, in argument order.
struct Params {
  double levels = 2, flat_levels = 2, start_level = 1, parallel_grouping = 0, parallel_seeds = 1,
         seed_any_level = 0, criterion = 1, threshold = 10, outlier_fraction = 0.1, noise_sigma = 2,
         confidence_row = 2, size_factor = 1, min_region_size = 0, keep_small_stats = 0;
  double *at(int i) { return &levels + i; }
};

using Inputs = CallInputs<Params>;

long module_live_allocations() {
  const std::string path = kalhost::defaultModuleDir() + "/regionseg_core.so";
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) {
    return -1;
  }
  auto live = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_live_allocations"));
  dlclose(lib);
  return live != nullptr ? live() : -1;
}

// The 4 x 4 plane of the worked example, column-major (x fastest).
Array worked_example() {
  return int32Array({4, 4},
                    {100, 52, 100, 100, 48, 103, 100, 100, 50, 50, 105, 105, 50, 50, 105, 105});
}

const char *const kHead = "finished initialisation\nfinished merging\nfinished splitting\n"
                          "finished ordering regionlist\n";
const char *const kTail = "finished the split_merge routine\nfinished make_output \n"
                          "No save_regionlist specified\n";

class FullRunHost : public HostTest {};

TEST_F(FullRunHost, WorkedExampleWithAndWithoutElimination) {
  Params p;
  Inputs plain(worked_example(), p);
  Call c = call("regionseg_core", 2, plain.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(int32Values(c.out[0].get()),
            (std::vector<int32_t>{2, 3, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(c.stdoutText, std::string(kHead) +
                              "finished sequential grouping\nfinished grouping\n"
                              "finished cleaning of regionlist\nfinished sorting of regionlist\n" +
                              kTail);
  // The last snapshot shows the grouping's painting 0, 1, 2, 3.
  const std::vector<int32_t> snaps = int32Values(c.out[1].get());
  const std::vector<mwSize> d = dims(c.out[1].get());
  ASSERT_EQ(d.size(), 3u);
  const std::vector<int32_t> last(snaps.end() - 16, snaps.end());
  EXPECT_EQ(last, (std::vector<int32_t>{2, 3, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));

  p.min_region_size = 2;
  Inputs small(worked_example(), p);
  c = call("regionseg_core", 1, small.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(int32Values(c.out[0].get()),
            (std::vector<int32_t>{2, 2, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(c.stdoutText, std::string(kHead) +
                              "finished sequential grouping\nfinished grouping\n"
                              "finished small region elimination\n"
                              "finished cleaning of regionlist\nfinished sorting of regionlist\n" +
                              kTail);
  EXPECT_EQ(module_live_allocations(), 0);
}

TEST_F(FullRunHost, ParallelGroupingOfTheWorkedExample) {
  Params p;
  p.parallel_grouping = 1;
  p.parallel_seeds = 1;
  Inputs in(worked_example(), p);
  Call c = call("regionseg_core", 1, in.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.stdoutText, std::string(kHead) +
                              "finished parallell grouping\nfinished sequential grouping\n"
                              "finished grouping\n"
                              "finished cleaning of regionlist\nfinished sorting of regionlist\n" +
                              kTail);
  // The seed 0x20 grows over 0x14 and 0x40 layer by layer; 0x30 then takes
  // 0x13 in the closing sequential run: the same four regions.
  EXPECT_EQ(int32Values(c.out[0].get()),
            (std::vector<int32_t>{2, 3, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
  // Far more seeds than regions: every region of the first level is one.
  p.parallel_seeds = 2147483647;
  Inputs many(worked_example(), p);
  c = call("regionseg_core", 1, many.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(int32Values(c.out[0].get()),
            (std::vector<int32_t>{2, 3, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0}));
}

TEST_F(FullRunHost, OneRegionAfterGroupingEndsEarly) {
  Params p;
  p.criterion = 2;
  p.threshold = 20;
  p.min_region_size = 3;
  std::vector<int32_t> v(16, 100);
  v[0] = 110;
  v[1] = 89;
  Inputs in(int32Array({4, 4}, v), p);
  Call c = call("regionseg_core", 1, in.list(), true);
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(int32Values(c.out[0].get()), std::vector<int32_t>(16, 0));
  EXPECT_EQ(c.stdoutText,
            std::string(kHead) + "finished sequential grouping\nfinished grouping\n" + kTail);
}

// A noisy volume: labels 0..k-1 ordered by size, one output or two alike,
// and the snapshot stack with one more dimension.
TEST_F(FullRunHost, VolumeRunsGiveTheSameLabelsWithAndWithoutSnapshots) {
  std::mt19937 rng(4);
  std::vector<int32_t> v(16 * 16 * 4);
  for (size_t i = 0; i < v.size(); ++i) {
    const int32_t x = static_cast<int32_t>(i % 16);
    const int32_t z = static_cast<int32_t>(i / 256);
    v[i] = (x < 8 ? 60 : 180) + 40 * (z % 2) + static_cast<int32_t>(rng() % 7);
  }
  for (double criterion : {1.0, 2.0, 3.0, 4.0, 5.0}) {
    Params p;
    p.levels = 4;
    p.flat_levels = 2;
    p.start_level = 2;
    p.criterion = criterion;
    p.threshold = 12;
    p.noise_sigma = 3;
    p.min_region_size = 4;
    Inputs in(int32Array({16, 16, 4}, v), p);
    Call both = call("regionseg_core", 2, in.list(), true);
    ASSERT_TRUE(both.ok()) << both.error();
    Call one = call("regionseg_core", 1, in.list(), true);
    ASSERT_TRUE(one.ok()) << one.error();
    const std::vector<int32_t> labels = int32Values(both.out[0].get());
    EXPECT_EQ(labels, int32Values(one.out[0].get()));
    EXPECT_EQ(dims(both.out[0].get()), (std::vector<mwSize>{16, 16, 4}));
    const std::vector<mwSize> sd = dims(both.out[1].get());
    ASSERT_EQ(sd.size(), 4u);
    EXPECT_GE(sd[3], 2u);
    std::map<int32_t, int> sizes;
    for (int32_t l : labels) {
      ++sizes[l];
    }
    ASSERT_GE(sizes.size(), 4u) << "criterion " << criterion;
    int expect = 0;
    int previous = 1 << 30;
    for (const auto &s : sizes) {
      EXPECT_EQ(s.first, expect++);
      EXPECT_LE(s.second, previous);
      previous = s.second;
    }
    EXPECT_EQ(module_live_allocations(), 0);
  }
}

// KALMEX_THREADS for the length of a test.
class ThreadSetting {
public:
  explicit ThreadSetting(const char *value) { setenv("KALMEX_THREADS", value, 1); }
  ~ThreadSetting() { unsetenv("KALMEX_THREADS"); }
};

// A volume large enough for threads (128 x 128 x 32), with the criterion
// whose medians each thread finds in a buffer of its own: the same labels
// for every KALMEX_THREADS (the unit tests compare the snapshots), and a
// value that is not a count warns once and is passed over.
TEST_F(FullRunHost, EveryThreadCountGivesTheSameOutputs) {
  std::mt19937 rng(18);
  std::vector<int32_t> v(128 * 128 * 32);
  for (size_t i = 0; i < v.size(); ++i) {
    const int32_t x = static_cast<int32_t>(i % 128), y = static_cast<int32_t>(i / 128 % 128);
    v[i] = (x * x + 3 * y) / 80 % 200 + static_cast<int32_t>(rng() % 5);
  }
  Params p;
  p.levels = 7;
  p.flat_levels = 2;
  p.start_level = 3;
  p.criterion = 3;
  p.threshold = 12;
  p.min_region_size = 4;
  Inputs in(int32Array({128, 128, 32}, v), p);
  Call one;
  {
    ThreadSetting t("1");
    one = call("regionseg_core", 1, in.list(), true);
  }
  ASSERT_TRUE(one.ok()) << one.error();
  for (const char *count : {"2", "7", "0"}) {
    ThreadSetting t(count);
    Call c = call("regionseg_core", 1, in.list(), true);
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_EQ(int32Values(c.out[0].get()), int32Values(one.out[0].get())) << count;
    EXPECT_EQ(c.stdoutText, one.stdoutText) << count;
    const bool bad = count[0] == '0';
    EXPECT_EQ(c.transcript.find("Warning: KALMEX_THREADS is \"" + std::string(count) + "\""),
              bad ? 0u : std::string::npos)
        << c.transcript;
    EXPECT_EQ(module_live_allocations(), 0);
  }
}

} // namespace
