// The one calling sequence of a segmentation (front.h, run): every front
// door goes through it with its host's adapter, so the order of the steps,
// the thread rule and the warnings are the same for all of them.
//
// A host may end the call inside a warning (MATLAB's longjmp): when one is
// given, nothing here owns memory of its own, and its text lies on the
// stack.
#include <cstdio>
#include <new>
#include <cstring>
#include <string>

#include "front.h"
#include "machine.h"

namespace segfront {

double Host::physicalMemory() { return kxPhysicalMemoryBytes(); }

namespace {

// The host of the run in progress on this thread, for the progress lines,
// which carry no data.
thread_local Host *lineHost = nullptr;

void hostLine(const char *line) {
  if (lineHost != nullptr && lineHost->lines != nullptr) {
    lineHost->lines(line);
  } else {
    std::fputs(line, stdout);
    std::fflush(stdout); // a line as it comes, into a pipe or a file too
  }
}

bool hostCheck(void *data, int32_t stage, double done) {
  return static_cast<Host *>(data)->interrupted(stage, done);
}

// The warning's text as the door shows it, in buf.
void warningText(const Host &host, bool own, const std::string &text, char *buf, size_t size) {
  std::snprintf(buf, size, "%s%s", own && host.prefixOwn ? "regionseg: " : "", text.c_str());
}

Failure hostFailure() { return failure(Fault::kHost); }

Failure shortOf(const std::string &text) { return failure(Fault::kOutOfMemory, text); }

// The grey values of the run, given back to the host on every path.
class GreyBuffer {
public:
  GreyBuffer(Host &host, std::size_t voxels) : host_(host), grey_(host.grey(voxels)) {}
  ~GreyBuffer() { release(); }
  GreyBuffer(const GreyBuffer &) = delete;
  GreyBuffer &operator=(const GreyBuffer &) = delete;
  int32_t *get() const { return grey_; }
  void release() {
    if (grey_ != nullptr) {
      host_.releaseGrey(grey_);
      grey_ = nullptr;
    }
  }

private:
  Host &host_;
  int32_t *grey_;
};

// The stack, released on every path once the host has taken what it takes.
struct StackGuard {
  snapshot_list list = {};
  ~StackGuard() { release_snapshots(list); }
};

// The progress lines and the check of this thread's run go to host.
struct LineGuard {
  Host *before;
  explicit LineGuard(Host &host) : before(lineHost) { lineHost = &host; }
  ~LineGuard() { lineHost = before; }
};

} // namespace

Failure run(const ImageView &image, const Options &opts, bool snapshots, Host &host, Plan &plan) {
  CallSetup setup;
  setup.snapshots = snapshots;
  setup.stackCopies = host.stackCopies;
  setup.physicalMemory = host.physicalMemory();
  setup.progress = hostLine;
  setup.check = hostCheck;
  setup.checkData = &host;
  setup.heap = host.heap;
  Failure f = segfront::plan(image, opts, setup, plan);
  if (f) {
    return f;
  }
  // The sizes are known to fit: a copy of the samples is allowed now.
  ImageView view = image;
  host.samplesReady(view);
  host.working(true);
  f = segfront::checkValues(view, plan);
  host.working(false);
  if (f) {
    return f;
  }
  // The thread count, read only when the image is large enough for a stage
  // to use two.
  if (plan.voxels() >= 2 * static_cast<std::size_t>(plan.params.voxels_per_thread)) {
    plan.params.threads = host.threads();
    if (plan.params.threads < 1) {
      return hostFailure();
    }
  }
  char text[512];
  {
    const std::string squeezed = lowRangeWarning(view, plan, host.scaleFix);
    text[0] = '\0';
    if (!squeezed.empty()) {
      warningText(host, true, squeezed, text, sizeof text);
    }
  }
  if (text[0] != '\0' && !host.warning(kLowRangeWarningId, text)) {
    return hostFailure();
  }

  int32_t *labels = host.labels(plan);
  if (labels == nullptr) {
    return shortOf("regionseg: no memory for the image's " + std::to_string(plan.voxels()) +
                   " labels.");
  }
  GreyBuffer grey(host, plan.voxels());
  if (grey.get() == nullptr) {
    return shortOf("regionseg: no memory for the image's " + std::to_string(plan.voxels()) +
                   " grey values.");
  }
  StackGuard stack;
  stack.list.arena.allocator = host.snapshotMemory();
  {
    LineGuard lines(host);
    host.working(true);
    try {
      f = segfront::segment(plan, view, grey.get(), labels, &stack.list);
    } catch (const std::bad_alloc &) { // its table of grey values, before the run
      f = shortOf("Out of memory during set-up: the table of grey values could not be allocated.");
    }
    host.working(false);
  }
  grey.release();
  if (f) {
    return f;
  }
  host.deliver(plan, stack.list);
  if (snapshots && stack.list.budget_reached) {
    {
      const std::string budget = budgetWarning(plan, stack.list.count);
      warningText(host, false, budget, text, sizeof text);
    }
    if (!host.warning(kBudgetWarningId, text)) {
      return hostFailure();
    }
  }
  return Failure();
}

} // namespace segfront
