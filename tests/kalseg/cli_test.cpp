// The kalseg tool itself, run on small generated images.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "imageio.h"
#include "segfront.h"

namespace {

class KalsegTool : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kalseg_cli_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Runs kalseg with ARGS; returns its exit status, its output in out.
  int run(const std::string &args, std::string &out) {
    const std::string cmd = std::string("'") + KALSEG_BINARY + "' " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    out.clear();
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
      out.append(buf, n);
    }
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }
  std::string dir_;
};

// Two halves and a square: three regions.
std::vector<uint16_t> shapes(int d1, int d2, int d3) {
  std::vector<uint16_t> px;
  for (int z = 0; z < d3; ++z) {
    for (int y = 0; y < d2; ++y) {
      for (int x = 0; x < d1; ++x) {
        int v = y < d2 / 2 ? 40 : 120;
        if (x > 3 && x < 10 && y > 3 && y < 10) {
          v = 220;
        }
        px.push_back(static_cast<uint16_t>(v));
      }
    }
  }
  return px;
}

TEST_F(KalsegTool, SegmentsAPgmIntoLabelsColoursAndMontage) {
  const std::vector<uint16_t> px = shapes(20, 30, 1);
  ASSERT_TRUE(kalseg::writePgm(path("in.pgm"), px, 20, 30, 255));
  std::string out;
  ASSERT_EQ(run("--threshold 10 --colour " + path("c.png") + " --montage=" + path("m.png") + " " +
                    path("in.pgm") + " " + path("labels.png"),
                out),
            0)
      << out;
  EXPECT_NE(out.find("finished initialisation\n"), std::string::npos) << "module progress";
  EXPECT_NE(out.find("finished sorting of regionlist\n"), std::string::npos);
  EXPECT_NE(out.find("20 x 30, padded to 32 x 32 (levels 5, flat_levels 5, start_level 3)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("3 regions in "), std::string::npos) << out;
  EXPECT_NE(out.find("sizes 300 264 36\n"), std::string::npos) << out;
  EXPECT_NE(out.find("snapshots)"), std::string::npos);

  kalseg::Volume labels;
  ASSERT_EQ(kalseg::readImage(path("labels.png"), labels), "");
  ASSERT_EQ(labels.d1, 20);
  ASSERT_EQ(labels.d2, 30);
  // Labels by size: the half at 120 (300 pixels), the half at 40 without the
  // square (264), the square (36).
  for (std::size_t k = 0; k < px.size(); ++k) {
    const double expected = px[k] == 120 ? 1 : px[k] == 40 ? 2 : 3;
    EXPECT_EQ(labels.v[k], expected) << k;
  }
  kalseg::Volume colour, montage;
  ASSERT_EQ(kalseg::readImage(path("c.png"), colour), "");
  EXPECT_EQ(colour.d1, 20);
  EXPECT_EQ(colour.d2, 30);
  ASSERT_EQ(kalseg::readImage(path("m.png"), montage), "");
  EXPECT_GE(montage.d2, 2 * 30) << "at least two snapshots side by side";
}

TEST_F(KalsegTool, SegmentsATiffVolumeIntoATiff) {
  const std::vector<uint16_t> px = shapes(12, 12, 3);
  std::vector<uint16_t> deep(px);
  for (uint16_t &v : deep) {
    v = static_cast<uint16_t>(v * 257);
  }
  ASSERT_TRUE(kalseg::writeGreyTiff(path("in.tif"), deep, 12, 12, 3, 16));
  std::string out;
  const std::string pictures = " --colour " + path("c.png") + " --montage " + path("m.png");
  ASSERT_EQ(run("--scale class --criterion range_mean" + pictures + " " + path("in.tif") + " " +
                    path("labels.tif"),
                out),
            0)
      << out;
  EXPECT_NE(out.find("12 x 12 x 3, padded to 16 x 16 x 4"), std::string::npos) << out;
  kalseg::Volume labels;
  ASSERT_EQ(kalseg::readImage(path("labels.tif"), labels), "");
  EXPECT_EQ(labels.d3, 3);
  EXPECT_EQ(labels.v.size(), px.size());
  // The colour picture shows the planes side by side.
  kalseg::Volume colour;
  ASSERT_EQ(kalseg::readImage(path("c.png"), colour), "");
  EXPECT_EQ(colour.d1, 12);
  EXPECT_EQ(colour.d2, 3 * 12 + 2 * 2);
  EXPECT_TRUE(exists("m.png"));
}

TEST_F(KalsegTool, HelpAndRefusals) {
  std::string out;
  EXPECT_EQ(run("--help", out), 0);
  EXPECT_EQ(out.rfind("Usage: kalseg [OPTIONS] INPUT LABELS\n", 0), 0u);
  for (const char *option :
       {"--criterion", "--threshold", "--start_level", "--grouping", "--seeds", "--seed_any_level",
        "--min_region_size", "--keep_small_stats", "--outlier_fraction", "--noise_sigma",
        "--confidence", "--size_factor", "--scale", "--flat_levels", "--colour", "--montage"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }

  ASSERT_TRUE(kalseg::writePgm(path("in.pgm"), shapes(8, 8, 1), 8, 8, 255));
  const std::string io = " " + path("in.pgm") + " " + path("out.png");
  EXPECT_EQ(run("--treshold 3" + io, out), 1);
  EXPECT_EQ(out, "kalseg: unknown option 'treshold'. (kalseg --help)\n");
  EXPECT_EQ(run("--threshold -2" + io, out), 1);
  EXPECT_EQ(out, "kalseg: option 'threshold' must be a whole number >= 0. (kalseg --help)\n");
  EXPECT_EQ(run("--start_level 3" + io, out), 1);
  EXPECT_EQ(out, "kalseg: option 'start_level' must be a whole number 0 to 2 for this image.\n");
  EXPECT_EQ(run(path("in.pgm"), out), 1);
  EXPECT_EQ(out, "kalseg: expected an input image and a label file (kalseg --help)\n");
  EXPECT_EQ(run(path("none.png") + " " + path("out.png"), out), 1);
  EXPECT_EQ(run("--threshold", out), 1);
  EXPECT_EQ(out, "kalseg: option 'threshold' needs a value (kalseg --help)\n");
  EXPECT_FALSE(exists("out.png")) << "no label file after a refusal";

  // Pictures of any size up to what the module takes; --reduce shrinks them.
  ASSERT_TRUE(kalseg::writePgm(path("big.pgm"), std::vector<uint16_t>(300 * 20, 9), 300, 20, 255));
  ASSERT_EQ(run(path("big.pgm") + " " + path("out.png"), out), 0) << out;
  EXPECT_NE(out.find("300 x 20, padded to 512 x 512"), std::string::npos) << out;
  EXPECT_EQ(run("--reduce 0 " + path("big.pgm") + " " + path("out.png"), out), 1);
  EXPECT_EQ(out, "kalseg: option 'reduce' must be a whole number 1 to 1024. (kalseg --help)\n");
  ASSERT_EQ(run("--reduce 2 " + path("big.pgm") + " " + path("small.png"), out), 0) << out;
  EXPECT_NE(out.find("150 x 10, padded to 256 x 256"), std::string::npos) << out;
  EXPECT_EQ(run("--snapshot_budget 10 --montage " + path("m.png") + " " + path("big.pgm") + " " +
                    path("out.png"),
                out),
            1);
  EXPECT_NE(out.find("no snapshot fits within the snapshot budget"), std::string::npos) << out;
  ASSERT_TRUE(
      kalseg::writePgm(path("huge.pgm"), std::vector<uint16_t>(2 * 40000, 9), 2, 40000, 255));
  EXPECT_EQ(run(path("huge.pgm") + " " + path("out.png"), out), 1);
  EXPECT_EQ(out, "kalseg: the image is larger than 32768 pixels in dimension 2. (--reduce N "
                 "shrinks it)\n");

  // Values are scaled from the format's range, or refused beyond 0..255
  // when taken as they are.
  ASSERT_TRUE(kalseg::writePgm(path("deep.pgm"), {0, 1000, 2000, 4000}, 2, 2, 4000));
  EXPECT_EQ(run("--scale none " + path("deep.pgm") + " " + path("out.png"), out), 1);
  EXPECT_NE(out.find("use the option 'scale'"), std::string::npos) << out;
  EXPECT_EQ(run(path("deep.pgm") + " " + path("out.png"), out), 0) << out;
  EXPECT_TRUE(exists("out.png"));
}

} // namespace
