// The option help of the three doors against the one option table: the
// MATLAB and Octave help (toolbox/regionseg.m), the docstring of Python's
// kalmex.regionseg and kalseg's --help.  Each names every option of the
// table it takes and no other, with the table's range or words, and (where
// the help gives defaults) the table's default.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "front.h"
#include "segrun.h"

namespace {

using segfront::OptionInfo;
using segfront::OptionKind;

std::string fileText(const std::string &path) {
  std::ifstream in(std::string(KALMEX_SOURCE_ROOT) + "/" + path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The part of text from the first line holding begin up to the first line
// after it holding end.
std::string between(const std::string &text, const std::string &begin, const std::string &end) {
  const std::size_t from = text.find(begin);
  EXPECT_NE(from, std::string::npos) << begin;
  const std::size_t to = text.find(end, from + begin.size());
  return from == std::string::npos ? "" : text.substr(from, to - from);
}

// A help's entries: the text of each, by option name.  An entry starts at a
// line matching head (its first group the name) and runs to the next one,
// or to a line that is none of the entry's (not matching within).
std::map<std::string, std::string> entries(const std::string &text, const std::regex &head,
                                           const std::regex &within) {
  std::map<std::string, std::string> out;
  std::istringstream lines(text);
  std::string line, name;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, head)) {
      name = m[1];
      out[name] = line;
    } else if (!name.empty() && std::regex_search(line, within)) {
      out[name] += " " + line;
    } else {
      name.clear();
    }
  }
  // Words broken over lines are joined by one space, the comment marks gone.
  for (auto &e : out) {
    e.second = std::regex_replace(e.second, std::regex("%"), " ");
    e.second = std::regex_replace(e.second, std::regex("\\s+"), " ");
  }
  return out;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// What an entry must say of the option's values: its range, its words.
void expectValues(const std::string &door, const OptionInfo &o, const std::string &text) {
  const auto says = [&](const std::string &what) {
    EXPECT_NE(text.find(what), std::string::npos)
        << door << ": '" << o.name << "' should say \"" << what << "\": " << text;
  };
  switch (o.kind) {
  case OptionKind::kWhole:
  case OptionKind::kReal:
    if (std::isinf(o.hi) || o.hi >= 2147483647.0) {
      says(">= " + number(o.lo));
    } else if (o.initial[0] == '\0' && std::string(o.name) == "start_level") {
      says(number(o.lo) + " to L - 1"); // the tree's levels bound it
    } else {
      says(number(o.lo) + " to " + number(o.hi));
    }
    break;
  case OptionKind::kCriterion:
    says(number(o.lo) + " to " + number(o.hi));
    [[fallthrough]];
  case OptionKind::kWord:
    for (int k = 0; o.words[k] != nullptr; ++k) {
      says(o.words[k]);
    }
    break;
  case OptionKind::kConfidence:
    says("0.5, 0.75");
    says("0.9");
    break;
  case OptionKind::kBudget:
    says("above 1");
    says("up to 1");
    break;
  case OptionKind::kFlag:
    break;
  }
}

// The default in one of the forms the helps write it: "(default D",
// "D (default" or "(D)", D quoted or not.
void expectDefault(const std::string &door, const OptionInfo &o, const std::string &text) {
  if (o.initial[0] == '\0') {
    return;
  }
  const std::string d = o.initial, q = "'" + d + "'";
  bool found = false;
  for (const std::string &w : {d, q}) {
    for (const std::string &form : {"(default " + w, w + " (default", "(" + w + ")"}) {
      found = found || text.find(form) != std::string::npos;
    }
  }
  EXPECT_TRUE(found) << door << ": '" << o.name << "' should give its default " << d << ": "
                     << text;
}

TEST(OptionHelp, EveryDoorsHelpAgreesWithTheOptionTable) {
  const std::vector<OptionInfo> table = segfront::optionTable();
  std::set<std::string> names;
  for (const OptionInfo &o : table) {
    names.insert(o.name);
  }

  // MATLAB and Octave: "%  'name'  text", continued deeper in.
  const auto matlab = entries(between(fileText("toolbox/regionseg.m"), "%  Options", "% RESULTS:"),
                              std::regex("^%  '(\\w+)' "), std::regex("^%      "));
  // Python: "    name : type", its text eight spaces in.
  const std::string doc =
      between(fileText("python/kalmex/__init__.py"), "def regionseg(image", "    Returns\n");
  const auto python = entries(between(doc, "    Parameters\n", "    Returns"),
                              std::regex("^    (\\w+) : "), std::regex("^        \\S"));
  // kalseg: "  --name ARG  text", continued in its column.
  const auto shell = entries(kalseg::usage(), std::regex("^  --(\\w+) "), std::regex("^      "));

  std::set<std::string> matlabNames, pythonNames;
  for (const auto &e : matlab) {
    matlabNames.insert(e.first);
  }
  for (const auto &e : python) {
    // The image and the switches of the call are not options.
    if (e.first != "image" && e.first != "return_snapshots" && e.first != "progress" &&
        e.first != "threads") {
      pythonNames.insert(e.first);
    }
  }
  EXPECT_EQ(matlabNames, names);
  EXPECT_EQ(pythonNames, names);

  for (const OptionInfo &o : table) {
    if (matlab.count(o.name) != 0) {
      expectValues("regionseg.m", o, matlab.at(o.name));
      expectDefault("regionseg.m", o, matlab.at(o.name));
    }
    if (python.count(o.name) != 0) {
      // Its defaults are the signature's, made from the table.
      expectValues("kalmex.regionseg", o, python.at(o.name));
    }
    // kalseg takes every option of the table but those its files and its
    // own switches decide.
    segfront::Options opts;
    const bool taken =
        kalseg::setOption(opts, o.name, o.initial[0] != '\0' ? o.initial : "1") == "";
    EXPECT_EQ(shell.count(o.name) != 0, taken) << "kalseg: --" << o.name;
    if (taken && shell.count(o.name) != 0) {
      expectValues("kalseg", o, shell.at(o.name));
      expectDefault("kalseg", o, shell.at(o.name));
    }
  }
}

} // namespace
