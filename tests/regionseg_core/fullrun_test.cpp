// Whole segmentations through the driver on many seeded random images, 2-D
// and 3-D, filling their tree or not, every criterion, both grouping modes,
// elimination on and off: the properties every finished label image must
// have, and the same result for every thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "regionseg.h"

namespace {

struct Params : seg_params {
  Params() {
    levels = 3;
    flat_levels = 3;
    start_level = 1;
    threshold = 10;
    outlier_fraction = 0.1;
    noise_sigma = 4.0;
    confidence_row = 2;
    size_factor = 2.0;
  }
  bool with_snapshots = true; // whether the checks expect a snapshot stack
  // The image's sides; 0: the tree's own.
  int32_t d1 = 0, d2 = 0, d3 = 0;

  int32_t dim() const { return 1 << levels; }
  int32_t depth() const { return levels == flat_levels ? 1 : 1 << (levels - flat_levels); }
  int32_t x() const { return d1 > 0 ? d1 : dim(); }
  int32_t y() const { return d2 > 0 ? d2 : dim(); }
  int32_t z() const { return d3 > 0 ? d3 : depth(); }
  std::string describe() const {
    return std::to_string(x()) + " x " + std::to_string(y()) + " x " + std::to_string(z()) +
           ", levels " + std::to_string(levels) + " flat " + std::to_string(flat_levels) +
           " start " + std::to_string(start_level) + " criterion " + std::to_string(criterion) +
           " threshold " + std::to_string(threshold) + " parallel " +
           std::to_string(parallel_grouping) + "/" + std::to_string(parallel_seeds) + "/" +
           std::to_string(seed_any_level) + " min " + std::to_string(min_region_size) + " keep " +
           std::to_string(keep_small_stats);
  }
};

struct Outcome {
  int32_t status = SEG_FAIL;
  std::vector<int32_t> labels;
  std::vector<std::vector<int32_t>> snapshots;
  std::string printed;
  long allocations = 0; // made by the run
  seg_failure why = {};
};

// One run; without with_snapshots the caller asks for the labels only.  The
// image and the labels lie inside larger buffers: the bytes around the
// image are random on every call (the run must not read them) and those
// around the labels must stay as they were.
Outcome segment(const std::vector<int32_t> &image, const Params &p, bool with_snapshots = true) {
  static std::mt19937 around(4321);
  constexpr size_t margin = 67;
  std::vector<int32_t> input(image.size() + 2 * margin);
  for (size_t i = 0; i < input.size(); ++i) {
    const bool inside = i >= margin && i - margin < image.size();
    input[i] = inside ? image[i - margin] : static_cast<int32_t>(around());
  }
  std::vector<int32_t> output(image.size() + 2 * margin, -7);
  Outcome out;
  snapshot_list snaps{};
  const long before = seg_allocation_count();
  testing::internal::CaptureStdout();
  out.status = split_merge(input.data() + margin, p.x(), p.y(), p.z(), p, output.data() + margin,
                           with_snapshots ? &snaps : nullptr, &out.why);
  out.printed = testing::internal::GetCapturedStdout();
  out.allocations = seg_allocation_count() - before;
  out.labels.assign(output.begin() + margin, output.end() - margin);
  const auto is_guard = [](int32_t v) { return v == -7; };
  EXPECT_TRUE(std::all_of(output.begin(), output.begin() + margin, is_guard) &&
              std::all_of(output.end() - margin, output.end(), is_guard))
      << "written outside the labels";
  for (int32_t k = 0; k < snaps.count; ++k) {
    const int32_t *slice = snaps.arena.slices + image.size() * static_cast<size_t>(k);
    out.snapshots.emplace_back(slice, slice + image.size());
  }
  release_snapshots(snaps);
  return out;
}

// Shapes, gradients and noise, so that every stage has work to do.
std::vector<int32_t> random_image(std::mt19937 &rng, const Params &p) {
  const int32_t d = p.x();
  const int32_t dy = p.y();
  const int32_t dz = p.z();
  std::vector<int32_t> img(static_cast<size_t>(d) * dy * dz);
  std::uniform_int_distribution<int32_t> grey(0, 255);
  const int32_t base = grey(rng);
  const int noise = static_cast<int>(rng() % 12);
  const bool gradient = rng() % 3 == 0;
  struct Box {
    int32_t x0, y0, z0, x1, y1, z1, v;
  };
  std::vector<Box> boxes(rng() % 6);
  for (auto &b : boxes) {
    b.x0 = static_cast<int32_t>(rng() % d);
    b.y0 = static_cast<int32_t>(rng() % dy);
    b.z0 = static_cast<int32_t>(rng() % dz);
    b.x1 = b.x0 + 1 + static_cast<int32_t>(rng() % d);
    b.y1 = b.y0 + 1 + static_cast<int32_t>(rng() % dy);
    b.z1 = b.z0 + 1 + static_cast<int32_t>(rng() % dz);
    b.v = grey(rng);
  }
  for (int32_t z = 0; z < dz; ++z) {
    for (int32_t y = 0; y < dy; ++y) {
      for (int32_t x = 0; x < d; ++x) {
        int32_t v = gradient ? (base + 3 * x + 2 * y) % 256 : base;
        for (const auto &b : boxes) {
          if (x >= b.x0 && x < b.x1 && y >= b.y0 && y < b.y1 && z >= b.z0 && z < b.z1) {
            v = b.v;
          }
        }
        if (noise > 0) {
          v += static_cast<int32_t>(rng() % (2 * noise + 1)) - noise;
        }
        img[x + y * d + z * d * dy] = std::clamp(v, 0, 255);
      }
    }
  }
  return img;
}

// Every pixel labelled; labels 0..k-1 all used; sizes (in image pixels)
// non-increasing with the label; every region face-connected and, with
// elimination, at least min_region_size pixels unless it is the only one;
// the last snapshot shows exactly the final regions.  Returns k.
int32_t check_labels(const Outcome &o, const Params &p) {
  const int32_t d = p.x();
  const int32_t dy = p.y();
  const int32_t dz = p.z();
  const std::vector<int32_t> &lab = o.labels;
  int32_t k = 0;
  for (int32_t v : lab) {
    EXPECT_GE(v, 0);
    k = std::max(k, v + 1);
  }
  std::vector<int64_t> sizes(k, 0);
  for (int32_t v : lab) {
    if (v >= 0) {
      ++sizes[v];
    }
  }
  for (int32_t i = 0; i < k; ++i) {
    EXPECT_GT(sizes[i], 0) << "label " << i << " unused";
    if (i > 0) {
      EXPECT_GE(sizes[i - 1], sizes[i]) << "label " << i;
    }
    if (k > 1) {
      EXPECT_GE(sizes[i], p.min_region_size) << "label " << i << " is small";
    }
  }
  // Face-connected: one flood per label reaches all its pixels.
  std::vector<char> seen(lab.size(), 0);
  std::vector<int32_t> floods(k, 0);
  std::vector<int32_t> stack;
  for (size_t start = 0; start < lab.size(); ++start) {
    if (seen[start] || lab[start] < 0) {
      continue;
    }
    ++floods[lab[start]];
    seen[start] = 1;
    stack.assign(1, static_cast<int32_t>(start));
    while (!stack.empty()) {
      const int32_t i = stack.back();
      stack.pop_back();
      const int32_t x = i % d, y = (i / d) % dy, z = i / (d * dy);
      const int32_t nb[6][3] = {{x - 1, y, z}, {x + 1, y, z}, {x, y - 1, z},
                                {x, y + 1, z}, {x, y, z - 1}, {x, y, z + 1}};
      for (const auto &n : nb) {
        if (n[0] < 0 || n[0] >= d || n[1] < 0 || n[1] >= dy || n[2] < 0 || n[2] >= dz) {
          continue;
        }
        const int32_t j = n[0] + n[1] * d + n[2] * d * dy;
        if (!seen[j] && lab[j] == lab[i]) {
          seen[j] = 1;
          stack.push_back(j);
        }
      }
    }
  }
  for (int32_t i = 0; i < k; ++i) {
    EXPECT_EQ(floods[i], 1) << "label " << i << " is not one connected region";
  }
  // The last snapshot paints each final region in one value of its own.
  if (p.with_snapshots) {
    EXPECT_GE(o.snapshots.size(), 2u);
  }
  if (!o.snapshots.empty()) {
    const std::vector<int32_t> &last = o.snapshots.back();
    std::map<int32_t, int32_t> to_paint, to_label;
    for (size_t i = 0; i < lab.size(); ++i) {
      auto a = to_paint.emplace(lab[i], last[i]);
      auto b = to_label.emplace(last[i], lab[i]);
      if (a.first->second != last[i] || b.first->second != lab[i]) {
        ADD_FAILURE() << "last snapshot differs from the final regions at pixel " << i;
        break;
      }
    }
  }
  return k;
}

// The same run on other thread counts (2, 3 and 7 unless given), every
// stage cut into as many parts as it may have, gives the same labels,
// snapshots, messages and allocations as on one.
void expect_same_on_threads(const std::vector<int32_t> &img, const Params &p,
                            const Outcome &one_thread, bool with_snapshots = true,
                            const std::vector<int32_t> &counts = {2, 3, 7}) {
  for (int32_t threads : counts) {
    Params q = p;
    q.threads = threads;
    q.voxels_per_thread = 1;
    const Outcome o = segment(img, q, with_snapshots);
    EXPECT_EQ(o.status, one_thread.status) << threads << " threads";
    EXPECT_EQ(o.labels, one_thread.labels) << threads << " threads";
    EXPECT_EQ(o.snapshots, one_thread.snapshots) << threads << " threads";
    EXPECT_EQ(o.printed, one_thread.printed) << threads << " threads";
    EXPECT_EQ(o.allocations, one_thread.allocations) << threads << " threads";
  }
}

void run_random_cases(uint32_t seed, int rounds, bool volume) {
  std::mt19937 rng(seed);
  int multi_region_runs = 0;
  for (int round = 0; round < rounds; ++round) {
    Params p;
    p.levels = 2 + static_cast<int32_t>(rng() % (volume ? 3 : 4));
    p.flat_levels = volume ? static_cast<int32_t>(rng() % p.levels) : p.levels;
    p.start_level = static_cast<int32_t>(rng() % p.levels);
    p.criterion = 1 + round % 5;
    p.threshold = static_cast<int32_t>(rng() % 30);
    p.parallel_grouping = (round / 5) % 2;
    p.parallel_seeds = 1 + static_cast<int32_t>(rng() % 5);
    p.seed_any_level = static_cast<int32_t>(rng() % 2);
    p.min_region_size = (round / 10) % 2 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % 12);
    p.keep_small_stats = static_cast<int32_t>(rng() % 2);
    p.outlier_fraction = (rng() % 40) / 100.0;
    p.noise_sigma = 0.5 + (rng() % 60) / 10.0;
    p.confidence_row = 1 + static_cast<int32_t>(rng() % 3);
    p.size_factor = (rng() % 50) / 10.0;
    if (round % 3 != 0) {
      // An image that the tree covers without filling it.
      p.d1 = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(p.dim()));
      p.d2 = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(p.dim()));
      p.d3 = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(p.depth()));
    }
    const std::vector<int32_t> img = random_image(rng, p);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + p.describe());

    const long live = seg_live_allocations();
    const Outcome o = segment(img, p);
    ASSERT_EQ(o.status, SEG_OK);
    EXPECT_EQ(seg_live_allocations(), live) << "allocations left behind";
    const int32_t k = check_labels(o, p);
    // Asked for the labels only, the run paints nothing, and still gives
    // the same labels and messages.
    const Outcome labels_only = segment(img, p, false);
    EXPECT_EQ(labels_only.labels, o.labels);
    EXPECT_EQ(labels_only.printed, o.printed);
    EXPECT_EQ(seg_live_allocations(), live) << "allocations left behind";
    expect_same_on_threads(img, p, o);
    // A deeper tree adds levels whose only present block is the smaller
    // tree's root: the same labels, but for criterion 4, whose limit at
    // the root is its own.
    if (p.criterion != CRITERION_CHI2_VARIANCE) {
      Params deep = p;
      deep.d1 = p.x();
      deep.d2 = p.y();
      deep.d3 = p.z();
      deep.levels += 1 + static_cast<int32_t>(rng() % 6);
      if (!volume) {
        deep.flat_levels = deep.levels;
      }
      EXPECT_EQ(segment(img, deep, false).labels, o.labels) << "levels " << deep.levels;
    }
    if (k > 1) {
      ++multi_region_runs;
      EXPECT_NE(o.printed.find("finished sorting of regionlist\n"), std::string::npos);
    }
    const bool eliminated =
        o.printed.find("finished small region elimination\n") != std::string::npos;
    if (p.min_region_size == 0) {
      EXPECT_FALSE(eliminated);
    } else if (k > 1) {
      EXPECT_TRUE(eliminated);
    }
    if (::testing::Test::HasFailure()) {
      return;
    }
  }
  EXPECT_GT(multi_region_runs, rounds / 2);
}

TEST(FullRun, RandomPlanes) { run_random_cases(101, 400, false); }

TEST(FullRun, RandomVolumes) { run_random_cases(202, 300, true); }

// Trees deeper than eight levels: a 512 x 512 plane, a 1024 x 1024 x 2
// volume (flat levels below the top) and a 2048 x 2048 plane, every
// criterion, with and without elimination.
TEST(FullRun, TreesOfNineToElevenLevels) {
  std::mt19937 rng(909);
  struct Shape {
    int32_t levels, flat_levels, start_level;
  };
  for (const Shape shape : {Shape{9, 9, 3}, Shape{10, 9, 4}, Shape{11, 11, 6}}) {
    for (int32_t criterion = 1; criterion <= 5; ++criterion) {
      Params p;
      p.levels = shape.levels;
      p.flat_levels = shape.flat_levels;
      p.start_level = shape.start_level;
      p.criterion = criterion;
      p.threshold = 12;
      p.noise_sigma = 3;
      p.size_factor = 1;
      p.min_region_size = criterion % 2 == 0 && shape.levels < 11 ? 40 : 0;
      p.with_snapshots = shape.levels == 9 && criterion == CRITERION_RANGE;
      if (criterion == CRITERION_CHI2_VARIANCE && shape.levels == 11) {
        continue; // blocks below the root too large for its table
      }
      SCOPED_TRACE(p.describe());
      const std::vector<int32_t> img = random_image(rng, p);
      const Outcome o = segment(img, p, p.with_snapshots);
      ASSERT_EQ(o.status, SEG_OK);
      check_labels(o, p);
      // One other count each, in turn (the large runs take their time).
      const int32_t other[3] = {2, 3, 7};
      expect_same_on_threads(img, p, o, p.with_snapshots, {other[(criterion + shape.levels) % 3]});
    }
  }
}

// The parameters of a d1 x d2 x d3 image in a tree of levels, flat_levels
// and start_level, criterion 1 with threshold 10.
Params image_in_tree(int32_t d1, int32_t d2, int32_t d3, int32_t levels, int32_t flat_levels,
                     int32_t start_level) {
  Params p;
  p.levels = levels;
  p.flat_levels = flat_levels;
  p.start_level = start_level;
  p.d1 = d1;
  p.d2 = d2;
  p.d3 = d3;
  return p;
}

// A 5 x 3 x 2 volume in the 8 x 8 x 2 tree (flat levels 2, start blocks
// 2 x 2 x 1), 100 everywhere but 200 on x = 4 of plane 1.  The twelve
// present start blocks merge into the four present blocks of level 2
// (0x100: 12 voxels, 0x200: 3, 0x500: 12, 0x600: 3, the last of value
// 200); the root's group of them fails.  Grouping joins the three of 100
// (27 voxels) and leaves 0x600 on its own (3 voxels): labels 0 and 1.
// With min_region_size 4 it is small and joins the rest; with 3 it stays.
TEST(FullRun, VolumeOfFiveByThreeByTwo) {
  Params p = image_in_tree(5, 3, 2, 3, 2, 1);
  std::vector<int32_t> img(30, 100);
  std::vector<int32_t> two_regions(30, 0);
  for (int32_t y = 0; y < 3; ++y) {
    img[4 + 5 * y + 15] = 200;
    two_regions[4 + 5 * y + 15] = 1;
  }
  for (const int32_t min_size : {0, 3, 4}) {
    p.min_region_size = min_size;
    const Outcome o = segment(img, p);
    ASSERT_EQ(o.status, SEG_OK);
    EXPECT_EQ(o.labels, min_size == 4 ? std::vector<int32_t>(30, 0) : two_regions) << min_size;
  }
}

// A lone start block that fails its criterion is split: a 2 x 2 image in a
// tree of 4 x 4 with start blocks of 2 x 2.
TEST(FullRun, ALoneFailingStartBlockIsSplit) {
  const Params p = image_in_tree(2, 2, 1, 2, 2, 1);
  const Outcome o = segment({0, 100, 0, 100}, p);
  ASSERT_EQ(o.status, SEG_OK);
  EXPECT_EQ(o.labels, (std::vector<int32_t>{0, 1, 0, 1}));
  EXPECT_NE(o.printed.find("finished splitting\n"), std::string::npos);
}

// Runs at once in threads of one process, as the Python package's calls may
// be, each with elimination and with threads of its own: every run gives
// the labels it gives alone.
TEST(FullRun, RunsAtOnceGiveTheLabelsOfRunsAlone) {
  std::mt19937 rng(44);
  const int runs = 3;
  std::vector<Params> p(runs);
  std::vector<std::vector<int32_t>> images, alone;
  for (int k = 0; k < runs; ++k) {
    p[k].levels = 7;
    p[k].flat_levels = 7;
    p[k].criterion = 1 + k % 5;
    p[k].min_region_size = 8;
    p[k].threads = 2;
    p[k].voxels_per_thread = 256;
    p[k].progress = [](const char *) {};
    images.push_back(random_image(rng, p[k]));
    alone.push_back(segment(images[k], p[k], false).labels);
  }
  std::vector<std::vector<int32_t>> together(runs, std::vector<int32_t>(images[0].size()));
  std::vector<int32_t> status(runs, SEG_FAIL);
  std::vector<std::thread> threads;
  for (int k = 0; k < runs; ++k) {
    threads.emplace_back([&, k] {
      const int32_t d = p[k].dim();
      status[k] = split_merge(images[k].data(), d, d, 1, p[k], together[k].data(), nullptr);
    });
  }
  for (std::thread &t : threads) {
    t.join();
  }
  for (int k = 0; k < runs; ++k) {
    EXPECT_EQ(status[k], SEG_OK) << k;
    EXPECT_EQ(together[k], alone[k]) << k;
  }
}

TEST(FullRun, EverythingSmallLeavesOneLabel) {
  std::mt19937 rng(9);
  Params p;
  p.levels = 3;
  p.flat_levels = 3;
  p.start_level = 0;
  p.threshold = 0;
  p.min_region_size = 1000;
  std::vector<int32_t> img(64);
  for (auto &v : img) {
    v = static_cast<int32_t>(rng() % 256);
  }
  const Outcome o = segment(img, p);
  ASSERT_EQ(o.status, SEG_OK);
  EXPECT_EQ(o.labels, std::vector<int32_t>(64, 0));
}

TEST(FullRun, RegionSizesAndLabelsOfTwoEqualRegions) {
  // 8 x 8: left half 10 (32 pixels), right half split in two quarters of 16.
  Params p;
  p.levels = 3;
  p.flat_levels = 3;
  p.start_level = 2;
  p.threshold = 5;
  std::vector<int32_t> img(64);
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      img[x + 8 * y] = x < 4 ? 10 : (y < 4 ? 100 : 200);
    }
  }
  const Outcome o = segment(img, p);
  ASSERT_EQ(o.status, SEG_OK);
  // Quadrant 0x200 (x high, y low) comes before 0x400 in the list.
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 8; ++x) {
      EXPECT_EQ(o.labels[x + 8 * y], x < 4 ? 0 : (y < 4 ? 1 : 2));
    }
  }
}

// A 256^3 volume of 255 with one dark voxel: the bright region's sum of
// grey values, 255 x (2^24 - 1), is far beyond 32 bits, yet its mean stays
// 255 and every bright block joins it.
TEST(FullRun, RegionSumsOfTheLargestVolumeKeepTheirValue) {
  Params p;
  p.levels = 8;
  p.flat_levels = 0;
  p.start_level = 7;
  p.threshold = 10;
  p.noise_sigma = 0.01; // criterion 5 then splits down to the dark voxel
  p.size_factor = 1;
  std::vector<int32_t> img(size_t{1} << 24, 255);
  img[(size_t{1} << 24) - 1] = 0;
  for (int32_t criterion : {2, 5}) {
    p.criterion = criterion;
    std::vector<int32_t> labels(img.size(), -1);
    testing::internal::CaptureStdout();
    const int32_t status = split_merge(img.data(), 256, 256, 256, p, labels.data(), nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, SEG_OK);
    EXPECT_EQ(labels.back(), 1) << "criterion " << criterion;
    EXPECT_EQ(std::count(labels.begin(), labels.end(), 0), (int64_t{1} << 24) - 1)
        << "criterion " << criterion;
  }
}

// Every allocation of a run can fail: the run either gives its whole result
// (an allocation with a way round it as quick: the label table of the
// output, the region sizes of sorting, the growth of the paint log), or
// fails, saying what ran short, with the labels all zeros (whatever working
// state the stages kept in them), no snapshots and nothing allocated.
TEST(FullRun, EveryFailedAllocationReleasesEverything) {
  std::mt19937 rng(31);
  for (int32_t criterion : {1, 4}) {
    for (int32_t parallel : {0, 1}) {
      Params p;
      p.levels = 3;
      p.flat_levels = 2;
      p.start_level = 1;
      p.criterion = criterion;
      p.parallel_grouping = parallel;
      p.parallel_seeds = 2;
      p.min_region_size = 3;
      const std::vector<int32_t> img = random_image(rng, p);
      const Outcome clean = segment(img, p);
      ASSERT_EQ(clean.status, SEG_OK);
      int failed = 0;
      for (long n = 1;; ++n) {
        const long live = seg_live_allocations();
        seg_fail_allocation_at(n);
        const Outcome o = segment(img, p);
        const long made = seg_allocation_count();
        seg_fail_allocation_at(0);
        EXPECT_EQ(seg_live_allocations(), live) << "allocation " << n;
        if (o.status != SEG_OK) {
          ++failed;
          EXPECT_EQ(o.status, SEG_FAIL);
          EXPECT_NE(o.why.what, nullptr) << "allocation " << n;
          EXPECT_EQ(o.labels, std::vector<int32_t>(img.size(), 0)) << "allocation " << n;
          EXPECT_TRUE(o.snapshots.empty()) << "allocation " << n;
          continue;
        }
        EXPECT_EQ(o.labels, clean.labels) << "allocation " << n;
        EXPECT_EQ(o.snapshots, clean.snapshots) << "allocation " << n;
        if (made < n) {
          break; // no allocation failed: the whole run has been covered
        }
        ASSERT_LE(n, 100000);
      }
      EXPECT_GT(failed, 0);
    }
  }
}

} // namespace
