// The front end's library: option values of every kind, the grey values of
// every element type in any layout, the plan of a call (tree, refusals,
// budget) and the numbering of a run's results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arguments.h"
#include "front.h"
#include "grey.h"

namespace {

using segfront::CallSetup;
using segfront::Failure;
using segfront::ImageView;
using segfront::Options;
using segfront::OptionValue;
using segfront::Plan;
using segfront::Sample;

OptionValue text(const char *t) { return OptionValue::ofText(t); }
OptionValue number(double v) { return OptionValue::ofNumber(v); }

TEST(FrontOptions, EachKindTakesItsValuesAndRefusesTheRest) {
  Options o;
  // What a command line's words mean.
  EXPECT_EQ(segfront::commandLineValue("threshold", "12").kind, OptionValue::kNumber);
  EXPECT_EQ(segfront::commandLineValue("keep_small_stats", "Yes").number, 1);
  EXPECT_EQ(segfront::commandLineValue("keep_small_stats", "off").number, 0);
  EXPECT_EQ(segfront::commandLineValue("criterion", "on").kind, OptionValue::kText)
      << "flag words only for flags";
  EXPECT_EQ(segfront::commandLineValue("noise_sigma", "nan").kind, OptionValue::kText);
  EXPECT_EQ(number(INFINITY).kind, OptionValue::kOther);

  struct Case {
    const char *name;
    OptionValue value;
    bool taken;
  };
  const Case cases[] = {
      {"threshold", number(3), true},
      {"threshold", number(3.5), false},
      {"threshold", text("3"), false},
      {"threshold", OptionValue(), false},
      {"threshold", number(2147483647), true},
      {"threshold", number(2147483648.0), false},
      {"threshold", OptionValue::ofBool(true), false},
      {"criterion", OptionValue::ofBool(true), false},
      {"keep_small_stats", OptionValue::ofBool(true), true},
      {"start_level", number(15), true},
      {"start_level", number(16), false},
      {"seed_any_level", number(1), true},
      {"seed_any_level", number(2), false},
      {"outlier_fraction", number(1), true},
      {"outlier_fraction", number(1.01), false},
      {"noise_sigma", number(1e300), true},
      {"noise_sigma", number(-1e-9), false},
      {"Grouping", text("PARALLEL"), true},
      {"grouping", number(1), false},
      {"criterion", text("range_mean"), true},
      {"criterion", number(5), true},
      {"criterion", number(4.5), false},
      {"criterion", text("5"), false},
      {"confidence", number(0.9 + 1e-12), true},
      {"confidence", number(0.8), false},
      {"snapshot_budget", number(1e-300), true},
      {"snapshot_budget", number(0), false},
  };
  for (const Case &c : cases) {
    Options before = o;
    const std::string e = segfront::setOption(o, c.name, c.value);
    EXPECT_EQ(e.empty(), c.taken) << c.name << ": " << e;
    if (!c.taken) {
      EXPECT_EQ(e.find("option '"), 0u) << e;
      EXPECT_EQ(std::memcmp(&before.run, &o.run, sizeof o.run), 0) << "a refusal changes nothing";
    }
  }
  EXPECT_EQ(o.run.criterion, 5);
  EXPECT_EQ(o.run.confidence_row, 3);
  EXPECT_EQ(o.run.parallel_grouping, 1);
  EXPECT_EQ(segfront::setOption(o, "treshold", number(3)), "unknown option 'treshold'.");
  // A range's message names both its limits, the 32-bit one too.
  EXPECT_EQ(segfront::setOption(o, "seeds", number(std::ldexp(1.0, 40))),
            "option 'seeds' must be a whole number 1 to 2147483647.");
  // Every option of the table takes its own default.
  for (const segfront::OptionInfo &info : segfront::optionTable()) {
    if (info.initial[0] != '\0') {
      EXPECT_EQ(
          segfront::setOption(o, info.name, segfront::commandLineValue(info.name, info.initial)),
          "")
          << info.name;
    }
  }
}

// A view of values stored as T in a buffer of the given layout: the
// dimensions in the order given by perm, each step `spacing` samples apart
// and the first dimension running backwards.
template <typename T> struct Stored {
  std::vector<T> buffer;
  ImageView view;
  Stored(const std::vector<T> &values, const int64_t dims[3], int ndims, Sample type, int spacing,
         const int perm[3]) {
    int64_t step[3];
    int64_t n = spacing;
    for (int k = 0; k < 3; ++k) {
      step[perm[k]] = n;
      n *= dims[perm[k]];
    }
    buffer.assign(static_cast<std::size_t>(n), T());
    view.type = type;
    view.ndims = ndims;
    // The first dimension runs from its far end: a negative stride.
    const int64_t origin = (dims[0] - 1) * step[0];
    std::size_t k = 0;
    for (int64_t z = 0; z < dims[2]; ++z) {
      for (int64_t y = 0; y < dims[1]; ++y) {
        for (int64_t x = 0; x < dims[0]; ++x) {
          buffer[static_cast<std::size_t>(origin - x * step[0] + y * step[1] + z * step[2])] =
              values[k++];
        }
      }
    }
    view.data = buffer.data() + origin;
    for (int d = 0; d < 3; ++d) {
      view.dims[d] = dims[d];
      view.strides[d] = (d == 0 ? -1 : 1) * step[d] * static_cast<int64_t>(sizeof(T));
    }
  }
};

// The grey values a view gives (the options at their defaults otherwise).
std::vector<int32_t> greyOf(const ImageView &view, Options o = Options()) {
  Plan plan;
  CallSetup setup;
  Failure f = segfront::plan(view, o, setup, plan);
  if (!f) {
    f = segfront::checkValues(view, plan);
  }
  EXPECT_FALSE(f) << f.text;
  std::vector<int32_t> grey(plan.voxels());
  if (!f) {
    segfront::greyValues(view, plan, grey.data());
  }
  return grey;
}

// The grey value g of every class as image toolboxes store it.
template <typename T> std::vector<T> asClass(const std::vector<int32_t> &g, double (*f)(int32_t)) {
  std::vector<T> out;
  for (int32_t v : g) {
    out.push_back(static_cast<T>(f(v)));
  }
  return out;
}

TEST(FrontGrey, EveryClassInEveryLayoutMeansItsGreyValues) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int32_t> grey(0, 255);
  const int64_t dims[3] = {7, 5, 4};
  std::vector<int32_t> g(7 * 5 * 4);
  for (int32_t &v : g) {
    v = grey(rng);
  }
  std::vector<int32_t> half(g.size()), mask(g.size());
  std::transform(g.begin(), g.end(), half.begin(), [](int32_t v) { return v / 2; });
  std::transform(g.begin(), g.end(), mask.begin(), [](int32_t v) { return v > 127 ? 255 : 0; });
  const auto same = [](int32_t v) { return double(v); };
  const int perms[][3] = {{0, 1, 2}, {2, 0, 1}, {1, 2, 0}};
  for (const auto &perm : perms) {
    for (int spacing : {1, 3}) {
      // Values v of class T stored from `from`, expected to mean `want`.
      auto check = [&](auto zero, Sample type, const std::vector<int32_t> &from,
                       double (*f)(int32_t), const std::vector<int32_t> &want) {
        using T = decltype(zero);
        EXPECT_EQ(greyOf(Stored<T>(asClass<T>(from, f), dims, 3, type, spacing, perm).view), want)
            << segfront::className(type) << ", spacing " << spacing << ", order " << perm[0];
      };
      check(uint8_t(), Sample::kUint8, g, same, g);
      check(
          uint16_t(), Sample::kUint16, g, [](int32_t v) { return v * 257.0; }, g);
      check(
          double(), Sample::kDouble, g, [](int32_t v) { return v / 255.0; }, g);
      check(
          float(), Sample::kSingle, g, [](int32_t v) { return double(float(v) / 255.0f); }, g);
      check(
          uint8_t(), Sample::kBool, g, [](int32_t v) { return v > 127 ? 1.0 : 0.0; }, mask);
      // The integer classes whose range is never an image's: as they are.
      check(int8_t(), Sample::kInt8, half, same, half);
      check(int16_t(), Sample::kInt16, g, same, g);
      check(uint32_t(), Sample::kUint32, g, same, g);
      check(int32_t(), Sample::kInt32, g, same, g);
      check(uint64_t(), Sample::kUint64, g, same, g);
      check(int64_t(), Sample::kInt64, g, same, g);
    }
  }
  // A file's samples scale from its maxval.
  Stored<uint16_t> pgm(asClass<uint16_t>(g, [](int32_t v) { return v * 4.0; }), dims, 3,
                       Sample::kUint16, 1, perms[0]);
  pgm.view.sampleMax = 1020;
  pgm.view.colourPlanes = false;
  EXPECT_EQ(greyOf(pgm.view), g);
}

TEST(FrontGrey, AColourPictureOfEveryClassIsItsLuminanceThenTheClassRule) {
  const int64_t picture[3] = {4, 5, 3};
  const int perm[3] = {0, 1, 2};
  std::vector<int32_t> rgb(60);
  for (int k = 0; k < 20; ++k) {
    rgb[k] = 200;                     // red
    rgb[k + 20] = (k % 4) * 60;       // green
    rgb[k + 40] = 255 - (k % 4) * 60; // blue
  }
  std::vector<int32_t> lum(20);
  std::vector<double> fraction(20);
  for (int k = 0; k < 20; ++k) {
    fraction[k] = segfront::luminance(rgb[k] / 255.0, rgb[k + 20] / 255.0, rgb[k + 40] / 255.0);
    lum[k] = static_cast<int32_t>(
        std::round(0.299 * rgb[k] + 0.587 * rgb[k + 20] + 0.114 * rgb[k + 40]));
  }
  Stored<uint8_t> bytes(asClass<uint8_t>(rgb, [](int32_t v) { return double(v); }), picture, 3,
                        Sample::kUint8, 1, perm);
  EXPECT_EQ(greyOf(bytes.view), lum);
  Stored<int32_t> ints(rgb, picture, 3, Sample::kInt32, 1, perm);
  EXPECT_EQ(greyOf(ints.view), lum);
  // A double picture's luminance is a fraction, not rounded before 'class'.
  Stored<double> doubles(asClass<double>(rgb, [](int32_t v) { return v / 255.0; }), picture, 3,
                         Sample::kDouble, 1, perm);
  std::vector<int32_t> want(20);
  std::transform(fraction.begin(), fraction.end(), want.begin(),
                 [](double f) { return static_cast<int32_t>(std::round(f * 255)); });
  EXPECT_EQ(greyOf(doubles.view), want);
  Options volume;
  ASSERT_EQ(segfront::setOption(volume, "rgb", text("volume")), "");
  EXPECT_EQ(greyOf(bytes.view, volume), rgb);
  // A fourth plane is alpha where the caller says so, passed over; else a
  // volume's fourth plane, and 'rgb' 'volume' keeps the four.
  std::vector<int32_t> rgba = rgb;
  for (int k = 0; k < 20; ++k) {
    rgba.push_back(k * 13);
  }
  const int64_t withAlpha[3] = {4, 5, 4};
  Stored<int32_t> alpha(rgba, withAlpha, 3, Sample::kInt32, 1, perm);
  EXPECT_EQ(greyOf(alpha.view), rgba) << "four planes";
  alpha.view.alpha = true;
  EXPECT_EQ(greyOf(alpha.view), lum);
  EXPECT_EQ(greyOf(alpha.view, volume), rgba);
}

// The low-range warning of random images of several classes and scales
// against the grey values themselves: it is given exactly when more than 32
// distinct values become fewer than 32 grey values, and names both ranges.
TEST(FrontGrey, TheLowRangeWarningIsForManyValuesSqueezedIntoFewGreyValues) {
  std::mt19937 rng(7);
  const char *const scales[] = {"class", "clip", "minmax"};
  const Sample types[] = {Sample::kUint16, Sample::kInt16, Sample::kSingle, Sample::kDouble};
  const int perm[3] = {0, 1, 2};
  int warned = 0, quiet = 0;
  for (int round = 0; round < 400; ++round) {
    const Sample type = types[rng() % 4];
    const bool real = type == Sample::kSingle || type == Sample::kDouble;
    // n distinct values step apart from lo, drawn into a 20 x 10 picture.
    const int n = 1 + static_cast<int>(rng() % 60);
    const double step = real ? std::ldexp(1.0, -static_cast<int>(rng() % 12))
                             : static_cast<double>(1 + rng() % 300);
    const double lo = real ? 0 : static_cast<double>(rng() % 1000);
    std::vector<double> values(200);
    for (std::size_t k = 0; k < values.size(); ++k) {
      values[k] = lo + step * static_cast<double>(k < static_cast<std::size_t>(n) ? k : rng() % n);
    }
    const int64_t dims[3] = {20, 10, 1};
    Options o;
    ASSERT_EQ(segfront::setOption(o, "scale", text(scales[rng() % 3])), "");
    auto check = [&](const ImageView &view) {
      Plan plan;
      if (segfront::plan(view, o, CallSetup(), plan) || segfront::checkValues(view, plan)) {
        return; // refused: no run, no warning
      }
      std::vector<int32_t> grey(plan.voxels());
      segfront::greyValues(view, plan, grey.data());
      const auto range = std::minmax_element(grey.begin(), grey.end());
      std::vector<double> sorted = values;
      std::sort(sorted.begin(), sorted.end());
      const auto distinct = std::unique(sorted.begin(), sorted.end()) - sorted.begin();
      const bool squeezed = distinct > 32 && *range.second - *range.first + 1 < 32;
      const std::string w = segfront::lowRangeWarning(view, plan, "FIX");
      EXPECT_EQ(!w.empty(), squeezed) << w << " (" << distinct << " values)";
      if (squeezed) {
        const std::string greys =
            std::to_string(*range.first) + ".." + std::to_string(*range.second) + " only";
        EXPECT_NE(w.find(greys), std::string::npos) << w;
        EXPECT_NE(w.find("use FIX"), std::string::npos) << w;
      }
      ++(squeezed ? warned : quiet);
    };
    auto stored = [&](auto zero) {
      using T = decltype(zero);
      std::vector<T> samples;
      for (double v : values) {
        samples.push_back(static_cast<T>(v));
      }
      check(Stored<T>(samples, dims, 2, type, 1, perm).view);
    };
    if (type == Sample::kUint16) {
      stored(uint16_t());
    } else if (type == Sample::kInt16) {
      stored(int16_t());
    } else if (type == Sample::kSingle) {
      stored(float());
    } else {
      stored(double());
    }
  }
  EXPECT_GT(warned, 20);
  EXPECT_GT(quiet, 20);
}

TEST(FrontGrey, ScalesAndTheirChecks) {
  const int64_t dims[3] = {4, 1, 1};
  const int perm[3] = {0, 1, 2};
  auto doubles = [&](std::vector<double> v) {
    return Stored<double>(v, dims, 2, Sample::kDouble, 1, perm);
  };
  auto refusal = [](const ImageView &view, const char *scale) {
    Options o;
    EXPECT_EQ(segfront::setOption(o, "scale", OptionValue::ofText(scale)), "");
    Plan plan;
    Failure f = segfront::plan(view, o, CallSetup(), plan);
    return f ? f.text : segfront::checkValues(view, plan).text;
  };
  auto scaled = [](const ImageView &view, const char *scale) {
    Options o;
    segfront::setOption(o, "scale", OptionValue::ofText(scale));
    return greyOf(view, o);
  };
  EXPECT_EQ(scaled(doubles({-1000, -500, 1000, 0}).view, "minmax"),
            (std::vector<int32_t>{0, 64, 255, 128}));
  EXPECT_EQ(scaled(doubles({7, 7, 7, 7}).view, "minmax"), (std::vector<int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(scaled(doubles({-5, 100.5, 300, -INFINITY}).view, "clip"),
            (std::vector<int32_t>{0, 101, 255, 0}));
  EXPECT_EQ(scaled(doubles({0, 17, 255, 3}).view, "none"), (std::vector<int32_t>{0, 17, 255, 3}));
  EXPECT_EQ(refusal(doubles({0, 256, 1, 2}).view, "none"),
            "the image must hold whole numbers in 0..255 (found 0..256); use the option 'scale'.");
  EXPECT_EQ(refusal(doubles({0, 0.5, 1, 2}).view, "none"),
            "the image must hold whole numbers in 0..255 (found 0..2); use the option 'scale'.");
  EXPECT_EQ(refusal(doubles({1, NAN, 1, 1}).view, "clip"), "the image must not hold NaN.");
  EXPECT_EQ(refusal(doubles({0, INFINITY, 1, 1}).view, "minmax"),
            "the image must hold finite values for 'scale' 'minmax'.");
  EXPECT_EQ(refusal(doubles({0, 255, 1, 1}).view, "class"),
            "for 'scale' 'class' a double image must hold values in 0..1 (found 0..255); use the "
            "option 'scale' ('none' takes grey values 0..255 as they are).");
  // A scale that would bring several values less than one grey value apart
  // is refused, naming the scales that keep them apart.
  EXPECT_EQ(refusal(doubles({0.5, 0.502, 0.5, 0.5}).view, "class"),
            "'scale' 'class' brings the values of this double image (found 0.5..0.502) less than "
            "one grey value apart; use the option 'scale' 'minmax' (the image's range to 0..255).");
  EXPECT_EQ(refusal(doubles({300, 400, 300, 300}).view, "clip"),
            "'scale' 'clip' brings the values of this double image (found 300..400) less than one "
            "grey value apart; use the option 'scale' 'minmax' (the image's range to 0..255).");
  const std::vector<uint16_t> low = {0, 255, 128, 7};
  EXPECT_EQ(refusal(Stored<uint16_t>(low, dims, 2, Sample::kUint16, 1, perm).view, "class"),
            "'scale' 'class' brings the values of this uint16 image (found 0..255) less than one "
            "grey value apart; use the option 'scale': 'minmax' (the image's range to 0..255) or "
            "'clip' (rounded and clipped to 0..255).");
  EXPECT_EQ(scaled(Stored<uint16_t>(low, dims, 2, Sample::kUint16, 1, perm).view, "clip"),
            (std::vector<int32_t>{0, 255, 128, 7}));
}

// The refusal of an image of class T holding 0, 100 and `beyond`, or "".
template <typename T> std::string refusalOf(Sample type, double beyond) {
  const int64_t dims[3] = {3, 1, 1};
  const int perm[3] = {0, 1, 2};
  Stored<T> im({0, 100, static_cast<T>(beyond)}, dims, 2, type, 1, perm);
  Plan plan;
  EXPECT_FALSE(segfront::plan(im.view, Options(), CallSetup(), plan));
  return segfront::checkValues(im.view, plan).text;
}

// Every integer class whose range is never an image's takes values in
// 0..255 as they are (the grey values above) and refuses any other.
TEST(FrontGrey, IntegerClassesRefuseValuesBeyondAGreyValue) {
  struct Case {
    Sample type;
    std::string (*refusal)(Sample, double);
    double beyond;
  };
  const Case cases[] = {
      {Sample::kInt8, refusalOf<int8_t>, -1},       {Sample::kInt16, refusalOf<int16_t>, 256},
      {Sample::kInt32, refusalOf<int32_t>, -70000}, {Sample::kInt64, refusalOf<int64_t>, 9e18},
      {Sample::kUint32, refusalOf<uint32_t>, 4e9},  {Sample::kUint64, refusalOf<uint64_t>, 256}};
  for (const Case &c : cases) {
    const std::string e = c.refusal(c.type, c.beyond);
    const std::string name = segfront::className(c.type);
    EXPECT_EQ(e.find("for 'scale' 'class' a" + std::string(name[0] == 'i' ? "n " : " ") + name +
                     " image is taken as it is and must hold values in 0..255 (found "),
              0u)
        << e;
    EXPECT_NE(e.find("; use the option 'scale': 'minmax' (the image's range to 0..255) or 'clip' "
                     "(rounded and clipped to 0..255)."),
              std::string::npos)
        << e;
  }
}

Failure planOf(int ndims, std::vector<int64_t> dims, Options o, Plan &plan,
               Sample type = Sample::kUint8, CallSetup setup = CallSetup()) {
  ImageView v;
  v.type = type;
  v.ndims = ndims;
  for (int k = 0; k < 3 && k < static_cast<int>(dims.size()); ++k) {
    v.dims[k] = dims[static_cast<std::size_t>(k)];
  }
  return segfront::plan(v, o, setup, plan);
}

TEST(FrontPlan, TheTreeOfAnImageAndItsRefusals) {
  struct Case {
    std::vector<int64_t> dims;
    int levels, flat, start;
  };
  const Case cases[] = {{{1, 1}, 1, 1, 0},           {{50, 70}, 7, 7, 3},  {{256, 256}, 8, 8, 3},
                        {{257, 2}, 9, 9, 3},         {{5, 6, 4}, 3, 1, 2}, {{2, 2, 8}, 3, 0, 2},
                        {{4096, 4096, 64}, 12, 6, 3}};
  for (const Case &c : cases) {
    Plan p;
    ASSERT_FALSE(planOf(static_cast<int>(c.dims.size()), c.dims, Options(), p)) << c.dims[0];
    EXPECT_EQ(p.params.levels, c.levels) << c.dims[0];
    EXPECT_EQ(p.params.flat_levels, c.flat) << c.dims[0];
    EXPECT_EQ(p.params.start_level, c.start) << c.dims[0];
  }
  Plan p;
  // An M x N x 3 picture of any type is one plane.
  ASSERT_FALSE(planOf(3, {6, 5, 3}, Options(), p, Sample::kInt16));
  EXPECT_TRUE(p.colour && p.d3 == 1 && p.ndims == 2);

  EXPECT_EQ(planOf(2, {0, 3}, Options(), p).text,
            "the image must be a non-empty 2-D or 3-D array.");
  EXPECT_EQ(planOf(4, {2, 2, 2}, Options(), p).fault, segfront::Fault::kBadImage);
  const Failure large = planOf(2, {40000, 30000}, Options(), p);
  EXPECT_EQ(large.fault, segfront::Fault::kImageTooLarge);
  EXPECT_EQ(segfront::identifierOf(large.fault), "kalmex:regionseg:imageTooLarge");
  EXPECT_EQ(
      segfront::messageOf(large).find("regionseg: the image of 40000 x 30000 pixels is too large"),
      0u);
  Options flat;
  flat.flat_levels = 2;
  EXPECT_EQ(planOf(2, {16, 16}, flat, p).text, "option 'flat_levels' applies to 3-D images only.");
  flat.flat_levels = 15;
  EXPECT_EQ(planOf(3, {2, 2, 4}, flat, p).text,
            "option 'flat_levels' must be a whole number 0 to 14 for this image.")
      << "the planes must fit below the flat levels, within 16 levels";
  Options start;
  start.start_level = 5;
  EXPECT_EQ(planOf(2, {32, 32}, start, p).text,
            "option 'start_level' must be a whole number 0 to 4 for this image.");
  Options chi2;
  chi2.run.criterion = CRITERION_CHI2_VARIANCE;
  EXPECT_FALSE(planOf(3, {256, 256, 32}, chi2, p)) << "level 7 blocks of 262144 pixels";
  EXPECT_NE(planOf(3, {2, 2, 256}, chi2, p).text.find("256 x 256 x 256"), std::string::npos);
}

TEST(FrontPlan, TheBudgetsShareAndTheSmallestThatWorks) {
  EXPECT_EQ(segfront::snapshotShare(3000, 0, 3), 1000);
  EXPECT_EQ(segfront::snapshotShare(0.5, 8e9, 2), 2e9);
  EXPECT_EQ(segfront::snapshotShare(0.5, 0, 2), 0) << "no bound on a machine of unknown memory";
  CallSetup setup;
  setup.snapshots = true;
  setup.stackCopies = 3;
  Options o;
  o.snapshot_budget = 2;
  Plan p;
  const Failure f = planOf(2, {64, 64}, o, p, Sample::kUint8, setup);
  EXPECT_EQ(f.text, "option 'snapshot_budget' must be at least 49152 bytes for this image: the "
                    "snapshot of the final state alone takes that.");
  o.snapshot_budget = 49152;
  ASSERT_FALSE(planOf(2, {64, 64}, o, p, Sample::kUint8, setup));
  EXPECT_EQ(p.params.snapshot_budget, 16384u) << "one slice for the module";
  EXPECT_EQ(p.budgetBytes, 49152);
  // A share of the memory too small for one slice is raised to it.
  o.snapshot_budget = 1e-9;
  setup.physicalMemory = 8e9;
  ASSERT_FALSE(planOf(2, {64, 64}, o, p, Sample::kUint8, setup));
  EXPECT_EQ(p.params.snapshot_budget, 16384u);
}

TEST(FrontPlan, BothDoorsKeepTheCoresRulesAlike) {
  // The front end's plan and the core gateway's reading of the same run
  // (an image that fills its tree, the stack taken as it is) accept and
  // refuse alike and bound the stack alike: the start level, criterion 4's
  // largest block, the budget in bytes or as a share of the memory.
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> bits(1, 11), level(0, 8), pick(0, 5);
  const double budgets[] = {0.25, 1e-9, 1, 3, 5000, 2e6};
  const double memories[] = {0, 1e4, 8e9};
  int refused[arg_count] = {0}, taken = 0;
  for (int run = 0; run < 300; ++run) {
    const int sideBits = bits(rng), planeBits = bits(rng) % 5;
    const int64_t d1 = int64_t{1} << sideBits, d3 = int64_t{1} << planeBits;
    Options o;
    o.start_level = level(rng);
    o.run.criterion = pick(rng) < 3 ? CRITERION_CHI2_VARIANCE : CRITERION_RANGE;
    o.snapshot_budget = budgets[pick(rng)];
    CallSetup setup;
    setup.snapshots = true;
    setup.physicalMemory = memories[pick(rng) % 3];
    Plan plan;
    const Failure front = planOf(
        d3 > 1 ? 3 : 2, d3 > 1 ? std::vector<int64_t>{d1, d1, d3} : std::vector<int64_t>{d1, d1}, o,
        plan, Sample::kUint8, setup);

    const int levels = std::max(sideBits, planeBits);
    const int32_t dims[3] = {static_cast<int32_t>(d1), static_cast<int32_t>(d1),
                             static_cast<int32_t>(d3)};
    double value[arg_count] = {0,
                               static_cast<double>(levels),
                               static_cast<double>(d3 > 1 ? levels - planeBits : levels),
                               static_cast<double>(o.start_level),
                               0,
                               4,
                               0,
                               static_cast<double>(o.run.criterion),
                               20,
                               0.05,
                               2,
                               2,
                               1,
                               0,
                               0,
                               o.snapshot_budget};
    seg_params core;
    seg_refusal why;
    const bool ok = seg_params_from_values(value, arg_count, dims, d3 > 1 ? 3 : 2,
                                           setup.physicalMemory, core, why);
    ASSERT_EQ(!front, ok) << front.text << " | run " << run;
    if (ok) {
      ++taken;
      EXPECT_EQ(plan.params.snapshot_budget, core.snapshot_budget) << run;
      EXPECT_EQ(plan.params.levels, core.levels);
    } else {
      const int option = front.text.find("'start_level'") != std::string::npos ? arg_start_level
                         : front.text.find("'criterion'") != std::string::npos
                             ? arg_criterion
                             : arg_snapshot_budget;
      EXPECT_EQ(option, why.position) << front.text;
      ++refused[option];
    }
  }
  EXPECT_TRUE(taken > 0 && refused[arg_start_level] > 0 && refused[arg_criterion] > 0 &&
              refused[arg_snapshot_budget] > 0);
}

TEST(FrontSegment, LabelsFromOneBySizeAndSnapshotsOneMoreThanPainted) {
  // The image as it is, filling its tree or not: the labels and every
  // snapshot are the driver's, shifted by one.
  const int64_t shapes[][3] = {{16, 16, 1}, {13, 11, 1}, {9, 7, 5}};
  for (const auto &dims : shapes) {
    std::mt19937 rng(9);
    std::uniform_int_distribution<int> level(0, 5);
    const std::size_t n = static_cast<std::size_t>(dims[0] * dims[1] * dims[2]);
    std::vector<uint8_t> g(n);
    for (std::size_t k = 0; k < n; ++k) {
      g[k] = static_cast<uint8_t>(40 * level(rng) * ((k / 4) % 3 == 0 ? 1 : 0));
    }
    const int perm[3] = {0, 1, 2};
    Stored<uint8_t> im(g, dims, dims[2] > 1 ? 3 : 2, Sample::kUint8, 1, perm);
    CallSetup setup;
    setup.snapshots = true;
    Plan plan;
    ASSERT_FALSE(segfront::plan(im.view, Options(), setup, plan));
    std::vector<int32_t> grey(n), labels(n);
    snapshot_list list = {};
    ASSERT_FALSE(segfront::segment(plan, im.view, grey.data(), labels.data(), &list));
    std::vector<int32_t> direct(n);
    const std::vector<int32_t> input(g.begin(), g.end());
    snapshot_list core = {};
    ASSERT_EQ(
        split_merge(input.data(), plan.d1, plan.d2, plan.d3, plan.params, direct.data(), &core),
        SEG_OK);
    ASSERT_EQ(list.count, core.count) << dims[0];
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_EQ(labels[k], direct[k] + 1) << dims[0];
    }
    for (std::size_t k = 0; k < n * static_cast<std::size_t>(core.count); ++k) {
      EXPECT_EQ(list.arena.slices[k], core.arena.slices[k] + 1) << dims[0];
    }
    release_snapshots(list);
    release_snapshots(core);
  }
}

} // namespace
