// kalseg: split-and-merge segmentation from the command line, through the
// front end's library.   Usage: kalseg [OPTIONS] INPUT LABELS
//                         kalseg [OPTIONS] INPUT... -o DIR   (kalseg --help)
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "imageio.h"
#include "machine.h"
#include "pngio.h"
#include "segrun.h"

namespace {

// Exit status, as --help documents it.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 128 + SIGINT;

// Ctrl-C (SIGINT).  A run of one image removes what it has written of its
// outputs (the temporary files in progress and the outputs already in
// place) and ends at once with status 130, the segmentation with it.  With
// -o DIR the signal is passed on to the running jobs, no new one starts,
// and kalseg ends with status 130 once they are gone; the images already
// finished stay.  "kalseg: interrupted" is said once: by the first thread
// that the signal reaches (the others wait for the end), and with -o DIR by
// the parent alone, not by its jobs, which a terminal's Ctrl-C reaches too.
// The paths are kept where the handler can read them without allocating.
namespace interruption {

constexpr int kSlots = 8;
char paths[kSlots][4096];
volatile sig_atomic_t used[kSlots];
volatile sig_atomic_t parentOfJobs = 0;
volatile sig_atomic_t aJob = 0; // a job of -o DIR: its parent tells
volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t lineShown = 0; // the stage line is on the terminal
std::atomic<int> ending{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler takes no lock");
constexpr int kMaxChildren = 256;
volatile pid_t children[kMaxChildren];

void watch(const char *path, bool made) {
  if (!made) {
    for (int k = 0; k < kSlots; ++k) {
      if (used[k] != 0 && std::strcmp(paths[k], path) == 0) {
        used[k] = 0;
      }
    }
    return;
  }
  for (int k = 0; k < kSlots; ++k) {
    if (used[k] == 0 && std::strlen(path) < sizeof paths[k]) {
      std::strcpy(paths[k], path);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      used[k] = 1;
      return;
    }
  }
}

// The outputs of a finished image stay.
void keepOutputs() {
  for (int k = 0; k < kSlots; ++k) {
    used[k] = 0;
  }
}

extern "C" void onInterrupt(int) {
  if (parentOfJobs != 0) {
    stopping = 1;
    for (int k = 0; k < kMaxChildren; ++k) {
      if (children[k] > 0) {
        kill(children[k], SIGINT);
      }
    }
    return;
  }
  if (ending.exchange(1) != 0) {
    for (;;) {
      pause(); // another thread ends the process
    }
  }
  for (int k = 0; k < kSlots; ++k) {
    if (used[k] != 0) {
      unlink(paths[k]);
    }
  }
  if (aJob == 0) {
    static const char clear[] = "\r\033[K";
    static const char text[] = "kalseg: interrupted\n";
    ssize_t ignored = 0;
    if (lineShown != 0) {
      ignored = write(STDERR_FILENO, clear, sizeof clear - 1);
    }
    ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
  }
  _exit(kInterrupted);
}

void install() {
  struct sigaction on = {};
  on.sa_handler = onInterrupt;
  sigemptyset(&on.sa_mask);
  on.sa_flags = SA_RESTART;
  struct sigaction before = {};
  sigaction(SIGINT, nullptr, &before);
  if (before.sa_handler != SIG_IGN) { // a run in the background keeps ignoring it
    sigaction(SIGINT, &on, nullptr);
  }
  kalseg::watchWrites(watch);
}

void addChild(pid_t pid) {
  for (int k = 0; k < kMaxChildren; ++k) {
    if (children[k] <= 0) {
      children[k] = pid;
      return;
    }
  }
}

void dropChild(pid_t pid) {
  for (int k = 0; k < kMaxChildren; ++k) {
    if (children[k] == pid) {
      children[k] = 0;
    }
  }
}

} // namespace interruption

// A picture being composed, row-major RGB, to be written to PATH.
struct Canvas {
  std::string path;
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  // "" or the message of memory that ran short for the picture.
  std::string make(int w, int h) {
    width = w;
    height = h;
    const std::string e = kalseg::tryResize(rgb, 3 * static_cast<std::size_t>(w) * h, "writing",
                                            "the picture " + path);
    std::fill(rgb.begin(), rgb.end(), uint8_t{32});
    return e;
  }
  // Places one d1 x d2 column-major label plane in distinct colours at (left, top).
  void put(const int32_t *plane, int d1, int d2, int left, int top) {
    const std::vector<uint8_t> tile = kalpng::labelColours(plane, d1, d2);
    for (int y = 0; y < d1; ++y) {
      std::copy_n(tile.begin() + 3 * static_cast<std::ptrdiff_t>(y) * d2, 3 * d2,
                  rgb.begin() + 3 * (static_cast<std::ptrdiff_t>(top + y) * width + left));
    }
  }
  std::string write(kalseg::OutputBatch &batch) const {
    return batch.add(path, [this](const std::string &tmp) {
      return kalpng::writeRgb8(tmp, width, height, rgb, kalpng::Target::kInPlace);
    });
  }
};

constexpr int kGap = 2;

// Memory that runs short for a picture (its tiles, libpng's rows) fails as
// for the picture itself.
template <typename F> std::string picture(const std::string &path, F &&f) {
  return kalseg::orShortage("writing", "the picture " + path, f);
}

// The planes of the labels side by side.
std::string writeColour(const std::string &path, const std::vector<int32_t> &labels, int d1, int d2,
                        int d3, kalseg::OutputBatch &batch) {
  return picture(path, [&] {
    Canvas c;
    c.path = path;
    std::string e = c.make(d3 * d2 + (d3 - 1) * kGap, d1);
    for (int z = 0; e.empty() && z < d3; ++z) {
      c.put(labels.data() + static_cast<std::size_t>(z) * d1 * d2, d1, d2, z * (d2 + kGap), 0);
    }
    return e.empty() ? c.write(batch) : e;
  });
}

// At most 64 snapshots, first and last included, in rows; the middle plane
// of a volume.
std::string writeMontage(const std::string &path, const kalseg::Result &r, int d1, int d2, int d3,
                         kalseg::OutputBatch &batch) {
  return picture(path, [&] {
    const int count = r.snapshotCount;
    const int shown = std::min(count, 64);
    const int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(shown))));
    const int rows = (shown + cols - 1) / cols;
    Canvas c;
    c.path = path;
    std::string e = c.make(cols * d2 + (cols - 1) * kGap, rows * d1 + (rows - 1) * kGap);
    const std::size_t volume = static_cast<std::size_t>(d1) * d2 * d3;
    for (int t = 0; e.empty() && t < shown; ++t) {
      const int k =
          shown == 1 ? 0 : static_cast<int>(std::lround(double(t) * (count - 1) / (shown - 1)));
      const int32_t *plane = r.snapshots.get() + volume * static_cast<std::size_t>(k) +
                             static_cast<std::size_t>(d3 / 2) * d1 * d2;
      c.put(plane, d1, d2, (t % cols) * (d2 + kGap), (t / cols) * (d1 + kGap));
    }
    return e.empty() ? c.write(batch) : e;
  });
}

// For a picture too wide or high, how to make it fit (--reduce shrinks the
// first two dimensions only).
std::string reduceHint(const std::string &message) {
  const bool large = message.find("is larger than") != std::string::npos &&
                     message.find("dimension 3") == std::string::npos;
  return large ? " (--reduce N shrinks it)" : "";
}

int fail(int status, const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "kalseg: %s\n", message.c_str());
  return status;
}

// The segmentation options come from the front end; these are the tool's own.
std::string usage() {
  std::string text = kalseg::usage();
  const std::size_t firstLine = text.find('\n') + 1;
  text.insert(firstLine, "   or: kalseg [OPTIONS] INPUT... -o DIR\n");
  return text + R"(
Options of the tool:
  -o, --output-dir DIR    segment every INPUT and write its labels to DIR,
                          named after the input (.tif for a TIFF input, else
                          .png); one line per finished image
      --format png|tif    with -o: write every label file as PNG or TIFF
                          (a PNG holds 2-D labels up to 65535 regions; an
                          image that needs more fails and asks for tif)
  -j, --jobs N            with -o: segment N images at once (1); each job
                          then uses its share of the cores (KALMEX_THREADS,
                          when set, says how many threads instead)
  -q, --quiet             show neither progress nor the summary (warnings
                          and errors are still shown)
  -v, --verbose           also print the module's progress line of every
                          stage ("finished merging", ...) on standard output
      --version           show the version
  --                      what follows is an INPUT or LABELS, even if it
                          starts with '-'
Outputs are checked before any work: their folder must take a new file, a
label file must end in .png, .tif or .tiff, a picture in .png, and no output
may be an input; a volume's labels need a TIFF, and labels of more regions
than a PNG holds fail before anything is written.  The outputs of an image
are written to temporary files in their folders and renamed into place
together once all are whole, so a failed run leaves no file.  On a
terminal, a run of more than a second shows one line on standard error
(unless --quiet): a bar, how far the run is, its stage and about how long
it has left.  Warnings and errors go to standard error, and each about an
input names its file.

Ctrl-C (SIGINT) stops the run at once: the files of the image in progress
are removed (with -o DIR, the images already finished stay).  A run that
memory runs short for, in the segmentation or in reading, reducing or
writing, fails with "Out of memory during STAGE: ..." naming what could not
be had, exit status 1, and writes nothing.

Exit status: 0 when every image was segmented and written, 1 when an image
or a file failed (the reason on standard error), 2 for a usage error (an
unknown option, a bad value, the wrong number of files, an output that is an
input or of the wrong kind, --reduce larger than an image), 130 when
interrupted.
)";
}

struct Args {
  segfront::Options opts;
  std::vector<std::string> operands;
  std::string colour, montage, outDir;
  std::string format; // with -o DIR: "png" or "tif"; "" for the input's kind
  bool haveOutDir = false, quiet = false, verbose = false, help = false, version = false;
  int reduceBy = 1, jobs = 1;
};

// A whole number lo..hi, or false.
bool wholeNumber(const std::string &text, long lo, long hi, int &out) {
  char *end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < lo || n > hi) {
    return false;
  }
  out = static_cast<int>(n);
  return true;
}

// Reads the command line into A; returns "" or the usage error.
std::string parse(int argc, char **argv, Args &a) {
  bool options = true;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (!options || arg == "-" || arg.empty() || arg[0] != '-') {
      a.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options = false;
      continue;
    }
    std::string name, value;
    bool hasValue = false;
    if (arg[1] == '-') {
      name = arg.substr(2);
      const std::size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        hasValue = true;
      }
      std::replace(name.begin(), name.end(), '-', '_');
    } else { // -h, -q, -v, -o DIR, -oDIR, -j N, -jN
      const std::map<char, const char *> shortNames = {
          {'h', "help"}, {'q', "quiet"}, {'v', "verbose"}, {'o', "output_dir"}, {'j', "jobs"}};
      const auto it = shortNames.find(arg[1]);
      if (it == shortNames.end()) {
        return "unknown option '" + arg + "'.";
      }
      name = it->second;
      if (arg.size() > 2) {
        value = arg.substr(2);
        hasValue = true;
      }
    }
    if (name == "help" || name == "quiet" || name == "verbose" || name == "version") {
      if (hasValue) {
        return "option '" + name + "' takes no value.";
      }
      (name == "help"      ? a.help
       : name == "quiet"   ? a.quiet
       : name == "verbose" ? a.verbose
                           : a.version) = true;
      continue;
    }
    if (!hasValue) {
      if (k + 1 >= argc) {
        return "option '" + name + "' needs a value";
      }
      value = argv[++k];
    }
    if (name == "colour" || name == "color") {
      a.colour = value;
    } else if (name == "montage") {
      a.montage = value;
    } else if (name == "output_dir") {
      a.outDir = value;
      a.haveOutDir = true;
    } else if (name == "jobs") {
      if (!wholeNumber(value, 1, 256, a.jobs)) {
        return "option 'jobs' must be a whole number 1 to 256.";
      }
    } else if (name == "format") {
      if (value != "png" && value != "tif") {
        return "option 'format' must be png or tif.";
      }
      a.format = value;
    } else if (name == "reduce") {
      if (!wholeNumber(value, 1, 1024, a.reduceBy)) {
        return "option 'reduce' must be a whole number 1 to 1024.";
      }
    } else {
      const std::string e = kalseg::setOption(a.opts, name, value);
      if (!e.empty()) {
        return e;
      }
    }
  }
  a.opts.verbose = a.verbose; // the module's progress lines
  return "";
}

// One image to segment and the files to write.
struct Job {
  std::string input, labels, colour, montage;
};

bool looksLikeTiff(const std::string &path) {
  unsigned char head[2] = {0, 0};
  FILE *fp = std::fopen(path.c_str(), "rb");
  const bool read = fp != nullptr && std::fread(head, 1, 2, fp) == 2;
  if (fp != nullptr) {
    std::fclose(fp);
  }
  return read && head[0] == head[1] && (head[0] == 'I' || head[0] == 'M');
}

// DIR/NAME for INPUT: its file name without the extension, then .FORMAT,
// or without one .tif when it is a TIFF (it may be a volume) and .png
// otherwise.
std::string labelsIn(const std::string &dir, const std::string &input, const std::string &format) {
  std::string base = input.substr(input.rfind('/') + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    base.resize(dot);
  }
  const std::string ext = !format.empty()        ? "." + format
                          : looksLikeTiff(input) ? std::string(".tif")
                                                 : ".png";
  return (dir.empty() || dir.back() == '/' ? dir : dir + "/") + base + ext;
}

bool endsWithPng(const std::string &path) {
  std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : "";
  std::transform(tail.begin(), tail.end(), tail.begin(), ::tolower);
  return tail == ".png";
}

// The jobs of the command line, or a usage error.
std::string plan(const Args &a, std::vector<Job> &jobs) {
  if (a.haveOutDir) {
    if (a.operands.empty()) {
      return "expected at least one input image before -o DIR.";
    }
    if (!a.colour.empty() || !a.montage.empty()) {
      return "--colour and --montage name one file: they cannot be used with -o DIR.";
    }
    for (const std::string &input : a.operands) {
      jobs.push_back({input, labelsIn(a.outDir, input, a.format), "", ""});
    }
  } else {
    if (a.operands.size() != 2) {
      return "expected an input image and a label file";
    }
    if (a.jobs != 1) {
      return "--jobs needs several inputs and -o DIR.";
    }
    if (!a.format.empty()) {
      return "--format goes with -o DIR; otherwise LABELS ends in .png or .tif.";
    }
    jobs.push_back({a.operands[0], a.operands[1], a.colour, a.montage});
  }
  // Every output: of the right kind, none twice, none an input.
  std::map<std::string, std::string> outputs; // output -> the input it comes from
  for (const Job &j : jobs) {
    std::string e = kalseg::labelPathError(j.labels);
    if (e.empty() && !j.colour.empty() && !endsWithPng(j.colour)) {
      e = "the --colour picture must end in .png: " + j.colour;
    }
    if (e.empty() && !j.montage.empty() && !endsWithPng(j.montage)) {
      e = "the --montage picture must end in .png: " + j.montage;
    }
    if (!e.empty()) {
      return e;
    }
    for (const std::string *out : {&j.labels, &j.colour, &j.montage}) {
      if (out->empty()) {
        continue;
      }
      if (!outputs.emplace(*out, j.input).second) {
        return *out + " would be written twice (from " + outputs[*out] + " and " + j.input + ").";
      }
      for (const Job &other : jobs) {
        if (*out == other.input || kalseg::sameFile(*out, other.input)) {
          return "refusing to overwrite the input " + other.input + " with " + *out + ".";
        }
      }
    }
  }
  return "";
}

// The one line of a run on a terminal's standard error, drawn once the run
// has taken a second and cleared at the end: what kalseg is doing and,
// while it segments (or, with -o DIR, while images are done), a bar, how
// far it is, the run's stage and about how long it has left.  While it is
// shown, the run's progress lines come here to be written to standard
// output below a cleared line.
class StageLine {
public:
  explicit StageLine(bool show) {
    start_ = since_ = std::chrono::steady_clock::now();
    if (show) {
      try {
        thread_ = std::thread([this] { loop(); });
        show_ = true;
      } catch (const std::system_error &) {
        // No thread to be had: the run goes on without its line.
      }
    }
  }
  ~StageLine() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
    clear();
    if (shown_ == this) {
      shown_ = nullptr;
    }
  }
  // What kalseg does now, and how far it is (0 to 1; -1: not known).  The
  // time left is reckoned from now, or, with sameWork, from the start of
  // the work that set it before.
  void set(const std::string &what, double done = -1, bool sameWork = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = what;
    done_ = done;
    runStage_ = -1;
    if (!sameWork) {
      since_ = std::chrono::steady_clock::now();
    }
  }
  // Writes TEXT to OUT, the stage line cleared first.
  void say(std::FILE *out, const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLocked();
    std::fputs(text.c_str(), out);
    std::fflush(out);
  }
  // What a run shows through this line: nothing when it is not shown (the
  // run then has no check and pays nothing for it).
  kalseg::Watch watch() {
    kalseg::Watch w;
    if (show_) {
      shown_ = this;
      w.lines = [](const char *line) { shown_->say(stdout, line); };
      w.check = onCheck;
      w.data = this;
    }
    return w;
  }

  // The line for a terminal of COLUMNS columns: "kalseg: WHAT [=====     ]
  // 45% grouping, 0:12 left", the bar and the estimate only when how far it
  // is is known.  Where it is too wide, WHAT is shortened (its start left
  // out), then the bar, then the stage's name left out, and at last the
  // end cut.  The time left is the time since the work began times what is
  // left over what is done, once a little is done.
  static std::string compose(const std::string &what, double done, const char *stage,
                             double elapsed, double sinceSet, int columns) {
    const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 24));
    const auto fit = [&](const std::string &tail, std::size_t least) {
      std::string name = what;
      const std::size_t fixed = 8 + tail.size(); // "kalseg: " and the tail
      if (fixed + name.size() > room && name.size() > least) {
        const std::size_t keep = room > fixed + least ? room - fixed : least;
        name = "..." + name.substr(name.size() - std::min(name.size(), keep - 3));
      }
      return "kalseg: " + name + tail;
    };
    if (done < 0) {
      return fit(" (" + clock(elapsed) + ")", 12).substr(0, room);
    }
    done = std::min(1.0, done);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(100 * done));
    const std::string left = done >= 0.01 && done < 1 && sinceSet >= 1
                                 ? ", " + clock(sinceSet * (1 - done) / done) + " left"
                                 : "";
    const std::string named = stage != nullptr ? std::string(" ") + stage : "";
    const auto bar = [&](int width) {
      const int filled = static_cast<int>(width * done);
      return " [" + std::string(static_cast<std::size_t>(filled), '=') +
             std::string(static_cast<std::size_t>(width - filled), ' ') + "] " + percent;
    };
    std::string line;
    for (const std::string &tail :
         {bar(20) + named + left, bar(10) + named + left, bar(20) + left, bar(10) + left}) {
      line = fit(tail, 12);
      if (line.size() <= room) {
        return line;
      }
    }
    return line.substr(0, room); // a narrow terminal loses the end
  }

private:
  // "0:12", "3:05", "2:07:41".
  static std::string clock(double seconds) {
    const int s = static_cast<int>(std::lround(std::max(0.0, std::min(seconds, 359999.0))));
    char text[48];
    if (s < 3600) {
      std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    } else {
      std::snprintf(text, sizeof text, "%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    }
    return text;
  }
  // The run's check: its stage and how far it is, for the next drawing.
  static bool onCheck(void *data, int32_t stage, double done) {
    StageLine &s = *static_cast<StageLine *>(data);
    std::lock_guard<std::mutex> lock(s.mutex_);
    s.runStage_ = stage;
    s.done_ = done;
    return false; // Ctrl-C ends kalseg through its handler
  }
  static int columns() {
    winsize ws = {};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
  }
  void loop() {
    while (!stop_) {
      poll(nullptr, 0, 200);
      const auto now = std::chrono::steady_clock::now();
      const double seconds = std::chrono::duration<double>(now - start_).count();
      if (seconds < 1) {
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      const std::string text =
          compose(stage_, done_, runStage_ >= 0 ? stage_name(runStage_) : nullptr, seconds,
                  std::chrono::duration<double>(now - since_).count(), columns());
      if (!drawn_ || text != drawnText_) {
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        drawn_ = true;
        interruption::lineShown = 1;
        drawnText_ = text;
      }
    }
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLocked();
  }
  void clearLocked() {
    if (drawn_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
      drawn_ = false;
      interruption::lineShown = 0;
    }
  }

  static StageLine *shown_; // the line whose watch a run has: progress lines take no data
  bool show_ = false;
  std::chrono::steady_clock::time_point start_, since_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string stage_ = "starting";
  int32_t runStage_ = -1;
  double done_ = -1; // how far the run is; -1 while not known
  bool drawn_ = false;
  std::string drawnText_;
  std::thread thread_;
};

StageLine *StageLine::shown_ = nullptr;

// What a run of one job gives: the failure, or the lines that describe it.
struct Outcome {
  bool ok = false;
  bool usage = false; // the error is a usage error
  std::string error;
  std::string details; // the summary of a single run
  std::string line;    // the one line of a run of several
};

// The labels of INPUT do not fit the PNG LABELS: why, with the way to a
// TIFF file.
std::string pngRefusal(const Job &j, const Args &a, int d3, std::size_t regions) {
  return "the labels of " + j.input +
         (d3 > 1 ? std::string(", a volume,") : ", " + std::to_string(regions) + " regions,") +
         " do not fit a 16-bit PNG: " +
         (a.haveOutDir ? "use --format tif." : "name a label file ending in .tif.");
}

Outcome runJob(const Job &j, const Args &a, StageLine &stage) {
  Outcome o;
  // Every failure of memory names the input (the readers' already do).
  const auto failure = [&](const std::string &e) {
    o.error = kalseg::isOutOfMemory(e) && e.rfind(j.input + ": ", 0) != 0 ? j.input + ": " + e : e;
    return o;
  };
  stage.set("reading " + j.input);
  kalseg::Volume image;
  // No larger picture can be segmented, even reduced: refuse it before its
  // pixels are read.
  std::string e = kalseg::readImage(j.input, image, kalseg::kMaxSide * a.reduceBy);
  if (!e.empty()) {
    return failure(e + reduceHint(e));
  }
  if (a.reduceBy > image.d1 || a.reduceBy > image.d2) {
    o.usage = true;
    o.error = j.input + ": --reduce " + std::to_string(a.reduceBy) + " is larger than the image (" +
              std::to_string(image.d1) + " x " + std::to_string(image.d2) + " pixels).";
    return o;
  }
  // A volume's labels need a TIFF: refused before the run.
  if (endsWithPng(j.labels) && image.d3 > 1) {
    return failure(pngRefusal(j, a, image.d3, 0));
  }
  if (a.reduceBy > 1) {
    stage.set("reducing " + j.input);
    e = kalseg::orShortage("reduction", "the reduced image", [&] {
      image = kalseg::reduce(image, a.reduceBy);
      return std::string();
    });
    if (!e.empty()) {
      return failure(e);
    }
  }
  stage.set(j.input); // the bar and the run's stage follow
  std::fflush(stdout);
  kalseg::Result r;
  e = kalseg::orShortage("set-up", "the run's records", [&] {
    r = kalseg::segment(image, a.opts, !j.montage.empty(), stage.watch());
    return r.error;
  });
  if (!e.empty()) {
    return failure(j.input + ": " + e + reduceHint(e));
  }
  if (!r.lowRange.empty()) {
    stage.say(stderr, "kalseg: warning: " + j.input + ": " + r.lowRange + "\n");
  }
  if (r.budgetReached) {
    stage.say(stderr, "kalseg: warning: " + j.input + ": " +
                          segfront::budgetWarning(r.plan, r.snapshotCount) + "\n");
  }
  const int d1 = image.d1, d2 = image.d2, d3 = image.d3;
  const std::size_t regions = r.sizes.size();
  if (endsWithPng(j.labels) && regions > 65535) {
    return failure(pngRefusal(j, a, d3, regions)); // before anything is written
  }
  // Every output whole in its temporary file before any is put in place.
  stage.set("writing " + j.labels);
  kalseg::OutputBatch batch;
  e = kalseg::orShortage("writing", "the buffers of " + j.labels, [&] {
    return kalseg::writeLabels(j.labels, r.labels, d1, d2, d3, &batch);
  });
  if (e.empty() && !j.colour.empty()) {
    stage.set("writing " + j.colour);
    e = writeColour(j.colour, r.labels, d1, d2, d3, batch);
  }
  if (e.empty() && !j.montage.empty()) {
    stage.set("writing " + j.montage);
    e = writeMontage(j.montage, r, d1, d2, d3, batch);
  }
  if (!e.empty()) {
    return failure(e);
  }

  char buf[256];
  const seg_params &g = r.plan.params;
  std::string &s = o.details;
  s = "kalseg: " + j.input + ": " + std::to_string(d1) + " x " + std::to_string(d2);
  if (d3 > 1) {
    s += " x " + std::to_string(d3);
  }
  std::snprintf(buf, sizeof buf, " (levels %d, flat_levels %d, start_level %d)\n", g.levels,
                g.flat_levels, g.start_level);
  s += buf;
  const std::size_t n = r.sizes.size();
  std::snprintf(buf, sizeof buf, "kalseg: %zu regions in %.3f s; sizes", n, r.seconds);
  s += buf;
  for (std::size_t k = 0; k < n && k < 10; ++k) {
    s += " " + std::to_string(r.sizes[k]);
  }
  if (n > 10) {
    s += " ... " + std::to_string(r.sizes[n - 1]) + " (median " + std::to_string(r.sizes[n / 2]) +
         ")";
  }
  s += "\nkalseg: wrote " + j.labels;
  if (!j.colour.empty()) {
    s += ", " + j.colour;
  }
  if (!j.montage.empty()) {
    s += ", " + j.montage + " (" + std::to_string(r.snapshotCount) + " snapshots)";
  }
  s += "\n";
  std::snprintf(buf, sizeof buf, ": %zu regions in %.3f s\n", n, r.seconds);
  o.line = "kalseg: " + j.input + " -> " + j.labels + buf;
  e = batch.commit(); // the last thing that can fail
  if (!e.empty()) {
    return failure(e);
  }
  o.ok = true;
  return o;
}

// runJob, and the failure of memory that runs short for kalseg's own small
// records (what runJob does not catch nearer), its outputs removed.
Outcome runGuarded(const Job &j, const Args &a, StageLine &stage) {
  try {
    return runJob(j, a, stage);
  } catch (const std::bad_alloc &) {
    Outcome o;
    o.error = j.input + ": " + kalseg::outOfMemory("the run", "kalseg's own records", 0);
    return o;
  }
}

// Several images, up to a.jobs at once, each in a child process of its own
// (each run has a process and its memory to itself).  A child
// hands its outcome back through a pipe; one line per finished image.
int runMany(const std::vector<Job> &jobs, const Args &a) {
  StageLine stage(isatty(STDERR_FILENO) == 1 && !a.quiet);
  struct Child {
    int fd;
    std::size_t job;
  };
  std::map<pid_t, Child> running;
  std::size_t next = 0, done = 0;
  int failed = 0;
  bool misused = false;
  interruption::parentOfJobs = 1;
  const auto progress = [&] {
    stage.set(std::to_string(done) + " of " + std::to_string(jobs.size()) + " images done",
              static_cast<double>(done) / static_cast<double>(jobs.size()), true);
  };
  progress();
  std::fflush(stdout);
  std::fflush(stderr);
  while ((next < jobs.size() && interruption::stopping == 0) || !running.empty()) {
    while (next < jobs.size() && running.size() < static_cast<std::size_t>(a.jobs) &&
           interruption::stopping == 0) {
      int fds[2];
      if (pipe(fds) != 0) {
        return fail(kFailed, std::string("cannot start a job: ") + std::strerror(errno));
      }
      const pid_t pid = fork();
      if (pid < 0) {
        return fail(kFailed, std::string("cannot start a job: ") + std::strerror(errno));
      }
      if (pid == 0) {
        interruption::parentOfJobs = 0;
        interruption::aJob = 1;
        for (volatile pid_t &c : interruption::children) {
          c = 0;
        }
        close(fds[0]);
        if (!a.verbose) { // the parent writes the lines of finished images
          std::FILE *null = std::freopen("/dev/null", "w", stdout);
          (void)null;
        }
        StageLine quiet(false);
        if (std::getenv("KALMEX_THREADS") == nullptr) {
          // The jobs share the cores: each segmentation takes its part of
          // them instead of all, unless the user said otherwise.
          const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
          const unsigned each = std::max(1u, cores / static_cast<unsigned>(a.jobs));
          setenv("KALMEX_THREADS", std::to_string(each).c_str(), 1);
        }
        const Outcome o = runGuarded(jobs[next], a, quiet);
        interruption::keepOutputs();
        const std::string record = (o.ok ? "0" : o.usage ? "2" : "1") + (o.ok ? o.line : o.error);
        std::size_t sent = 0;
        while (sent < record.size()) {
          const ssize_t w = write(fds[1], record.data() + sent, record.size() - sent);
          if (w <= 0) {
            break;
          }
          sent += static_cast<std::size_t>(w);
        }
        _exit(o.ok ? kOk : o.usage ? kUsage : kFailed);
      }
      close(fds[1]);
      running[pid] = {fds[0], next++};
      interruption::addChild(pid);
      if (interruption::stopping != 0) {
        kill(pid, SIGINT); // the signal came while it was being started
      }
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fail(kFailed, std::string("waiting for a job: ") + std::strerror(errno));
    }
    const auto it = running.find(pid);
    if (it == running.end()) {
      continue;
    }
    interruption::dropChild(pid);
    std::string record;
    char buf[4096];
    ssize_t n;
    while ((n = read(it->second.fd, buf, sizeof buf)) > 0) {
      record.append(buf, static_cast<std::size_t>(n));
    }
    close(it->second.fd);
    const Job &j = jobs[it->second.job];
    running.erase(it);
    const bool interrupted = (WIFEXITED(status) && WEXITSTATUS(status) == kInterrupted) ||
                             (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    if (interrupted) {
      continue; // its outputs are gone; the run ends below
    }
    ++done;
    progress();
    const bool ok =
        WIFEXITED(status) && WEXITSTATUS(status) == kOk && !record.empty() && record[0] == '0';
    if (ok) {
      if (!a.quiet) {
        stage.say(stdout, record.substr(1));
      }
    } else {
      ++failed;
      misused = misused || (!record.empty() && record[0] == '2');
      std::string e = record.size() > 1 ? record.substr(1) : "the job ended abnormally";
      if (e.find(j.input) == std::string::npos) {
        e = j.input + ": " + e;
      }
      stage.say(stderr, "kalseg: " + e + "\n");
    }
  }
  if (interruption::stopping != 0) {
    stage.say(stderr, "kalseg: interrupted\n");
    return kInterrupted;
  }
  return misused ? kUsage : failed ? kFailed : kOk;
}

int runTool(int argc, char **argv) {
  interruption::install();
  Args a;
  const std::string bad = parse(argc, argv, a);
  if (!bad.empty()) {
    return fail(kUsage, bad + " (kalseg --help)");
  }
  if (a.help) {
    std::fputs(usage().c_str(), stdout);
    return kOk;
  }
  if (a.version) {
    std::printf("kalseg (kalmex) %s\n", KALMEX_VERSION);
    return kOk;
  }
  std::vector<Job> jobs;
  const std::string wrong = plan(a, jobs);
  if (!wrong.empty()) {
    return fail(kUsage, wrong + " (kalseg --help)");
  }
  // Every output's folder takes a new file, before any image is read.
  if (a.haveOutDir) {
    struct stat st;
    if (stat(a.outDir.c_str(), &st) != 0) {
      return fail(kFailed, "cannot write in " + a.outDir + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
      return fail(kFailed, "cannot write in " + a.outDir + ": " + std::strerror(ENOTDIR));
    }
  }
  for (const Job &j : jobs) {
    for (const std::string *out : {&j.labels, &j.colour, &j.montage}) {
      const std::string e = out->empty() ? "" : kalseg::checkWritable(*out);
      if (!e.empty()) {
        return fail(kFailed, e);
      }
    }
  }

  // A KALMEX_THREADS the runs pass over is said once, quiet or not; the
  // runs say nothing about it.
  char warning[kxThreadWarningSize];
  kxEnvironmentThreads(warning, sizeof warning);
  if (warning[0] != '\0') {
    std::fprintf(stderr, "kalseg: warning: %s\n", warning);
  }

  if (a.haveOutDir) {
    return runMany(jobs, a);
  }
  Outcome o;
  {
    StageLine stage(isatty(STDERR_FILENO) == 1 && !a.quiet);
    o = runGuarded(jobs[0], a, stage);
    interruption::keepOutputs();
  }
  std::fflush(stdout);
  if (!o.ok) {
    return fail(o.usage ? kUsage : kFailed, o.error);
  }
  if (!a.quiet) {
    std::fputs(o.details.c_str(), stdout);
  }
  return kOk;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return runTool(argc, argv);
  } catch (const std::bad_alloc &) {
    // Memory ran short before any image (the command line, the plan of the
    // jobs): nothing was written.
    static const char text[] =
        "kalseg: Out of memory during start-up: kalseg's own records could not be allocated.\n";
    ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
    (void)ignored;
    return kFailed;
  }
}
