// _kalmex: the host-free cores of kalmex as a Python extension.
//
// regionseg and regionseg_file speak NumPy's order: a volume is (planes,
// rows, columns), a picture (rows, columns), a colour picture (rows,
// columns, 3), and a snapshot stack has its own leading axis; the samples
// are read where they lie, in any layout.  Every other function keeps the
// module's order, axis 0 the first dimension (the first one fastest, as the
// modules store it), and hands the cores their data without a copy when
// the array is already laid out so.  The arguments are
// checked by the same functions the modules use, so the errors carry the
// modules' own texts; ValueError for a wrong value, TypeError for a wrong
// type, MemoryError for a segmentation that memory runs short for.  The
// interpreter lock is released while a core runs; a segmentation on the
// main thread still sees Ctrl-C, and ends with KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arguments.h"
#include "brx_image.h"
#include "imageio.h"
#include "kal.h"
#include "machine.h"
#include "nms.h"
#include "regionseg.h"
#include "repair.h"
#include "threadpool.h"
#include "front.h"
#include "wrapper_words.h"

namespace py = pybind11;

namespace {

// ---------------------------------------------------------------------------
// Arrays

// An array of the dtype in the first-dimension-fastest order of the cores:
// the array itself when it is laid out so, else a copy.
template <typename T> py::array_t<T, py::array::f_style> firstFastest(const py::array &a) {
  auto ordered = py::array_t<T, py::array::f_style>::ensure(a);
  if (!ordered) {
    throw py::error_already_set();
  }
  return ordered;
}

// A NumPy array that owns a vector's data (moved, not copied), in the
// cores' order.
template <typename T>
py::array_t<T> ownedArray(std::vector<T> &&data, const std::vector<py::ssize_t> &shape) {
  auto *held = new std::vector<T>(std::move(data));
  py::capsule owner(held, [](void *p) { delete static_cast<std::vector<T> *>(p); });
  std::vector<py::ssize_t> strides(shape.size());
  py::ssize_t step = sizeof(T);
  for (std::size_t k = 0; k < shape.size(); ++k) {
    strides[k] = step;
    step *= shape[k];
  }
  return py::array_t<T>(shape, strides, held->data(), owner);
}

// sys.stdout.write(text), for lines a core collected while it ran.
void writeOut(const std::string &text) {
  if (!text.empty()) {
    py::module_::import("sys").attr("stdout").attr("write")(text);
  }
}

// Where a warning points: the caller's own line, past the package's
// function that calls the extension (regionseg_core, ...), or past
// regionseg's and regionseg_file's, their lambda and _progress.run.
constexpr int kPastFunction = 2, kPastFront = 4;

// A warning of category; one that the warning filters make an error is
// raised.
void warn(const std::string &text, int level, PyObject *category = PyExc_RuntimeWarning) {
  if (PyErr_WarnEx(category, text.c_str(), level) != 0) {
    throw py::error_already_set();
  }
}

// ---------------------------------------------------------------------------
// regionseg_core

// The progress lines of the run on this thread, kept for the caller when it
// asked for them.
thread_local std::string progressLines;
thread_local bool progressWanted = false;

void collectProgress(const char *line) {
  if (progressWanted) {
    progressLines += line;
  }
}

// The snapshot arena from the C library's allocator, so that a NumPy array
// can take it over and give it back with free().
void *arenaResize(void *block, std::size_t bytes) { return std::realloc(block, bytes); }
void arenaRelease(void *block) { std::free(block); }

// The snapshot stack of a finished run as an array of the image's shape and
// one more axis, the snapshots: it takes the arena over (no copy), and the
// list's cells are released.  The one place that knows the arena's shape.
py::array takeSnapshotStack(snapshot_list &list, const std::vector<py::ssize_t> &imageShape) {
  std::vector<py::ssize_t> shape = imageShape;
  shape.push_back(list.count);
  std::vector<int32_t> none;
  py::array stack;
  if (list.arena.slices == nullptr || list.count == 0) {
    stack = ownedArray(std::move(none), shape);
  } else {
    int32_t *slices = list.arena.slices;
    list.arena.slices = nullptr;
    list.arena.capacity = 0;
    py::capsule owner(slices, [](void *p) { std::free(p); });
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t step = sizeof(int32_t);
    for (std::size_t k = 0; k < shape.size(); ++k) {
      strides[k] = step;
      step *= shape[k];
    }
    stack = py::array_t<int32_t>(shape, strides, slices, owner);
  }
  release_snapshots(list);
  return stack;
}

// The interpreter's main thread, the only one Python runs its signal
// handlers on (set when the module is imported).
unsigned long interpreterMainThread = 0;

// A segmentation's watch.  For KeyboardInterrupt: on the main thread only,
// at most every 20 ms, Python's signal handlers run.  For the caller's
// progress callable (a borrowed reference, the caller's for the call), on
// any thread: it hears each stage as it starts, the end, and how far the
// run is at most every 50 ms between.  Either with the interpreter lock
// taken for the moment; the exception either raises is kept for the
// caller, and the run stops.
struct RunWatch {
  bool mainThread = false;
  std::chrono::steady_clock::time_point next;
  PyObject *progress = nullptr;
  int32_t stageShown = -1;
  std::chrono::steady_clock::time_point nextShown;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
};

bool pythonCheck(void *data, int32_t stage, double done) {
  RunWatch &w = *static_cast<RunWatch *>(data);
  if (!w.mainThread && w.progress == nullptr) {
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool signals = w.mainThread && now >= w.next;
  const bool show =
      w.progress != nullptr && (stage != w.stageShown || done >= 1.0 || now >= w.nextShown);
  if (!signals && !show) {
    return false;
  }
  py::gil_scoped_acquire locked;
  if (signals) {
    w.next = now + std::chrono::milliseconds(20);
    if (PyErr_CheckSignals() != 0) {
      PyErr_Fetch(&w.type, &w.value, &w.traceback);
      return true;
    }
  }
  if (show) {
    w.stageShown = stage;
    w.nextShown = now + std::chrono::milliseconds(50);
    PyObject *said = PyObject_CallFunction(w.progress, "sd", stage_name(stage), done);
    if (said == nullptr) {
      PyErr_Fetch(&w.type, &w.value, &w.traceback);
      return true;
    }
    Py_DECREF(said);
  }
  return false;
}

// The run's check set to w, with the caller's progress callable (None:
// none), with the interpreter lock held.
void watchRun(seg_params &p, RunWatch &w, const py::object &progress = py::none()) {
  w.mainThread = PyThread_get_thread_ident() == interpreterMainThread;
  w.progress = progress.is_none() ? nullptr : progress.ptr();
  p.check = pythonCheck;
  p.check_data = &w;
}

// Raises what ended a run that did not succeed (with the lock held): the
// exception the signal handler or the progress callable raised, or
// MemoryError saying what ran short.
void raiseRunFailure(int32_t status, const seg_failure &why, RunWatch &w) {
  if (status == SEG_OK) {
    return;
  }
  if (status == SEG_STOPPED && w.type != nullptr) {
    PyErr_Restore(w.type, w.value, w.traceback);
    throw py::error_already_set();
  }
  char text[200];
  format_failure(status, why, text, sizeof text);
  PyErr_SetString(status == SEG_STOPPED ? PyExc_KeyboardInterrupt : PyExc_MemoryError, text);
  throw py::error_already_set();
}

[[noreturn]] void raiseRefusal(const seg_refusal &r, bool typeError = false) {
  char text[200];
  format_refusal(r, text, sizeof text);
  if (typeError) {
    throw py::type_error(text);
  }
  throw py::value_error(text);
}

// The value of a scalar parameter, as the module reads one: a real number
// or a bool (NumPy's too); arrays give their first element.
double parameterValue(const py::handle &o, int pos) {
  seg_refusal r = seg_refusal_of(pos, "must be a real numeric or logical value.");
  double v = 0;
  if (py::isinstance<py::bool_>(o) || py::isinstance<py::int_>(o) ||
      py::isinstance<py::float_>(o)) {
    v = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(o)));
  } else if (py::isinstance<py::array>(o) || py::hasattr(o, "dtype")) {
    py::array a = py::array::ensure(o);
    const char kind = a ? a.dtype().kind() : 'O';
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
      raiseRefusal(r, true);
    }
    if (a.size() == 0) {
      r.what = "must not be empty.";
      raiseRefusal(r);
    }
    v = py::cast<double>(py::float_(a.attr("flat")[py::int_(0)]));
  } else {
    raiseRefusal(r, true);
  }
  if (!check_parameter_value(pos, v, r)) {
    raiseRefusal(r);
  }
  return v;
}

// The image of a regionseg_core call: int32, two or three dimensions, in
// the module's order (a copy only when it is not).
py::array_t<int32_t, py::array::f_style> coreImage(const py::handle &obj, int32_t dims[3],
                                                   int &ndims) {
  seg_refusal r;
  py::array a = py::array::ensure(obj);
  if (!check_image_type(a && a.dtype().kind() == 'i' && a.itemsize() == 4, r)) {
    raiseRefusal(r, true);
  }
  ndims = static_cast<int>(a.ndim());
  bool fits = ndims >= 2 && ndims <= 3;
  for (int k = 0; k < 3; ++k) {
    const py::ssize_t n = k < ndims ? a.shape(k) : 1;
    fits = fits && n <= 2147483647;
    dims[k] = fits ? static_cast<int32_t>(n) : 0;
  }
  if (!check_image_shape(dims, ndims, fits, r)) {
    raiseRefusal(r);
  }
  return firstFastest<int32_t>(a);
}

// One run of the driver with its outputs as arrays.
py::object runSplitMerge(const py::array_t<int32_t, py::array::f_style> &image,
                         const int32_t dims[3], int ndims, seg_params p, bool snapshots,
                         bool verbose) {
  std::vector<py::ssize_t> shape(dims, dims + ndims);
  py::array_t<int32_t, py::array::f_style> labels(shape);
  snapshot_list list = {};
  list.arena.allocator.resize = arenaResize;
  list.arena.allocator.release = arenaRelease;
  p.progress = collectProgress;
  RunWatch watch;
  watchRun(p, watch);
  const int32_t *grey = image.data();
  int32_t *out = labels.mutable_data();
  std::string lines;
  seg_failure why = {};
  int32_t status = SEG_OK;
  {
    py::gil_scoped_release unlocked;
    progressLines.clear();
    progressWanted = verbose;
    status =
        split_merge(grey, dims[0], dims[1], dims[2], p, out, snapshots ? &list : nullptr, &why);
    lines.swap(progressLines);
  }
  writeOut(lines);
  raiseRunFailure(status, why, watch);
  if (!snapshots) {
    return std::move(labels);
  }
  const bool budgetReached = list.budget_reached;
  const int32_t count = list.count;
  py::array stack = takeSnapshotStack(list, shape);
  if (budgetReached) {
    char text[200];
    format_budget_warning(static_cast<double>(p.snapshot_budget), count, text, sizeof text);
    warn(text, kPastFunction);
  }
  return py::make_tuple(labels, stack);
}

py::object regionsegCore(const py::handle &image, const py::sequence &params,
                         const py::object &budget, bool snapshots, bool verbose) {
  int32_t dims[3];
  int ndims = 0;
  auto grey = coreImage(image, dims, ndims);
  double value[arg_count] = {0};
  int count = arg_required;
  for (int pos = 1; pos < arg_required; ++pos) {
    value[pos] = parameterValue(params[static_cast<std::size_t>(pos - 1)], pos);
  }
  if (!budget.is_none()) {
    value[arg_snapshot_budget] = parameterValue(budget, arg_snapshot_budget);
    count = arg_count;
  }
  seg_params p;
  seg_refusal r;
  if (!seg_params_from_values(value, count, dims, ndims, kxPhysicalMemoryBytes(), p, r)) {
    raiseRefusal(r);
  }
  if (!check_grey_values(grey.data(), dims[0] * dims[1] * dims[2], r)) {
    raiseRefusal(r);
  }
  return runSplitMerge(grey, dims, ndims, p, snapshots, verbose);
}

py::object splitMerge(const py::handle &image, const seg_params &params, bool snapshots,
                      bool verbose) {
  int32_t dims[3];
  int ndims = 0;
  auto grey = coreImage(image, dims, ndims);
  seg_refusal r;
  if (!check_seg_params(params, dims, ndims, r) ||
      !check_grey_values(grey.data(), dims[0] * dims[1] * dims[2], r)) {
    raiseRefusal(r);
  }
  return runSplitMerge(grey, dims, ndims, params, snapshots, verbose);
}

// ---------------------------------------------------------------------------
// regionseg: the front end (front.h), as regionseg.m calls it

// A failure of the front end: TypeError for an image that is not one,
// MemoryError for memory that could not be had, for a stopped run the
// exception that stopped it (KeyboardInterrupt, or the progress
// callable's), else ValueError.
[[noreturn]] void raiseFailure(const segfront::Failure &f, RunWatch *watch = nullptr) {
  const std::string text = segfront::messageOf(f);
  if (f.fault == segfront::Fault::kNotImage) {
    throw py::type_error(text);
  }
  if (f.fault == segfront::Fault::kInterrupted && watch != nullptr && watch->type != nullptr) {
    PyErr_Restore(watch->type, watch->value, watch->traceback);
    throw py::error_already_set();
  }
  if (f.fault == segfront::Fault::kOutOfMemory || f.fault == segfront::Fault::kInterrupted) {
    PyErr_SetString(f.fault == segfront::Fault::kOutOfMemory ? PyExc_MemoryError
                                                             : PyExc_KeyboardInterrupt,
                    text.c_str());
    throw py::error_already_set();
  }
  throw py::value_error(text);
}

// An option's value as the front end reads one: a str is a text, a bool
// (NumPy's too) a truth value, which only the options that are true or false
// take, a real number (NumPy's too) a number, anything else neither.
segfront::OptionValue optionValue(const py::handle &value) {
  if (py::isinstance<py::str>(value)) {
    return segfront::OptionValue::ofText(py::cast<std::string>(value));
  }
  const py::object numpyBool = py::module_::import("numpy").attr("bool_");
  const py::object real = py::module_::import("numbers").attr("Real");
  if (py::isinstance<py::bool_>(value) || py::isinstance(value, numpyBool)) {
    return segfront::OptionValue::ofBool(PyObject_IsTrue(value.ptr()) == 1);
  }
  if (py::isinstance(value, real)) {
    try {
      return segfront::OptionValue::ofNumber(
          py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(value))));
    } catch (const py::error_already_set &) {
      return segfront::OptionValue(); // beyond a double
    }
  }
  return segfront::OptionValue();
}

// The options given (None: the default).
segfront::Options frontOptions(const py::dict &options) {
  segfront::Options opts;
  for (auto item : options) {
    if (item.second.is_none()) {
      continue;
    }
    const std::string e =
        segfront::setOption(opts, py::cast<std::string>(item.first), optionValue(item.second));
    if (!e.empty()) {
      throw py::value_error("regionseg: " + e);
    }
  }
  return opts;
}

// The options' names and defaults for regionseg's signature, in the
// table's order: a whole number an int, true or false a bool, a real number
// a float, a word a str, None for what is chosen for each image.
py::list regionsegOptions() {
  py::list out;
  for (const segfront::OptionInfo &o : segfront::optionTable()) {
    const std::string initial = o.initial;
    py::object value = py::none();
    if (initial.empty()) {
      value = py::none();
    } else if (o.kind == segfront::OptionKind::kWord ||
               o.kind == segfront::OptionKind::kCriterion) {
      value = py::str(initial);
    } else if (o.kind == segfront::OptionKind::kFlag) {
      value = py::bool_(initial == "true");
    } else if (o.kind == segfront::OptionKind::kWhole) {
      value = py::int_(std::stol(initial));
    } else {
      value = py::float_(std::stod(initial));
    }
    out.append(py::make_tuple(o.name, value));
  }
  return out;
}

// The dtype of a class of samples.
const char *dtypeOf(segfront::Sample s) {
  static const char *const dtypes[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal) dtype,
      KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  };
  return dtypes[static_cast<int>(s)];
}

// An array's samples as the front end reads them: the type, and the dtype
// the array must first be converted to when the front end cannot read it
// where it lies (another byte order, half or extended precision).
bool sampleOf(const py::dtype &d, segfront::Sample &s, py::object &convertTo) {
  using segfront::Sample;
  const char kind = d.kind();
  const int bytes = static_cast<int>(d.itemsize());
  struct Type {
    char kind;
    int bytes;
    Sample sample;
    const char *dtype;
  };
  // The classes of the table, then the floating-point dtypes read as
  // the nearest class holding them (half precision as single, extended as
  // double).
  static const Type types[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal)                                   \
  {kind, bytes, Sample::k##name, dtype},
      KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
          {'f', 2, Sample::kSingle, "f4"},
      {'f', 12, Sample::kDouble, "f8"},
      {'f', 16, Sample::kDouble, "f8"},
  };
  for (const Type &t : types) {
    if (t.kind == kind && t.bytes == bytes) {
      s = t.sample;
      const bool native = py::cast<bool>(d.attr("isnative"));
      const bool same = py::dtype(t.dtype).itemsize() == bytes;
      convertTo = native && same ? py::none() : py::object(py::dtype(t.dtype));
      return true;
    }
  }
  return false;
}

// Whether an array in NumPy's order is a volume, (planes, rows, columns):
// a 3-D array but a colour picture, (rows, columns, 3) or with alpha
// (rows, columns, 4), which 'rgb' 'volume' makes a volume too.
bool numpyVolume(const py::array &a, const segfront::Options &opts) {
  return a.ndim() == 3 && ((a.shape(2) != 3 && a.shape(2) != 4) || opts.rgbVolume);
}

// The array's samples where they lie, in the front end's order, rows
// first: a volume's planes become its third dimension.
void attach(segfront::ImageView &view, const py::array &a, bool volume) {
  static const int pictureAxes[3] = {0, 1, 2}, volumeAxes[3] = {1, 2, 0};
  const int *axes = volume ? volumeAxes : pictureAxes;
  view.ndims = static_cast<int>(a.ndim());
  view.data = a.data();
  for (int k = 0; k < 3; ++k) {
    const bool has = k < a.ndim();
    view.dims[k] = has ? static_cast<int64_t>(a.shape(axes[k])) : 1;
    view.strides[k] = has ? static_cast<int64_t>(a.strides(axes[k])) : 0;
  }
  // A volume's third dimension is its planes, never a picture's colours
  // (with alpha or without).
  view.colourPlanes = !volume;
  view.alpha = !volume;
}

// An array of the run's order (first dimension fastest) in NumPy's: the
// planes of a volume first, and a snapshot stack's snapshots before them.
py::array numpyOrder(const py::array &run, int imageDims, bool stack) {
  if (imageDims == 3) {
    return stack ? py::array(run.attr("transpose")(3, 2, 0, 1))
                 : py::array(run.attr("transpose")(2, 0, 1));
  }
  return stack ? py::array(run.attr("transpose")(2, 0, 1)) : run;
}

// The threads of the last front-end run on this thread, as its parameters
// had them (for the test that the keyword reaches the run).
thread_local int32_t lastRunThreads = 0;

// The Python host of a front-end run: NumPy's arrays for the labels and the
// stack, the interpreter lock let go while the front end works, the
// progress lines collected for sys.stdout, KeyboardInterrupt and the
// progress callable through the run's check (RunWatch), and Python's
// warnings.  A warning the filters made an error, or an exception of
// NumPy's, is pending in the interpreter when run() returns Fault::kHost.
class PythonHost : public segfront::Host {
public:
  PythonHost(int32_t threads, py::array keep, py::object convertTo, bool volume,
             const py::object &progress)
      : threads_(threads), keep_(std::move(keep)), convertTo_(std::move(convertTo)),
        volume_(volume) {
    stackCopies = 1; // the stack becomes the array as it is
    lines = collectProgress;
    scaleFix = "scale=\"minmax\"";
    seg_params p;
    watchRun(p, watch_, progress);
  }
  ~PythonHost() override { working(false); }

  // The keyword's count, else KALMEX_THREADS' rule, a value it passes over
  // said as a RuntimeWarning.
  int32_t threads() override {
    if (threads_ > 0) {
      return threads_;
    }
    char warning[kxThreadWarningSize];
    const int n = kxEnvironmentThreads(warning, sizeof warning);
    if (warning[0] != '\0' && PyErr_WarnEx(PyExc_RuntimeWarning, warning, kPastFront) != 0) {
      return 0;
    }
    return n;
  }
  bool warning(const char *id, const char *text) override {
    py::object category = py::reinterpret_borrow<py::object>(PyExc_RuntimeWarning);
    if (std::strcmp(id, segfront::kLowRangeWarningId) == 0) {
      // kalmex.LowRangeWarning (a UserWarning when the package is not there).
      category = py::reinterpret_borrow<py::object>(PyExc_UserWarning);
      try {
        category = py::module_::import("kalmex").attr("LowRangeWarning");
      } catch (const py::error_already_set &) {
      }
    }
    return PyErr_WarnEx(category.ptr(), text, kPastFront) == 0;
  }
  void samplesReady(segfront::ImageView &image) override {
    if (!convertTo_.is_none()) {
      keep_ = py::array(keep_.attr("astype")(convertTo_));
      attach(image, keep_, volume_);
    }
  }
  int32_t *labels(const segfront::Plan &plan) override {
    shape_ = {plan.d1, plan.d2};
    if (plan.ndims == 3) {
      shape_.push_back(plan.d3);
    }
    labels_ = py::array_t<int32_t, py::array::f_style>(shape_);
    return labels_.mutable_data();
  }
  int32_t *grey(std::size_t voxels) override { return new (std::nothrow) int32_t[voxels]; }
  void releaseGrey(int32_t *grey) override { delete[] grey; }
  snapshot_allocator snapshotMemory() override { return {arenaResize, arenaRelease}; }
  void working(bool on) override {
    if (on && unlocked_ == nullptr) {
      progressLines.clear();
      progressWanted = true;
      unlocked_ = PyEval_SaveThread();
    } else if (!on && unlocked_ != nullptr) {
      PyEval_RestoreThread(unlocked_);
      unlocked_ = nullptr;
    }
  }
  bool interrupted(int32_t stage, double done) override {
    return pythonCheck(&watch_, stage, done);
  }
  void deliver(const segfront::Plan &plan, snapshot_list &stack) override {
    labelsOut_ = numpyOrder(labels_, plan.ndims, false);
    if (plan.snapshots) {
      stack_ = numpyOrder(takeSnapshotStack(stack, shape_), plan.ndims, true);
    }
  }

  // What the call returns, or raises what ended it.
  py::object outcome(const segfront::Failure &f, const segfront::Plan &plan) {
    std::string lines;
    lines.swap(progressLines);
    writeOut(lines);
    if (f.fault == segfront::Fault::kHost || PyErr_Occurred() != nullptr) {
      throw py::error_already_set();
    }
    if (f) {
      raiseFailure(f, &watch_);
    }
    lastRunThreads = plan.params.threads;
    if (!plan.snapshots) {
      return labelsOut_;
    }
    return py::make_tuple(labelsOut_, stack_);
  }

private:
  int32_t threads_;
  py::array keep_;
  py::object convertTo_;
  bool volume_;
  RunWatch watch_;
  PyThreadState *unlocked_ = nullptr;
  std::vector<py::ssize_t> shape_;
  py::array_t<int32_t, py::array::f_style> labels_;
  py::object labelsOut_, stack_;
};

// The thread count of the keyword: None for KALMEX_THREADS' rule (0 here),
// else a whole number 1 to 1024.
int32_t threadsOf(const py::object &threads) {
  if (threads.is_none()) {
    return 0;
  }
  long n = 0;
  PyObject *whole = py::isinstance<py::bool_>(threads) ? nullptr : PyNumber_Index(threads.ptr());
  if (whole != nullptr) {
    n = PyLong_AsLong(whole);
    Py_DECREF(whole);
  }
  PyErr_Clear();
  if (n < 1 || n > kxMaxThreads) {
    throw py::value_error("regionseg: threads must be a whole number 1 to " +
                          std::to_string(kxMaxThreads) + ", or None.");
  }
  return static_cast<int32_t>(n);
}

// The run of the view with the Python host; keep, converted first to
// convertTo, is the array of view (a volume in NumPy's order when volume).
py::object runFront(const segfront::ImageView &view, const segfront::Options &opts, bool snapshots,
                    const py::object &progress, const py::object &threads,
                    py::array keep = py::array(), py::object convertTo = py::none(),
                    bool volume = false) {
  PythonHost host(threadsOf(threads), std::move(keep), std::move(convertTo), volume, progress);
  segfront::Plan plan;
  const segfront::Failure f = segfront::run(view, opts, snapshots, host, plan);
  return host.outcome(f, plan);
}

py::object regionseg(const py::handle &image, const py::dict &options, bool snapshots,
                     const py::object &progress, const py::object &threads) {
  const segfront::Options opts = frontOptions(options);
  py::array a = py::array::ensure(image);
  segfront::ImageView view;
  py::object convertTo;
  if (!a || !sampleOf(a.dtype(), view.type, convertTo)) {
    PyErr_Clear();
    raiseFailure(segfront::notAnImage());
  }
  const bool volume = numpyVolume(a, opts);
  attach(view, a, volume);
  return runFront(view, opts, snapshots, progress, threads, a, convertTo, volume);
}

// A file that could not be read: MemoryError when memory ran short for it,
// else ValueError.
[[noreturn]] void raiseReadFailure(const std::string &text) {
  if (kalseg::isOutOfMemory(text)) {
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw py::error_already_set();
  }
  throw py::value_error(text);
}

// The same on an image file that kalseg reads (PNG, PGM, TIFF).
py::object regionsegFile(const std::string &path, const py::dict &options, bool snapshots,
                         const py::object &progress, const py::object &threads) {
  const segfront::Options opts = frontOptions(options);
  kalseg::Volume v;
  std::string e;
  {
    py::gil_scoped_release unlocked;
    e = kalseg::readImage(path, v, kalseg::kMaxSide);
  }
  if (!e.empty()) {
    raiseReadFailure("regionseg: " + e);
  }
  return runFront(kalseg::viewOf(v), opts, snapshots, progress, threads);
}

// The image of a file as regionseg_file reads it, for the tests: its
// samples in their class (d1 x d2, or x d3 for several pages) and the
// largest value they may mean (0: the class's range).
py::tuple readImageFile(const std::string &path) {
  kalseg::Volume v;
  std::string e;
  {
    py::gil_scoped_release unlocked;
    e = kalseg::readImage(path, v, kalseg::kMaxSide);
  }
  if (!e.empty()) {
    raiseReadFailure(e);
  }
  std::vector<py::ssize_t> shape = {v.d1, v.d2};
  if (v.d3 > 1) {
    shape.push_back(v.d3);
  }
  const py::dtype type(dtypeOf(v.type));
  std::vector<py::ssize_t> strides = {type.itemsize(), type.itemsize() * v.d1};
  if (v.d3 > 1) {
    strides.push_back(strides[1] * v.d2);
  }
  py::array out(type, shape, strides);
  std::memcpy(out.mutable_data(), v.bytes.data(), v.bytes.size());
  return py::make_tuple(out, v.maxval);
}

// ---------------------------------------------------------------------------
// edgethin

py::array edgethin(const py::handle &strength, const py::handle &gc, const py::handle &gr) {
  py::array in[3] = {py::array::ensure(strength), py::array::ensure(gc), py::array::ensure(gr)};
  NmsInput checked[3] = {};
  for (int k = 0; k < 3; ++k) {
    const py::array &a = in[k];
    checked[k].realDouble = a && a.dtype().kind() == 'f' && a.itemsize() == 8;
    checked[k].sparse = false;
    checked[k].ndims = a ? static_cast<std::size_t>(a.ndim()) : 0;
    checked[k].rows = a && a.ndim() > 0 ? static_cast<std::size_t>(a.shape(0)) : 0;
    checked[k].cols = a && a.ndim() > 1 ? static_cast<std::size_t>(a.shape(1)) : 0;
  }
  NmsFault fault;
  if (findNmsFault(3, 1, checked, &fault)) {
    if (std::strcmp(fault.reason, "notReal") == 0) {
      throw py::type_error(fault.message);
    }
    throw py::value_error(fault.message);
  }
  auto d = firstFastest<double>(in[0]);
  auto c = firstFastest<double>(in[1]);
  auto r = firstFastest<double>(in[2]);
  const std::size_t rows = checked[0].rows, cols = checked[0].cols;
  py::array_t<double, py::array::f_style> out(
      {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
  const double *pd = d.data(), *pc = c.data(), *pr = r.data();
  double *po = out.mutable_data();
  {
    py::gil_scoped_release unlocked;
    suppressNonMaxima(pd, pc, pr, po, rows, cols);
  }
  return std::move(out);
}

// ---------------------------------------------------------------------------
// tiffmend

const char *outcomeName(RepairOutcome o) {
  switch (o) {
  case kRepairUnopened:
    return "not opened";
  case kRepairFailed:
    return "failed";
  case kRepairFixed:
    return "fixed";
  case kRepairNothing:
    return "nothing to fix";
  case kRepairOptions:
    break;
  }
  return "";
}

// Each input as the module reads it: bytes (a file name or option word)
// or None (not a name: passed over).  Returns (name, outcome) per file.
py::list tiffmend(const std::vector<py::object> &inputs) {
  if (inputs.empty()) {
    throw py::value_error("Expected at least one input file name.");
  }
  std::vector<std::string> texts;
  std::vector<bool> isName;
  for (const py::object &o : inputs) {
    isName.push_back(!o.is_none());
    texts.push_back(o.is_none() ? std::string() : py::cast<std::string>(py::bytes(o)));
  }
  std::vector<std::pair<std::string, RepairOutcome>> outcomes;
  std::string printed;
  {
    py::gil_scoped_release unlocked;
    repairReport().clear();
    RepairState state = newRepairState(gatherRepairReport);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!isName[i]) {
        if (state.verbose) {
          gatherRepairReport("Skipping an input that is not a file name.\n");
        }
        continue;
      }
      // The module reads at most 1023 characters; a longer name, or one
      // with a zero character, is not opened.
      const std::string &t = texts[i];
      const std::string cut = t.substr(0, 1023).c_str();
      const RepairOutcome o = repairArgument(cut.c_str(), cut.size() == t.size(), &state);
      if (o != kRepairOptions) {
        outcomes.emplace_back(t, o);
      }
    }
    printed.swap(repairReport());
  }
  writeOut(printed);
  py::list result;
  for (const auto &o : outcomes) {
    result.append(py::make_tuple(py::bytes(o.first), outcomeName(o.second)));
  }
  return result;
}

// ---------------------------------------------------------------------------
// The image-library wrappers

// The call's resource list, released on every path, and the arrays its images
// read.
struct Resources {
  kal_Resources rs = nullptr;
  Resources() { check(kal_ResourcesNew(&rs, 0)); }
  ~Resources() { kal_ErrorFree(kal_ResourcesFree(&rs)); }
  Resources(const Resources &) = delete;
  Resources &operator=(const Resources &) = delete;

  // Raises the library's failure, prefixed with the argument whose
  // conversion failed when there is one.
  static void check(kal_Error e, int position = 0, const char *argument = nullptr) {
    if (e == nullptr) {
      return;
    }
    std::string text = kal_ErrorText(e);
    kal_ErrorFree(e);
    if (argument != nullptr) {
      text = "Argument " + std::to_string(position) + " (" + argument + "): " + text;
      throw py::type_error(text);
    }
    if (text.find("Out of memory.") != std::string::npos) {
      PyErr_SetString(PyExc_MemoryError, text.c_str());
      throw py::error_already_set();
    }
    throw py::value_error(text);
  }

  // The argument at that position as an image of the call (its array kept
  // alive in keep), or, for the mask, nullptr where it is empty; and an
  // empty image for the operation to fill.
  kal_Image image(const py::handle &obj, int position, const char *argument);
  kal_Image mask(const py::handle &obj, int position);
  kal_Image output();

  std::vector<py::array> keep;
};

struct DtypeType {
  char kind;
  int bytes;
  kal_DataType type;
};

const DtypeType kDtypeTypes[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal) {kind, bytes, kal},
    KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
};

// An image reading the array (kept alive in keep), registered in rs: the
// library's conversion of a host array, for NumPy.  Its sizes are the
// array's with trailing singleton dimensions dropped.
kal_Error imageOfArray(const py::handle &obj, kal_Image *image, kal_Resources rs,
                       std::vector<py::array> &keep) {
  const char *op = "kalmex";
  py::array a = py::array::ensure(obj);
  if (!a) {
    PyErr_Clear();
    return kal_ErrorNew(op, nullptr, "Cannot make an image of a %s.",
                        py::cast<std::string>(py::str(py::type::of(obj).attr("__name__"))).c_str());
  }
  kal_DataType type = kal_DT_NONE;
  for (const DtypeType &e : kDtypeTypes) {
    if (e.kind == a.dtype().kind() && e.bytes == a.itemsize()) {
      type = e.type;
    }
  }
  if (type == kal_DT_NONE) {
    return kal_ErrorNew(op, nullptr, "Cannot make an image of a %s array.",
                        py::cast<std::string>(py::str(a.dtype())).c_str());
  }
  int32_t sizes[KAL_MAX_DIMENSIONS];
  int32_t count = 0;
  kal_Error e = imageSizesOf(op, static_cast<int>(a.ndim()), a.shape(), sizes, &count);
  if (e != nullptr) {
    return e;
  }
  py::array ordered = py::array::ensure(a, py::array::f_style);
  keep.push_back(ordered);
  return attachImage(op, type, count, sizes, ordered.data(), image, rs);
}

// An image's pixels as a new array of its type and sizes (at least two).
py::array arrayOfImage(kal_Image image) {
  kal_DataType type = kal_DT_NONE;
  int32_t count = 0;
  const void *pixels = nullptr;
  Resources::check(kal_ImageGetDataType(image, &type));
  Resources::check(kal_ImageGetDimensionality(image, &count));
  Resources::check(kal_ImageGetPixels(image, &pixels));
  static const struct {
    kal_DataType type;
    const char *dtype;
  } formats[] = {
#define KX_SAMPLE(name, cls, ctype, mx, kind, bytes, dtype, kal) {kal, dtype},
      KX_SAMPLE_CLASSES(KX_SAMPLE)
#undef KX_SAMPLE
  };
  const char *format = nullptr;
  for (const auto &f : formats) {
    format = f.type == type ? f.dtype : format;
  }
  if (format == nullptr) {
    throw py::value_error("The image has no pixels.");
  }
  std::vector<py::ssize_t> shape;
  std::size_t total = 1;
  for (int i = 0; i < (count < 2 ? 2 : count); ++i) {
    int32_t size = 1;
    if (i < count) {
      Resources::check(kal_ImageGetSize(image, i, &size));
    }
    shape.push_back(size);
    total *= static_cast<std::size_t>(size);
  }
  py::array out(py::dtype(format), shape, std::vector<py::ssize_t>{});
  py::array ordered = py::array::ensure(out, py::array::f_style);
  if (total > 0) {
    std::memcpy(ordered.mutable_data(), pixels, total * kal_DataTypeSize(type));
  }
  return ordered;
}

[[noreturn]] void argumentFault(const char *message, int position, bool typeError) {
  char text[128];
  std::snprintf(text, sizeof text, message, position);
  if (typeError) {
    throw py::type_error(text);
  }
  throw py::value_error(text);
}

bool isEmptyImage(const py::handle &o) {
  if (o.is_none()) {
    return true;
  }
  py::array a = py::array::ensure(o);
  if (!a) {
    PyErr_Clear();
  }
  return a && a.size() == 0;
}

kal_Image Resources::image(const py::handle &obj, int position, const char *argument) {
  kal_Image made = nullptr;
  check(imageOfArray(obj, &made, rs, keep), position, argument);
  return made;
}

kal_Image Resources::mask(const py::handle &obj, int position) {
  return isEmptyImage(obj) ? nullptr : image(obj, position, "mask");
}

kal_Image Resources::output() {
  kal_Image made = nullptr;
  check(kal_ImageNew(&made, rs));
  return made;
}

// An option word: None or "" gives code 0; else a word of the table (cut to
// 49 characters, as the modules read it).
template <int Entries>
int32_t readWord(const py::handle &o, int position, const WordCode (&table)[Entries]) {
  if (o.is_none()) {
    return 0;
  }
  if (!py::isinstance<py::str>(o)) {
    argumentFault(kNotStringMessage, position, true);
  }
  const std::string word = py::cast<std::string>(o).substr(0, kWordBufferSize - 1);
  if (word.empty()) {
    return 0;
  }
  int32_t code = 0;
  if (!lookupWord(table, word.c_str(), &code)) {
    argumentFault(kUnknownWordMessage, position, false);
  }
  return code;
}

// A real number that is not a bool (the modules' real scalar).
bool realScalar(const py::handle &o, double *v) {
  if (py::isinstance<py::bool_>(o)) {
    return false;
  }
  py::object number = py::module_::import("numbers").attr("Real");
  if (!py::isinstance(o, number)) {
    return false;
  }
  if (py::hasattr(o, "dtype") && py::array::ensure(o).dtype().kind() == 'b') {
    return false;
  }
  *v = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(o)));
  return true;
}

// A whole, finite real number within 32 bits.
bool integerScalar(const py::handle &o, int32_t *value) {
  double v = 0;
  if (!realScalar(o, &v) || !std::isfinite(v) || v != std::trunc(v) || v < -2147483648.0 ||
      v > 2147483647.0) {
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

py::array peakfit(const py::handle &image, const py::handle &mask, const py::handle &method) {
  Resources res;
  const kal_Image input = res.image(image, 1, "image");
  const kal_Image maskImage = res.mask(mask, 2);
  const int32_t code = readWord(method, 3, kPeakMethods);
  int32_t dims = 0;
  Resources::check(kal_ImageGetDimensionality(input, &dims));
  kal_ImageArray *coordinates = nullptr;
  Resources::check(kal_ImageArrayNew(&coordinates, dims, res.rs));
  for (int32_t i = 0; i < dims; ++i) {
    Resources::check(kal_ImageNew(&coordinates->array[i], res.rs));
  }
  kal_Error e = nullptr;
  {
    py::gil_scoped_release unlocked;
    e = kal_SubpixelMaxima(input, maskImage, coordinates, code);
  }
  Resources::check(e);
  // A 0-D image has no coordinate image to ask: no maxima, the 0 x 2 result.
  if (dims == 0) {
    return py::array_t<double, py::array::f_style>(std::vector<py::ssize_t>{0, 2});
  }
  kal_IntegerArray *sizes = nullptr;
  Resources::check(kal_ImageGetDimensions(coordinates->array[0], &sizes, res.rs));
  if (sizes->count <= 0) {
    return py::array_t<double, py::array::f_style>(std::vector<py::ssize_t>{0, 2});
  }
  const int32_t n = sizes->array[0];
  py::array_t<double, py::array::f_style> out(
      {static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(dims)});
  kal_DataArray *data = nullptr;
  Resources::check(kal_ImageGetData(coordinates, &data, 0, 0, 0, 0, 0, res.rs));
  double *po = out.mutable_data();
  for (int32_t j = 0; j < dims; ++j) {
    const float *column = static_cast<const float *>(data->array[j]);
    for (int32_t k = 0; k < n; ++k) {
      *po++ = static_cast<double>(column[k]);
    }
  }
  return std::move(out);
}

py::array turnvolume(const py::handle &image, const py::handle &angle, const py::handle &axis,
                     const py::handle &interpolation, const py::handle &fill) {
  Resources res;
  const kal_Image input = res.image(image, 1, "image");
  const kal_Image output = res.output();
  double a = 0;
  if (!realScalar(angle, &a)) {
    argumentFault(kNotRealScalarMessage, 2, true);
  }
  int32_t ax = 0;
  if (!integerScalar(axis, &ax)) {
    argumentFault(kNotIntegerMessage, 3, true);
  }
  const int32_t ip = readWord(interpolation, 4, kInterpolations);
  const int32_t fl = readWord(fill, 5, kFills);
  kal_Error e = nullptr;
  {
    py::gil_scoped_release unlocked;
    e = kal_TurnVolume(input, output, a, ax, ip, fl);
  }
  Resources::check(e);
  return arrayOfImage(output);
}

py::array troughfind(const py::handle &image, const py::handle &mask, const py::handle &dimension,
                     const py::handle &flag) {
  Resources res;
  const kal_Image input = res.image(image, 1, "image");
  const kal_Image maskImage = res.mask(mask, 2);
  const kal_Image output = res.output();
  int32_t dim = 0;
  if (!integerScalar(dimension, &dim)) {
    argumentFault(kNotIntegerMessage, 3, true);
  }
  int32_t last = 0;
  if (py::isinstance<py::bool_>(flag) ||
      (py::hasattr(flag, "dtype") && py::array::ensure(flag).dtype().kind() == 'b' &&
       py::array::ensure(flag).size() == 1)) {
    last = py::cast<bool>(py::bool_(py::reinterpret_borrow<py::object>(flag))) ? 1 : 0;
  } else if (integerScalar(flag, &last)) {
    last = last != 0 ? 1 : 0;
  } else {
    double v = 0;
    // Whole numbers beyond 32 bits are booleans too: only their zeroness counts.
    if (!realScalar(flag, &v) || !std::isfinite(v) || v != std::trunc(v)) {
      argumentFault(kNotBooleanMessage, 4, true);
    }
    last = v != 0 ? 1 : 0;
  }
  kal_Error e = nullptr;
  {
    py::gil_scoped_release unlocked;
    e = kal_TroughFind(input, maskImage, output, dim, last);
  }
  Resources::check(e);
  return arrayOfImage(output);
}

// CPU seconds per split_merge run of the image, repeated for at least
// seconds of CPU time, all in C++: what a run costs without the calling
// interpreter (for the benchmark of the call's overhead).
double timeSplitMerge(const py::handle &image, const seg_params &params, double seconds) {
  int32_t dims[3];
  int ndims = 0;
  auto grey = coreImage(image, dims, ndims);
  seg_refusal r;
  if (!check_seg_params(params, dims, ndims, r)) {
    raiseRefusal(r);
  }
  std::vector<int32_t> labels(static_cast<std::size_t>(dims[0]) * dims[1] * dims[2]);
  seg_params p = params;
  p.progress = collectProgress;
  const int32_t *pixels = grey.data();
  py::gil_scoped_release unlocked;
  progressWanted = false;
  const auto cpu = [] {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
  };
  split_merge(pixels, dims[0], dims[1], dims[2], p, labels.data(), nullptr);
  const double start = cpu();
  long runs = 0;
  double now = start;
  do {
    split_merge(pixels, dims[0], dims[1], dims[2], p, labels.data(), nullptr);
    ++runs;
    now = cpu();
  } while (now - start < seconds);
  return (now - start) / static_cast<double>(runs);
}

} // namespace

PYBIND11_MODULE(_kalmex, m) {
  m.doc() = "The host-free cores of kalmex; use the package kalmex.";
  interpreterMainThread =
      py::cast<unsigned long>(py::module_::import("threading").attr("main_thread")().attr("ident"));

  py::class_<seg_params>(m, "SegParams", "The parameters of one regionseg_core run.")
      .def(py::init<>())
      .def_readwrite("levels", &seg_params::levels)
      .def_readwrite("flat_levels", &seg_params::flat_levels)
      .def_readwrite("start_level", &seg_params::start_level)
      .def_readwrite("parallel_grouping", &seg_params::parallel_grouping)
      .def_readwrite("parallel_seeds", &seg_params::parallel_seeds)
      .def_readwrite("seed_any_level", &seg_params::seed_any_level)
      .def_readwrite("criterion", &seg_params::criterion)
      .def_readwrite("threshold", &seg_params::threshold)
      .def_readwrite("outlier_fraction", &seg_params::outlier_fraction)
      .def_readwrite("noise_sigma", &seg_params::noise_sigma)
      .def_readwrite("confidence_row", &seg_params::confidence_row)
      .def_readwrite("size_factor", &seg_params::size_factor)
      .def_readwrite("min_region_size", &seg_params::min_region_size)
      .def_readwrite("keep_small_stats", &seg_params::keep_small_stats)
      .def_readwrite("snapshot_budget", &seg_params::snapshot_budget)
      .def("__repr__", [](const seg_params &p) {
        char text[400];
        std::snprintf(text, sizeof text,
                      "SegParams(levels=%d, flat_levels=%d, start_level=%d, "
                      "parallel_grouping=%d, parallel_seeds=%d, seed_any_level=%d, "
                      "criterion=%d, threshold=%d, outlier_fraction=%g, noise_sigma=%g, "
                      "confidence_row=%d, size_factor=%g, min_region_size=%d, "
                      "keep_small_stats=%d, snapshot_budget=%zu)",
                      p.levels, p.flat_levels, p.start_level, p.parallel_grouping, p.parallel_seeds,
                      p.seed_any_level, p.criterion, p.threshold, p.outlier_fraction, p.noise_sigma,
                      p.confidence_row, p.size_factor, p.min_region_size, p.keep_small_stats,
                      p.snapshot_budget);
        return std::string(text);
      });

  m.def("split_merge", &splitMerge, py::arg("image"), py::arg("params"),
        py::arg("snapshots") = false, py::arg("verbose") = false);
  m.def("regionseg_core", &regionsegCore, py::arg("image"), py::arg("params"),
        py::arg("snapshot_budget"), py::arg("snapshots"), py::arg("verbose"));
  m.def("regionseg", &regionseg, py::arg("image"), py::arg("options"), py::arg("snapshots"),
        py::arg("progress"), py::arg("threads") = py::none());
  m.def("_last_run_threads", [] { return lastRunThreads; });
  m.def("regionseg_options", &regionsegOptions);
  m.def("regionseg_file", &regionsegFile, py::arg("path"), py::arg("options"), py::arg("snapshots"),
        py::arg("progress"), py::arg("threads") = py::none());
  m.def("_read_image", &readImageFile, py::arg("path"));
  m.def("time_split_merge", &timeSplitMerge, py::arg("image"), py::arg("params"),
        py::arg("seconds"));
  m.def("edgethin", &edgethin);
  m.def("tiffmend", &tiffmend);
  m.def("kal_peakfit", &peakfit);
  m.def("kal_turnvolume", &turnvolume);
  m.def("kal_troughfind", &troughfind);
}
