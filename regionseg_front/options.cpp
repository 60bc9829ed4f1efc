// The option table of regionseg: names, kinds, ranges, words, defaults,
// and the messages that refuse a value.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "../regionseg_core/arguments.h"
#include "front.h"

namespace segfront {

namespace {

const char *const kCriteria[] = {"range",         "range_mean",      "robust_range",
                                 "chi2_variance", "scaled_variance", nullptr};
const char *const kGroupings[] = {"sequential", "parallel", nullptr};
const char *const kScales[] = {"none", "minmax", "class", "clip", nullptr};
const char *const kRgbModes[] = {"grey", "volume", nullptr};
// The probabilities of the chi-square table's rows 1, 2, 3.
const double kConfidence[] = {0.5, 0.75, 0.9};

// What one option takes and where its value goes: store(opts, v) with the
// number it took, or the index of its word.  An option of one of the run's
// parameters names its position among regionseg_core's inputs (pos), whose
// rule gives its range (seg_rules); the front end's own have none (-1).
struct Entry {
  const char *name;
  OptionKind kind;
  int pos;                  // arg_*, or -1
  const char *const *words; // kWord, kCriterion
  const char *initial;      // the default, "" when chosen for each image
  void (*store)(Options &, double);
  double lo() const { return pos >= 0 ? seg_rules[pos].lo : 0; }
  double hi() const { return pos >= 0 ? seg_rules[pos].hi : 1; }
};

// The default budget as its option's word.
std::string budgetInitial() {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", seg_default_snapshot_budget);
  return buf;
}
const std::string kBudgetInitial = budgetInitial();

template <typename T> T whole(double v) { return static_cast<T>(v); }

const Entry kEntries[] = {
    {"criterion", OptionKind::kCriterion, arg_criterion, kCriteria, "range",
     [](Options &o, double v) { o.run.criterion = whole<int32_t>(v); }},
    {"threshold", OptionKind::kWhole, arg_threshold, nullptr, "20",
     [](Options &o, double v) { o.run.threshold = whole<int32_t>(v); }},
    {"start_level", OptionKind::kWhole, arg_start_level, nullptr, "",
     [](Options &o, double v) { o.start_level = whole<int>(v); }},
    {"grouping", OptionKind::kWord, arg_parallel_grouping, kGroupings, "sequential",
     [](Options &o, double v) { o.run.parallel_grouping = whole<int32_t>(v); }},
    {"seeds", OptionKind::kWhole, arg_parallel_seeds, nullptr, "4",
     [](Options &o, double v) { o.run.parallel_seeds = whole<int32_t>(v); }},
    {"seed_any_level", OptionKind::kFlag, arg_seed_any_level, nullptr, "false",
     [](Options &o, double v) { o.run.seed_any_level = whole<int32_t>(v); }},
    {"min_region_size", OptionKind::kWhole, arg_min_region_size, nullptr, "0",
     [](Options &o, double v) { o.run.min_region_size = whole<int32_t>(v); }},
    {"keep_small_stats", OptionKind::kFlag, arg_keep_small_stats, nullptr, "false",
     [](Options &o, double v) { o.run.keep_small_stats = whole<int32_t>(v); }},
    {"outlier_fraction", OptionKind::kReal, arg_outlier_fraction, nullptr, "0.05",
     [](Options &o, double v) { o.run.outlier_fraction = v; }},
    {"noise_sigma", OptionKind::kReal, arg_noise_sigma, nullptr, "2",
     [](Options &o, double v) { o.run.noise_sigma = v; }},
    {"confidence", OptionKind::kConfidence, arg_confidence_row, nullptr, "0.75",
     [](Options &o, double v) { o.run.confidence_row = whole<int32_t>(v) + 1; }},
    {"size_factor", OptionKind::kReal, arg_size_factor, nullptr, "1",
     [](Options &o, double v) { o.run.size_factor = v; }},
    {"scale", OptionKind::kWord, -1, kScales, "class",
     [](Options &o, double v) {
       const Scale scales[] = {Scale::kNone, Scale::kMinmax, Scale::kClass, Scale::kClip};
       o.scale = scales[whole<int>(v)];
     }},
    {"rgb", OptionKind::kWord, -1, kRgbModes, "grey",
     [](Options &o, double v) { o.rgbVolume = v != 0; }},
    {"flat_levels", OptionKind::kWhole, arg_flat_levels, nullptr, "",
     [](Options &o, double v) { o.flat_levels = whole<int>(v); }},
    {"snapshot_budget", OptionKind::kBudget, arg_snapshot_budget, nullptr, kBudgetInitial.c_str(),
     [](Options &o, double v) { o.snapshot_budget = v; }},
    {"verbose", OptionKind::kFlag, -1, nullptr, "false",
     [](Options &o, double v) { o.verbose = v != 0; }},
};

std::string lower(std::string s) {
  for (char &c : s) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return s;
}

std::string format(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A whole number as it is written, never in exponent form.
std::string wholeText(double v) { return std::to_string(static_cast<long long>(v)); }

// 'a', 'b' or 'c'
std::string wordList(const char *const *words) {
  std::string s;
  for (int k = 0; words[k] != nullptr; ++k) {
    s += (k == 0                    ? ""
          : words[k + 1] == nullptr ? " or "
                                    : ", ") +
         ("'" + std::string(words[k]) + "'");
  }
  return s;
}

// The index of the text among the words (any letter case), or -1.
int wordIndex(const OptionValue &value, const char *const *words) {
  if (value.kind != OptionValue::kText) {
    return -1;
  }
  const std::string t = lower(value.text);
  for (int k = 0; words[k] != nullptr; ++k) {
    if (t == words[k]) {
      return k;
    }
  }
  return -1;
}

// The number the entry takes from the value (a word's index for words), or
// false.
bool accept(const Entry &e, const OptionValue &value, double &v) {
  const bool number = value.kind == OptionValue::kNumber;
  v = value.number;
  switch (e.kind) {
  case OptionKind::kWhole:
    return number && v == std::trunc(v) && v >= e.lo() && v <= e.hi();
  case OptionKind::kReal:
    return number && v >= e.lo() && v <= e.hi();
  case OptionKind::kFlag:
    return (number || value.kind == OptionValue::kBool) && (v == 0 || v == 1);
  case OptionKind::kWord:
    v = wordIndex(value, e.words);
    return v >= 0;
  case OptionKind::kCriterion:
    if (!number) {
      v = wordIndex(value, e.words) + 1;
    }
    return v == std::trunc(v) && v >= e.lo() && v <= e.hi();
  case OptionKind::kConfidence:
    for (int k = 0; k < 3; ++k) {
      if (number && std::fabs(v - kConfidence[k]) < 1e-9) {
        v = k;
        return true;
      }
    }
    return false;
  case OptionKind::kBudget:
    return number && v > 0;
  }
  return false;
}

std::string refusal(const Entry &e) {
  const std::string name = e.name;
  switch (e.kind) {
  case OptionKind::kWhole:
    // Both limits, the upper one too when it is only the 32-bit range.
    return "option '" + name + "' must be a whole number " + wholeText(e.lo()) + " to " +
           wholeText(e.hi()) + ".";
  case OptionKind::kReal:
    if (std::isinf(e.hi())) {
      return "option '" + name + "' must be a finite number >= " + format(e.lo()) + ".";
    }
    return "option '" + name + "' must be a number " + format(e.lo()) + " to " + format(e.hi()) +
           ".";
  case OptionKind::kFlag:
    return "option '" + name + "' must be true or false.";
  case OptionKind::kWord:
    return "option '" + name + "' must be " + wordList(e.words) + ".";
  case OptionKind::kCriterion:
    return "option 'criterion' must be one of " + wordList(e.words) + " or " + wholeText(e.lo()) +
           " to " + wholeText(e.hi()) + ".";
  case OptionKind::kConfidence:
    return "option 'confidence' must be 0.5, 0.75 or 0.9.";
  case OptionKind::kBudget:
    return "option 'snapshot_budget' must be a number > 0: bytes above 1, a fraction of the "
           "physical memory up to 1.";
  }
  return "";
}

const Entry *entryOf(const std::string &name) {
  const std::string key = lower(name);
  for (const Entry &e : kEntries) {
    if (key == e.name) {
      return &e;
    }
  }
  return nullptr;
}

} // namespace

const char *scaleWord(Scale scale) { return kScales[static_cast<int>(scale)]; }

OptionValue OptionValue::ofText(const std::string &text) {
  OptionValue v;
  v.kind = kText;
  v.text = text;
  return v;
}

OptionValue OptionValue::ofBool(bool flag) {
  OptionValue v;
  v.kind = kBool;
  v.number = flag ? 1 : 0;
  return v;
}

OptionValue OptionValue::ofNumber(double number) {
  OptionValue v;
  if (std::isfinite(number)) {
    v.kind = kNumber;
    v.number = number;
  }
  return v;
}

OptionValue commandLineValue(const std::string &name, const std::string &word) {
  char *end = nullptr;
  const double v = word.empty() ? NAN : std::strtod(word.c_str(), &end);
  if (std::isfinite(v) && end == word.c_str() + word.size()) {
    return OptionValue::ofNumber(v);
  }
  const Entry *e = entryOf(name);
  if (e != nullptr && e->kind == OptionKind::kFlag) {
    const std::string w = lower(word);
    if (w == "true" || w == "on" || w == "yes") {
      return OptionValue::ofNumber(1);
    }
    if (w == "false" || w == "off" || w == "no") {
      return OptionValue::ofNumber(0);
    }
  }
  return OptionValue::ofText(word);
}

std::string setOption(Options &opts, const std::string &name, const OptionValue &value) {
  const Entry *e = entryOf(name);
  if (e == nullptr) {
    return "unknown option '" + name + "'.";
  }
  double v = 0;
  if (!accept(*e, value, v)) {
    return refusal(*e);
  }
  e->store(opts, v);
  return "";
}

Options::Options() {
  for (const Entry &e : kEntries) {
    if (e.initial[0] != '\0') {
      setOption(*this, e.name, commandLineValue(e.name, e.initial));
    }
  }
}

std::vector<OptionInfo> optionTable() {
  std::vector<OptionInfo> table;
  for (const Entry &e : kEntries) {
    table.push_back({e.name, e.kind, e.initial, e.lo(), e.hi(), e.words});
  }
  return table;
}

} // namespace segfront
