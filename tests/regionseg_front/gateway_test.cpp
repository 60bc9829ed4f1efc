// The module regionseg_front through the embedded host, loading the shipped
// module file: every option against regionseg_core called directly, images
// of every class, the outputs and warnings, and hostile calls, each of which
// is refused with an identifier and leaves nothing behind.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hosttest.h"

namespace {

using kaltest::Array;
using kaltest::Call;

class FrontGateway : public kaltest::HostTest {};

// A uint8 array of the grey values.
Array uint8Array(const std::vector<mwSize> &dims, const std::vector<int32_t> &grey) {
  Array a = kaltest::numericArray(mxUINT8_CLASS, dims);
  uint8_t *p = static_cast<uint8_t *>(mxGetData(a.get()));
  for (std::size_t k = 0; k < grey.size(); ++k) {
    p[k] = static_cast<uint8_t>(grey[k]);
  }
  return a;
}

// Blocks of eight pixels with a little noise.
std::vector<int32_t> noisyBlocks(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> level(0, 5), noise(-3, 3);
  std::vector<int> levels(64);
  for (int &l : levels) {
    l = 40 * level(rng);
  }
  std::vector<int32_t> g(n);
  for (std::size_t k = 0; k < n; ++k) {
    g[k] = std::max(0, std::min(255, levels[(k / 8) % 64] + noise(rng)));
  }
  return g;
}

// regionseg_core's labels plus one, for the 14 parameters given.
std::vector<int32_t> core(const std::vector<mwSize> &dims, const std::vector<int32_t> &grey,
                          const std::vector<double> &params) {
  Array image = kaltest::int32Array(dims, grey);
  std::vector<Array> held;
  std::vector<const mxArray *> in = {image.get()};
  for (double p : params) {
    held.push_back(kaltest::doubleScalar(p));
    in.push_back(held.back().get());
  }
  Call c = kaltest::call("regionseg_core", 1, in, true);
  EXPECT_TRUE(c.ok()) << c.error();
  std::vector<int32_t> labels = kaltest::int32Values(c.out[0].get());
  for (int32_t &l : labels) {
    ++l;
  }
  return labels;
}

// regionseg_front(image, options...) with nlhs outputs.
Call front(int nlhs, const mxArray *image, const std::vector<const mxArray *> &options = {}) {
  std::vector<const mxArray *> in = {image};
  in.insert(in.end(), options.begin(), options.end());
  return kaltest::call("regionseg_front", nlhs, in, true);
}

TEST_F(FrontGateway, EveryOptionReachesTheSegmentation) {
  const std::vector<int32_t> g = noisyBlocks(32 * 32, 1);
  Array image = uint8Array({32, 32}, g);
  // The defaults, as the module's parameters: levels, flat_levels,
  // start_level, parallel_grouping, parallel_seeds, seed_any_level,
  // criterion, threshold, outlier_fraction, noise_sigma, confidence_row,
  // size_factor, min_region_size, keep_small_stats.
  const std::vector<double> defaults = {5, 5, 3, 0, 4, 0, 1, 20, 0.05, 2, 2, 1, 0, 0};
  struct Case {
    const char *name;
    Array value;
    std::vector<std::pair<int, double>> params; // (index, value) changed
  };
  Case cases[] = {
      {"Criterion", kaltest::text("ROBUST_RANGE"), {{6, 3}}},
      {"criterion", kaltest::doubleScalar(5), {{6, 5}}},
      {"threshold", kaltest::doubleScalar(12), {{7, 12}}},
      {"start_level", kaltest::doubleScalar(1), {{2, 1}}},
      {"grouping", kaltest::text("parallel"), {{3, 1}}},
      {"seeds", kaltest::doubleScalar(2), {{4, 2}}},
      {"seed_any_level", kaltest::logicalScalar(true), {{5, 1}}},
      {"min_region_size", kaltest::doubleScalar(9), {{12, 9}}},
      {"keep_small_stats", kaltest::logicalScalar(true), {{13, 1}}},
      {"outlier_fraction", kaltest::doubleScalar(0.2), {{8, 0.2}, {6, 3}}},
      {"noise_sigma", kaltest::doubleScalar(6), {{9, 6}, {6, 5}}},
      {"confidence", kaltest::doubleScalar(0.5), {{10, 1}, {6, 4}}},
      {"size_factor", kaltest::doubleScalar(3), {{11, 3}, {6, 5}}},
  };
  for (Case &c : cases) {
    std::vector<double> p = defaults;
    std::vector<Array> extra;
    std::vector<const mxArray *> options;
    Array name = kaltest::text(c.name);
    options = {name.get(), c.value.get()};
    for (const auto &change : c.params) {
      p[static_cast<std::size_t>(change.first)] = change.second;
    }
    // The criterion that reads a parameter, when the case is not about it.
    if (c.params.size() > 1) {
      static const char *const words[] = {
          "", "range", "range_mean", "robust_range", "chi2_variance", "scaled_variance"};
      extra.push_back(kaltest::text("criterion"));
      extra.push_back(kaltest::text(words[static_cast<int>(c.params[1].second)]));
      options.push_back(extra[0].get());
      options.push_back(extra[1].get());
    }
    const Call r = front(1, image.get(), options);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.error();
    EXPECT_EQ(kaltest::int32Values(r.out[0].get()), core({32, 32}, g, p)) << c.name;
  }
  // 'scale', 'rgb' and 'flat_levels' change the image the run gets.
  Array doubles = kaltest::doubleMatrix(32, 32, std::vector<double>(g.begin(), g.end()));
  Array scale = kaltest::text("scale"), none = kaltest::text("none");
  const Call scaled = front(1, doubles.get(), {scale.get(), none.get()});
  ASSERT_TRUE(scaled.ok()) << scaled.error();
  EXPECT_EQ(kaltest::int32Values(scaled.out[0].get()), core({32, 32}, g, defaults));
  const std::vector<int32_t> planes = noisyBlocks(16 * 16 * 3, 2);
  Array colour = uint8Array({16, 16, 3}, planes);
  Array rgb = kaltest::text("rgb"), volume = kaltest::text("volume");
  Array flat = kaltest::text("flat_levels"), two = kaltest::doubleScalar(2);
  const Call asVolume = front(1, colour.get(), {rgb.get(), volume.get()});
  ASSERT_TRUE(asVolume.ok()) << asVolume.error();
  EXPECT_EQ(kaltest::dims(asVolume.out[0].get()), (std::vector<mwSize>{16, 16, 3}));
  const Call flatter = front(1, colour.get(), {rgb.get(), volume.get(), flat.get(), two.get()});
  ASSERT_TRUE(flatter.ok()) << flatter.error();
  EXPECT_EQ(kaltest::dims(flatter.out[0].get()), (std::vector<mwSize>{16, 16, 3}));
  const Call picture = front(1, colour.get());
  ASSERT_TRUE(picture.ok()) << picture.error();
  EXPECT_EQ(kaltest::dims(picture.out[0].get()), (std::vector<mwSize>{16, 16}));
}

TEST_F(FrontGateway, EveryClassMeansItsGreyValues) {
  const std::vector<int32_t> g = noisyBlocks(24 * 20, 3);
  Array grey = uint8Array({24, 20}, g);
  const Call want = front(1, grey.get());
  ASSERT_TRUE(want.ok()) << want.error();
  // uint16 from its range, floating point from 0..1, the other integer
  // classes as they are.
  struct Class {
    mxClassID id;
    double scale;
  } classes[] = {{mxUINT16_CLASS, 257}, {mxINT16_CLASS, 1},          {mxUINT32_CLASS, 1},
                 {mxINT64_CLASS, 1},    {mxDOUBLE_CLASS, 1 / 255.0}, {mxSINGLE_CLASS, 1 / 255.0}};
  for (const Class &c : classes) {
    Array a = kaltest::numericArray(c.id, {24, 20});
    char *p = static_cast<char *>(mxGetData(a.get()));
    for (std::size_t k = 0; k < g.size(); ++k) {
      const double v = g[k] * c.scale;
      switch (c.id) {
      case mxUINT16_CLASS:
        reinterpret_cast<uint16_t *>(p)[k] = static_cast<uint16_t>(v);
        break;
      case mxINT16_CLASS:
        reinterpret_cast<int16_t *>(p)[k] = static_cast<int16_t>(v);
        break;
      case mxUINT32_CLASS:
        reinterpret_cast<uint32_t *>(p)[k] = static_cast<uint32_t>(v);
        break;
      case mxINT64_CLASS:
        reinterpret_cast<int64_t *>(p)[k] = static_cast<int64_t>(v);
        break;
      case mxSINGLE_CLASS:
        reinterpret_cast<float *>(p)[k] = static_cast<float>(g[k]) / 255.0f;
        break;
      default:
        reinterpret_cast<double *>(p)[k] = v;
      }
    }
    const Call r = front(1, a.get());
    ASSERT_TRUE(r.ok()) << mxGetClassName(a.get()) << ": " << r.error();
    EXPECT_EQ(kaltest::int32Values(r.out[0].get()), kaltest::int32Values(want.out[0].get()))
        << mxGetClassName(a.get());
  }
}

TEST_F(FrontGateway, OutputsWarningsAndTheBudget) {
  const std::vector<int32_t> g = noisyBlocks(16 * 16 * 4, 4);
  Array vol = uint8Array({16, 16, 4}, g);
  const Call r = front(2, vol.get());
  ASSERT_TRUE(r.ok()) << r.error();
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_TRUE(mxIsInt32(r.out[0].get()) && mxIsInt32(r.out[1].get()));
  const std::vector<mwSize> stack = kaltest::dims(r.out[1].get());
  ASSERT_EQ(stack.size(), 4u);
  EXPECT_GE(stack[3], 2u);
  EXPECT_EQ(std::vector<mwSize>(stack.begin(), stack.begin() + 3),
            (std::vector<mwSize>{16, 16, 4}));
  // Quiet unless verbose, whose lines the host prints.
  EXPECT_EQ(r.stdoutText + r.transcript, "");
  Array verbose = kaltest::text("verbose"), yes = kaltest::doubleScalar(1);
  const Call told = front(1, vol.get(), {verbose.get(), yes.get()});
  EXPECT_EQ(told.stdoutText, "");
  EXPECT_EQ(told.transcript.rfind("finished initialisation\n", 0), 0u) << told.transcript;
  EXPECT_NE(told.transcript.find("finished make_output \n"), std::string::npos);

  // The smallest budget: three times the final state's slice of int32.
  Array budget = kaltest::text("snapshot_budget"), tiny = kaltest::doubleScalar(100);
  const Call refused = front(2, vol.get(), {budget.get(), tiny.get()});
  EXPECT_EQ(refused.result.id, "kalmex:regionseg:badOption");
  EXPECT_EQ(refused.error(), "regionseg: option 'snapshot_budget' must be at least 12288 bytes for "
                             "this image: the snapshot of the final state alone takes that.");
  Array smallest = kaltest::doubleScalar(12288);
  const Call one = front(2, vol.get(), {budget.get(), smallest.get()});
  ASSERT_TRUE(one.ok()) << one.error();
  EXPECT_EQ(mxGetNumberOfElements(one.out[1].get()), 1024u) << "one slice";
  EXPECT_EQ(one.transcript, "Warning: The snapshot stack reached its budget of 12288 bytes: 1 "
                            "snapshots kept, the last one showing the final state.\n");
  EXPECT_EQ(kaltest::int32Values(one.out[0].get()), kaltest::int32Values(r.out[0].get()));
  const std::vector<int32_t> all = kaltest::int32Values(r.out[1].get());
  EXPECT_TRUE(
      std::equal(all.end() - 1024, all.end(), kaltest::int32Values(one.out[1].get()).begin()))
      << "the final state";
  // Labels alone paint nothing: any budget is taken.
  EXPECT_TRUE(front(1, vol.get(), {budget.get(), tiny.get()}).ok());
}

TEST_F(FrontGateway, HostileCallsAreRefusedWithIdentifiers) {
  Array image = uint8Array({4, 4}, std::vector<int32_t>(16, 9));
  Array cell = kaltest::cellMatrix(1, 1), str = kaltest::structScalar();
  Array word = kaltest::text("abc"), cplx = kaltest::complexDouble(2, 2);
  Array sparse = kaltest::sparseDouble(3, 3), empty = kaltest::emptyDouble();
  Array nan = kaltest::doubleMatrix(2, 2, {1, NAN, 0, 0}),
        four = kaltest::numericArray(mxUINT8_CLASS, {2, 2, 2, 2});
  Array tall = kaltest::numericArray(mxUINT8_CLASS, {70000, 1});
  Array threshold = kaltest::text("threshold"), inf = kaltest::doubleScalar(INFINITY);
  const mwSize twoRows[2] = {2, 3};
  Array rows(mxCreateCharArray(2, twoRows));
  struct Case {
    const char *what;
    int nlhs;
    std::vector<const mxArray *> in;
    const char *id;
  } cases[] = {
      {"no input", 1, {}, "kalmex:regionseg:badImage"},
      {"three outputs", 3, {image.get()}, "kalmex:regionseg:outputCount"},
      {"a name without value", 1, {image.get(), threshold.get()}, "kalmex:regionseg:badOption"},
      {"a cell as name", 1, {image.get(), cell.get(), word.get()}, "kalmex:regionseg:badOption"},
      {"a two-row name", 1, {image.get(), rows.get(), word.get()}, "kalmex:regionseg:badOption"},
      {"a cell as value",
       1,
       {image.get(), threshold.get(), cell.get()},
       "kalmex:regionseg:badOption"},
      {"a text as number",
       1,
       {image.get(), threshold.get(), word.get()},
       "kalmex:regionseg:badOption"},
      {"an infinite number",
       1,
       {image.get(), threshold.get(), inf.get()},
       "kalmex:regionseg:badOption"},
      {"a struct image", 1, {str.get()}, "kalmex:regionseg:badImage"},
      {"a cell image", 1, {cell.get()}, "kalmex:regionseg:badImage"},
      {"a text image", 1, {word.get()}, "kalmex:regionseg:badImage"},
      {"a complex image", 1, {cplx.get()}, "kalmex:regionseg:badImage"},
      {"an empty image", 1, {empty.get()}, "kalmex:regionseg:badImage"},
      {"a 4-D image", 1, {four.get()}, "kalmex:regionseg:badImage"},
      {"NaN", 1, {nan.get()}, "kalmex:regionseg:badImage"},
      {"too tall", 1, {tall.get()}, "kalmex:regionseg:imageTooLarge"},
      // The embedded host has no full() for a sparse image.
      {"sparse", 1, {sparse.get()}, "MATLAB:UndefinedFunction"},
  };
  for (const Case &c : cases) {
    const Call r = kaltest::call("regionseg_front", c.nlhs, c.in, true);
    EXPECT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.result.id, c.id) << c.what << ": " << r.error();
    if (std::strncmp(c.id, "kalmex:", 7) == 0) {
      EXPECT_EQ(r.error().rfind("regionseg: ", 0), 0u) << c.what << ": " << r.error();
    }
    EXPECT_EQ(r.stdoutText, "") << c.what << ": refused before any run";
  }
}

} // namespace
