// Reading grey images for kalseg (PNG, PGM, TIFF) and writing label images
// (16-bit PNG, 16- or 32-bit TIFF).  Outputs go through a temporary file in
// the same folder renamed into place, so a failed write never leaves a
// half-written file.
#ifndef KALMEX_TOOLS_KALSEG_IMAGEIO_H
#define KALMEX_TOOLS_KALSEG_IMAGEIO_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "front.h"

namespace kalseg {

using segfront::sampleOf;
using segfront::withSampleType;

// An image as kalseg reads it: d1 x d2 x d3 samples of one class in
// column-major order (first dimension fastest; for a picture d1 is its
// height, d2 its width, d3 its pages), in the host's byte order.  maxval is
// the largest value an integer sample can mean when the format says so (a
// PGM's maxval, 2^bits - 1 for a TIFF of 12-bit samples); 0 for the class's
// own range.  Colour is already grey.
struct Volume {
  int d1 = 0, d2 = 0, d3 = 1;
  segfront::Sample type = segfront::Sample::kUint8;
  double maxval = 0;
  std::vector<unsigned char> bytes;
  std::size_t size() const {
    return static_cast<std::size_t>(d1) * static_cast<std::size_t>(d2) *
           static_cast<std::size_t>(d3);
  }
  // Sample k's value.
  double at(std::size_t k) const;
  // D1 x D2 x D3 samples V, of V's class.
  template <typename T>
  static Volume of(int d1, int d2, int d3, const std::vector<T> &v, double maxval = 0) {
    Volume im;
    im.d1 = d1;
    im.d2 = d2;
    im.d3 = d3;
    im.type = sampleOf<T>();
    im.maxval = maxval;
    im.bytes.resize(v.size() * sizeof(T));
    std::memcpy(im.bytes.data(), v.data(), im.bytes.size());
    return im;
  }
};

// Sizes kalseg reads: at most 65536 pixels a side and a page, and 2^30 in
// all, which regionseg_core can take; larger pictures are refused before
// their pixels are read.
constexpr int kMaxSide = 65536;
constexpr int kMaxPlanes = 65536;
constexpr double kMaxVoxels = 1073741824.0;

// The volume as the front end reads it: its pages are planes, its range
// its class's or 0..maxval.
segfront::ImageView viewOf(const Volume &v);

// Reads PATH by its content (PNG signature, "P2"/"P5", TIFF byte order
// mark), its samples in their own class.  Colour is turned to grey; a TIFF
// of several pages of one size and class is a volume.  An image wider or
// higher than maxSide, of more than kMaxPlanes pages or of more than
// kMaxVoxels pixels (times (maxSide / kMaxSide)^2, what --reduce brings
// within them) is refused before its pixels are read.  Returns "" or the
// reason, which names PATH.
std::string readImage(const std::string &path, Volume &out, int maxSide = kMaxSide);

// For the readers: "" when the pages-th page of height x width pixels may
// be read, else the refusal (naming PATH).
std::string sizeRefusal(const std::string &path, long height, long width, long pages, int maxSide);
// Reads a TIFF file (tiffread.cpp).
std::string readTiff(const std::string &path, Volume &out, int maxSide);

// Memory that ran short for one of kalseg's own structures, in the words of
// the run's own failures: "Out of memory during STAGE: WHAT (N bytes) could
// not be allocated." (without the size when BYTES is 0), or "... WHAT would
// take more bytes than there are." for a size beyond any (BEYOND).
std::string outOfMemory(const std::string &stage, const std::string &what, std::size_t bytes,
                        bool beyond = false);
// Whether a reason is one of those messages.
bool isOutOfMemory(const std::string &reason);

// Calls f() (which returns "" or a reason) and gives what it returns, or,
// when memory runs short inside it (std::bad_alloc, or std::length_error
// for a size beyond any), the message for WHAT during STAGE.
template <typename F>
std::string orShortage(const std::string &stage, const std::string &what, F &&f) {
  try {
    return f();
  } catch (const std::length_error &) {
    return outOfMemory(stage, what, 0, true);
  } catch (const std::bad_alloc &) {
    return outOfMemory(stage, what, 0);
  }
}

// Resizes V to N elements: "" or the message for WHAT (N elements) during
// STAGE.
template <typename T>
std::string tryResize(std::vector<T> &v, std::size_t n, const std::string &stage,
                      const std::string &what) {
  try {
    v.resize(n);
    return "";
  } catch (const std::length_error &) {
    return outOfMemory(stage, what, 0, true);
  } catch (const std::bad_alloc &) {
    return outOfMemory(stage, what, n * sizeof(T));
  }
}

// The outputs of one image, each written to a temporary file beside it and
// all renamed into place together by commit(): a run that fails on its
// way, memory that runs short in a writer included, leaves none of them and
// none of its temporary files (the destructor removes those not put in
// place).  The watcher (watchWrites) hears of every file.
class OutputBatch {
public:
  OutputBatch() = default;
  OutputBatch(const OutputBatch &) = delete;
  OutputBatch &operator=(const OutputBatch &) = delete;
  ~OutputBatch();
  // Has write(TMP) fill a new file beside PATH whose name ends in PATH's
  // extension.  Returns "" or the reason, with the system's where it has
  // one, or the message of memory that ran short.
  std::string add(const std::string &path, const std::function<bool(const std::string &)> &write);
  // Renames every file into place.  "" or the reason (the files not yet in
  // place are removed).
  std::string commit();

private:
  std::vector<std::pair<std::string, std::string>> pending_; // temporary file, its final name
};

// Writes d1 x d2 x d3 labels (column-major) to PATH: ".png" as a 16-bit grey
// PNG (2-D, labels up to 65535 only), ".tif"/".tiff" as a TIFF of d3 pages,
// 16-bit when the labels fit, else 32-bit.  Returns "" or the reason.  With
// a batch the file is added to it, to be put in place by its commit().
std::string writeLabels(const std::string &path, const std::vector<int32_t> &labels, int d1, int d2,
                        int d3, OutputBatch *batch = nullptr);

// "" when PATH names a label file kalseg can write (.png, .tif, .tiff), else
// the refusal.
std::string labelPathError(const std::string &path);

// "" when PATH can be written: its folder takes a new file (tried with a
// temporary file, removed at once) and PATH is not a folder or a file the
// user may not write.  Else the reason, with the system's.
std::string checkWritable(const std::string &path);

// True when A and B both exist and are the same file (links included).
bool sameFile(const std::string &a, const std::string &b);

// Has write(TMP) fill a new file beside PATH whose name ends in PATH's
// extension, then renames it to PATH; on failure TMP is removed and PATH is
// untouched.  Returns "" or the reason, with the system's where it has one
// (a batch of one file).
std::string writeReplacing(const std::string &path,
                           const std::function<bool(const std::string &)> &write);

// Told of every file writeReplacing puts down: the temporary file once it
// exists (made true) and once it is renamed or removed (made false), the
// file itself once it is in place (made true); nullptr for none (the
// default).  For a tool that removes them when it is interrupted.
void watchWrites(void (*watch)(const char *path, bool made));

// Test helpers, also used to write sample inputs: an 8- or 16-bit grey TIFF
// of d3 pages, and a binary PGM.
bool writeGreyTiff(const std::string &path, const std::vector<uint16_t> &px, int d1, int d2, int d3,
                   int bits);
bool writePgm(const std::string &path, const std::vector<uint16_t> &px, int d1, int d2, int maxval);

} // namespace kalseg

#endif
