// kalseg's runs: the options from the command line, its images through the
// front end (their pages as planes, their range from the format), --reduce,
// and its image files.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "imageio.h"
#include "pngio.h"
#include "segrun.h"

namespace {

using kalseg::Volume;
using segfront::Options;

// Samples of range 0..maxval: uint8 up to 255, else uint16.
Volume volume(int d1, int d2, int d3, const std::vector<uint16_t> &v, double maxval = 255) {
  if (maxval <= 255) {
    return Volume::of(d1, d2, d3, std::vector<uint8_t>(v.begin(), v.end()),
                      maxval == 255 ? 0 : maxval);
  }
  return Volume::of(d1, d2, d3, v, maxval == 65535 ? 0 : maxval);
}

std::vector<double> values(const Volume &im) {
  std::vector<double> out(im.size());
  for (std::size_t k = 0; k < out.size(); ++k) {
    out[k] = im.at(k);
  }
  return out;
}

template <typename T> std::vector<double> values(const std::vector<T> &v) {
  return std::vector<double>(v.begin(), v.end());
}

// Blocks of eight pixels with seeded noise, 0..255.
std::vector<uint16_t> noisyBlocks(int d1, int d2, int d3, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> level(0, 200);
  std::normal_distribution<double> noise(0, 5);
  std::vector<int> blockLevel(64 * 64 * 64);
  for (int &b : blockLevel) {
    b = level(rng);
  }
  std::vector<uint16_t> v;
  for (int z = 0; z < d3; ++z) {
    for (int y = 0; y < d2; ++y) {
      for (int x = 0; x < d1; ++x) {
        const double g = blockLevel[(x / 8) + 64 * (y / 8) + 4096 * (z / 2)] + noise(rng);
        v.push_back(static_cast<uint16_t>(std::min(255.0, std::max(0.0, std::round(g)))));
      }
    }
  }
  return v;
}

TEST(KalsegRuns, EveryOptionFromItsWordReachesTheRun) {
  // One word for every option of the table, and what the run gets of it.
  struct Case {
    const char *name, *word;
    bool (*holds)(const segfront::Plan &);
  };
  const Case cases[] = {
      {"criterion", "5", [](const segfront::Plan &p) { return p.params.criterion == 5; }},
      {"Criterion", "Robust_Range",
       [](const segfront::Plan &p) { return p.params.criterion == 3; }},
      {"threshold", "12", [](const segfront::Plan &p) { return p.params.threshold == 12; }},
      {"start-level", "2", [](const segfront::Plan &p) { return p.params.start_level == 2; }},
      {"GROUPING", "parallel",
       [](const segfront::Plan &p) { return p.params.parallel_grouping == 1; }},
      {"seeds", "3", [](const segfront::Plan &p) { return p.params.parallel_seeds == 3; }},
      {"seed_any_level", "yes",
       [](const segfront::Plan &p) { return p.params.seed_any_level == 1; }},
      {"min_region_size", "6",
       [](const segfront::Plan &p) { return p.params.min_region_size == 6; }},
      {"keep_small_stats", "on",
       [](const segfront::Plan &p) { return p.params.keep_small_stats == 1; }},
      {"outlier_fraction", "0.1",
       [](const segfront::Plan &p) { return p.params.outlier_fraction == 0.1; }},
      {"noise_sigma", "3.5", [](const segfront::Plan &p) { return p.params.noise_sigma == 3.5; }},
      {"confidence", "0.90", [](const segfront::Plan &p) { return p.params.confidence_row == 3; }},
      {"size_factor", "0.5", [](const segfront::Plan &p) { return p.params.size_factor == 0.5; }},
      {"scale", "MinMax",
       [](const segfront::Plan &p) { return p.scale == segfront::Scale::kMinmax; }},
      {"flat_levels", "1", [](const segfront::Plan &p) { return p.params.flat_levels == 1; }},
      {"snapshot_budget", "2e9", [](const segfront::Plan &p) { return p.budgetBytes == 2e9; }},
  };
  const Volume im = volume(16, 16, 4, noisyBlocks(16, 16, 4, 3));
  for (const Case &c : cases) {
    Options o;
    ASSERT_EQ(kalseg::setOption(o, c.name, c.word), "") << c.name;
    const kalseg::Result r = kalseg::segment(im, o, true);
    ASSERT_EQ(r.error, "") << c.name;
    EXPECT_TRUE(c.holds(r.plan)) << c.name << " " << c.word;
  }
  Options o;
  EXPECT_EQ(kalseg::setOption(o, "rgb", "volume"), "unknown option 'rgb'.")
      << "the pages of a file are its planes";
  EXPECT_EQ(kalseg::setOption(o, "verbose", "true"), "unknown option 'verbose'.") << "--quiet";
  EXPECT_EQ(kalseg::setOption(o, "keep_small_stats", "maybe"),
            "option 'keep_small_stats' must be true or false.");
  EXPECT_EQ(kalseg::setOption(o, "threshold", "12abc"),
            "option 'threshold' must be a whole number 0 to 2147483647.");
}

TEST(KalsegRuns, LabelsSizesAndSnapshotsOfARun) {
  const std::vector<uint16_t> v = noisyBlocks(20, 13, 1, 11);
  Options o;
  const kalseg::Result r = kalseg::segment(volume(20, 13, 1, v), o, true);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 260u);
  long total = 0;
  for (std::size_t k = 0; k < r.sizes.size(); ++k) {
    total += r.sizes[k];
    EXPECT_TRUE(k == 0 || r.sizes[k] <= r.sizes[k - 1]);
    EXPECT_EQ(std::count(r.labels.begin(), r.labels.end(), static_cast<int32_t>(k + 1)),
              r.sizes[k]);
  }
  EXPECT_EQ(total, 260);
  ASSERT_GE(r.snapshotCount, 2);
  const int32_t *last = r.snapshots.get() + 260 * (r.snapshotCount - 1);
  EXPECT_GE(*std::min_element(last, last + 260), 1) << "each value one more than painted";

  // A budget too small for the final state's slice is refused before the
  // run, naming the smallest that works; that one keeps only the final state.
  o.snapshot_budget = 2;
  const kalseg::Result small = kalseg::segment(volume(20, 13, 1, v), o, true);
  EXPECT_NE(small.error.find("at least"), std::string::npos) << small.error;
  o.snapshot_budget = std::atof(small.error.substr(small.error.find("at least") + 9).c_str());
  const kalseg::Result one = kalseg::segment(volume(20, 13, 1, v), o, true);
  ASSERT_EQ(one.error, "");
  EXPECT_EQ(one.snapshotCount, 1);
  EXPECT_TRUE(one.budgetReached);
  EXPECT_EQ(one.labels, r.labels);
}

TEST(KalsegRuns, SamplesScaleFromTheirFormatsRange) {
  // The same picture as 8-bit samples, as 16-bit ones (0..65535), with a
  // PGM's range of 0..1000 and as a mask of range 1 against 0/255.
  const std::vector<uint16_t> v = noisyBlocks(32, 24, 1, 17);
  std::vector<uint16_t> deep(v), pgm(v), mask(v.size()), mask255(v.size());
  for (std::size_t k = 0; k < v.size(); ++k) {
    deep[k] = static_cast<uint16_t>(v[k] * 257);
    pgm[k] = static_cast<uint16_t>(std::lround(v[k] * 1000.0 / 255));
    mask[k] = v[k] > 128;
    mask255[k] = static_cast<uint16_t>(mask[k] * 255);
  }
  Options o;
  const std::vector<int32_t> want = kalseg::segment(volume(32, 24, 1, v), o, false).labels;
  EXPECT_EQ(kalseg::segment(volume(32, 24, 1, deep, 65535), o, false).labels, want);
  EXPECT_EQ(kalseg::segment(volume(32, 24, 1, pgm, 1000), o, false).labels, want);
  EXPECT_EQ(kalseg::segment(volume(32, 24, 1, mask, 1), o, false).labels,
            kalseg::segment(volume(32, 24, 1, mask255), o, false).labels);
  // Three pages are a volume, never a colour picture.
  const kalseg::Result pages = kalseg::segment(volume(8, 8, 3, noisyBlocks(8, 8, 3, 2)), o, false);
  ASSERT_EQ(pages.error, "");
  EXPECT_EQ(pages.plan.d3, 3);
}

TEST(KalsegRuns, ReduceTakesMeansOfBlocksWithSmallerLastBlocks) {
  // 3 x 5, reduced by 2: blocks of 2 x 2, 2 x 1, 1 x 2 and 1 x 1 pixels;
  // integers rounded and kept in their class and range, floating point not.
  const std::vector<uint16_t> v = {0, 2, 10, 4, 6, 20, 1, 1, 30, 1, 2, 40, 100, 200, 50};
  const Volume r = kalseg::reduce(volume(3, 5, 1, v, 1000), 2);
  EXPECT_EQ(r.d1, 2);
  EXPECT_EQ(r.d2, 3);
  EXPECT_EQ(r.type, segfront::Sample::kUint16);
  EXPECT_EQ(r.maxval, 1000);
  EXPECT_EQ(values(r), values(std::vector<int>{3, 15, 1, 35, 150, 50}));
  const Volume f = kalseg::reduce(Volume::of(3, 5, 1, std::vector<float>(v.begin(), v.end())), 2);
  EXPECT_EQ(f.type, segfront::Sample::kSingle);
  EXPECT_EQ(values(f), values(std::vector<double>{3, 15, 1.25, 35, 150, 50}));
}

// Image files through a fresh temporary folder.
class FilesTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kalseg_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(FilesTest, ReadsPngPgmAndTiff) {
  const int d1 = 3, d2 = 4;
  std::vector<uint16_t> px(d1 * d2);
  for (std::size_t k = 0; k < px.size(); ++k) {
    px[k] = static_cast<uint16_t>(k * 20);
  }
  std::vector<uint8_t> rowMajor8;
  std::vector<uint16_t> rowMajor16;
  for (int y = 0; y < d1; ++y) {
    for (int x = 0; x < d2; ++x) {
      rowMajor8.push_back(static_cast<uint8_t>(px[y + x * d1]));
      rowMajor16.push_back(static_cast<uint16_t>(px[y + x * d1] * 257));
    }
  }
  ASSERT_TRUE(kalpng::writeGrey8(path("a.png"), d2, d1, rowMajor8));
  ASSERT_TRUE(kalpng::writeGrey16(path("b.png"), d2, d1, rowMajor16));
  ASSERT_TRUE(kalseg::writePgm(path("c.pgm"), px, d1, d2, 255));
  ASSERT_TRUE(kalseg::writeGreyTiff(path("d.tif"), px, d1, d2, 1, 8));
  for (const char *name : {"a.png", "c.pgm", "d.tif"}) {
    Volume im;
    ASSERT_EQ(kalseg::readImage(path(name), im), "") << name;
    EXPECT_EQ(im.d1, d1);
    EXPECT_EQ(im.d2, d2);
    EXPECT_EQ(im.d3, 1);
    EXPECT_EQ(im.type, segfront::Sample::kUint8);
    EXPECT_EQ(im.maxval, 0);
    EXPECT_EQ(values(im), values(px)) << name;
  }
  Volume b;
  ASSERT_EQ(kalseg::readImage(path("b.png"), b), "");
  EXPECT_EQ(b.type, segfront::Sample::kUint16);
  EXPECT_EQ(b.at(1), 257 * px[1]);

  // 16-bit PGM and a three-page 16-bit TIFF.
  std::vector<uint16_t> deep(d1 * d2 * 3);
  for (std::size_t k = 0; k < deep.size(); ++k) {
    deep[k] = static_cast<uint16_t>(1000 * k + 7);
  }
  ASSERT_TRUE(kalseg::writeGreyTiff(path("e.tif"), deep, d1, d2, 3, 16));
  Volume e;
  ASSERT_EQ(kalseg::readImage(path("e.tif"), e), "");
  EXPECT_EQ(e.d3, 3);
  EXPECT_EQ(e.type, segfront::Sample::kUint16);
  EXPECT_EQ(e.maxval, 0);
  EXPECT_EQ(values(e), values(deep));
  std::vector<uint16_t> plane(deep.begin(), deep.begin() + d1 * d2);
  ASSERT_TRUE(kalseg::writePgm(path("f.pgm"), plane, d1, d2, 20000));
  Volume f;
  ASSERT_EQ(kalseg::readImage(path("f.pgm"), f), "");
  EXPECT_EQ(f.type, segfront::Sample::kUint16);
  EXPECT_EQ(f.maxval, 20000);
  EXPECT_EQ(values(f), values(plane));

  // Colour becomes grey.
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 10, 10};
  ASSERT_TRUE(kalpng::writeRgb8(path("g.png"), 4, 1, rgb));
  Volume g;
  ASSERT_EQ(kalseg::readImage(path("g.png"), g), "");
  EXPECT_EQ(values(g), values(std::vector<int>{76, 150, 29, 10}));

  Volume none;
  EXPECT_NE(kalseg::readImage(path("missing.png"), none), "");
  std::FILE *fp = std::fopen(path("h.txt").c_str(), "w");
  std::fputs("hello", fp);
  std::fclose(fp);
  EXPECT_NE(kalseg::readImage(path("h.txt"), none).find("not a PNG, PGM or TIFF"),
            std::string::npos);
}

TEST_F(FilesTest, LabelFilesRoundTrip) {
  std::vector<int32_t> labels = {1, 2, 3, 40000, 5, 6};
  const std::vector<double> samples = values(labels);
  ASSERT_EQ(kalseg::writeLabels(path("l.png"), labels, 2, 3, 1), "");
  Volume im;
  ASSERT_EQ(kalseg::readImage(path("l.png"), im), "");
  EXPECT_EQ(values(im), samples);
  ASSERT_EQ(kalseg::writeLabels(path("l.TIF"), labels, 1, 2, 3), "");
  ASSERT_EQ(kalseg::readImage(path("l.TIF"), im), "");
  EXPECT_EQ(im.d3, 3);
  EXPECT_EQ(values(im), samples);

  labels[0] = 70000;
  EXPECT_NE(kalseg::writeLabels(path("m.png"), labels, 2, 3, 1).find("TIFF"), std::string::npos);
  EXPECT_NE(access(path("m.png").c_str(), F_OK), 0) << "nothing written";
  EXPECT_EQ(kalseg::writeLabels(path("m.tif"), labels, 2, 3, 1), "") << "32-bit TIFF";
  ASSERT_EQ(kalseg::readImage(path("m.tif"), im), "");
  EXPECT_EQ(im.type, segfront::Sample::kUint32);
  EXPECT_EQ(values(im), values(labels));
  EXPECT_NE(kalseg::writeLabels(path("v.png"), labels, 1, 2, 3), "") << "a volume needs TIFF";
  EXPECT_NE(kalseg::writeLabels(path("x.jpg"), labels, 2, 3, 1), "");
  EXPECT_NE(kalseg::writeLabels(path("no/such/dir.png"), {1}, 1, 1, 1), "");
}

} // namespace
