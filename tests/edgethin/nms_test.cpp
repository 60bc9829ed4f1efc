// Non-maximum suppression: the keep rule, the interpolation, clamped borders
// and NaN behaviour, against a direct per-pixel transcription of the rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "nms.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Image {
  std::size_t rows, cols;
  std::vector<double> d, gc, gr;
  Image(std::size_t r, std::size_t c, double fill = 0.0)
      : rows(r), cols(c), d(r * c, fill), gc(r * c, 0.0), gr(r * c, 0.0) {}
  std::size_t at(std::size_t i, std::size_t j) const { return i + j * rows; }
  std::vector<double> thin(int threads = 1) const {
    std::vector<double> out(rows * cols, -1.0);
    suppressNonMaxima(d.data(), gc.data(), gr.data(), out.data(), rows, cols, threads);
    return out;
  }
};

// The rule pixel by pixel, with every neighbour read clamped.
std::vector<double> reference(const Image &im) {
  std::vector<double> out(im.rows * im.cols);
  auto m = [&](long a, long b) {
    a = std::max(0L, std::min(a, static_cast<long>(im.rows) - 1));
    b = std::max(0L, std::min(b, static_cast<long>(im.cols) - 1));
    return im.d[static_cast<std::size_t>(a) + static_cast<std::size_t>(b) * im.rows];
  };
  for (std::size_t j = 0; j < im.cols; ++j) {
    for (std::size_t i = 0; i < im.rows; ++i) {
      const std::size_t k = im.at(i, j);
      const double d = im.d[k];
      if (d == 0.0) {
        out[k] = 0.0;
        continue;
      }
      const double gc = im.gc[k], gr = im.gr[k];
      const long s = ((gc < 0) && (gr < 0)) || (!(gc < 0) && !(gr < 0)) ? 1 : -1;
      const long r = static_cast<long>(i), c = static_cast<long>(j);
      double a, b;
      if (std::fabs(gr) > std::fabs(gc)) {
        const double w = std::fabs(gc) / std::fabs(gr);
        a = (1 - w) * m(r - 1, c) + w * m(r - 1, c - s);
        b = (1 - w) * m(r + 1, c) + w * m(r + 1, c + s);
      } else {
        const double w = std::fabs(gr) / std::fabs(gc);
        a = (1 - w) * m(r, c + 1) + w * m(r + s, c + 1);
        b = (1 - w) * m(r, c - 1) + w * m(r - s, c - 1);
      }
      out[k] = ((d >= a && d > b) || (d > a && d >= b)) ? d : 0.0;
    }
  }
  return out;
}

void expectSameBits(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(std::memcmp(&got[k], &want[k], sizeof(double)), 0)
        << "pixel " << k << ": " << got[k] << " vs " << want[k];
  }
}

TEST(NonMaximumSuppression, WorkedInnerPixel) {
  Image im(3, 3);
  const std::size_t c = im.at(1, 1);
  im.d[c] = 5;
  im.gc[c] = 2;
  im.gr[c] = 1;
  im.d[im.at(1, 2)] = 4;
  im.d[im.at(2, 2)] = 6;
  im.d[im.at(1, 0)] = 3;
  im.d[im.at(0, 0)] = 3;
  EXPECT_EQ(im.thin()[c], 5.0); // A = 5 = d, B = 3 < d
  im.d[im.at(1, 0)] = 7;        // B = 5 as well: a plateau along the gradient
  EXPECT_EQ(im.thin()[c], 0.0);
}

TEST(NonMaximumSuppression, ConstantImageAndZeroStrength) {
  Image flat(5, 4, 3.5);
  for (std::size_t k = 0; k < flat.d.size(); ++k) {
    flat.gc[k] = 1.0 + static_cast<double>(k % 3);
    flat.gr[k] = -2.0 + static_cast<double>(k % 5);
  }
  for (double v : flat.thin()) {
    EXPECT_EQ(v, 0.0);
  }
  Image zero(3, 3);
  for (std::size_t k = 0; k < 9; ++k) {
    zero.gc[k] = kNaN;
    zero.gr[k] = kNaN;
  }
  for (double v : zero.thin()) {
    EXPECT_EQ(v, 0.0);
    EXPECT_FALSE(std::signbit(v));
  }
}

TEST(NonMaximumSuppression, NaNRules) {
  Image im(3, 3);
  const std::size_t c = im.at(1, 1);
  im.d[c] = 9;
  im.gc[c] = 1;
  im.gr[c] = 0; // column case, w = 0
  EXPECT_EQ(im.thin()[c], 9.0);
  im.d[im.at(2, 2)] = kNaN; // diagonal neighbour with weight 0 still poisons A
  EXPECT_EQ(im.thin()[c], 0.0);
  im.d[im.at(2, 2)] = 0;
  im.gc[c] = 0; // both derivatives zero: w = 0/0
  EXPECT_EQ(im.thin()[c], 0.0);
  im.gc[c] = kNaN;
  im.gr[c] = 1;
  EXPECT_EQ(im.thin()[c], 0.0);
  im.gc[c] = 1;
  im.d[c] = kNaN;
  EXPECT_EQ(im.thin()[c], 0.0);
}

TEST(NonMaximumSuppression, EqualDerivativesUseTheDiagonals) {
  for (double sign : {1.0, -1.0}) {
    Image im(3, 3);
    const std::size_t c = im.at(1, 1);
    im.d[c] = 5;
    im.gc[c] = 2;
    im.gr[c] = 2 * sign; // |gr| = |gc|: column case with w = 1
    // Axial neighbours are low; only the diagonal chosen by the sign is high.
    const std::size_t diag = sign > 0 ? im.at(2, 2) : im.at(0, 2);
    const std::size_t other = sign > 0 ? im.at(0, 2) : im.at(2, 2);
    im.d[other] = 8;
    EXPECT_EQ(im.thin()[c], 5.0) << sign;
    im.d[diag] = 8;
    EXPECT_EQ(im.thin()[c], 0.0) << sign;
  }
}

TEST(NonMaximumSuppression, BordersClampToThePixelItself) {
  // Row 0 with gc = 0: A is the pixel itself, so it survives exactly when d > B.
  Image im(3, 3);
  const std::size_t top = im.at(0, 1);
  im.d[top] = 4;
  im.gr[top] = 1;
  im.d[im.at(1, 1)] = 3;
  EXPECT_EQ(im.thin()[top], 4.0);
  im.d[im.at(1, 1)] = 4;
  EXPECT_EQ(im.thin()[top], 0.0);

  Image row(1, 5);
  row.d = {1, 3, 2, 5, 4};
  row.gc = {1, 1, 1, 1, 1};
  expectSameBits(row.thin(), {0, 3, 0, 5, 0});
  Image col(4, 1);
  col.d = {2, 1, 1, 7};
  col.gr = {1, 1, 1, 1};
  expectSameBits(col.thin(), {2, 0, 0, 7});
  Image empty(4, 0);
  EXPECT_TRUE(empty.thin().empty());
}

TEST(NonMaximumSuppression, TwoPixelRidgeKeepsBothAndValuesPassUnchanged) {
  Image im(4, 3);
  for (std::size_t j = 0; j < 3; ++j) {
    im.d[im.at(1, j)] = -kInf;
    im.d[im.at(2, j)] = -kInf;
  }
  for (std::size_t j = 0; j < 3; ++j) {
    im.d[im.at(1, j)] = 6;
    im.d[im.at(2, j)] = 6;
    im.d[im.at(0, j)] = 1;
    im.d[im.at(3, j)] = 1;
    for (std::size_t i = 0; i < 4; ++i) {
      im.gr[im.at(i, j)] = 1;
    }
  }
  const std::vector<double> out = im.thin();
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(out[im.at(1, j)], 6.0);
    EXPECT_EQ(out[im.at(2, j)], 6.0);
  }
}

// With any number of threads: the columns are shared out in strips.
TEST(NonMaximumSuppression, MatchesThePerPixelRuleOnRandomImages) {
  std::mt19937 rng(20261209);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  const double specials[] = {0.0, -0.0, kNaN, kInf, -kInf, 1.0, 2.0};
  for (int round = 0; round < 200; ++round) {
    // Short columns, columns long enough for the interior loop's steps, and
    // columns longer than the distance its streams are fetched ahead.
    const std::size_t longest[] = {9, 40, 9, 600};
    const std::size_t rows = 1 + rng() % longest[round % 4], cols = 1 + rng() % 40;
    Image im(rows, cols);
    for (std::size_t k = 0; k < rows * cols; ++k) {
      // Few distinct values make ties and plateaus common.
      auto pick = [&]() { return rng() % 6 == 0 ? specials[rng() % 7] : std::round(u(rng)); };
      im.d[k] = pick();
      im.gc[k] = pick();
      im.gr[k] = pick();
    }
    const std::vector<double> want = reference(im);
    for (int threads : {1, 2, 3, 7}) {
      SCOPED_TRACE(threads);
      expectSameBits(im.thin(threads), want);
    }
  }
}

TEST(NonMaximumSuppression, StrictLocalMaximumSurvivesEveryGradient) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Image im(3, 3, 1.0);
  const std::size_t c = im.at(1, 1);
  im.d[c] = 2.0;
  for (int k = 0; k < 500; ++k) {
    im.gc[c] = u(rng);
    im.gr[c] = u(rng);
    if (im.gc[c] == 0.0 && im.gr[c] == 0.0) {
      continue;
    }
    EXPECT_EQ(im.thin()[c], 2.0);
  }
}

} // namespace

// The binding's view of a refusal is the status's: the same reason and
// message for every combination of counts and inputs, in the checks' order.
TEST(NmsChecks, TheStatusAndTheFaultAgree) {
  const NmsInput good = {true, false, 2, 3, 4};
  NmsInput kinds[5] = {good, good, good, good, good};
  kinds[1].realDouble = false;
  kinds[2].sparse = true;
  kinds[3].ndims = 3;
  kinds[4].cols = 5;
  int refused = 0;
  for (int nrhs = 2; nrhs <= 3; ++nrhs) {
    for (int nlhs = 0; nlhs <= 1; ++nlhs) {
      for (int pick = 0; pick < 125; ++pick) {
        const NmsInput in[3] = {kinds[pick % 5], kinds[pick / 5 % 5], kinds[pick / 25]};
        const KxStatus status = checkNmsCall(nrhs, nlhs, in);
        NmsFault fault = {nullptr, nullptr};
        ASSERT_EQ(findNmsFault(nrhs, nlhs, in, &fault), static_cast<bool>(status));
        if (status) {
          ++refused;
          EXPECT_STREQ(status.module, "edgethin");
          EXPECT_STREQ(kxReasonWord(status.reason), fault.reason);
          EXPECT_STREQ(status.text, fault.message);
        }
      }
    }
  }
  // Only three good inputs, or three of the other size, pass at the right counts.
  EXPECT_EQ(refused, 4 * 125 - 2);
}
