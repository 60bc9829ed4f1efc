// The front end of split-and-merge segmentation: everything between a
// caller's image and options and one run of regionseg_core's driver, for
// every caller alike (regionseg in MATLAB and Octave through the module
// regionseg_front, kalseg, the Python package).  It uses no host.
//
// A call goes in four steps, each a function below:
//   setOption     the options by name, checked one by one (the option table)
//   plan          the image's type and shape against the options: the tree,
//                 the run's parameters, the snapshot budget's share; nothing
//                 is allocated and no sample is read
//   checkValues   one pass over the samples for what the scale needs (no
//                 NaN, values in range, several values kept apart)
//   segment       the grey values written into the caller's buffer, the run,
//                 the labels numbered 1, 2, ... by size and the snapshots
// Between plan and segment the caller allocates what the plan asks for, so
// that an image too large is refused before anything proportional to it
// exists.
//
// Failures carry their identifier and message (identifierOf, messageOf).
#ifndef KALMEX_REGIONSEG_FRONT_FRONT_H
#define KALMEX_REGIONSEG_FRONT_FRONT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <type_traits>
#include <vector>

#include "../common/sampleclasses.h"
#include "../regionseg_core/regionseg.h"

namespace segfront {

// ---------------------------------------------------------------------------
// Failures

enum class Fault {
  kNone,
  kBadOption,     // an option, or an option against the image
  kNotImage,      // the image is not a real numeric or logical array
  kBadImage,      // its shape or its values
  kImageTooLarge, // more than the module takes
  kOutOfMemory,   // the run could not have its memory
  kInterrupted,   // the caller's check stopped the run
  kHost,          // the host made a warning an error: its own to raise
};

struct Failure {
  Fault fault = Fault::kNone;
  std::string text; // after "regionseg: " for the front end's own faults
  explicit operator bool() const { return fault != Fault::kNone; }
};

// A failure of the fault with its text.
inline Failure failure(Fault fault, std::string text = std::string()) {
  Failure f;
  f.fault = fault;
  f.text = std::move(text);
  return f;
}

// The error identifier: kalmex:regionseg:REASON for the front end's own
// faults (kNotImage is badImage too; the Python package raises TypeError for
// it), kalmex:regionseg_core:outOfMemory or :interrupted for a run that
// failed or was stopped.
std::string identifierOf(Fault fault);
// The whole message: "regionseg: " and the text for the front end's own
// faults, the run's text (what ran short, or where it stopped) as it is.
std::string messageOf(const Failure &failure);
// The refusal of an image that is not a real numeric or logical array (the
// caller tells).
Failure notAnImage();

// ---------------------------------------------------------------------------
// Options

enum class Scale { kNone, kMinmax, kClass, kClip };
// The option's word for a scale ("class").
const char *scaleWord(Scale scale);

struct Options {
  // The module's own parameters that are options: criterion, threshold,
  // parallel_grouping ('grouping'), parallel_seeds ('seeds'),
  // seed_any_level, min_region_size, keep_small_stats, outlier_fraction,
  // noise_sigma, confidence_row ('confidence'), size_factor.  plan() adds
  // the tree, the budget and the threads.
  seg_params run;
  int start_level = -1; // -1: min(3, levels - 1)
  int flat_levels = -1; // -1: the fewest that fit the planes
  Scale scale = Scale::kClass;
  bool rgbVolume = false; // 'rgb' 'volume'
  // The memory the snapshots may take in the whole call: above 1 in bytes,
  // up to 1 as a fraction of the physical memory.
  double snapshot_budget = 0.25;
  bool verbose = false; // the run's progress lines are shown (CallSetup::progress)
  // Every option at its default (from the option table).
  Options();
};

// An option's value as the caller's host gives it: a text, a finite real
// number (a host whose true and false are numbers gives 1 and 0), a truth
// value of a host that keeps them apart from numbers (taken by the options
// that are true or false only), or anything else, which every option refuses
// with its own message.
struct OptionValue {
  enum Kind { kOther, kText, kNumber, kBool } kind = kOther;
  std::string text;
  double number = 0; // kBool: 1 or 0
  static OptionValue ofText(const std::string &text);
  static OptionValue ofNumber(double number); // kOther when not finite
  static OptionValue ofBool(bool flag);
};

// A word of the command line as the value of option NAME: a number when the
// whole word reads as a finite one, for an option that is true or false
// also true/on/yes (1) and false/off/no (0), else the text.
OptionValue commandLineValue(const std::string &name, const std::string &word);

// Sets option NAME (any letter case) to VALUE: "" or the message (the
// option's fault; the options stay as they were).
std::string setOption(Options &opts, const std::string &name, const OptionValue &value);

// What an option takes, for callers that show the options (the Python
// package's signature, the tests of the help texts): its name, its kind,
// its default as a command-line word ("" when it is chosen for each image),
// the range of a number (kWhole, kReal; the largest level of start_level,
// which each image lowers) and the words of kWord and kCriterion (null
// ended; null for the others).
enum class OptionKind { kWhole, kReal, kFlag, kWord, kCriterion, kConfidence, kBudget };
struct OptionInfo {
  const char *name;
  OptionKind kind;
  const char *initial;
  double lo, hi;
  const char *const *words;
};
std::vector<OptionInfo> optionTable();

// ---------------------------------------------------------------------------
// Images

// The element type of an image, as the host's class or dtype says: a row
// of the table of classes (sampleclasses.h).
enum class Sample {
#define KX_SAMPLE(name, cls, type, mx, kind, bytes, dtype, kal) k##name,
  KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
};

// Calls f(T()) with the C++ type T of TYPE's stored samples (logical as its
// byte); returns what it returns.
template <typename F> decltype(auto) withSampleType(Sample type, F &&f) {
  switch (type) {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal)                                   \
  case Sample::k##name:                                                                            \
    return f(ctype());
    KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  }
  return f(double());
}

// The class of samples stored as T (uint8_t: uint8, not logical).
template <typename T> constexpr Sample sampleOf() {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal)                                   \
  if (std::is_same<T, ctype>::value && Sample::k##name != Sample::kBool) {                         \
    return Sample::k##name;                                                                        \
  }
  KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  return Sample::kDouble;
}

// The caller's image where it lies: ndims dimensions (dims and strides
// hold the first three; strides in bytes, any sign), samples of the type in
// the host's byte order.  sampleMax is the largest value an integer sample
// can mean (a file's maxval; 0: as the class says).  colourPlanes: an
// M x N x 3 array of any type may be a colour picture (false when a file's
// reader has already turned colour grey and its pages are planes, or when
// the caller's third dimension is not a picture's last axis).  alpha: an
// M x N x 4 array may be one too, with alpha (a caller whose colour pictures
// carry it there, as NumPy's (rows, columns, 4) do), its fourth plane passed
// over as the file readers pass over a file's alpha.
struct ImageView {
  Sample type = Sample::kUint8;
  const void *data = nullptr;
  int ndims = 2;
  int64_t dims[3] = {0, 0, 1};
  int64_t strides[3] = {0, 0, 0};
  double sampleMax = 0;
  bool colourPlanes = true;
  bool alpha = false;
};

// The name of a type in messages, as MATLAB names its class ("uint8",
// "int16", "double", "logical", ...).
const char *className(Sample type);

// ---------------------------------------------------------------------------
// One call

// What the caller brings to a call besides the image and the options.
struct CallSetup {
  bool snapshots = false; // the snapshot stack is wanted
  // The caller's bytes at its peak per byte of the stack the module hands
  // over: the budget's share (see snapshotShare).
  double stackCopies = 1;
  double physicalMemory = 0; // bytes, 0 when unknown
  int32_t threads = 1;
  // Where the progress lines of a verbose run go (null: standard output);
  // a run that is not verbose shows none.
  void (*progress)(const char *line) = nullptr;
  // The run's check (seg_params::check: asked on the calling thread every
  // few milliseconds; true stops the run) and the heap of a caller whose
  // host may end the call inside the run (seg_params::heap).
  bool (*check)(void *data, int32_t stage, double done) = nullptr;
  void *checkData = nullptr;
  seg_heap *heap = nullptr;
};

// The share of the snapshot budget that the module's stack may take: the
// budget in bytes (above 1 as given, else that fraction of the physical
// memory) over the caller's copies of it, 0 for no bound (a fraction of an
// unknown memory).  The final state always has its slice of sliceBytes: a
// budget in bytes below stackCopies x sliceBytes is refused (plan), a share
// of the memory below it is raised to it.
double snapshotShare(double budget, double physicalMemory, double stackCopies);

struct Plan {
  int32_t d1 = 0, d2 = 0, d3 = 1; // the image the run segments (colour turned grey)
  int ndims = 2;                  // 3 for a volume
  bool colour = false;            // an M x N x 3 (or 4, with alpha) picture, turned grey
  Scale scale = Scale::kClass;
  bool snapshots = false;
  double lo = 0, hi = 0;  // the samples' range (set by checkValues when it reads them)
  int distinct = 0;       // their distinct values, up to kLowRangeDistinct (the same;
                          // counted only when they become fewer than kLowRangeGreys)
  double budgetBytes = 0; // the caller's whole budget in bytes (0: no bound)
  seg_params params;      // the run's: the tree, the options, the budget's share
  std::size_t voxels() const {
    return static_cast<std::size_t>(d1) * static_cast<std::size_t>(d2) *
           static_cast<std::size_t>(d3);
  }
};

// The options against the image's type and shape: the refusal, or the plan.
// Reads no sample.
Failure plan(const ImageView &image, const Options &opts, const CallSetup &setup, Plan &out);

// The samples (a colour picture's: its grey values in the class's range)
// against what the plan's scale needs: no NaN; whole numbers in 0..255 for
// 'none'; for 'class' values in 0..1 of a floating-point type and values in
// 0..255 of an integer type whose range is not an image's (int8, int16,
// int32, int64, uint32, uint64, taken as they are); finite values for
// 'minmax' (whose range it notes in the plan).  And whatever the scale, an
// image of several values that it would bring less than one grey value
// apart (a uint16 image holding 0..255 under 'class') is refused.
Failure checkValues(const ImageView &image, Plan &plan);

// The run: the grey values of the image into grey (plan.voxels() entries),
// the module's segmentation of them, and labels (plan.voxels() entries,
// the image's layout; the run's working space before) numbered 1, 2, ... by
// region size.  With snapshots (when the plan has them) the list as the
// driver hands it over, its slices of the image's size, each value one more
// than the value painted; the caller releases it (release_snapshots).  A run
// that failed or was stopped holds nothing and leaves no stack.
Failure segment(const Plan &plan, const ImageView &image, int32_t *grey, int32_t *labels,
                snapshot_list *snapshots);

// The warning of an image that its scale squeezes: it holds more than
// kLowRangeGreys distinct values (checkValues counts up to
// kLowRangeDistinct, in a pass of its own over an image that becomes fewer
// grey values) but the scale brings them to fewer than kLowRangeGreys grey
// values (a 12-bit camera's 0..4095 in a uint16 image under 'class').
// The text (after "regionseg: ") names the range found, the grey values it
// became and the cure, fix, as the caller spells it ("'scale', 'minmax'");
// "" when the image is not squeezed (or checkValues did not read its
// samples: uint8 and logical images, which never are).  Identifier
// kalmex:regionseg:lowRange.  The run is the same either way.
constexpr int kLowRangeGreys = 32;
constexpr int kLowRangeDistinct = kLowRangeGreys + 1;
extern const char *const kLowRangeWarningId;
std::string lowRangeWarning(const ImageView &image, const Plan &plan, const std::string &fix);

// The warning of a run whose stack reached its budget, identifier
// kalmex:regionseg_core:snapshotBudget.
extern const char *const kBudgetWarningId;
std::string budgetWarning(const Plan &plan, int32_t kept);

// The grey value of a colour (0.299 R + 0.587 G + 0.114 B), not rounded.
double luminance(double r, double g, double b);

// ---------------------------------------------------------------------------
// The calling sequence

// What a front door's host does for a call of run(): one adapter each for
// MATLAB and Octave (regionseg_front.cpp), Python (kalmex_ext.cpp) and the
// shell (kalseg's segrun.cpp).  run() asks it, in this order, for the
// memory size (plan), a readable copy of the samples (samplesReady), the
// thread count, the warning of a squeezed image, the labels' and the grey
// values' memory, the run's interrupt and progress lines, the finished
// stack (deliver) and the budget's warning.
class Host {
public:
  virtual ~Host() = default;

  // The door's bytes at its peak per byte of the stack it is handed (see
  // snapshotShare).
  double stackCopies = 1;
  // Where a verbose run's progress lines go, as they come on the calling
  // thread (null: standard output).  A plain function: the run's lines
  // carry no data.
  void (*lines)(const char *line) = nullptr;
  // The heap of a host that may end the call inside the run (seg_params::heap).
  seg_heap *heap = nullptr;

  // The machine's physical memory in bytes (0: unknown), for a budget
  // given as a share of it.
  virtual double physicalMemory();
  // The plan is made: the door may now make a copy of the samples that the
  // front end can read where the caller's are not (another byte order),
  // and point image at it.
  virtual void samplesReady(ImageView &image) { (void)image; }
  // The threads of the run, asked only of an image large enough for a
  // stage to use two; 0 when the host turned its warning into an error,
  // which ends the call (Fault::kHost).
  virtual int32_t threads() = 0;
  // A warning, its identifier and its whole text (a front end's own
  // prefixed with "regionseg: " when prefixOwn): false when the host made
  // it an error, which ends the call (Fault::kHost).
  virtual bool warning(const char *id, const char *text) = 0;
  bool prefixOwn = true;
  // The words that cure a squeezed image, as the door spells the option
  // ("'scale', 'minmax'").
  const char *scaleFix = "'scale', 'minmax'";
  // The labels, plan.voxels() of them in the image's layout, in what
  // becomes the door's output; null when the memory cannot be had.
  virtual int32_t *labels(const Plan &plan) = 0;
  // The grey values, released once the run is over.  null: no memory.
  virtual int32_t *grey(std::size_t voxels) = 0;
  virtual void releaseGrey(int32_t *grey) = 0;
  // Where the snapshot arena's memory comes from (zero: the C library's).
  virtual snapshot_allocator snapshotMemory() { return snapshot_allocator(); }
  // Around the front end's own work on the samples and the run, which ask
  // nothing of the host but interrupted (a door may let go of its lock).
  virtual void working(bool on) { (void)on; }
  // The run's check, on the calling thread every few milliseconds: true
  // stops it (Fault::kInterrupted).
  virtual bool interrupted(int32_t stage, double done) {
    (void)stage;
    (void)done;
    return false;
  }
  // The run succeeded: the labels are written, and with snapshots asked for
  // the stack is there to take (its arena; what is left is released).
  virtual void deliver(const Plan &plan, snapshot_list &stack) {
    (void)plan;
    (void)stack;
  }
};

// One call: the plan, the samples' check, the threads, the warning of a
// squeezed image, the memory, the run, the stack handed over and the
// budget's warning.  The plan of the call is left in plan (its parameters
// as the run had them).  A failure leaves nothing of the run's; a host's
// own error (Fault::kHost) is the host's to raise.
Failure run(const ImageView &image, const Options &opts, bool snapshots, Host &host, Plan &plan);

} // namespace segfront

#endif
