// kalsettings through the embedded host: every MODE, the messages, the
// corrections after a set and the calls of the MATLAB-side functions.
#include <cmath>
#include <cstdlib>

#include "kalsettings_fixture.h"
#include "preferences.h"
#include "storememory.h"

using namespace kaltest;

namespace {

using Gateway = Kalsettings;

// The value column of a whole-table read, as text for comparison.
std::string describe(const mxArray *v) {
  if (mxIsChar(v)) {
    return "'" + textOf(v) + "'";
  }
  std::string s;
  for (double x : values(v)) {
    s += (s.empty() ? "" : " ") + std::to_string(x);
  }
  return s;
}

// The module's default table as the value column of a whole-table read
// would show it, read from the table itself (started without a host).
std::vector<std::string> tableDefaults() {
  static const StoreMemory kPlain = {std::malloc, std::calloc, std::free};
  useStoreMemory(&kPlain);
  initPreferences();
  std::vector<std::string> shown;
  for (const PreferenceEntry &e : defaultPreferences) {
    const double *triple = e.value.triple;
    switch (e.kind) {
    case PreferenceKind::OnOff:
      shown.push_back("'" + std::string(onOffWord(e.value.integer)) + "'");
      break;
    case PreferenceKind::String:
      shown.push_back("'" + std::string(e.value.text) + "'");
      break;
    case PreferenceKind::Real:
      shown.push_back(std::to_string(e.value.real));
      break;
    case PreferenceKind::Triple:
      shown.push_back(std::to_string(triple[0]) + " " + std::to_string(triple[1]) + " " +
                      std::to_string(triple[2]));
      break;
    default:
      shown.push_back(std::to_string(static_cast<double>(e.value.integer)));
    }
  }
  releasePreferences();
  return shown;
}

TEST_F(Gateway, WholeTablesRightAfterLoad) {
  boundary = "periodic";
  truncation = 2.5;
  Call defaults = table(0);
  Call current = table(1);
  ASSERT_TRUE(defaults.ok()) << defaults.error();
  ASSERT_TRUE(current.ok()) << current.error();
  // Each whole-table read asks the MATLAB side once for each of its two values.
  EXPECT_EQ(getBoundaryCalls, 2);
  EXPECT_EQ(getTruncationCalls, 2);
  EXPECT_EQ(boundaryInput, 1.0);
  const mxArray *d = defaults.out[0].get();
  const mxArray *c = current.out[0].get();
  ASSERT_TRUE(mxIsCell(d));
  ASSERT_EQ(dims(d), (std::vector<mwSize>{28, 2}));
  std::vector<std::string> expected = tableDefaults();
  expected[preference::BoundaryCondition] = "'periodic'"; // from the MATLAB side
  expected[preference::Truncation] = "2.500000";
  for (mwIndex i = 0; i < 28; ++i) {
    EXPECT_EQ(textOf(mxGetCell(d, i)), kPreferenceNames[i]);
    EXPECT_EQ(textOf(mxGetCell(c, i)), kPreferenceNames[i]);
    EXPECT_EQ(describe(mxGetCell(d, i + 28)), expected[i]) << kPreferenceNames[i];
    EXPECT_EQ(describe(mxGetCell(c, i + 28)), expected[i]) << kPreferenceNames[i];
  }
  EXPECT_EQ(dims(mxGetCell(c, preference::Gamma + 28)), (std::vector<mwSize>{1, 3}));

  // A table asked for by 0.5 or -0.5 is the default one; 1.9 the current one.
  for (double which : {0.5, -0.5, 1.9}) {
    EXPECT_TRUE(table(which).ok()) << which;
  }
  ASSERT_TRUE(set("DebugMode", text("on")).ok());
  EXPECT_EQ(textOf(mxGetCell(table(0).out[0].get(), preference::DebugMode + 28)), "off");
  EXPECT_EQ(textOf(mxGetCell(table(1.9).out[0].get(), preference::DebugMode + 28)), "on");
}

TEST_F(Gateway, EveryKindIsSetAndReadBackWithItsCorrection) {
  EXPECT_EQ(dims(read("gamma").out[0].get()), (std::vector<mwSize>{1, 3}));
  ASSERT_TRUE(set("debugmode", text("ON")).ok());
  EXPECT_EQ(readText("DebugMode"), "on");
  ASSERT_TRUE(set("TRUESIZE", text("Off")).ok());
  EXPECT_EQ(readText("truesize"), "off");
  ASSERT_TRUE(set("DefaultColorMap", text("foo")).ok());
  EXPECT_EQ(readText("DefaultColorMap"), "foo");
  ASSERT_TRUE(set("DefaultColorMap", text("")).ok());
  EXPECT_EQ(readText("DefaultColorMap"), "");
  ASSERT_TRUE(set("Gamma", doubleMatrix(3, 1, {2, 3, 4})).ok());
  EXPECT_EQ(values(read("Gamma").out[0].get()), (std::vector<double>{2, 3, 4}));
  ASSERT_TRUE(set("Gamma", doubleMatrix(1, 3, {0, 50, 1000})).ok());
  EXPECT_EQ(values(read("Gamma").out[0].get()), (std::vector<double>{0.01, 50, 100}));
  ASSERT_TRUE(set("GammaGrey", doubleScalar(NAN)).ok());
  EXPECT_TRUE(std::isnan(readScalar("GammaGrey")));
  ASSERT_TRUE(set("GammaGrey", complexDouble(1, 1)).ok()); // real part 0, clamped
  EXPECT_EQ(readScalar("GammaGrey"), 0.01);

  struct Case {
    const char *name;
    double set, stored;
  };
  const Case ints[] = {
      {"ComputationLimit", 0, 65536},
      {"ComputationLimit", -2147483647, 65536},
      {"ComputationLimit", 1, 1},
      {"ComputationLimit", NAN, 65536},
      {"DefaultFigureWidth", 99.9, 99},
      {"DefaultFigureWidth", 0, 256},
      {"DefaultFigureHeight", -0.5, 256},
      {"ImageSizeLimit", -5, 0},
      {"MorphologicalFlavour", -7.9, -7},
      {"MorphologicalFlavour", NAN, 0},
      {"MorphologicalFlavour", 2147483647, 2147483647},
  };
  for (const Case &c : ints) {
    Call s = set(c.name, doubleScalar(c.set));
    ASSERT_TRUE(s.ok()) << c.name << " " << s.error();
    EXPECT_EQ(readScalar(c.name), c.stored) << c.name << " set to " << c.set;
  }
  Call setNothing = ks({doubleScalar(1).get()}, 0);
  EXPECT_TRUE(setNothing.ok());
  EXPECT_EQ(kalhost::warnings().size(), 0u);
}

TEST_F(Gateway, MessagesNameThePreferenceAsInTheList) {
  struct Case {
    std::string name;
    Array value;
    const char *message;
  };
  Case cases[] = {
      {"debugmode", text("yes"), "Expected either 'on' or 'off' for preference 'DebugMode'."},
      {"DebugMode", doubleScalar(1), "Expected either 'on' or 'off' for preference 'DebugMode'."},
      {"gamma", doubleScalar(5), "Expected an array of length 3 for preference 'Gamma'."},
      {"Gamma", int32Array({1, 3}, {1, 2, 3}),
       "Expected an array of length 3 for preference 'Gamma'."},
      {"Gamma", sparseDouble(1, 3), "Expected an array of length 3 for preference 'Gamma'."},
      {"gammagrey", text("x"), "Expected a scalar value for preference 'GammaGrey'."},
      {"computationlimit", doubleMatrix(1, 2, {1, 2}),
       "Expected a scalar value for preference 'ComputationLimit'."},
      {"ComputationLimit", int32Array({1, 1}, {5}),
       "Expected a scalar value for preference 'ComputationLimit'."},
      {"defaultcolormap", doubleScalar(5),
       "Expected a string value for preference 'DefaultColorMap'."},
      {"ComputationLimit", doubleScalar(3e9), "Overflow in double to int conversion."},
      {"ComputationLimit", doubleScalar(-2147483647.5), "Overflow in double to int conversion."},
      {"NoSuchThing", doubleScalar(1), "Unknown preference name."},
      {"GammaGrey ", doubleScalar(1), "Unknown preference name."},
      {std::string(300, 'a'), doubleScalar(1), "Unknown preference name."},
  };
  for (const Case &c : cases) {
    Call s = set(c.name, c.value);
    EXPECT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.error(), c.message) << c.name;
  }
  Call notText = ks({doubleScalar(1).get(), doubleScalar(3).get(), doubleScalar(3).get()}, 0);
  EXPECT_EQ(notText.error(), "Preference name must be a string.");
  EXPECT_EQ(read("NoSuchThing").error(), "Unknown preference name.");
  EXPECT_EQ(readScalar("ComputationLimit"), 65536); // nothing was stored
}

TEST_F(Gateway, PairsBeforeAFailingPairStaySet) {
  Array mode = doubleScalar(1), a = text("DebugMode"), on = text("on"), g = text("Gamma"),
        five = doubleScalar(5), w = text("DefaultFigureWidth"), wv = doubleScalar(7);
  Call c = ks({mode.get(), a.get(), on.get(), g.get(), five.get(), w.get(), wv.get()}, 0);
  EXPECT_EQ(c.error(), "Expected an array of length 3 for preference 'Gamma'.");
  EXPECT_EQ(readText("DebugMode"), "on");
  EXPECT_EQ(readScalar("DefaultFigureWidth"), 256); // the pair after it was not looked at
}

TEST_F(Gateway, LongStringsAreClippedWithAWarning) {
  ASSERT_TRUE(set("ImageFilePath", text(std::string(4095, 'p'))).ok());
  EXPECT_EQ(kalhost::warnings().size(), 0u);
  EXPECT_EQ(readText("ImageFilePath"), std::string(4095, 'p'));
  std::string big(5000, 'q');
  big[4094] = 'E';
  Call s = set("ImageFilePath", text(big));
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_EQ(s.transcript, "Warning: Clipping the string value.\n");
  EXPECT_EQ(readText("ImageFilePath"), big.substr(0, 4095));
  kalhost::clearTranscript();
  ASSERT_TRUE(set("ImageFilePath", text(std::string(4096, 'r'))).ok());
  EXPECT_EQ(kalhost::warnings().size(), 1u);
  EXPECT_EQ(readText("ImageFilePath"), std::string(4095, 'r'));
  // An on/off word is read into a buffer of the same size: a long one is refused.
  EXPECT_EQ(set("DebugMode", text("on" + std::string(5000, ' '))).error(),
            "Expected either 'on' or 'off' for preference 'DebugMode'.");
}

TEST_F(Gateway, ModeAndInputCountRules) {
  struct Case {
    std::vector<Array> in;
    const char *message; // nullptr: succeeds
  };
  std::vector<Case> cases;
  auto add = [&](const char *message, auto... arrays) {
    Case c{{}, message};
    (c.in.push_back(std::move(arrays)), ...);
    cases.push_back(std::move(c));
  };
  add("Undefined MODE.", doubleScalar(5));
  add("Undefined MODE.", text("x"));
  add("Undefined MODE.", doubleMatrix(1, 2, {0, 1}));
  add("Undefined MODE.", doubleScalar(NAN));
  add("Undefined MODE.", doubleScalar(1e10), text("DebugMode"));
  add("Undefined MODE.", doubleScalar(-1e10));
  add("Undefined MODE.", doubleScalar(-1));
  add("Undefined MODE.", int32Array({1, 1}, {0}), text("DebugMode"));
  add("Undefined MODE.", emptyDouble());
  add(nullptr, doubleScalar(-0.5), text("DebugMode")); // MODE 0
  add(nullptr, complexDouble(1, 1), text("DebugMode"));
  add(nullptr, doubleScalar(1.9), text("DebugMode"), text("on"));
  add(nullptr, doubleScalar(4.5));
  add("Wrong number of input arguments.", doubleScalar(0));
  add("Wrong number of input arguments.", doubleScalar(0), text("DebugMode"), doubleScalar(3));
  add("Wrong number of input arguments.", doubleScalar(1), text("DebugMode"));
  add("Wrong number of input arguments.", doubleScalar(2));
  add("Wrong number of input arguments.", doubleScalar(2), text("a"), doubleScalar(1));
  add("Wrong number of input arguments.", doubleScalar(3), text("a"));
  add("Wrong number of input arguments.", doubleScalar(4), text("a"));
  add("Preference name must be a string.", doubleScalar(0), doubleScalar(2));
  add("Preference name must be a string.", doubleScalar(0), doubleScalar(NAN));
  add("Preference name must be a string.", doubleScalar(0), doubleScalar(-1));
  add("Preference name must be a string.", doubleScalar(0), doubleMatrix(1, 2, {0, 1}));
  add("Preference name must be a string.", doubleScalar(0), cellMatrix(0, 0));
  add("Preference name must be a string.", doubleScalar(0), logicalScalar(true));
  for (const Case &c : cases) {
    std::vector<const mxArray *> in;
    for (const Array &a : c.in) {
      in.push_back(a.get());
    }
    Call r = call("kalsettings", 1, in);
    if (c.message == nullptr) {
      EXPECT_TRUE(r.ok()) << r.error() << " (case with " << in.size() << " inputs)";
    } else {
      EXPECT_EQ(r.error(), c.message) << "case with " << in.size() << " inputs";
    }
  }
  EXPECT_EQ(readText("DebugMode"), "on"); // from kalsettings(1.9, ...)
  EXPECT_EQ(ks({}).error(), "Wrong number of input arguments.");
  Call unlock = ks({doubleScalar(999).get(), text("anything").get()}, 0);
  EXPECT_TRUE(unlock.ok()) << unlock.error();
  EXPECT_FALSE(kalhost::isLocked("kalsettings"));
  EXPECT_TRUE(ks({doubleScalar(999).get()}, 0).ok()); // a second unlock does no harm
}

TEST_F(Gateway, BoundaryAndTruncationLiveOnTheMatlabSide) {
  ASSERT_TRUE(set("boundarycondition", text("periodic")).ok());
  EXPECT_EQ(setBoundaryCalls, 1);
  EXPECT_EQ(boundary, "periodic");
  EXPECT_EQ(readText("BoundaryCondition"), "periodic");
  EXPECT_EQ(getBoundaryCalls, 1);
  // Neither range test nor conversion nor correction: the value goes as given.
  ASSERT_TRUE(set("Truncation", doubleScalar(3e9 + 0.5)).ok());
  EXPECT_EQ(truncation, 3e9 + 0.5);
  EXPECT_EQ(readScalar("truncation"), 3e9 + 0.5);
  EXPECT_EQ(getTruncationCalls, 1);
  getTruncationResult = [] { return mxCreateString("as is"); };
  EXPECT_EQ(readText("Truncation"), "as is");

  EXPECT_EQ(set("Truncation", text("4")).error(),
            "Expected a scalar value for preference 'Truncation'.");
  EXPECT_EQ(set("BoundaryCondition", doubleScalar(1)).error(),
            "Expected a string value for preference 'BoundaryCondition'.");
  EXPECT_EQ(setTruncationCalls, 1);
  EXPECT_EQ(setBoundaryCalls, 1);
  failSetTruncation = true;
  EXPECT_EQ(set("Truncation", doubleScalar(2)).error(), "truncation refused");
}

TEST_F(Gateway, UnsoundAnswersOfTheMatlabSideEndTheCallCleanly) {
  const std::string bad = "kal_getboundary must return a non-empty cell array.";
  getBoundaryResult = [] { return mxCreateDoubleScalar(1); };
  EXPECT_EQ(read("BoundaryCondition").error(), bad);
  EXPECT_EQ(read("BoundaryCondition").result.id, "kalmex:kalsettings:badBoundary");
  getBoundaryResult = [] { return mxCreateCellMatrix(1, 0); };
  EXPECT_EQ(read("BoundaryCondition").error(), bad);
  EXPECT_EQ(table(1).error(), bad);
  getBoundaryResult = []() -> mxArray * { return nullptr; };
  EXPECT_EQ(read("BoundaryCondition").error(), bad);
  getBoundaryResult = [] { return mxCreateCellMatrix(1, 2); }; // first cell never set
  Call c = read("BoundaryCondition");
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_TRUE(mxIsDouble(c.out[0].get()) && mxIsEmpty(c.out[0].get()));
  getTruncationResult = []() -> mxArray * { return nullptr; };
  EXPECT_EQ(read("Truncation").error(), "kal_gettruncation must return a value.");
  EXPECT_EQ(read("Truncation").result.id, "kalmex:kalsettings:badTruncation");
}

TEST_F(Gateway, FiguresForVariables) {
  auto figure = [](const std::string &name) {
    Call c = ks({doubleScalar(2).get(), text(name).get()});
    EXPECT_TRUE(c.ok()) << c.error();
    return c.ok() ? mxGetScalar(c.out[0].get()) : -1.0;
  };
  auto bind = [](const std::string &name, const Array &handle) {
    return ks({doubleScalar(3).get(), text(name).get(), handle.get()}, 0);
  };
  EXPECT_EQ(figure("anything"), 0);
  for (double h : {5, 7}) {
    ASSERT_TRUE(bind("other", doubleScalar(h)).ok());
  }
  ASSERT_TRUE(bind("OTHER", int32Array({1, 1}, {9})).ok());
  ASSERT_TRUE(bind("img", doubleMatrix(1, 2, {3, 4})).ok()); // the first element counts
  EXPECT_EQ(figure("a"), 5);
  EXPECT_EQ(figure("img"), 3);
  EXPECT_EQ(figure("IMG"), 7);
  EXPECT_EQ(figure("other"), 9);
  EXPECT_EQ(figure("b"), 5);

  std::vector<Array> badHandles;
  badHandles.push_back(doubleScalar(1.5));
  badHandles.push_back(text("1"));
  badHandles.push_back(logicalScalar(true));
  badHandles.push_back(emptyDouble());
  badHandles.push_back(doubleScalar(2147483648.0));
  badHandles.push_back(doubleScalar(NAN));
  for (const Array &h : badHandles) {
    EXPECT_EQ(bind("img", h).error(), "Invalid figure handle.");
  }
  EXPECT_EQ(ks({doubleScalar(3).get(), doubleScalar(1).get(), doubleScalar(1).get()}, 0).error(),
            "Variable names must be strings.");
  EXPECT_EQ(ks({doubleScalar(2).get(), cellMatrix(1, 1).get()}).error(),
            "Variable names must be strings.");
  EXPECT_EQ(figure("img"), 3);

  // A long name is bound under its first 255 characters, with a warning.
  const std::string longName = std::string(255, 'n') + "first" + std::string(40, 'x');
  Call longBind = bind(longName, doubleScalar(12));
  ASSERT_TRUE(longBind.ok());
  EXPECT_EQ(longBind.transcript, "Warning: Clipping the string value.\n");
  EXPECT_EQ(figure(std::string(255, 'n') + "second"), 12);
  EXPECT_EQ(figure(std::string(255, 'n')), 12);
  EXPECT_EQ(kalhost::warnings().size(), 2u); // 255 characters fit without one

  ASSERT_TRUE(ks({doubleScalar(4).get()}, 0).ok());
  EXPECT_EQ(figure("img"), 0);
  EXPECT_EQ(figure("a"), 0);
}

TEST_F(Gateway, FigureStoreCapacity) {
  Array bindMode = doubleScalar(3), one = doubleScalar(1), other = text("other");
  for (int i = 0; i < 256; ++i) {
    Array name = text("v" + std::to_string(i));
    ASSERT_TRUE(ks({bindMode.get(), name.get(), one.get()}, 0).ok());
    ASSERT_TRUE(ks({bindMode.get(), other.get(), one.get()}, 0).ok());
  }
  EXPECT_EQ(ks({bindMode.get(), text("v256").get(), one.get()}, 0).error(),
            "Variable name buffer full.");
  EXPECT_EQ(ks({bindMode.get(), other.get(), one.get()}, 0).error(), "Variable name buffer full.");
  ASSERT_TRUE(ks({bindMode.get(), text("v3").get(), doubleScalar(33).get()}, 0).ok());
  Call c = ks({doubleScalar(2).get(), text("v3").get()});
  EXPECT_EQ(mxGetScalar(c.out[0].get()), 33);
}

} // namespace
