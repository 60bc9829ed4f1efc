// The kalseg tool itself, run on small generated images.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "imageio.h"
#include "pngio.h"
#include "sanitized.h"
#include "segrun.h"

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

  // Runs kalseg with ARGS; returns its exit status, its output in out (with
  // standard error unless err is given).
  int run(const std::string &args, std::string &out, std::string *err = nullptr) {
    const std::string errFile = dir_ + "/../" + dir_.substr(dir_.rfind('/') + 1) + ".err";
    const std::string cmd =
        std::string("'") + KALSEG_BINARY + "' " + args + (err ? " 2>'" + errFile + "'" : " 2>&1");
    FILE *p = popen(cmd.c_str(), "r");
    out.clear();
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
      out.append(buf, n);
    }
    const int status = pclose(p);
    if (err) {
      std::ifstream in(errFile);
      std::stringstream text;
      text << in.rdbuf();
      *err = text.str();
      std::remove(errFile.c_str());
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The names in the folder (temporary files included).
  std::set<std::string> files(const std::string &sub = "") const {
    std::set<std::string> names;
    DIR *d = opendir((dir_ + "/" + sub).c_str());
    for (dirent *e; d && (e = readdir(d));) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
        names.insert(e->d_name);
      }
    }
    if (d) {
      closedir(d);
    }
    return names;
  }
  std::vector<double> labelsOf(const std::string &file) {
    kalseg::Volume v;
    EXPECT_EQ(kalseg::readImage(path(file), v), "") << file;
    std::vector<double> values(v.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
      values[k] = v.at(k);
    }
    return values;
  }
  bool exists(const std::string &name) const { return access(path(name).c_str(), F_OK) == 0; }

  // A picture of speckle that kalseg segments in a second or more, as PGM.
  void speckle(const std::string &name, int side) {
    std::vector<uint16_t> px(static_cast<std::size_t>(side) * side);
    uint32_t state = 777;
    for (uint16_t &v : px) {
      state = state * 1664525u + 1013904223u;
      v = static_cast<uint16_t>(state >> 24);
    }
    ASSERT_TRUE(kalseg::writePgm(path(name), px, side, side, 255));
  }

  // Runs kalseg -v with ARGS in a process group of its own, its output
  // (both streams) in out, and, once its run is under way (a module's line
  // "finished initialisation" is out), sends the group SIGINT every 20 ms,
  // as a terminal's Ctrl-C does, until kalseg ends.  Its exit status, or -1
  // when it did not end within 60 s (it is then killed) or ended by a
  // signal.
  int interrupted(const std::vector<std::string> &args, std::string &out) {
    const std::string log = dir_ + ".log";
    const pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      signal(SIGINT, SIG_DFL); // as a terminal's foreground job has it, even in a background test
      const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char *> argv = {const_cast<char *>("kalseg"), const_cast<char *>("-v")};
      for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
      }
      argv.push_back(nullptr);
      execv(KALSEG_BINARY, argv.data());
      _exit(127);
    }
    setpgid(pid, pid); // whichever of the two comes first
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto logged = [&] {
      std::ifstream in(log);
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
    };
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           logged().find("finished initialisation") == std::string::npos && elapsed() < 60) {
      usleep(2000);
    }
    while (done == 0 && (done = waitpid(pid, &status, WNOHANG)) == 0 && elapsed() < 60) {
      kill(-pid, SIGINT);
      usleep(20000);
    }
    if (done == 0) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    out = logged();
    std::remove(log.c_str());
    return done != 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
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
  ASSERT_EQ(run("--verbose --threshold 10 --colour " + path("c.png") +
                    " --montage=" + path("m.png") + " " + path("in.pgm") + " " + path("labels.png"),
                out),
            0)
      << out;
  EXPECT_NE(out.find("finished initialisation\n"), std::string::npos) << "module progress";
  EXPECT_NE(out.find("finished sorting of regionlist\n"), std::string::npos);
  EXPECT_NE(out.find("20 x 30 (levels 5, flat_levels 5, start_level 3)"), std::string::npos) << out;
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
    EXPECT_EQ(labels.at(k), expected) << k;
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
  EXPECT_NE(out.find("12 x 12 x 3 (levels 4, flat_levels 2,"), std::string::npos) << out;
  kalseg::Volume labels;
  ASSERT_EQ(kalseg::readImage(path("labels.tif"), labels), "");
  EXPECT_EQ(labels.d3, 3);
  EXPECT_EQ(labels.size(), px.size());
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
  for (const char *option : {"--criterion",
                             "--threshold",
                             "--start_level",
                             "--grouping",
                             "--seeds",
                             "--seed_any_level",
                             "--min_region_size",
                             "--keep_small_stats",
                             "--outlier_fraction",
                             "--noise_sigma",
                             "--confidence",
                             "--size_factor",
                             "--scale",
                             "--flat_levels",
                             "--colour",
                             "--montage",
                             "--output-dir",
                             "--format",
                             "--jobs",
                             "--quiet",
                             "--verbose",
                             "--version",
                             "Exit status: 0",
                             "1 when",
                             "2 for"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }

  ASSERT_TRUE(kalseg::writePgm(path("in.pgm"), shapes(8, 8, 1), 8, 8, 255));
  const std::string io = " " + path("in.pgm") + " " + path("out.png");
  EXPECT_EQ(run("--treshold 3" + io, out), 2);
  EXPECT_EQ(out, "kalseg: unknown option 'treshold'. (kalseg --help)\n");
  EXPECT_EQ(run("--threshold -2" + io, out), 2);
  EXPECT_EQ(out,
            "kalseg: option 'threshold' must be a whole number 0 to 2147483647. (kalseg --help)\n");
  // A message about an input names it.
  EXPECT_EQ(run("--start_level 3" + io, out), 1);
  EXPECT_EQ(out, "kalseg: " + path("in.pgm") +
                     ": option 'start_level' must be a whole number 0 to 2 for this image.\n");
  EXPECT_EQ(run(path("in.pgm"), out), 2);
  EXPECT_EQ(out, "kalseg: expected an input image and a label file (kalseg --help)\n");
  EXPECT_EQ(run(path("none.png") + " " + path("out.png"), out), 1);
  EXPECT_EQ(run("--threshold", out), 2);
  EXPECT_EQ(out, "kalseg: option 'threshold' needs a value (kalseg --help)\n");
  EXPECT_FALSE(exists("out.png")) << "no label file after a refusal";

  // Pictures of any size up to what the module takes; --reduce shrinks them.
  ASSERT_TRUE(kalseg::writePgm(path("big.pgm"), std::vector<uint16_t>(300 * 20, 9), 300, 20, 255));
  ASSERT_EQ(run(path("big.pgm") + " " + path("out.png"), out), 0) << out;
  EXPECT_NE(out.find("300 x 20 (levels 9, flat_levels 9, start_level 3)"), std::string::npos)
      << out;
  EXPECT_EQ(run("--reduce 0 " + path("big.pgm") + " " + path("out.png"), out), 2);
  EXPECT_EQ(out, "kalseg: option 'reduce' must be a whole number 1 to 1024. (kalseg --help)\n");
  EXPECT_EQ(run("--reduce 21 " + path("big.pgm") + " " + path("out.png"), out), 2);
  EXPECT_EQ(out, "kalseg: " + path("big.pgm") +
                     ": --reduce 21 is larger than the image (300 x 20 pixels).\n");
  ASSERT_EQ(run("--reduce 2 " + path("big.pgm") + " " + path("small.png"), out), 0) << out;
  EXPECT_NE(out.find("150 x 10 (levels 8,"), std::string::npos) << out;
  EXPECT_EQ(run("--snapshot_budget 10 --montage " + path("m.png") + " " + path("big.pgm") + " " +
                    path("out.png"),
                out),
            1);
  EXPECT_NE(out.find("kalseg: " + path("big.pgm") + ": option 'snapshot_budget' must be at least"),
            std::string::npos)
      << out;
  ASSERT_TRUE(
      kalseg::writePgm(path("huge.pgm"), std::vector<uint16_t>(2 * 70000, 9), 2, 70000, 255));
  EXPECT_EQ(run(path("huge.pgm") + " " + path("out.png"), out), 1);
  EXPECT_EQ(out, "kalseg: " + path("huge.pgm") +
                     ": the image is larger than 65536 pixels in dimension 2. (--reduce N "
                     "shrinks it)\n");

  // Values are scaled from the format's range, or refused beyond 0..255
  // when taken as they are.
  ASSERT_TRUE(kalseg::writePgm(path("deep.pgm"), {0, 1000, 2000, 4000}, 2, 2, 4000));
  EXPECT_EQ(run("--scale none " + path("deep.pgm") + " " + path("out.png"), out), 1);
  EXPECT_NE(out.find("use the option 'scale'"), std::string::npos) << out;
  EXPECT_EQ(run(path("deep.pgm") + " " + path("out.png"), out), 0) << out;
  EXPECT_TRUE(exists("out.png"));
  // 16-bit samples holding 0..255 would all be grey 0 or 1: refused, and
  // taken as they are with --scale clip.
  ASSERT_TRUE(kalseg::writePgm(path("low.pgm"), {0, 100, 200, 255}, 2, 2, 65535));
  EXPECT_EQ(run(path("low.pgm") + " " + path("low.png"), out), 1);
  EXPECT_NE(out.find("less than one grey value apart; use the option 'scale': 'minmax'"),
            std::string::npos)
      << out;
  EXPECT_EQ(run("--scale clip " + path("low.pgm") + " " + path("low.png"), out), 0) << out;
}

// Every refusal of the command line: status 2, one line on standard error,
// nothing written, not even a temporary file.
TEST_F(KalsegTool, UsageErrorsExitTwoBeforeAnyWork) {
  ASSERT_TRUE(kalseg::writePgm(path("a.pgm"), shapes(8, 8, 1), 8, 8, 255));
  ASSERT_TRUE(kalseg::writePgm(path("b.png"), shapes(8, 8, 1), 8, 8, 255)); // a PGM by content
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  ASSERT_TRUE(kalseg::writePgm(path("sub/a.pgm"), shapes(8, 8, 1), 8, 8, 255));
  ASSERT_EQ(link(path("b.png").c_str(), path("hard.png").c_str()), 0);
  const std::set<std::string> before = files();
  const std::string a = path("a.pgm"), out = path("out.png");
  const struct {
    std::string args, says;
  } cases[] = {
      {"-x " + a + " " + out, "unknown option '-x'"},
      {"--quiet=yes " + a + " " + out, "option 'quiet' takes no value"},
      {a + " " + out + " --jobs", "option 'jobs' needs a value"},
      {"-j 0 " + a + " -o " + dir_, "option 'jobs' must be a whole number 1 to 256"},
      {"--jobs 2 " + a + " " + out, "--jobs needs several inputs and -o DIR"},
      {a + " " + out + " " + path("third.png"), "expected an input image and a label file"},
      {"-o " + dir_, "expected at least one input image before -o DIR"},
      {"--colour " + path("c.png") + " " + a + " -o " + path("sub"), "cannot be used with -o DIR"},
      {"--format jpg " + a + " -o " + path("sub"), "option 'format' must be png or tif"},
      {"--format tif " + a + " " + out, "--format goes with -o DIR"},
      {a + " " + path("out.jpg"), "the label file must end in .png, .tif or .tiff"},
      {"--montage " + path("m.tif") + " " + a + " " + out, "--montage picture must end in .png"},
      {"--colour " + out + " " + a + " " + out, "would be written twice"},
      {a + " " + path("sub/a.pgm") + " -o " + path("sub"), "would be written twice"},
      // An input that is also an output, by name, through a link, or as
      // the file that -o DIR would write.
      {path("b.png") + " " + path("b.png"), "refusing to overwrite the input"},
      {path("b.png") + " " + path("hard.png"), "refusing to overwrite the input"},
      {"--colour " + path("hard.png") + " " + path("b.png") + " " + out, "refusing to overwrite"},
      {path("b.png") + " -o " + dir_, "refusing to overwrite the input"},
  };
  for (const auto &c : cases) {
    std::string stdoutText, err;
    EXPECT_EQ(run(c.args, stdoutText, &err), 2) << c.args;
    EXPECT_EQ(err.rfind("kalseg: ", 0), 0u) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.args << ": " << err;
    EXPECT_NE(err.find("(kalseg --help)\n"), std::string::npos) << err;
    EXPECT_EQ(stdoutText, "") << c.args;
    EXPECT_EQ(files(), before) << c.args;
  }
}

// Files that cannot be read or written: status 1 and the system's reason;
// nothing half-written, and an existing output kept as it was.
TEST_F(KalsegTool, FileErrorsExitOneWithTheSystemsReason) {
  ASSERT_TRUE(kalseg::writePgm(path("a.pgm"), shapes(8, 8, 1), 8, 8, 255));
  ASSERT_EQ(mkdir(path("dir.png").c_str(), 0755), 0);
  {
    std::ofstream keep(path("kept.png"));
    keep << "an older file";
  }
  const std::set<std::string> before = files();
  const std::string a = path("a.pgm");
  const struct {
    std::string args, says;
  } cases[] = {
      {path("none.pgm") + " " + path("out.png"),
       "cannot open " + path("none.pgm") + ": No such file or directory"},
      {a + " " + path("no/such.png"), "cannot write in " + path("no") + ": No such file"},
      {a + " " + path("dir.png"), "cannot write " + path("dir.png") + ": Is a directory"},
      {"--colour " + path("no/c.png") + " " + a + " " + path("out.png"), "No such file"},
      {a + " -o " + path("kept.png"), "cannot write in " + path("kept.png") + ": Not a directory"},
      {a + " -o " + path("none"), "cannot write in " + path("none") + ": No such file"},
      // Found only once the image is read or segmented: the outputs, which
      // were fine, are not written at all.
      {"--start_level 3 " + a + " " + path("kept.png"), "must be a whole number 0 to 2"},
  };
  for (const auto &c : cases) {
    std::string stdoutText, err;
    EXPECT_EQ(run("--quiet " + c.args, stdoutText, &err), 1) << c.args;
    EXPECT_NE(err.find("kalseg: "), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.args << ": " << err;
    EXPECT_EQ(files(), before) << c.args;
  }
  std::ifstream kept(path("kept.png"));
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "an older file");
}

// Several inputs into a folder, two at a time: one line per finished image
// on standard output, the failure on standard error, and the very labels of
// one run per image.
TEST_F(KalsegTool, SeveralInputsWithJobsGiveTheLabelsOfOneByOne) {
  ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("one").c_str(), 0755), 0);
  std::vector<std::string> inputs;
  for (int k = 0; k < 4; ++k) {
    std::vector<uint16_t> px = shapes(16 + 3 * k, 20 - 2 * k, 1);
    for (std::size_t i = 0; i < px.size(); ++i) {
      px[i] = static_cast<uint16_t>(px[i] + (i * (k + 7) * 2654435761u >> 27)); // noise
    }
    inputs.push_back("in" + std::to_string(k) + ".pgm");
    ASSERT_TRUE(kalseg::writePgm(path(inputs.back()), px, 16 + 3 * k, 20 - 2 * k, 255));
  }
  inputs.push_back("vol.tif");
  ASSERT_TRUE(kalseg::writeGreyTiff(path("vol.tif"), shapes(12, 12, 3), 12, 12, 3, 8));
  const std::string options = "--threshold 12 --min_region_size 3 ";
  std::string all = options + "--jobs 2 -o " + path("out") + " -- " + path("missing.pgm");
  for (const std::string &in : inputs) {
    all += " " + path(in);
  }
  std::string out, err;
  EXPECT_EQ(run(all, out, &err), 1) << "one input is missing";
  EXPECT_EQ(err, "kalseg: cannot open " + path("missing.pgm") + ": No such file or directory\n");
  std::istringstream lines(out);
  std::set<std::string> reported;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t arrow = line.find(" -> ");
    ASSERT_NE(arrow, std::string::npos) << line;
    reported.insert(line.substr(8, arrow - 8));
    EXPECT_NE(line.find(" regions in "), std::string::npos) << line;
  }
  std::set<std::string> expected;
  for (const std::string &in : inputs) {
    expected.insert(path(in));
  }
  EXPECT_EQ(reported, expected) << out;
  EXPECT_EQ(files("out"),
            (std::set<std::string>{"in0.png", "in1.png", "in2.png", "in3.png", "vol.tif"}));
  for (const std::string &name : files("out")) {
    const std::string input = name == "vol.tif" ? "vol.tif" : name.substr(0, 3) + ".pgm";
    std::string single;
    ASSERT_EQ(run(options + path(input) + " " + path("one/" + name), single), 0) << single;
    EXPECT_EQ(labelsOf("out/" + name), labelsOf("one/" + name)) << name;
  }
}

// Labels that a 16-bit PNG cannot hold: a volume's are refused before the
// run (no stage line), a picture's of more regions once they are counted;
// either way before any file is written, the pictures beside them
// included, naming the TIFF that holds them (with -o DIR, --format tif).
TEST_F(KalsegTool, LabelsBeyondAPngFailBeforeAnyFileAndATiffHoldsThem) {
  speckle("noise.pgm", 300);
  ASSERT_TRUE(kalseg::writeGreyTiff(path("v.tif"), shapes(8, 8, 2), 8, 8, 2, 8));
  ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
  const std::set<std::string> before = files();
  std::string out, err;
  EXPECT_EQ(run("-v " + path("v.tif") + " " + path("v.png"), out, &err), 1);
  EXPECT_EQ(out, "") << "refused before the run";
  EXPECT_EQ(err, "kalseg: the labels of " + path("v.tif") +
                     ", a volume, do not fit a 16-bit PNG: name a label file ending in .tif.\n");
  const std::string many = "-q --threshold 0 --start_level 0 ";
  EXPECT_EQ(run(many + "--colour " + path("c.png") + " " + path("noise.pgm") + " " + path("l.png"),
                out, &err),
            1);
  EXPECT_NE(err.find(" regions, do not fit a 16-bit PNG: name a label file ending in .tif.\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(run(many + "-o " + path("out") + " " + path("noise.pgm"), out, &err), 1);
  EXPECT_NE(err.find(" regions, do not fit a 16-bit PNG: use --format tif.\n"), std::string::npos)
      << err;
  EXPECT_EQ(files(), before);
  EXPECT_EQ(files("out"), std::set<std::string>{});
  ASSERT_EQ(run(many + "--format tif -o " + path("out") + " " + path("noise.pgm"), out, &err), 0)
      << err;
  const std::vector<double> labels = labelsOf("out/noise.tif");
  EXPECT_GT(*std::max_element(labels.begin(), labels.end()), 65535);
}

// --version, --quiet, --verbose and "--" before a file whose name starts
// with '-'.  A run prints its summary only, with -v the module's lines of
// its stages too; quiet runs show neither progress nor a summary, but
// still a warning, on standard error.
TEST_F(KalsegTool, VersionQuietAndEndOfOptions) {
  std::string out, err;
  EXPECT_EQ(run("--version", out), 0);
  EXPECT_EQ(out.rfind("kalseg (kalmex) ", 0), 0u) << out;
  ASSERT_TRUE(kalseg::writePgm(path("-in.pgm"), shapes(8, 8, 1), 8, 8, 255));
  ASSERT_EQ(run("-- " + path("-in.pgm") + " " + path("-out.png"), out, &err), 0) << err;
  EXPECT_EQ(out.find("finished"), std::string::npos) << "no progress lines: " << out;
  EXPECT_EQ(out.rfind("kalseg: " + path("-in.pgm") + ": 8 x 8 ", 0), 0u) << out;
  EXPECT_NE(out.find("kalseg: wrote "), std::string::npos) << out;
  EXPECT_EQ(err, "");
  ASSERT_EQ(run("-v -- " + path("-in.pgm") + " " + path("-out.png"), out, &err), 0) << err;
  EXPECT_EQ(out.rfind("finished initialisation\n", 0), 0u) << out;
  EXPECT_NE(out.find("No save_regionlist specified\nkalseg: " + path("-in.pgm") + ": 8 x 8 "),
            std::string::npos)
      << "the stages, then the summary: " << out;
  EXPECT_EQ(err, "");
  setenv("KALMEX_THREADS", "many", 1);
  ASSERT_EQ(mkdir(path("o").c_str(), 0755), 0);
  for (const std::string &args : {"--quiet -- " + path("-in.pgm") + " " + path("-out.png"),
                                  "-q -o " + path("o") + " -- " + path("-in.pgm")}) {
    ASSERT_EQ(run(args, out, &err), 0) << err;
    EXPECT_EQ(out, "") << args;
    EXPECT_EQ(err.rfind("kalseg: warning: KALMEX_THREADS is \"many\", not a whole number", 0), 0u)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  unsetenv("KALMEX_THREADS");
  EXPECT_EQ(labelsOf("-out.png").size(), 64u);
  EXPECT_EQ(run("-q -- -in.pgm out.png", out), 1) << "relative names after --: " << out;
}

// A run of more than a second on a terminal (of 100 columns) shows one line
// on standard error, written over: a bar, how far the run is, its stage
// and, once a second of it has passed, about how long it has left, never
// wider than the terminal; it is cleared before the summary.  (Whose
// standard error is not a terminal writes nothing there: the other tests.)
// Skipped when the machine segments the noise volume in less than that.
TEST_F(KalsegTool, OnlyOnATerminalALongRunShowsHowFarItIs) {
  std::vector<uint16_t> noise(128 * 128 * 64);
  uint32_t state = 12345;
  for (uint16_t &v : noise) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<uint16_t>(state >> 24);
  }
  ASSERT_TRUE(kalseg::writeGreyTiff(path("v.tif"), noise, 128, 128, 64, 8));
  const std::string in = path("v.tif"), out = path("o.tif");
  const auto start = std::chrono::steady_clock::now();
  int terminal = -1;
  winsize size = {};
  size.ws_row = 24;
  size.ws_col = 100; // room for the longest stage's name beside a short bar
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(KALSEG_BINARY, "kalseg", "--start_level", "0", "--threshold", "0", "--min_region_size",
          "3", in.c_str(), out.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(terminal, buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  if (seconds < 1.3) {
    GTEST_SKIP() << "the run took only " << seconds << " s";
  }
  EXPECT_EQ(text.find("finished"), std::string::npos) << "no progress lines: " << text;
  // The drawings: from "\r" to "\033[K".
  int bars = 0, stages = 0, estimates = 0;
  for (std::size_t at = text.find("\rkalseg: "); at != std::string::npos;
       at = text.find("\rkalseg: ", at + 1)) {
    const std::size_t end = text.find("\033[K", at);
    ASSERT_NE(end, std::string::npos) << text;
    const std::string line = text.substr(at + 1, end - at - 1);
    EXPECT_LE(line.size(), 99u) << line;
    const std::size_t open = line.find(" ["), close = line.find("] ");
    if (open == std::string::npos) {
      EXPECT_EQ(line.back(), ')') << "reading or writing: the time so far " << line;
      continue;
    }
    ++bars;
    ASSERT_NE(close, std::string::npos) << line;
    const std::string bar = line.substr(open + 2, close - open - 2);
    const int percent = std::atoi(line.c_str() + close + 2);
    EXPECT_TRUE(bar.size() == 10 || bar.size() == 20) << line;
    const std::size_t filled = static_cast<std::size_t>(percent) * bar.size() / 100;
    EXPECT_EQ(bar, std::string(filled, '=') + std::string(bar.size() - filled, ' ')) << line;
    EXPECT_TRUE(percent >= 0 && percent <= 100) << line;
    const std::string rest = line.substr(line.find('%', close) + 1);
    bool named = false;
    for (int stage = 0; stage < stage_count; ++stage) {
      named = named || rest.rfind(std::string(" ") + stage_name(stage), 0) == 0;
    }
    // The stage's name, unless the terminal has no room for it.
    EXPECT_TRUE(named || rest.empty() || rest.rfind(", ", 0) == 0) << line;
    stages += named ? 1 : 0;
    estimates += rest.find(" left") != std::string::npos ? 1 : 0;
  }
  EXPECT_GT(bars, 0) << text;
  EXPECT_GT(stages, 0) << text;
  if (seconds > 3) {
    EXPECT_GT(estimates, 0) << text;
  }
  EXPECT_NE(text.find("\r\033[Kkalseg: " + in + ": 128 x 128 x 64"), std::string::npos) << text;
}

// Ctrl-C, once the run is under way: a run ends with status 130 within its
// stages, says "kalseg: interrupted" once (whichever of its threads the
// signals reach) and leaves no file behind, neither its outputs nor their
// temporary files; with -o DIR the running jobs stop too, silently.
TEST_F(KalsegTool, SigintEndsTheRunAndLeavesNoFile) {
  speckle("a.pgm", 1024);
  const auto once = [](const std::string &out) {
    std::size_t n = 0;
    for (std::size_t at = out.find("interrupted"); at != std::string::npos;
         at = out.find("interrupted", at + 1)) {
      ++n;
    }
    return n == 1 && out.find("kalseg: interrupted\n") != std::string::npos;
  };
  std::string out;
  EXPECT_EQ(interrupted({"--threshold", "20", "--montage", path("m.png"), "--colour", path("c.png"),
                         path("a.pgm"), path("lab.tif")},
                        out),
            130)
      << out;
  EXPECT_TRUE(once(out)) << out;
  EXPECT_EQ(files(), std::set<std::string>{"a.pgm"});

  speckle("b.pgm", 1024);
  ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
  EXPECT_EQ(interrupted({"--threshold", "20", "--jobs", "2", "-o", path("out"), path("a.pgm"),
                         path("b.pgm")},
                        out),
            130)
      << out;
  EXPECT_TRUE(once(out)) << out;
  EXPECT_EQ(files("out"), std::set<std::string>{}); // no job had finished
}

// Runs kalseg with ARGS under an address-space limit of LIMIT bytes (0:
// none), in the folder; its exit status (-1 when a signal ended it) and
// both streams in out.
int runLimited(const std::string &dir, std::size_t limit, const std::vector<std::string> &args,
               std::string &out) {
  const std::string log = dir + ".log";
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (chdir(dir.c_str()) != 0) {
      _exit(126);
    }
    if (limit > 0) {
      const rlimit as = {limit, limit};
      setrlimit(RLIMIT_AS, &as);
    }
    std::vector<char *> argv = {const_cast<char *>("kalseg")};
    for (const std::string &a : args) {
      argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(KALSEG_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  out = text.str();
  std::remove(log.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Under every address-space limit from the least that kalseg starts in up
// to 1 GB, a run either gives the labels of a run without limit (exit 0)
// or fails with "Out of memory during STAGE: ..." naming its input, exit 1
// and no file at all, neither its outputs nor their temporary files.  The
// limits go up in steps of 1 MB and, wherever two limits end differently,
// halve the gap down to 4 kB, so that every allocation that can be the
// first to fail is found.  A picture, flat but for a noisy corner, makes
// kalseg's own buffers large beside the run's: with --colour memory runs
// short in reading (a PGM, read without a copy of its file), reduction,
// the run's buffers and the picture's writer; with --montage (the
// snapshots held) in the run's stages.
TEST_F(KalsegTool, EveryAddressSpaceLimitGivesTheLabelsOrTheMessage) {
#ifdef KALMEX_TEST_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
  const int side = 512, patch = 64;
  std::vector<uint16_t> px(side * side, 100);
  uint32_t state = 7;
  for (int y = 0; y < patch; ++y) {
    for (int x = 0; x < patch; ++x) {
      state = state * 1664525u + 1013904223u;
      px[x + side * y] = static_cast<uint16_t>(60 + (state >> 26));
    }
  }
  ASSERT_TRUE(kalseg::writePgm(path("in.pgm"), px, side, side, 255));
  std::string out;
  // The least limit kalseg starts in, to 4 kB (it has its libraries to map).
  std::size_t none = 1 << 20, some = 64 << 20;
  while (some - none > 4096) {
    const std::size_t mid = (none + some) / 2;
    (runLimited(dir_, mid, {"--version"}, out) == 0 ? some : none) = mid;
  }

  std::set<std::string> stages;
  std::string seen;
  int runs = 0;
  for (const char *picture : {"--colour=c.png", "--montage=c.png"}) {
    const std::vector<std::string> args = {"--quiet", "--threshold", "20",     "--min_region_size",
                                           "6",       "--reduce",    "2",      "--snapshot_budget",
                                           "1000000", picture,       "in.pgm", "lab.tif"};
    ASSERT_EQ(runLimited(dir_, 0, args, out), 0) << out;
    const std::vector<double> expected = labelsOf("lab.tif");
    const std::set<std::string> inputs = {"in.pgm"};
    std::remove(path("lab.tif").c_str());
    std::remove(path("c.png").c_str());
    // What a run under LIMIT ends with: "ok", or the stage and the
    // structure that memory ran short for.
    const auto outcome = [&](std::size_t limit) -> std::string {
      ++runs;
      const int status = runLimited(dir_, limit, args, out);
      if (status == 0) {
        EXPECT_EQ(labelsOf("lab.tif"), expected) << limit;
        std::remove(path("lab.tif").c_str());
        std::remove(path("c.png").c_str());
        return "ok";
      }
      const std::string says = "kalseg: in.pgm: Out of memory during ";
      const std::size_t at = out.find(says);
      EXPECT_EQ(status, 1) << limit << ": " << out;
      EXPECT_NE(at, std::string::npos) << limit << ": " << out;
      EXPECT_EQ(files(), inputs) << limit << ": " << out;
      if (at == std::string::npos) {
        return out;
      }
      const std::string rest = out.substr(at + says.size());
      stages.insert(rest.substr(0, rest.find(':')));
      return rest.substr(0, rest.find_first_of("(\n"));
    };
    // Upwards until a run succeeds; every gap between two limits that end
    // differently is halved until no allocation can hide in it.
    std::map<std::size_t, std::string> ends;
    std::size_t limit = some + (64 << 10);
    for (; limit < (1u << 30); limit += 1 << 20) {
      if ((ends[limit] = outcome(limit)) == "ok") {
        break;
      }
    }
    ASSERT_EQ(ends[limit], "ok") << "no run succeeded below 1 GB";
    for (bool split = true; split;) {
      split = false;
      for (auto a = ends.begin(), b = std::next(a); b != ends.end(); a = b++) {
        if (a->second != b->second && b->first - a->first > 4096) {
          const std::size_t mid = (a->first + b->first) / 2 / 4096 * 4096;
          ends[mid] = outcome(mid);
          split = true;
          break;
        }
      }
    }
    // And beyond, to 1 GB.
    for (std::size_t more = limit * 4; more < (1u << 30); more *= 4) {
      EXPECT_EQ(outcome(more), "ok") << more;
    }
    EXPECT_EQ(outcome(1u << 30), "ok");
    for (const auto &e : ends) {
      seen +=
          std::string(picture) + ", " + std::to_string(e.first >> 10) + " kB: " + e.second + "\n";
    }
  }
  for (const char *stage : {"reading", "reduction", "set-up", "writing"}) {
    EXPECT_EQ(stages.count(stage), 1u) << stage << "\n" << seen;
  }
  EXPECT_GE(stages.size(), 5u) << "a stage of the run too\n" << seen;
  std::string names;
  for (const std::string &stage : stages) {
    names += (names.empty() ? "" : ", ") + stage;
  }
  RecordProperty("runs", runs);
  RecordProperty("stages", names);
}

} // namespace
