#include "imageio.h"

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pngio.h"

namespace kalseg {

namespace {

bool endsWith(const std::string &s, const std::string &tail) {
  if (s.size() < tail.size()) {
    return false;
  }
  for (std::size_t k = 0; k < tail.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - tail.size() + k])) != tail[k]) {
      return false;
    }
  }
  return true;
}

// "cannot open PATH: REASON", the reason from errno.
std::string cannotOpen(const std::string &path) {
  return "cannot open " + path + ": " + std::strerror(errno);
}

// ---- PNG -------------------------------------------------------------------

struct PngRead {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<uint8_t> rows;
  std::vector<png_bytep> pointers;
  std::string error; // libpng's message, kept instead of printed
  ~PngRead() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

void keepPngError(png_structp png, png_const_charp message) {
  std::string *kept = static_cast<std::string *>(png_get_error_ptr(png));
  if (kept->empty()) {
    *kept = message;
  }
  png_longjmp(png, 1);
}

void passOverPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp to here; the rows live in r and out,
// which belong to the caller, so nothing on this frame needs to survive
// the jump.
bool decodePng(PngRead &r, FILE *fp, const std::string &path, Volume &out, int maxSide,
               std::string &refusal) {
  if (setjmp(png_jmpbuf(r.png)) != 0) {
    return false;
  }
  png_init_io(r.png, fp);
  png_read_info(r.png, r.info);
  png_set_expand(r.png); // palette to RGB, 1/2/4-bit grey to 8 bits, tRNS to alpha
  png_set_strip_alpha(r.png);
  png_read_update_info(r.png, r.info);
  const long width = static_cast<long>(png_get_image_width(r.png, r.info));
  const long height = static_cast<long>(png_get_image_height(r.png, r.info));
  refusal = sizeRefusal(path, height, width, 1, maxSide);
  if (!refusal.empty()) {
    return false;
  }
  const int channels = png_get_channels(r.png, r.info);
  const int depth = png_get_bit_depth(r.png, r.info);
  const std::size_t rowBytes = png_get_rowbytes(r.png, r.info);
  std::vector<uint8_t> &rows = r.rows;
  std::vector<png_bytep> &pointers = r.pointers;
  rows.resize(rowBytes * static_cast<std::size_t>(height));
  pointers.resize(static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    pointers[static_cast<std::size_t>(y)] = rows.data() + rowBytes * static_cast<std::size_t>(y);
  }
  png_read_image(r.png, pointers.data());
  out.d1 = static_cast<int>(height);
  out.d2 = static_cast<int>(width);
  out.d3 = 1;
  out.type = depth == 16 ? segfront::Sample::kUint16 : segfront::Sample::kUint8;
  out.maxval = 0;
  const int bytes = depth == 16 ? 2 : 1;
  out.bytes.assign(out.size() * static_cast<std::size_t>(bytes), 0);
  for (int y = 0; y < height; ++y) {
    const uint8_t *row = pointers[static_cast<std::size_t>(y)];
    for (int x = 0; x < width; ++x) {
      double s[3] = {0, 0, 0};
      for (int c = 0; c < channels && c < 3; ++c) {
        const uint8_t *p = row + (static_cast<std::size_t>(x) * channels + c) * bytes;
        s[c] = bytes == 2 ? (p[0] << 8 | p[1]) : p[0];
      }
      const double v = channels >= 3 ? std::round(segfront::luminance(s[0], s[1], s[2])) : s[0];
      const std::size_t k = static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * height;
      if (bytes == 2) {
        const uint16_t v16 = static_cast<uint16_t>(v);
        std::memcpy(out.bytes.data() + 2 * k, &v16, 2);
      } else {
        out.bytes[k] = static_cast<uint8_t>(v);
      }
    }
  }
  return true;
}

std::string readPng(const std::string &path, Volume &out, int maxSide) {
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) {
    return cannotOpen(path);
  }
  const std::unique_ptr<FILE, int (*)(FILE *)> closing(fp, std::fclose);
  PngRead r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r.error, keepPngError, passOverPngWarning);
  r.info = r.png ? png_create_info_struct(r.png) : nullptr;
  std::string refusal;
  const bool ok = r.info != nullptr && decodePng(r, fp, path, out, maxSide, refusal);
  return ok ? ""
         : !refusal.empty()
             ? refusal
             : "cannot read the PNG file " + path + (r.error.empty() ? "" : ": " + r.error);
}

// ---- PGM -------------------------------------------------------------------

// The next header number, skipping white space and comments.
bool pgmNumber(FILE *fp, long &v) {
  int c = std::fgetc(fp);
  while (c != EOF && (std::isspace(c) || c == '#')) {
    if (c == '#') {
      while (c != EOF && c != '\n') {
        c = std::fgetc(fp);
      }
    }
    c = std::fgetc(fp);
  }
  if (c == EOF || !std::isdigit(c)) {
    return false;
  }
  v = 0;
  while (c != EOF && std::isdigit(c)) {
    v = v * 10 + (c - '0');
    if (v > 1000000) {
      return false;
    }
    c = std::fgetc(fp);
  }
  return true; // c, the one white-space character after the number, is used up
}

std::string readPgm(const std::string &path, Volume &out, int maxSide) {
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) {
    return cannotOpen(path);
  }
  char magic[2] = {0, 0};
  long w = 0, h = 0, maxval = 0;
  bool ok = std::fread(magic, 1, 2, fp) == 2 && magic[0] == 'P' &&
            (magic[1] == '2' || magic[1] == '5') && pgmNumber(fp, w) && pgmNumber(fp, h) &&
            pgmNumber(fp, maxval) && w > 0 && h > 0 && maxval > 0 && maxval <= 65535;
  const std::string refusal = ok ? sizeRefusal(path, h, w, 1, maxSide) : "";
  if (!refusal.empty()) {
    std::fclose(fp);
    return refusal;
  }
  if (ok) {
    out.d1 = static_cast<int>(h);
    out.d2 = static_cast<int>(w);
    out.d3 = 1;
    // 8 or 16 bits, the maxval kept when it is not the class's own.
    const bool wide = maxval > 255;
    out.type = wide ? segfront::Sample::kUint16 : segfront::Sample::kUint8;
    out.maxval = maxval == 255 || maxval == 65535 ? 0 : static_cast<double>(maxval);
    out.bytes.assign(out.size() * (wide ? 2 : 1), 0);
    for (long y = 0; ok && y < h; ++y) {
      for (long x = 0; ok && x < w; ++x) {
        long v = 0;
        if (magic[1] == '2') {
          ok = pgmNumber(fp, v);
        } else if (maxval < 256) {
          const int c = std::fgetc(fp);
          ok = c != EOF;
          v = c;
        } else {
          const int hi = std::fgetc(fp), lo = std::fgetc(fp);
          ok = hi != EOF && lo != EOF;
          v = hi << 8 | lo;
        }
        ok = ok && v <= maxval;
        const std::size_t k = static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * h;
        if (wide) {
          const uint16_t v16 = static_cast<uint16_t>(v);
          std::memcpy(out.bytes.data() + 2 * k, &v16, 2);
        } else {
          out.bytes[k] = static_cast<uint8_t>(v);
        }
      }
    }
  }
  std::fclose(fp);
  return ok ? "" : "cannot read the PGM file " + path;
}

// ---- TIFF ------------------------------------------------------------------

// A TIFF of d3 pages of 8-, 16- or 32-bit grey samples.
template <typename T>
bool writeTiffPages(const std::string &path, const std::vector<T> &px, int d1, int d2, int d3,
                    int bits) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  TIFF *tif = TIFFOpen(path.c_str(), "w");
  if (tif == nullptr) {
    return false;
  }
  bool ok = true;
  std::vector<uint8_t> line(static_cast<std::size_t>(d2) * static_cast<std::size_t>(bits / 8));
  for (int z = 0; ok && z < d3; ++z) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(d2));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(d1));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(bits));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(1));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(d1));
    if (d3 > 1) {
      TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(z), static_cast<uint16_t>(d3));
    }
    for (int y = 0; ok && y < d1; ++y) {
      for (int x = 0; x < d2; ++x) {
        const std::size_t k = static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * d1 +
                              static_cast<std::size_t>(z) * d1 * d2;
        if (bits == 8) {
          line[static_cast<std::size_t>(x)] = static_cast<uint8_t>(px[k]);
        } else if (bits == 16) {
          const uint16_t v = static_cast<uint16_t>(px[k]);
          std::memcpy(line.data() + 2 * x, &v, 2);
        } else {
          const uint32_t v = static_cast<uint32_t>(px[k]);
          std::memcpy(line.data() + 4 * x, &v, 4);
        }
      }
      ok = TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(tif) == 1;
  }
  TIFFClose(tif);
  return ok;
}

std::string folderOf(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A new empty file beside PATH whose name ends as PATH's does (the writers
// go by the extension), with the permissions a new file would get.  Returns
// its name, or "" with errno set.
std::string temporaryBeside(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : base.substr(dot);
  std::string name =
      folderOf(path) + "/." + base.substr(0, base.size() - ext.size()) + "-XXXXXX" + ext;
  const int fd = mkstemps(name.data(), static_cast<int>(ext.size()));
  if (fd < 0) {
    return "";
  }
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  return name;
}

} // namespace

double Volume::at(std::size_t k) const {
  return withSampleType(type, [&](auto t) {
    decltype(t) v;
    std::memcpy(&v, bytes.data() + k * sizeof v, sizeof v);
    return static_cast<double>(v);
  });
}

segfront::ImageView viewOf(const Volume &v) {
  segfront::ImageView view;
  view.type = v.type;
  view.data = v.bytes.data();
  view.ndims = v.d3 > 1 ? 3 : 2;
  view.dims[0] = v.d1;
  view.dims[1] = v.d2;
  view.dims[2] = v.d3;
  view.strides[0] = withSampleType(v.type, [](auto t) { return int64_t{sizeof t}; });
  view.strides[1] = view.strides[0] * v.d1;
  view.strides[2] = view.strides[1] * v.d2;
  view.sampleMax = v.maxval;
  view.colourPlanes = false;
  return view;
}

std::string sizeRefusal(const std::string &path, long height, long width, long pages, int maxSide) {
  const std::string larger = path + ": the image is larger than ";
  if (height > maxSide) {
    return larger + std::to_string(maxSide) + " pixels in dimension 1.";
  }
  if (width > maxSide) {
    return larger + std::to_string(maxSide) + " pixels in dimension 2.";
  }
  if (pages > kMaxPlanes) {
    return larger + std::to_string(kMaxPlanes) + " pixels in dimension 3.";
  }
  // As many pixels as --reduce brings within what a run takes.
  const double reduce = static_cast<double>(maxSide) / kMaxSide;
  if (static_cast<double>(height) * static_cast<double>(width) * static_cast<double>(pages) >
      kMaxVoxels * reduce * reduce) {
    return larger + "2^30 pixels.";
  }
  return "";
}

std::string readImage(const std::string &path, Volume &out, int maxSide) {
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) {
    return cannotOpen(path);
  }
  unsigned char head[8] = {0};
  const std::size_t n = std::fread(head, 1, sizeof head, fp);
  std::fclose(fp);
  const auto shortage = [&](bool beyond) {
    out = Volume();
    return path + ": " + outOfMemory("reading", "the image", 0, beyond);
  };
  std::string e;
  try {
    // libpng and libtiff fail as for a broken file when their memory runs
    // short: the C library's errno tells them apart.
    errno = 0;
    if (n == 8 && png_sig_cmp(head, 0, 8) == 0) {
      e = readPng(path, out, maxSide);
    } else if (n >= 2 && head[0] == 'P' && (head[1] == '2' || head[1] == '5')) {
      e = readPgm(path, out, maxSide);
    } else if (n >= 4 &&
               ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
      e = readTiff(path, out, maxSide);
    } else {
      return path + " is not a PNG, PGM or TIFF image";
    }
  } catch (const std::length_error &) {
    return shortage(true);
  } catch (const std::bad_alloc &) {
    return shortage(false);
  }
  return !e.empty() && errno == ENOMEM ? shortage(false) : e;
}

std::string labelPathError(const std::string &path) {
  if (endsWith(path, ".tif") || endsWith(path, ".tiff") || endsWith(path, ".png")) {
    return "";
  }
  return "the label file must end in .png, .tif or .tiff: " + path;
}

std::string checkWritable(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      return "cannot write " + path + ": " + std::strerror(EISDIR);
    }
    if (access(path.c_str(), W_OK) != 0) {
      return "cannot write " + path + ": " + std::strerror(errno);
    }
  }
  const std::string probe = temporaryBeside(path);
  if (probe.empty()) {
    return "cannot write in " + folderOf(path) + ": " + std::strerror(errno);
  }
  unlink(probe.c_str());
  return "";
}

bool sameFile(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

namespace {

void (*writeWatcher)(const char *path, bool made) = nullptr;

void tell(const std::string &path, bool made) {
  if (writeWatcher != nullptr) {
    writeWatcher(path.c_str(), made);
  }
}

} // namespace

void watchWrites(void (*watch)(const char *path, bool made)) { writeWatcher = watch; }

std::string outOfMemory(const std::string &stage, const std::string &what, std::size_t bytes,
                        bool beyond) {
  std::string text = "Out of memory during " + stage + ": " + what;
  if (beyond) {
    return text + " would take more bytes than there are.";
  }
  if (bytes > 0) {
    text += " (" + std::to_string(bytes) + " bytes)";
  }
  return text + " could not be allocated.";
}

bool isOutOfMemory(const std::string &reason) {
  return reason.find("Out of memory during ") != std::string::npos;
}

OutputBatch::~OutputBatch() {
  for (const auto &p : pending_) {
    unlink(p.first.c_str());
    tell(p.first, false);
  }
}

std::string OutputBatch::add(const std::string &path,
                             const std::function<bool(const std::string &)> &write) {
  const std::string tmp = temporaryBeside(path);
  if (tmp.empty()) {
    return "cannot write in " + folderOf(path) + ": " + std::strerror(errno);
  }
  tell(tmp, true);
  try {
    pending_.emplace_back(tmp, path); // from now on the destructor removes it
  } catch (const std::bad_alloc &) {
    unlink(tmp.c_str());
    tell(tmp, false);
    return outOfMemory("writing", "the list of outputs", 0);
  }
  errno = 0;
  bool written = false;
  std::string shortage;
  try {
    written = write(tmp);
  } catch (const std::length_error &) {
    shortage = outOfMemory("writing", "the buffers of " + path, 0, true);
  } catch (const std::bad_alloc &) {
    shortage = outOfMemory("writing", "the buffers of " + path, 0);
  }
  if (written) {
    return "";
  }
  const int err = errno;
  unlink(tmp.c_str());
  tell(tmp, false);
  pending_.pop_back();
  if (!shortage.empty() || err == ENOMEM) { // libpng and libtiff say no more than that
    return !shortage.empty() ? shortage : outOfMemory("writing", "the buffers of " + path, 0);
  }
  return "cannot write " + path + (err != 0 ? std::string(": ") + std::strerror(err) : "");
}

std::string OutputBatch::commit() {
  std::string e;
  for (const auto &p : pending_) {
    if (e.empty() && std::rename(p.first.c_str(), p.second.c_str()) == 0) {
      tell(p.second, true);
    } else {
      if (e.empty()) {
        e = "cannot write " + p.second + ": " + std::strerror(errno);
      }
      unlink(p.first.c_str());
    }
    tell(p.first, false);
  }
  pending_.clear();
  return e;
}

std::string writeReplacing(const std::string &path,
                           const std::function<bool(const std::string &)> &write) {
  OutputBatch batch;
  const std::string e = batch.add(path, write);
  return e.empty() ? batch.commit() : e;
}

std::string writeLabels(const std::string &path, const std::vector<int32_t> &labels, int d1, int d2,
                        int d3, OutputBatch *batch) {
  OutputBatch own;
  OutputBatch &b = batch != nullptr ? *batch : own;
  int32_t top = 0;
  for (int32_t l : labels) {
    top = std::max(top, l);
  }
  std::string e;
  if (endsWith(path, ".tif") || endsWith(path, ".tiff")) {
    e = b.add(path, [&](const std::string &tmp) {
      return writeTiffPages(tmp, labels, d1, d2, d3, top > 65535 ? 32 : 16);
    });
  } else {
    e = labelPathError(path);
    if (e.empty() && d3 > 1) {
      e = "a 3-D label image needs a TIFF file (.tif), not " + path;
    }
    if (e.empty() && top > 65535) {
      e = "more than 65535 regions do not fit a 16-bit PNG; write a TIFF file (.tif)";
    }
    std::vector<uint16_t> px;
    if (e.empty()) {
      e = tryResize(px, labels.size(), "writing", "the rows of " + path);
    }
    if (e.empty()) {
      for (int y = 0; y < d1; ++y) {
        for (int x = 0; x < d2; ++x) {
          px[static_cast<std::size_t>(y) * d2 + x] = static_cast<uint16_t>(
              labels[static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * d1]);
        }
      }
      e = b.add(path, [&](const std::string &tmp) {
        return kalpng::writeGrey16(tmp, d2, d1, px, kalpng::Target::kInPlace);
      });
    }
  }
  return !e.empty() || batch != nullptr ? e : own.commit();
}

bool writeGreyTiff(const std::string &path, const std::vector<uint16_t> &px, int d1, int d2, int d3,
                   int bits) {
  return writeTiffPages(path, px, d1, d2, d3, bits);
}

bool writePgm(const std::string &path, const std::vector<uint16_t> &px, int d1, int d2,
              int maxval) {
  FILE *fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    return false;
  }
  bool ok = std::fprintf(fp, "P5\n# kalseg test image\n%d %d\n%d\n", d2, d1, maxval) > 0;
  for (int y = 0; ok && y < d1; ++y) {
    for (int x = 0; ok && x < d2; ++x) {
      const uint16_t v = px[static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * d1];
      if (maxval < 256) {
        ok = std::fputc(v, fp) != EOF;
      } else {
        ok = std::fputc(v >> 8, fp) != EOF && std::fputc(v & 0xff, fp) != EOF;
      }
    }
  }
  return (std::fclose(fp) == 0) && ok;
}

} // namespace kalseg
