// Every module under exhausted host memory: for n = 1, 2, ... the n-th host
// allocation of a call (mxMalloc, mxCalloc, every array made) fails and ends
// the call with "Out of memory.", as MATLAB does.  Each such call must leave
// nothing alive (host arrays and blocks, the image library's objects,
// regionseg_core's own allocations) once the module's next call has run (a
// call the host ends inside a module cannot release what the module holds;
// the module does so at its next call, or when it is cleared), and that
// next call, undisturbed, must give the same result as one never disturbed.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hosttest.h"
#include "kal_testing.h"
#include "toolbox_standins.h"

namespace {

using kaltest::Array;
using kaltest::Call;

// The text of every output, for comparing results.
std::string describe(const Call &c) {
  std::string s = c.ok() ? "ok" : "error: " + c.error();
  for (const Array &a : c.out) {
    if (!a) {
      s += " | none";
      continue;
    }
    s += " | class " + std::to_string(mxGetClassID(a.get())) + " n " +
         std::to_string(mxGetNumberOfElements(a.get())) + ":";
    if (mxIsChar(a.get())) {
      s += kaltest::textOf(a.get());
    } else if (mxIsNumeric(a.get()) || mxIsLogical(a.get())) {
      const unsigned char *p = static_cast<const unsigned char *>(mxGetData(a.get()));
      const std::size_t bytes = mxGetNumberOfElements(a.get()) * mxGetElementSize(a.get());
      for (std::size_t k = 0; k < bytes; ++k) {
        s += std::to_string(p[k]) + ",";
      }
    }
  }
  return s + " | " + c.transcript + c.stdoutText;
}

long (*regionsegLive)() = nullptr;
void (*regionsegFailAt)(long) = nullptr;
long (*regionsegCount)() = nullptr;

long moduleLive() { return regionsegLive != nullptr ? regionsegLive() : 0; }

// The hooks above from a module that holds the segmentation, loaded first.
void useSegmentationHooks(const std::string &module) {
  kaltest::call(module, 0, {});
  const std::string path = kalhost::defaultModuleDir() + "/" + module + ".so";
  if (void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    regionsegLive = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_live_allocations"));
    regionsegFailAt =
        reinterpret_cast<void (*)(long)>(dlsym(lib, "regionseg_core_fail_allocation_at"));
    regionsegCount = reinterpret_cast<long (*)()>(dlsym(lib, "regionseg_core_allocation_count"));
    dlclose(lib);
  }
}

class HostAllocation : public kaltest::HostTest {
protected:
  // Runs makeCall once undisturbed, then with each host allocation failing
  // in turn until the call no longer needs the failing one.  Returns the
  // number of allocation points exercised.
  long sweep(const std::string &what, const std::function<Call()> &makeCall) {
    const Call reference = makeCall();
    const std::string expected = describe(reference);
    long n = 1;
    for (;; ++n) {
      const std::size_t arrays = kalhost::liveArrays(), blocks = kalhost::liveBlocks();
      const int64_t objects = kal_LiveObjects();
      const long live = moduleLive();
      kalhost::failAllocationAt(n);
      const Call c = makeCall();
      kalhost::failAllocationAt(0);
      if (c.ok() || c.error() != "Out of memory.") {
        EXPECT_EQ(describe(c), expected) << what << ": the n-th allocation, n = " << n;
        break;
      }
      EXPECT_EQ(c.error(), "Out of memory.") << what << ", n = " << n;
      // The module is still sound: the same call undisturbed gives the
      // result.  A call that the host ended inside the module may leave what
      // it held to the module's next call; after that call nothing is left.
      EXPECT_EQ(describe(makeCall()), expected) << what << " after failing at n = " << n;
      EXPECT_EQ(kalhost::liveArrays(), arrays) << what << ": arrays left, n = " << n;
      EXPECT_EQ(kalhost::liveBlocks(), blocks) << what << ": blocks left, n = " << n;
      EXPECT_EQ(kal_LiveObjects(), objects) << what << ": library objects left, n = " << n;
      EXPECT_EQ(moduleLive(), live) << what << ": module allocations left, n = " << n;
      if (n > 5000) {
        ADD_FAILURE() << what << ": no end of allocations";
        break;
      }
    }
    std::printf("%s: %ld allocation points\n", what.c_str(), n - 1);
    return n - 1;
  }

  // The segmentation's own allocations (the hooks above) failing in turn:
  // the call raises kalmex:regionseg_core:outOfMemory (or, for an allocation
  // with a way round it, gives the whole result), releases everything it
  // made, and the next call is whole.
  void sweepModule(const std::string &what, const std::function<Call()> &makeCall) {
    const std::string expected = describe(makeCall());
    regionsegFailAt(0);
    makeCall();
    const long count = regionsegCount();
    for (long n = 1; n <= count; ++n) {
      const std::size_t arrays = kalhost::liveArrays(), blocks = kalhost::liveBlocks();
      const long live = moduleLive();
      regionsegFailAt(n);
      {
        const Call failing = makeCall();
        regionsegFailAt(0);
        if (failing.ok()) {
          EXPECT_EQ(describe(failing), expected) << what << ", module allocation " << n;
        } else {
          EXPECT_EQ(failing.result.id, "kalmex:regionseg_core:outOfMemory")
              << what << ", module allocation " << n << ": " << failing.error();
        }
      }
      EXPECT_EQ(moduleLive(), live) << what << ": module allocations left, n = " << n;
      EXPECT_EQ(describe(makeCall()), expected) << what << " after module allocation " << n;
      EXPECT_EQ(kalhost::liveArrays(), arrays) << what << ", n = " << n;
      EXPECT_EQ(kalhost::liveBlocks(), blocks) << what << ", n = " << n;
    }
    std::printf("%s: %ld module allocation points\n", what.c_str(), count);
  }
};

TEST_F(HostAllocation, Edgethin) {
  Array s = kaltest::doubleMatrix(3, 3, {1, 2, 1, 2, 5, 2, 1, 2, 1});
  Array gc = kaltest::doubleMatrix(3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1});
  Array gr = kaltest::doubleMatrix(3, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_GT(sweep("edgethin",
                  [&] {
                    return kaltest::call("edgethin", 1, {s.get(), gc.get(), gr.get()});
                  }),
            0);
}

TEST_F(HostAllocation, RegionsegCore) {
  useSegmentationHooks("regionseg_core");
  ASSERT_NE(regionsegLive, nullptr);
  ASSERT_NE(regionsegFailAt, nullptr);
  ASSERT_NE(regionsegCount, nullptr);
  // An 8 x 8 picture of four quadrants with a bright spot, and a volume.
  std::vector<int32_t> grey(64);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      grey[x + 8 * y] = (x < 4 ? 0 : 100) + (y < 4 ? 0 : 50) + (x == 1 && y == 6 ? 90 : 0);
    }
  }
  Array image = kaltest::int32Array({8, 8}, grey);
  std::vector<int32_t> vgrey(4 * 4 * 4);
  for (std::size_t i = 0; i < vgrey.size(); ++i) {
    vgrey[i] = i < 32 ? 10 : 200;
  }
  Array volume = kaltest::int32Array({4, 4, 4}, vgrey);
  // And images that do not fill their tree: 7 x 5, and 5 x 3 x 3 in a tree
  // of 8 x 8 x 4.
  std::vector<int32_t> ogrey(7 * 5);
  for (std::size_t i = 0; i < ogrey.size(); ++i) {
    ogrey[i] = static_cast<int32_t>((i * 37) % 7 < 3 ? 20 : 180);
  }
  Array odd = kaltest::int32Array({7, 5}, ogrey);
  Array oddVolume =
      kaltest::int32Array({5, 3, 3}, std::vector<int32_t>(grey.begin(), grey.begin() + 45));
  struct Run {
    const char *what;
    const mxArray *image;
    std::vector<double> p; // the 14 parameters
  } runs[] = {
      {"regionseg_core criterion 1", image.get(), {3, 3, 1, 0, 1, 0, 1, 20, 0, 0, 0, 0, 2, 0}},
      {"regionseg_core criterion 3 parallel",
       image.get(),
       {3, 3, 1, 1, 2, 1, 3, 20, 0.1, 0, 0, 0, 0, 0}},
      {"regionseg_core criterion 5 volume",
       volume.get(),
       {2, 0, 0, 0, 1, 0, 5, 20, 0, 4, 0, 1, 2, 1}},
      {"regionseg_core criterion 4", image.get(), {3, 3, 1, 0, 1, 0, 4, 20, 0, 3, 2, 0, 0, 0}},
      {"regionseg_core 7 x 5 criterion 3",
       odd.get(),
       {3, 3, 1, 1, 2, 1, 3, 20, 0.1, 0, 0, 0, 3, 0}},
      {"regionseg_core 5 x 3 x 3 criterion 5",
       oddVolume.get(),
       {3, 1, 0, 0, 1, 0, 5, 20, 0, 4, 0, 1, 4, 1}},
  };
  for (const Run &r : runs) {
    std::vector<Array> params;
    std::vector<const mxArray *> in = {r.image};
    for (double v : r.p) {
      params.push_back(kaltest::doubleScalar(v));
      in.push_back(params.back().get());
    }
    for (int nlhs : {1, 2}) {
      const std::string what = std::string(r.what) + ", outputs " + std::to_string(nlhs);
      auto run = [&] { return kaltest::call("regionseg_core", nlhs, in, true); };
      sweep(what, run);
      sweepModule(what, run);
    }
  }
}

TEST_F(HostAllocation, RegionsegFront) {
  useSegmentationHooks("regionseg_front");
  ASSERT_TRUE(regionsegLive != nullptr && regionsegFailAt != nullptr && regionsegCount != nullptr);
  // A 12 x 10 picture of four quadrants (in a tree of 16 x 16), and a
  // colour picture with its options given by name.
  Array picture = kaltest::numericArray(mxUINT8_CLASS, {12, 10});
  uint8_t *p = static_cast<uint8_t *>(mxGetData(picture.get()));
  for (int k = 0; k < 120; ++k) {
    p[k] = static_cast<uint8_t>((k % 12 < 6 ? 0 : 100) + (k / 12 < 5 ? 0 : 50));
  }
  Array colour = kaltest::numericArray(mxUINT16_CLASS, {6, 6, 3});
  uint16_t *c = static_cast<uint16_t *>(mxGetData(colour.get()));
  for (int k = 0; k < 108; ++k) {
    c[k] = static_cast<uint16_t>((k % 7) * 9000);
  }
  Array criterion = kaltest::text("criterion"), word = kaltest::text("range_mean");
  Array size = kaltest::text("min_region_size"), three = kaltest::doubleScalar(3);
  struct Run {
    const char *what;
    std::vector<const mxArray *> in;
  } runs[] = {
      {"regionseg_front picture", {picture.get()}},
      {"regionseg_front colour, options",
       {colour.get(), criterion.get(), word.get(), size.get(), three.get()}},
  };
  for (const Run &r : runs) {
    for (int nlhs : {1, 2}) {
      const std::string what = std::string(r.what) + ", outputs " + std::to_string(nlhs);
      auto run = [&] { return kaltest::call("regionseg_front", nlhs, r.in, true); };
      sweep(what, run);
      sweepModule(what, run);
    }
  }
}

TEST_F(HostAllocation, Tiffmend) {
  char dir[] = "/tmp/reliability_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/a.tif";
  // An "II" file whose directory holds PhotometricInterpretation 3.
  const unsigned char bytes[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 6, 1, 3,
                                 0,   1,   0,  0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
  auto fresh = [&] {
    FILE *f = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes, 1, sizeof bytes, f);
    std::fclose(f);
  };
  Array v = kaltest::text("-v"), name = kaltest::text(file), number = kaltest::doubleScalar(1);
  sweep("tiffmend", [&] {
    fresh();
    return kaltest::call("tiffmend", 0, {v.get(), number.get(), name.get()});
  });
  unlink(file.c_str());
  rmdir(dir);
}

TEST_F(HostAllocation, Kalsettings) {
  kaltest::registerToolboxStandIns();
  Array zero = kaltest::doubleScalar(0), one = kaltest::doubleScalar(1);
  Array two = kaltest::doubleScalar(2), three = kaltest::doubleScalar(3);
  Array four = kaltest::doubleScalar(4), unlock = kaltest::doubleScalar(999);
  Array gamma = kaltest::text("Gamma"), g = kaltest::doubleMatrix(1, 3, {2, 3, 4});
  Array path = kaltest::text("ImageFilePath"), where = kaltest::text("/some/folder");
  Array colours = kaltest::text("DefaultColorMap"), map = kaltest::text("jet");
  Array fig = kaltest::text("fig"), handle = kaltest::doubleScalar(7);
  Array boundary = kaltest::text("BoundaryCondition"), mirror = kaltest::text("periodic");
  // Both tables: the preferences and the figure bindings.
  auto readAll = [&] {
    return describe(kaltest::call("kalsettings", 1, {zero.get(), zero.get()})) +
           describe(kaltest::call("kalsettings", 1, {zero.get(), one.get()}));
  };
  kaltest::call("kalsettings", 0, {four.get()});
  // Each call: under a failing allocation it is refused and every value is
  // as before; undisturbed it succeeds (the sweep's last call).
  struct Set {
    const char *what;
    int nlhs;
    std::vector<const mxArray *> in;
    std::vector<const mxArray *> back;
  } sets[] = {
      {"kalsettings set Gamma", 0, {one.get(), gamma.get(), g.get()}, {}},
      {"kalsettings set ImageFilePath", 0, {one.get(), path.get(), where.get()}, {}},
      {"kalsettings set two",
       0,
       {one.get(), colours.get(), map.get(), boundary.get(), mirror.get()},
       {}},
      {"kalsettings bind a figure", 0, {three.get(), fig.get(), handle.get()}, {four.get()}},
      {"kalsettings read the preferences", 1, {zero.get(), zero.get()}, {}},
      {"kalsettings read the figures", 1, {zero.get(), one.get()}, {}},
      {"kalsettings read one", 1, {zero.get(), gamma.get()}, {}},
      {"kalsettings figure of", 1, {two.get(), fig.get()}, {}},
  };
  for (const Set &s : sets) {
    const std::string start = readAll();
    long n = 1;
    for (;; ++n) {
      const std::size_t arrays = kalhost::liveArrays(), blocks = kalhost::liveBlocks();
      kalhost::failAllocationAt(n);
      const Call c = kaltest::call("kalsettings", s.nlhs, s.in);
      kalhost::failAllocationAt(0);
      if (c.ok() || n > 5000) {
        EXPECT_TRUE(c.ok()) << s.what << ": " << c.error();
        break;
      }
      EXPECT_EQ(c.error(), "Out of memory.") << s.what << ", n = " << n;
      EXPECT_EQ(kalhost::liveArrays(), arrays) << s.what << ", n = " << n;
      EXPECT_EQ(kalhost::liveBlocks(), blocks) << s.what << ", n = " << n;
      EXPECT_EQ(readAll(), start) << s.what << ": values changed, n = " << n;
    }
    std::printf("%s: %ld allocation points\n", s.what, n - 1);
    if (!s.back.empty()) {
      EXPECT_TRUE(kaltest::call("kalsettings", 0, s.back).ok());
    }
  }
  kaltest::call("kalsettings", 0, {unlock.get()});
  kalhost::clear("kalsettings");
  for (const char *f :
       {"kal_getboundary", "kal_gettruncation", "kal_setboundary", "kal_settruncation"}) {
    kalhost::unregisterFunction(f);
  }
}

TEST_F(HostAllocation, Wrappers) {
  std::vector<double> pixels(36);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<double>(1 + (i * 7) % 11);
  }
  Array image = kaltest::doubleMatrix(6, 6, pixels);
  Array empty = kaltest::emptyDouble();
  Array gaussian = kaltest::text("gaussian"), linear = kaltest::text("linear");
  Array zero = kaltest::text("zero"), angle = kaltest::doubleScalar(30);
  Array axis = kaltest::doubleScalar(3), dim = kaltest::doubleScalar(1);
  Array flag = kaltest::logicalScalar(true);
  sweep("kal_peakfit", [&] {
    return kaltest::call("kal_peakfit", 1, {image.get(), empty.get(), gaussian.get()});
  });
  sweep("kal_turnvolume", [&] {
    return kaltest::call("kal_turnvolume", 1,
                         {image.get(), angle.get(), axis.get(), linear.get(), zero.get()});
  });
  sweep("kal_troughfind", [&] {
    return kaltest::call("kal_troughfind", 1, {image.get(), empty.get(), dim.get(), flag.get()});
  });
}

} // namespace
