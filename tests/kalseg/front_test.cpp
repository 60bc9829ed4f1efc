// The kalseg front end: the same options, scaling, padding and numbering as
// regionseg.m, checked against direct regionseg_core calls.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "hosttest.h"
#include "imageio.h"
#include "pngio.h"
#include "segfront.h"

namespace {

using kalseg::Geometry;
using kalseg::Options;
using kalseg::Volume;

Volume volume(int d1, int d2, int d3, const std::vector<double> &v, double maxval = 255) {
  Volume im;
  im.d1 = d1;
  im.d2 = d2;
  im.d3 = d3;
  im.maxval = maxval;
  im.v = v;
  return im;
}

// Blocks of eight pixels with seeded noise, 0..255.
std::vector<double> noisyBlocks(int d1, int d2, int d3, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> level(0, 200);
  std::normal_distribution<double> noise(0, 5);
  std::vector<int> blockLevel(64 * 64 * 64);
  for (int &b : blockLevel) {
    b = level(rng);
  }
  std::vector<double> v;
  for (int z = 0; z < d3; ++z) {
    for (int y = 0; y < d2; ++y) {
      for (int x = 0; x < d1; ++x) {
        const double g = blockLevel[(x / 8) + 64 * (y / 8) + 4096 * (z / 2)] + noise(rng);
        v.push_back(std::min(255.0, std::max(0.0, std::round(g))));
      }
    }
  }
  return v;
}

// regionseg_core on an image of its own geometry, with the parameters the
// options give, labels plus 1.
std::vector<int32_t> direct(const std::vector<double> &v, const Geometry &g, const Options &o) {
  std::vector<int32_t> grey(v.begin(), v.end());
  std::vector<mwSize> dims = {mwSize(g.p1), mwSize(g.p2)};
  if (g.levels != g.flat_levels) {
    dims.push_back(mwSize(g.p3));
  }
  kaltest::Array image = kaltest::int32Array(dims, grey);
  double p[14];
  moduleParams(g, o.run, p);
  std::vector<kaltest::Array> scalars;
  std::vector<const mxArray *> in = {image.get()};
  for (double x : p) {
    scalars.push_back(kaltest::doubleScalar(x));
    in.push_back(scalars.back().get());
  }
  kaltest::Call c = kaltest::call("regionseg_core", 1, in, true);
  EXPECT_TRUE(c.ok()) << c.error();
  std::vector<int32_t> labels = kaltest::int32Values(c.out[0].get());
  for (int32_t &l : labels) {
    ++l;
  }
  return labels;
}

class FrontTest : public kaltest::HostTest {};

TEST(FrontOptions, NamesValuesAndMessages) {
  Options o;
  EXPECT_EQ(kalseg::setOption(o, "criterion", "Robust_Range"), "");
  EXPECT_EQ(o.run.criterion, 3);
  EXPECT_EQ(kalseg::setOption(o, "criterion", "5"), "");
  EXPECT_EQ(o.run.criterion, 5);
  EXPECT_EQ(kalseg::setOption(o, "start-level", "2"), "");
  EXPECT_EQ(o.start_level, 2);
  EXPECT_EQ(kalseg::setOption(o, "GROUPING", "parallel"), "");
  EXPECT_TRUE(o.run.parallel_grouping);
  EXPECT_EQ(kalseg::setOption(o, "keep_small_stats", "yes"), "");
  EXPECT_TRUE(o.run.keep_small_stats);
  EXPECT_EQ(kalseg::setOption(o, "confidence", "0.90"), "");
  EXPECT_EQ(o.run.confidence_row, 3);
  EXPECT_EQ(kalseg::setOption(o, "scale", "MinMax"), "");
  EXPECT_EQ(o.scale, "minmax");

  EXPECT_EQ(kalseg::setOption(o, "treshold", "3"), "unknown option 'treshold'.");
  EXPECT_EQ(kalseg::setOption(o, "threshold", "-1"),
            "option 'threshold' must be a whole number >= 0.");
  EXPECT_EQ(kalseg::setOption(o, "threshold", "1.5"),
            "option 'threshold' must be a whole number >= 0.");
  EXPECT_EQ(kalseg::setOption(o, "threshold", "12abc"),
            "option 'threshold' must be a whole number >= 0.");
  EXPECT_EQ(kalseg::setOption(o, "criterion", "6"),
            "option 'criterion' must be one of 'range', 'range_mean', 'robust_range', "
            "'chi2_variance' or 'scaled_variance' or 1 to 5.");
  EXPECT_EQ(kalseg::setOption(o, "start_level", "16"),
            "option 'start_level' must be a whole number 0 to 15.");
  EXPECT_EQ(kalseg::setOption(o, "snapshot_budget", "2e9"), "");
  EXPECT_EQ(o.snapshot_budget, 2e9);
  EXPECT_EQ(kalseg::setOption(o, "snapshot_budget", "0"),
            "option 'snapshot_budget' must be a number > 0: bytes above 1, a fraction of the "
            "physical memory up to 1.");
  EXPECT_EQ(kalseg::setOption(o, "seeds", "0"), "option 'seeds' must be a whole number >= 1.");
  EXPECT_EQ(kalseg::setOption(o, "seed_any_level", "2"),
            "option 'seed_any_level' must be true or false.");
  EXPECT_EQ(kalseg::setOption(o, "outlier_fraction", "1.5"),
            "option 'outlier_fraction' must be a number 0 to 1.");
  EXPECT_EQ(kalseg::setOption(o, "noise_sigma", "nan"),
            "option 'noise_sigma' must be a finite number >= 0.");
  EXPECT_EQ(kalseg::setOption(o, "confidence", "0.6"),
            "option 'confidence' must be 0.5, 0.75 or 0.9.");
  EXPECT_EQ(kalseg::setOption(o, "grouping", "fast"),
            "option 'grouping' must be 'sequential' or 'parallel'.");
  EXPECT_EQ(kalseg::setOption(o, "scale", "log"),
            "option 'scale' must be 'none', 'minmax', 'class' or 'clip'.");
  EXPECT_EQ(o.scale, "minmax") << "a refused value changes nothing";
}

TEST(FrontGeometry, PaddedSizesLevelsAndLimits) {
  Options o;
  Geometry g;
  EXPECT_EQ(kalseg::geometryFor(1, 1, 1, o, g), "");
  EXPECT_EQ(g.levels, 1);
  EXPECT_EQ(g.p1, 2);
  EXPECT_EQ(g.start_level, 0);
  EXPECT_EQ(kalseg::geometryFor(50, 70, 1, o, g), "");
  EXPECT_EQ(g.levels, 7);
  EXPECT_EQ(g.flat_levels, 7);
  EXPECT_EQ(g.start_level, 3);
  EXPECT_EQ(g.p3, 1);
  EXPECT_EQ(kalseg::geometryFor(256, 256, 1, o, g), "");
  EXPECT_EQ(g.levels, 8);
  EXPECT_EQ(kalseg::geometryFor(257, 2, 1, o, g), "");
  EXPECT_EQ(g.levels, 9);
  EXPECT_EQ(kalseg::geometryFor(32768, 5, 1, o, g), "");
  EXPECT_EQ(g.levels, 15);
  EXPECT_EQ(kalseg::geometryFor(40000, 2, 1, o, g),
            "the image of 40000 x 2 pixels is too large: padded to 65536 x 65536 it would pass "
            "the 2^30 voxels that regionseg_core can take.");
  EXPECT_EQ(kalseg::geometryFor(4096, 4096, 64, o, g), "") << "2^30 voxels exactly";
  EXPECT_EQ(kalseg::geometryFor(2, 2, 1500, o, g),
            "the image of 2 x 2 x 1500 pixels is too large: padded to 2048 x 2048 x 2048 it "
            "would pass the 2^30 voxels that regionseg_core can take.");
  EXPECT_EQ(kalseg::geometryFor(5, 6, 3, o, g), "");
  EXPECT_EQ(g.levels, 3);
  EXPECT_EQ(g.flat_levels, 1);
  EXPECT_EQ(g.p3, 4);
  EXPECT_EQ(kalseg::geometryFor(2, 2, 8, o, g), "");
  EXPECT_EQ(g.levels, 3);
  EXPECT_EQ(g.flat_levels, 0);

  Options flat = o;
  flat.flat_levels = 2;
  EXPECT_EQ(kalseg::geometryFor(16, 16, 4, flat, g), "");
  EXPECT_EQ(g.levels, 4);
  EXPECT_EQ(g.p3, 4);
  EXPECT_EQ(kalseg::geometryFor(16, 16, 1, flat, g),
            "option 'flat_levels' applies to 3-D images only.");
  // 2048 x 1 x 2 with flat_levels f: 2^L x 2^L x 2^(L - f), L = max(11, f + 1).
  EXPECT_EQ(kalseg::geometryFor(2048, 1, 2, flat, g),
            "option 'flat_levels' must be a whole number 3 to 13 for this image.");

  Options start = o;
  start.start_level = 5;
  EXPECT_EQ(kalseg::geometryFor(32, 32, 1, start, g),
            "option 'start_level' must be a whole number 0 to 4 for this image.");

  Options chi2 = o;
  chi2.run.criterion = 4;
  EXPECT_EQ(kalseg::geometryFor(256, 256, 1, chi2, g), "");
  EXPECT_EQ(kalseg::geometryFor(256, 256, 32, chi2, g), "") << "level 7 blocks of 262144 pixels";
  EXPECT_NE(kalseg::geometryFor(256, 256, 64, chi2, g), "");
  EXPECT_NE(kalseg::geometryFor(2, 2, 256, chi2, g).find("256 x 256 x 256"), std::string::npos);
}

TEST(FrontGrey, ScalingModes) {
  std::vector<int32_t> grey;
  EXPECT_EQ(kalseg::greyValues(volume(1, 3, 1, {0, 17, 255}), "none", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 17, 255}));
  EXPECT_EQ(kalseg::greyValues(volume(1, 2, 1, {0, 256}), "none", grey),
            "the image must hold whole numbers in 0..255 (found 0..256); use the option "
            "'scale'.");
  EXPECT_EQ(kalseg::greyValues(volume(1, 2, 1, {0, 0.5}), "none", grey),
            "the image must hold whole numbers in 0..255 (found 0..0.5); use the option "
            "'scale'.");
  EXPECT_EQ(kalseg::greyValues(volume(1, 2, 1, {1, NAN}), "clip", grey),
            "the image must not hold NaN.");
  EXPECT_EQ(kalseg::greyValues(volume(1, 3, 1, {-1000, -500, 1000}), "minmax", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 64, 255}));
  EXPECT_EQ(kalseg::greyValues(volume(1, 2, 1, {7, 7}), "minmax", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 0})) << "a constant image";
  EXPECT_EQ(kalseg::greyValues(volume(1, 3, 1, {0, 257 * 100, 65535}, 65535), "class", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 100, 255}));
  EXPECT_EQ(kalseg::greyValues(volume(1, 2, 1, {0, 1000}, 1000), "class", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 255})) << "a PGM's maxval is its range";
  EXPECT_EQ(kalseg::greyValues(volume(1, 3, 1, {-5, 100.4, 300}), "clip", grey), "");
  EXPECT_EQ(grey, (std::vector<int32_t>{0, 100, 255}));
}

TEST(FrontReduce, MeansOfBlocksWithSmallerLastBlocks) {
  // 3 x 5, reduced by 2: blocks of 2 x 2, 2 x 1, 1 x 2 and 1 x 1 pixels.
  const Volume r = kalseg::reduce(
      volume(3, 5, 1, {0, 2, 10, 4, 6, 20, 1, 1, 30, 1, 2, 40, 100, 200, 50}, 65535), 2);
  EXPECT_EQ(r.d1, 2);
  EXPECT_EQ(r.d2, 3);
  EXPECT_EQ(r.maxval, 65535);
  EXPECT_EQ(r.v, (std::vector<double>{3, 15, 1, 35, 150, 50}));
}

TEST(FrontNumbering, CropRenumbersBySizeKeepingTies) {
  // A 4 x 4 padded label image, cropped to 3 x 2: module labels 0, 1, 2, 5
  // with 2, 2, 1, 1 pixels inside the crop.
  const int32_t padded[16] = {5, 1, 0, 9, 2, 1, 0, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  Geometry g;
  g.p1 = g.p2 = 4;
  std::vector<long> sizes;
  const std::vector<int32_t> labels = kalseg::cropAndNumber(padded, g, 3, 2, 1, sizes);
  EXPECT_EQ(labels, (std::vector<int32_t>{4, 2, 1, 3, 2, 1}));
  EXPECT_EQ(sizes, (std::vector<long>{2, 2, 1, 1}));
}

TEST_F(FrontTest, ModuleGeometryGivesTheModuleLabelsPlusOne) {
  const char *criteria[] = {"range", "range_mean", "robust_range", "chi2_variance",
                            "scaled_variance"};
  const std::vector<double> v = noisyBlocks(32, 32, 1, 3);
  for (const char *c : criteria) {
    Options o;
    ASSERT_EQ(kalseg::setOption(o, "criterion", c), "");
    ASSERT_EQ(kalseg::setOption(o, "threshold", "12"), "");
    ASSERT_EQ(kalseg::setOption(o, "grouping", "parallel"), "");
    ASSERT_EQ(kalseg::setOption(o, "min_region_size", "6"), "");
    const kalseg::Result r = kalseg::segment(volume(32, 32, 1, v), o, false);
    ASSERT_EQ(r.error, "") << c;
    EXPECT_EQ(r.geo.levels, 5);
    EXPECT_EQ(r.labels, direct(v, r.geo, o)) << c;
    EXPECT_TRUE(r.snapshots.empty());
  }
  // A volume: 16 x 16 x 4 is levels 4, flat_levels 2.
  const std::vector<double> w = noisyBlocks(16, 16, 4, 5);
  Options o;
  const kalseg::Result r = kalseg::segment(volume(16, 16, 4, w), o, true);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.geo.flat_levels, 2);
  EXPECT_EQ(r.labels, direct(w, r.geo, o));
  EXPECT_GE(r.snapshotCount, 2);
  EXPECT_EQ(r.snapshots.size(), w.size() * static_cast<std::size_t>(r.snapshotCount));
}

TEST_F(FrontTest, PaddingRepeatsTheBorderAndCropsBack) {
  const std::vector<double> v = noisyBlocks(20, 13, 1, 11);
  Options o;
  const kalseg::Result r = kalseg::segment(volume(20, 13, 1, v), o, true);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.geo.p1, 32);
  // The padded image by hand, and the module's own labels of it.
  std::vector<double> padded;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      padded.push_back(v[static_cast<std::size_t>(std::min(x, 19) + 20 * std::min(y, 12))]);
    }
  }
  const std::vector<int32_t> full = direct(padded, r.geo, o);
  ASSERT_EQ(r.labels.size(), 260u);
  // The same partition: module label and ours correspond one to one.
  std::vector<int32_t> ours(70000, 0), theirs(70000, 0);
  for (int y = 0; y < 13; ++y) {
    for (int x = 0; x < 20; ++x) {
      const int32_t a = r.labels[static_cast<std::size_t>(x + 20 * y)];
      const int32_t b = full[static_cast<std::size_t>(x + 32 * y)];
      if (ours[b] == 0) {
        ours[b] = a;
      }
      if (theirs[a] == 0) {
        theirs[a] = b;
      }
      EXPECT_EQ(ours[b], a);
      EXPECT_EQ(theirs[a], b);
    }
  }
  long total = 0;
  for (std::size_t k = 0; k < r.sizes.size(); ++k) {
    total += r.sizes[k];
    if (k > 0) {
      EXPECT_LE(r.sizes[k], r.sizes[k - 1]);
    }
  }
  EXPECT_EQ(total, 260);
  EXPECT_EQ(r.snapshots.size(), 260u * static_cast<std::size_t>(r.snapshotCount));
}

TEST_F(FrontTest, RefusalsComeBeforeTheModule) {
  Options o;
  o.run.criterion = 4;
  kalseg::Result r = kalseg::segment(volume(2, 2, 256, std::vector<double>(1024, 9)), o, false);
  EXPECT_NE(r.error.find("chi2_variance"), std::string::npos);
  Options none;
  none.scale = "none";
  r = kalseg::segment(volume(1, 2, 1, {0, 300}), none, false);
  EXPECT_NE(r.error.find("use the option 'scale'"), std::string::npos);
  r = kalseg::segment(volume(40000, 2, 1, std::vector<double>(80000, 9)), Options(), false);
  EXPECT_NE(r.error.find("too large"), std::string::npos);
}

// A photograph-like picture: smooth shading, a bright ellipse, a dark box,
// a striped texture and noise, 0..255.
std::vector<double> photoLike(int d1, int d2, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, 5);
  std::vector<double> v;
  for (int x = 0; x < d2; ++x) {
    for (int y = 0; y < d1; ++y) {
      double g = 70 + 60 * std::sin(x / 90.0) * std::cos(y / 120.0) + 0.1 * y;
      const double ey = (y - 0.3 * d1) / (0.14 * d1), ex = (x - 0.4 * d2) / (0.2 * d2);
      if (ey * ey + ex * ex < 1) {
        g = 200;
      } else if (y > 0.65 * d1 && y < 0.9 * d1 && x > 0.1 * d2 && x < 0.5 * d2) {
        g = 30;
      } else if (y > 0.6 * d1 && x > 0.6 * d2) {
        g += (x / 6) % 2 == 0 ? -12 : 12;
      }
      v.push_back(std::min(255.0, std::max(0.0, std::round(g + noise(rng)))));
    }
  }
  return v;
}

TEST_F(FrontTest, LargePicturesAndSixteenBitFiles) {
  Options o;
  ASSERT_EQ(kalseg::setOption(o, "min_region_size", "10"), "");
  const std::vector<double> v = photoLike(512, 512, 17);
  const kalseg::Result r = kalseg::segment(volume(512, 512, 1, v), o, false);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.geo.levels, 9);
  EXPECT_EQ(r.labels, direct(v, r.geo, o)) << "a 512 x 512 picture: the module labels plus 1";

  // The same picture as 16-bit samples (0..65535) and with a binary mask's
  // range (maxval 1): 'class' scales from the format's range.
  std::vector<double> deep(v), mask(v.size());
  for (std::size_t k = 0; k < v.size(); ++k) {
    deep[k] *= 257;
    mask[k] = v[k] > 128 ? 1 : 0;
  }
  EXPECT_EQ(kalseg::segment(volume(512, 512, 1, deep, 65535), o, false).labels, r.labels);
  std::vector<double> mask255(mask);
  for (double &m : mask255) {
    m *= 255;
  }
  EXPECT_EQ(kalseg::segment(volume(512, 512, 1, mask, 1), o, false).labels,
            kalseg::segment(volume(512, 512, 1, mask255), o, false).labels);

  // Stored as a colour picture (R = G = B), it reads back as the grey one.
  char dir[] = "/tmp/kalseg_photo_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/photo.png";
  std::vector<uint8_t> rgb;
  for (int y = 0; y < 512; ++y) {
    for (int x = 0; x < 512; ++x) {
      rgb.insert(rgb.end(), 3, static_cast<uint8_t>(v[static_cast<std::size_t>(y + 512 * x)]));
    }
  }
  ASSERT_TRUE(kalpng::writeRgb8(file, 512, 512, rgb));
  Volume colour;
  ASSERT_EQ(kalseg::readImage(file, colour), "");
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  EXPECT_EQ(kalseg::segment(colour, o, false).labels, r.labels);
}

TEST_F(FrontTest, SnapshotBudgetKeepsTheFirstSlicesAndTheLast) {
  // Speckle, padded from 100 x 96 to 128 x 128: many blocks, a long stack.
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> grey(0, 255);
  std::vector<double> v(100 * 96);
  for (double &x : v) {
    x = grey(rng);
  }
  Options o;
  o.run.threshold = 10;
  o.start_level = 0;
  o.snapshot_budget = 1; // all of the physical memory
  const kalseg::Result full = kalseg::segment(volume(100, 96, 1, v), o, true);
  ASSERT_EQ(full.error, "");
  ASSERT_GE(full.snapshotCount, 8);
  const std::size_t slice = v.size();
  for (double budget : {4.0 * double(full.snapshots.size()), 1e-9}) {
    kalhost::clearTranscript();
    o.snapshot_budget = budget;
    const kalseg::Result cut = kalseg::segment(volume(100, 96, 1, v), o, true);
    ASSERT_EQ(cut.error, "");
    EXPECT_EQ(cut.labels, full.labels);
    EXPECT_EQ(kalhost::warnings().size(), 1u) << budget;
    const int k = cut.snapshotCount;
    EXPECT_LT(k, full.snapshotCount);
    EXPECT_TRUE(budget < 1 || 4.0 * double(cut.snapshots.size()) <= budget) << budget;
    ASSERT_EQ(cut.snapshots.size(), slice * static_cast<std::size_t>(k));
    if (k > 0) {
      EXPECT_TRUE(
          std::equal(cut.snapshots.begin(), cut.snapshots.end() - slice, full.snapshots.begin()));
      EXPECT_TRUE(std::equal(cut.snapshots.end() - slice, cut.snapshots.end(),
                             full.snapshots.end() - slice));
    }
  }
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
    EXPECT_EQ(im.maxval, 255);
    EXPECT_EQ(im.v, std::vector<double>(px.begin(), px.end())) << name;
  }
  Volume b;
  ASSERT_EQ(kalseg::readImage(path("b.png"), b), "");
  EXPECT_EQ(b.maxval, 65535);
  EXPECT_EQ(b.v[1], 257.0 * px[1]);

  // 16-bit PGM and a three-page 16-bit TIFF.
  std::vector<uint16_t> deep(d1 * d2 * 3);
  for (std::size_t k = 0; k < deep.size(); ++k) {
    deep[k] = static_cast<uint16_t>(1000 * k + 7);
  }
  ASSERT_TRUE(kalseg::writeGreyTiff(path("e.tif"), deep, d1, d2, 3, 16));
  Volume e;
  ASSERT_EQ(kalseg::readImage(path("e.tif"), e), "");
  EXPECT_EQ(e.d3, 3);
  EXPECT_EQ(e.maxval, 65535);
  EXPECT_EQ(e.v, std::vector<double>(deep.begin(), deep.end()));
  std::vector<uint16_t> plane(deep.begin(), deep.begin() + d1 * d2);
  ASSERT_TRUE(kalseg::writePgm(path("f.pgm"), plane, d1, d2, 20000));
  Volume f;
  ASSERT_EQ(kalseg::readImage(path("f.pgm"), f), "");
  EXPECT_EQ(f.maxval, 20000);
  EXPECT_EQ(f.v, std::vector<double>(plane.begin(), plane.end()));

  // Colour becomes grey.
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 10, 10};
  ASSERT_TRUE(kalpng::writeRgb8(path("g.png"), 4, 1, rgb));
  Volume g;
  ASSERT_EQ(kalseg::readImage(path("g.png"), g), "");
  EXPECT_EQ(g.v, (std::vector<double>{76, 150, 29, 10}));

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
  ASSERT_EQ(kalseg::writeLabels(path("l.png"), labels, 2, 3, 1), "");
  Volume im;
  ASSERT_EQ(kalseg::readImage(path("l.png"), im), "");
  EXPECT_EQ(im.v, std::vector<double>(labels.begin(), labels.end()));
  ASSERT_EQ(kalseg::writeLabels(path("l.TIF"), labels, 1, 2, 3), "");
  ASSERT_EQ(kalseg::readImage(path("l.TIF"), im), "");
  EXPECT_EQ(im.d3, 3);
  EXPECT_EQ(im.v, std::vector<double>(labels.begin(), labels.end()));

  labels[0] = 70000;
  EXPECT_NE(kalseg::writeLabels(path("m.png"), labels, 2, 3, 1).find("TIFF"), std::string::npos);
  EXPECT_NE(access(path("m.png").c_str(), F_OK), 0) << "nothing written";
  EXPECT_EQ(kalseg::writeLabels(path("m.tif"), labels, 2, 3, 1), "") << "32-bit TIFF";
  EXPECT_NE(kalseg::writeLabels(path("v.png"), labels, 1, 2, 3), "") << "a volume needs TIFF";
  EXPECT_NE(kalseg::writeLabels(path("x.jpg"), labels, 2, 3, 1), "");
  EXPECT_NE(kalseg::writeLabels(path("no/such/dir.png"), {1}, 1, 1, 1), "");
}

} // namespace
