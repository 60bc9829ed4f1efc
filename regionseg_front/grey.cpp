// Grey values from the caller's samples: checks and scaling for every
// element type, as the image toolboxes read a class (see front.h).
//
// Each sample is read through the strides where it lies, so an array in any
// layout costs no copy.  Types of at most 16 bits go through a table of the
// grey value of every sample value, made by the same rule as the others.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "grey.h"

namespace segfront {

namespace {

// Calls f(value) for every sample of the image the plan segments, first
// dimension fastest: f(T) with a sample, f(double) with a colour picture's
// grey value, the luminance of its three planes in the type's own range
// (rounded to a whole number for an integer type, as its host rounds it).
// enough() is asked after each row: true ends the visit there.
constexpr bool never() { return false; }
template <typename T, typename F, typename Enough = bool (*)()>
void visit(const ImageView &im, const Plan &p, F &&f, Enough enough = never) {
  const char *base = static_cast<const char *>(im.data);
  const int64_t s0 = im.strides[0], s1 = im.strides[1], s2 = im.ndims > 2 ? im.strides[2] : 0;
  const auto at = [](const char *where) {
    T v;
    std::memcpy(&v, where, sizeof v);
    return v;
  };
  const bool whole = std::is_integral<T>::value && im.type != Sample::kBool;
  for (int64_t z = 0; z < p.d3; ++z) {
    for (int64_t y = 0; y < p.d2; ++y) {
      const char *row = base + y * s1 + z * s2;
      if (p.colour) {
        for (int64_t x = 0; x < p.d1; ++x) {
          const char *px = row + x * s0;
          const double lum =
              luminance(static_cast<double>(at(px)), static_cast<double>(at(px + s2)),
                        static_cast<double>(at(px + 2 * s2)));
          f(whole ? std::round(lum) : lum);
        }
      } else {
        for (int64_t x = 0; x < p.d1; ++x) {
          f(at(row + x * s0));
        }
      }
      if (enough()) {
        return;
      }
    }
  }
}

// Floating point: the classes of NumPy's kind 'f' in the class table.
bool isFloat(Sample s) {
  switch (s) {
#define KX_FLOAT_CLASS(NAME, CLASS, TYPE, MX, KIND, BYTES, DTYPE, KAL)                             \
  case Sample::k##NAME:                                                                            \
    return KIND == 'f';
    KX_SAMPLE_CLASSES(KX_FLOAT_CLASS)
#undef KX_FLOAT_CLASS
  }
  return false;
}

// The value that 'class' takes to 255: 1 for floating point and logical, a
// file's maxval, 65535 for uint16; 0 for uint8 and for the integer types
// whose range is never an image's, whose values are grey values as they are.
double classWhite(const ImageView &im) {
  if (isFloat(im.type) || im.type == Sample::kBool) {
    return 1;
  }
  if (im.sampleMax > 0) {
    return im.sampleMax;
  }
  return im.type == Sample::kUint16 ? 65535 : 0;
}

// How a sample value becomes a grey value: (v - lo) x factor for 'minmax'
// and 'class' (a single-precision 'class' in single precision, as its host
// computes it), v itself for 'none' and 'clip'; then rounded and clipped to
// 0..255.
struct Rule {
  Scale scale;
  double lo, factor;
  bool single;
};

Rule ruleOf(const ImageView &im, const Plan &p) {
  Rule r = {p.scale, 0, 1, false};
  if (p.scale == Scale::kMinmax) {
    r.lo = p.lo;
    r.factor = p.hi > p.lo ? 255 / (p.hi - p.lo) : 0.0;
  } else if (p.scale == Scale::kClass) {
    const double white = classWhite(im);
    r.single = im.type == Sample::kSingle;
    r.factor = white > 0 ? 255 / white : 1;
  }
  return r;
}

// The grey value before rounding, clipped to 0..255.
double scaled(double v, const Rule &r) {
  double g = v;
  if (r.scale == Scale::kMinmax || r.scale == Scale::kClass) {
    g = r.single ? static_cast<double>(static_cast<float>(v) * 255.0f) : (v - r.lo) * r.factor;
  }
  return std::min(std::max(g, 0.0), 255.0);
}

int32_t greyOf(double v, const Rule &r) { return static_cast<int32_t>(std::round(scaled(v, r))); }

template <typename T> void scaleAll(const ImageView &im, const Plan &p, int32_t *grey) {
  using Limits = std::numeric_limits<T>;
  const Rule rule = ruleOf(im, p);
  if constexpr (sizeof(T) <= 2 && std::is_integral<T>::value) {
    // Every value's grey value once, then one look-up a sample.
    const int64_t lo = Limits::lowest();
    std::vector<int32_t> table(static_cast<std::size_t>(int64_t{Limits::max()} - lo + 1));
    for (std::size_t k = 0; k < table.size(); ++k) {
      table[k] = greyOf(static_cast<double>(lo + static_cast<int64_t>(k)), rule);
    }
    visit<T>(im, p, [&](auto v) {
      if constexpr (std::is_same<decltype(v), T>::value) {
        *grey++ = table[static_cast<std::size_t>(int64_t{v} - lo)];
      } else {
        *grey++ = greyOf(v, rule);
      }
    });
  } else {
    visit<T>(im, p, [&](auto v) { *grey++ = greyOf(static_cast<double>(v), rule); });
  }
}

// The distinct values among those added, counted up to kLowRangeDistinct:
// their bit patterns in a small open-addressed set (at most half full), so
// that a sample costs one hash until the count is reached and nothing after.
class DistinctCount {
public:
  void add(double v) {
    if (count_ >= kLowRangeDistinct) {
      return;
    }
    v += 0.0; // -0 is 0
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::size_t k = static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits));
    while (used_[k]) {
      if (slot_[k] == bits) {
        return;
      }
      k = (k + 1) % kSlots;
    }
    used_[k] = true;
    slot_[k] = bits;
    ++count_;
  }
  int count() const { return count_; }

private:
  static constexpr int kBits = 7; // of the hash
  static constexpr std::size_t kSlots = std::size_t{1} << kBits;
  static_assert(kSlots >= 2 * kLowRangeDistinct, "a set at most half full");
  uint64_t slot_[kSlots] = {};
  bool used_[kSlots] = {};
  int count_ = 0;
};

// What the checks need of the samples: their range without NaN, whether
// some is NaN, whether all are whole numbers in 0..255.
struct Stats {
  double lo = INFINITY, hi = -INFINITY;
  bool nan = false, grey = true;
};

template <typename T> Stats statsOf(const ImageView &im, const Plan &p) {
  Stats s;
  visit<T>(im, p, [&](auto value) {
    const double v = static_cast<double>(value);
    if (v != v) {
      s.nan = true;
      return;
    }
    s.lo = std::min(s.lo, v);
    s.hi = std::max(s.hi, v);
    s.grey = s.grey && v >= 0 && v <= 255 && v == std::trunc(v);
  });
  return s;
}

// The distinct values of the samples (none is NaN), up to kLowRangeDistinct:
// a second pass, which ends once that many are found.
template <typename T> int distinctOf(const ImageView &im, const Plan &p) {
  DistinctCount distinct;
  visit<T>(
      im, p, [&](auto value) { distinct.add(static_cast<double>(value)); },
      [&] { return distinct.count() >= kLowRangeDistinct; });
  return distinct.count();
}

// Calls F<T>::run(args...) for the C++ type T of the image's samples (bool
// as its byte).
template <template <typename> class F, typename... Args>
auto dispatch(Sample type, Args &&...args) {
  return withSampleType(type, [&](auto t) { return F<decltype(t)>::run(args...); });
}

template <typename T> struct ScaleAll {
  static bool run(const ImageView &im, const Plan &p, int32_t *grey) {
    scaleAll<T>(im, p, grey);
    return true;
  }
};

template <typename T> struct StatsOf {
  static Stats run(const ImageView &im, const Plan &p) { return statsOf<T>(im, p); }
};

template <typename T> struct DistinctOf {
  static int run(const ImageView &im, const Plan &p) { return distinctOf<T>(im, p); }
};

std::string format(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

Failure badImage(const std::string &text) { return failure(Fault::kBadImage, text); }

// "a uint16", "an int16": the class's name in a sentence.
std::string aClass(Sample type) {
  const std::string name = className(type);
  return (name[0] == 'i' ? "an " : "a ") + name;
}

// What to use instead: 'minmax' keeps several values apart always, 'clip'
// when they span at least one grey value within 0..255.
std::string instead(Scale now, const Stats &s) {
  const std::string minmax = "'minmax' (the image's range to 0..255)";
  if (now == Scale::kClip || std::min(s.hi, 255.0) - std::max(s.lo, 0.0) < 1) {
    return "use the option 'scale' " + minmax + ".";
  }
  return "use the option 'scale': " + minmax + " or 'clip' (rounded and clipped to 0..255).";
}

} // namespace

void greyValues(const ImageView &image, const Plan &plan, int32_t *grey) {
  dispatch<ScaleAll>(image.type, image, plan, grey);
}

Failure checkValues(const ImageView &image, Plan &plan) {
  // uint8 and logical samples are grey values (or 0/255) as they are: only
  // 'minmax' needs their range.
  const bool plain = image.type == Sample::kUint8 || image.type == Sample::kBool;
  if (plain && plan.scale != Scale::kMinmax) {
    return Failure();
  }
  const Stats s = dispatch<StatsOf>(image.type, image, plan);
  if (s.nan) {
    return badImage("the image must not hold NaN.");
  }
  plan.lo = s.lo;
  plan.hi = s.hi;
  const std::string found = "(found " + format(s.lo) + ".." + format(s.hi) + ")";
  switch (plan.scale) {
  case Scale::kMinmax:
    if (!std::isfinite(s.lo) || !std::isfinite(s.hi)) {
      return badImage("the image must hold finite values for 'scale' 'minmax'.");
    }
    break;
  case Scale::kClass:
    if (isFloat(image.type) && (s.lo < 0 || s.hi > 1)) {
      return badImage("for 'scale' 'class' " + aClass(image.type) +
                      " image must hold values in 0..1 " + found +
                      "; use the option 'scale' ('none' takes grey values 0..255 as they are).");
    }
    if (classWhite(image) == 0 && (s.lo < 0 || s.hi > 255)) {
      return badImage("for 'scale' 'class' " + aClass(image.type) +
                      " image is taken as it is and must hold values in 0..255 " + found + "; " +
                      instead(plan.scale, s));
    }
    break;
  case Scale::kNone:
    if (!s.grey) {
      return badImage("the image must hold whole numbers in 0..255 " + found +
                      "; use the option 'scale'.");
    }
    break;
  case Scale::kClip:
    break;
  }
  // The rule is monotone: the extremes tell how far apart it brings the
  // values.
  const Rule rule = ruleOf(image, plan);
  if (s.hi > s.lo && scaled(s.hi, rule) - scaled(s.lo, rule) < 1) {
    return badImage("'scale' '" + std::string(scaleWord(plan.scale)) +
                    "' brings the values of this " + std::string(className(image.type)) +
                    " image " + found + " less than one grey value apart; " +
                    instead(plan.scale, s));
  }
  // Only an image brought to few grey values needs its distinct values
  // counted (lowRangeWarning), most of them within a few rows.
  if (greyOf(s.hi, rule) - greyOf(s.lo, rule) + 1 < kLowRangeGreys) {
    plan.distinct = dispatch<DistinctOf>(image.type, image, plan);
  }
  return Failure();
}

const char *const kLowRangeWarningId = "kalmex:regionseg:lowRange";

std::string lowRangeWarning(const ImageView &image, const Plan &plan, const std::string &fix) {
  if (plan.distinct < kLowRangeDistinct) {
    return "";
  }
  // The rule is monotone: the extremes' grey values bound all the others.
  const Rule rule = ruleOf(image, plan);
  const int32_t lo = greyOf(plan.lo, rule), hi = greyOf(plan.hi, rule);
  if (hi - lo + 1 >= kLowRangeGreys) {
    return "";
  }
  return "'scale' '" + std::string(scaleWord(plan.scale)) + "' brings the values of this " +
         className(image.type) + " image (found " + format(plan.lo) + ".." + format(plan.hi) +
         ", more than " + std::to_string(kLowRangeGreys) + " distinct values) to the grey values " +
         std::to_string(lo) + ".." + std::to_string(hi) + " only; use " + fix +
         " to spread its range over 0..255.";
}

} // namespace segfront
