// The embedded host's own semantics: call scope, errors, transcript, module
// state and life cycle, mexCallMATLAB.
#include <cmath>
#include <cstring>

#include "hosttest.h"

using namespace kaltest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class EmbeddedHost : public HostTest {};

TEST_F(EmbeddedHost, ArraysHaveMatlabShapes) {
  const mwSize d3[3] = {2, 3, 4};
  Array a(mxCreateNumericArray(3, d3, mxINT32_CLASS, mxREAL));
  EXPECT_EQ(mxGetNumberOfDimensions(a.get()), 3u);
  EXPECT_EQ(mxGetNumberOfElements(a.get()), 24u);
  EXPECT_EQ(mxGetClassID(a.get()), 12);
  EXPECT_EQ(mxGetN(a.get()), 12u);

  // Trailing singleton dimensions go, at least two stay.
  const mwSize d4[4] = {5, 1, 1, 1};
  Array b(mxCreateNumericArray(4, d4, mxDOUBLE_CLASS, mxREAL));
  EXPECT_EQ(dims(b.get()), (std::vector<mwSize>{5, 1}));
  const mwSize d1[1] = {7};
  Array c(mxCreateNumericArray(1, d1, mxUINT8_CLASS, mxREAL));
  EXPECT_EQ(dims(c.get()), (std::vector<mwSize>{7, 1}));

  Array s = text("abc");
  EXPECT_TRUE(mxIsChar(s.get()));
  EXPECT_FALSE(mxIsNumeric(s.get()));
  EXPECT_EQ(dims(s.get()), (std::vector<mwSize>{1, 3}));
  Array e = text("");
  EXPECT_TRUE(mxIsEmpty(e.get()));

  Array l = logicalScalar(true);
  EXPECT_FALSE(mxIsNumeric(l.get()));
  EXPECT_EQ(mxGetScalar(l.get()), 1.0);
  EXPECT_TRUE(mxIsScalar(s.get()) == false);
  EXPECT_TRUE(mxIsSparse(sparseDouble(3, 3).get()));
  EXPECT_TRUE(mxIsComplex(complexDouble(1, 1).get()));

  Array i32 = int32Array({1, 1}, {-7});
  EXPECT_EQ(mxGetScalar(i32.get()), -7.0);
}

// The first element reads in the C type of its class: all bits set are -1
// in a signed class and the largest value in an unsigned one, as wide as
// the class's element size says.
TEST_F(EmbeddedHost, ScalarReadsTheFirstElementInItsClassType) {
  const struct {
    mxClassID cls;
    size_t bytes;
    bool isSigned;
  } classes[] = {{mxINT8_CLASS, 1, true},    {mxUINT8_CLASS, 1, false},  {mxINT16_CLASS, 2, true},
                 {mxUINT16_CLASS, 2, false}, {mxINT32_CLASS, 4, true},   {mxUINT32_CLASS, 4, false},
                 {mxINT64_CLASS, 8, true},   {mxUINT64_CLASS, 8, false}, {mxCHAR_CLASS, 2, false}};
  for (const auto &c : classes) {
    Array a(mxCreateNumericMatrix(2, 1, c.cls, mxREAL));
    EXPECT_EQ(mxGetElementSize(a.get()), c.bytes);
    std::memset(mxGetData(a.get()), 0xFF, c.bytes);
    const double largest = std::ldexp(1.0, 8 * static_cast<int>(c.bytes)) - 1;
    EXPECT_EQ(mxGetScalar(a.get()), c.isSigned ? -1.0 : largest) << mxGetClassName(a.get());
  }
  Array f(mxCreateNumericMatrix(1, 1, mxSINGLE_CLASS, mxREAL));
  *static_cast<float *>(mxGetData(f.get())) = 0.25f;
  EXPECT_EQ(mxGetScalar(f.get()), 0.25);
}

TEST_F(EmbeddedHost, DuplicateIsDeepAndCellsOwnTheirElements) {
  Array cell = cellMatrix(1, 2);
  mxSetCell(cell.get(), 1, mxCreateDoubleScalar(5));
  Array copy(mxDuplicateArray(cell.get()));
  EXPECT_NE(mxGetCell(copy.get(), 1), mxGetCell(cell.get(), 1));
  EXPECT_EQ(mxGetScalar(mxGetCell(copy.get(), 1)), 5.0);
  EXPECT_EQ(mxGetCell(copy.get(), 0), nullptr);
}

TEST_F(EmbeddedHost, GetStringCutsAsDocumented) {
  Array s = text("abcdefghij");
  char buf[8] = "zzzzzzz";
  EXPECT_NE(mxGetString(s.get(), buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "abcdefg");
  char whole[16];
  EXPECT_EQ(mxGetString(s.get(), whole, sizeof whole), 0);
  EXPECT_STREQ(whole, "abcdefghij");
  EXPECT_NE(mxGetString(doubleScalar(1).get(), whole, sizeof whole), 0);
}

TEST_F(EmbeddedHost, CallScopeReleasesWhatIsNotReturned) {
  Array cmd = text("litter");
  Call c = call("kalhost_probe", 1, {cmd.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(mxGetScalar(c.out[0].get()), 1.0);
  // Only the returned scalar is alive beyond the inputs (checked in TearDown
  // once it is released).
  EXPECT_EQ(kalhost::liveArrays(), arraysAtStart_ + 2);
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_);
}

TEST_F(EmbeddedHost, ErrorsUnwindToTheCallAndReleaseEverything) {
  Array cmd = text("fail");
  Call c = call("kalhost_probe", 1, {cmd.get()});
  EXPECT_FALSE(c.ok());
  EXPECT_EQ(c.error(), "probe failed on purpose");
  EXPECT_EQ(c.out[0].get(), nullptr);
  Call missing = call("no_such_module", 0, {});
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "Undefined function 'no_such_module'.");
}

TEST_F(EmbeddedHost, PrintAndWarningGoToTheTranscript) {
  Array cmd = text("say");
  Call c = call("kalhost_probe", 0, {cmd.get()});
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.transcript, "value 42\nWarning: careful\n");
  ASSERT_EQ(kalhost::warnings().size(), 1u);
  EXPECT_EQ(kalhost::warnings()[0], "careful");
}

TEST_F(EmbeddedHost, LockedModulesSurviveClearAndUnlockedOnesStartAfresh) {
  Array count = text("count"), lock = text("lock"), unlock = text("unlock"), keep = text("keep");
  kalhost::clear("kalhost_probe");
  ASSERT_TRUE(call("kalhost_probe", 1, {count.get()}).ok());
  ASSERT_TRUE(call("kalhost_probe", 0, {keep.get()}).ok());
  EXPECT_EQ(kalhost::persistentBlocks(), 1u);
  ASSERT_TRUE(call("kalhost_probe", 0, {lock.get()}).ok());
  EXPECT_TRUE(kalhost::isLocked("kalhost_probe"));
  EXPECT_FALSE(kalhost::clear("kalhost_probe"));
  Call third = call("kalhost_probe", 1, {count.get()});
  EXPECT_EQ(mxGetScalar(third.out[0].get()), 4.0);

  ASSERT_TRUE(call("kalhost_probe", 0, {unlock.get()}).ok());
  kalhost::clearTranscript();
  EXPECT_TRUE(kalhost::clear("kalhost_probe"));
  EXPECT_EQ(kalhost::transcript(), "probe exit\n");
  EXPECT_EQ(kalhost::persistentBlocks(), 0u);
  EXPECT_FALSE(kalhost::isLoaded("kalhost_probe"));
  Call fresh = call("kalhost_probe", 1, {count.get()});
  EXPECT_EQ(mxGetScalar(fresh.out[0].get()), 1.0);
}

TEST_F(EmbeddedHost, CallMatlabReachesRegisteredFunctionsAndModules) {
  int calls = 0;
  kalhost::registerFunction("kx_double_it", [&](int, mxArray *plhs[], int, mxArray *prhs[]) {
    ++calls;
    plhs[0] = mxCreateDoubleScalar(2 * mxGetScalar(prhs[0]));
  });
  Array cmd = text("callback");
  Call c = call("kalhost_probe", 1, {cmd.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(mxGetScalar(c.out[0].get()), 42.0);
  EXPECT_EQ(calls, 1);

  // An error inside the callee ends the caller's call as well.
  kalhost::registerFunction("kx_double_it", [](int, mxArray *[], int, mxArray *[]) {
    mxMalloc(8);
    mexErrMsgTxt("inner failure");
  });
  Call failed = call("kalhost_probe", 1, {cmd.get()});
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "inner failure");
  EXPECT_EQ(failed.transcript.find("after callback"), std::string::npos);
  kalhost::unregisterFunction("kx_double_it");

  Array nested = text("nested");
  Call n = call("kalhost_probe", 1, {nested.get()});
  ASSERT_TRUE(n.ok()) << n.error();
  EXPECT_GE(mxGetScalar(n.out[0].get()), 1.0);
}

TEST_F(EmbeddedHost, AllocationFailureEndsTheCallWithOutOfMemory) {
  Array cmd = text("litter");
  for (long n = 1; n <= 5; ++n) {
    kalhost::failAllocationAt(n);
    Call c = call("kalhost_probe", 1, {cmd.get()});
    EXPECT_FALSE(c.ok()) << n;
    EXPECT_EQ(c.error(), "Out of memory.");
  }
  kalhost::failAllocationAt(0);
}

// mxSetData: the array owns the block, which leaves the call's scope, is
// freed with the array and counts as a live block until then.
TEST_F(EmbeddedHost, SetDataHandsABlockToTheArray) {
  Array cmd = text("handover");
  Call c = call("kalhost_probe", 1, {cmd.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(dims(c.out[0].get()), (std::vector<mwSize>{4, 5}));
  std::vector<double> expected(20);
  for (int i = 0; i < 20; ++i) {
    expected[i] = i + 1;
  }
  EXPECT_EQ(values(c.out[0].get()), expected);
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 1);
  // A copy is the host's own data.
  Array copy(mxDuplicateArray(c.out[0].get()));
  EXPECT_EQ(values(copy.get()), expected);
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 1);
  c.out[0].reset();
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_);

  // Under a failing allocation (the block, its growth, the array) the call
  // ends and everything goes with it.
  for (long n = 1; n <= 3; ++n) {
    kalhost::failAllocationAt(n);
    Call failed = call("kalhost_probe", 1, {cmd.get()});
    kalhost::failAllocationAt(0);
    EXPECT_EQ(failed.error(), "Out of memory.") << n;
    EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_) << n;
  }
}

// Outside a call: the data replaced is freed, a persistent block stops
// being one, and dimensions the block cannot hold are refused.
TEST_F(EmbeddedHost, SetDataReplacesAndFreesTheOldData) {
  Array a(mxCreateNumericMatrix(2, 2, mxINT32_CLASS, mxREAL));
  void *first = mxCalloc(6, sizeof(int32_t));
  mexMakeMemoryPersistent(first);
  const std::size_t persistent = kalhost::persistentBlocks();
  mxSetData(a.get(), first);
  EXPECT_EQ(kalhost::persistentBlocks(), persistent - 1);
  EXPECT_EQ(mxGetData(a.get()), first);
  const mwSize six[2] = {2, 3};
  EXPECT_EQ(mxSetDimensions(a.get(), six, 2), 0);
  EXPECT_EQ(mxGetNumberOfElements(a.get()), 6u);
  const mwSize eight[2] = {2, 4};
  EXPECT_NE(mxSetDimensions(a.get(), eight, 2), 0);
  EXPECT_EQ(dims(a.get()), (std::vector<mwSize>{2, 3}));

  int32_t *second = static_cast<int32_t *>(mxMalloc(8 * sizeof(int32_t)));
  for (int i = 0; i < 8; ++i) {
    second[i] = 10 * i;
  }
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 2);
  mxSetData(a.get(), second); // frees first
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 1);
  // The data may also be freed first, as MATLAB's documentation has it.
  Array b(mxCreateDoubleMatrix(3, 3, mxREAL));
  mxFree(mxGetData(b.get()));
  EXPECT_EQ(mxGetData(b.get()), nullptr);
  mxSetData(b.get(), mxMalloc(9 * sizeof(double)));
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_ + 2);
  EXPECT_EQ(mxSetDimensions(a.get(), eight, 2), 0);
  EXPECT_EQ(int32Values(a.get()), (std::vector<int32_t>{0, 10, 20, 30, 40, 50, 60, 70}));
  // A cell array keeps its count.
  Array cell = cellMatrix(1, 2);
  const mwSize one[2] = {1, 1};
  EXPECT_NE(mxSetDimensions(cell.get(), one, 2), 0);
}

// mxRealloc resizes the block itself: contents kept, the address kept when
// it shrinks, one allocation for the counters and the failure hook, and a
// failing growth ends the call with the old block released at its end.
TEST_F(EmbeddedHost, ReallocResizesTheBlockInPlace) {
  Array cmd = text("grow");
  kalhost::failAllocationAt(0);
  Call c = call("kalhost_probe", 1, {cmd.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  const std::vector<double> held = values(c.out[0].get());
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0], 1.0);
  // AddressSanitizer's realloc always moves the block.
  if (!kSanitized) {
    EXPECT_EQ(held[1], 1.0);
  }
  EXPECT_EQ(kalhost::allocationCount(), 4); // block, growth, shrink, output
  EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_);
  for (long n = 2; n <= 3; ++n) {
    kalhost::failAllocationAt(n);
    Call failed = call("kalhost_probe", 1, {cmd.get()});
    kalhost::failAllocationAt(0);
    EXPECT_EQ(failed.error(), "Out of memory.") << n;
    EXPECT_EQ(kalhost::liveBlocks(), blocksAtStart_) << n;
  }
  // A persistent block stays persistent, and out of the call's scope.
  void *p = mxMalloc(16);
  mexMakeMemoryPersistent(p);
  const std::size_t persistent = kalhost::persistentBlocks();
  p = mxRealloc(p, 4096);
  EXPECT_EQ(kalhost::persistentBlocks(), persistent);
  mxFree(p);
  EXPECT_EQ(kalhost::persistentBlocks(), persistent - 1);
}

} // namespace
