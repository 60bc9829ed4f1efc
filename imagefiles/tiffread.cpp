// Reading TIFF files for kalseg: every page a plane, through libtiff's own
// readers (strips or tiles, contiguous or separate planes), the samples in
// their own class.  Colour is turned grey by luminance; a palette picture
// is the grey of its colour map; other colour spaces (CMYK, YCbCr, ...)
// are converted by libtiff to 8-bit RGB first.  libtiff's messages are kept
// for the refusal instead of being printed.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "imageio.h"

namespace kalseg {

namespace {

using segfront::Sample;

// libtiff's first error about the file, kept instead of printed; its
// warnings are passed over.
int keepError(TIFF *, void *kept, const char *, const char *fmt, va_list ap) {
  std::string &text = *static_cast<std::string *>(kept);
  if (text.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    text = buf;
  }
  return 1;
}

int passOver(TIFF *, void *, const char *, const char *, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF *t) const { TIFFClose(t); }
};

// How a page's samples become grey values.
enum class Colour {
  kGrey,      // the first sample of each pixel
  kInverted,  // the same, 0 white (unsigned samples only)
  kRgb,       // the luminance of the first three, rounded for integers
  kPalette,   // the grey of the colour map's entry
  kConverted, // libtiff's 8-bit RGB of another colour space, then luminance
};

// What a page holds, from its tags.
struct Page {
  uint32_t width = 0, height = 0;
  uint16_t bits = 1, spp = 1, format = SAMPLEFORMAT_UINT;
  uint16_t planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
  Colour colour = Colour::kGrey;
  Sample type = Sample::kUint8; // of the grey values handed on
  double maxval = 0;            // as in Volume
};

// The class of grey or RGB samples of the page's format and depth, or the
// refusal.
std::string sampleClass(Page &p) {
  const std::string depth = std::to_string(p.bits) + "-bit ";
  switch (p.format) {
  case SAMPLEFORMAT_UINT:
  case SAMPLEFORMAT_VOID:
    if (p.bits == 1 && p.colour != Colour::kRgb) {
      p.type = Sample::kBool;
    } else if (p.bits <= 16) {
      p.type = p.bits <= 8 ? Sample::kUint8 : Sample::kUint16;
      p.maxval = p.bits == 8 || p.bits == 16 ? 0 : std::ldexp(1.0, p.bits) - 1;
    } else if (p.bits == 32 || p.bits == 64) {
      p.type = p.bits == 32 ? Sample::kUint32 : Sample::kUint64;
    } else {
      return depth + "unsigned integer samples are not read (1 to 16, 32 or 64 bits are).";
    }
    return "";
  case SAMPLEFORMAT_INT: {
    const Sample types[] = {Sample::kInt8, Sample::kInt16, Sample::kInt32, Sample::kInt64};
    for (int k = 0; k < 4; ++k) {
      if (p.bits == 8 << k) {
        p.type = types[k];
        return "";
      }
    }
    return depth + "signed integer samples are not read (8, 16, 32 or 64 bits are).";
  }
  case SAMPLEFORMAT_IEEEFP:
    if (p.bits == 32 || p.bits == 64) {
      p.type = p.bits == 32 ? Sample::kSingle : Sample::kDouble;
      return "";
    }
    return depth + "floating-point samples are not read (32 or 64 bits are).";
  default:
    return "complex samples are not read.";
  }
}

// The page's tags, or why it is not read.  The directory is TIF's current
// one.
std::string describe(TIFF *tif, Page &p) {
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &p.format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric);
  if (p.width == 0 || p.height == 0 || p.spp == 0) {
    return "the page holds no pixels.";
  }
  switch (p.photometric) {
  case PHOTOMETRIC_MINISBLACK:
  case PHOTOMETRIC_MINISWHITE: {
    p.colour = p.photometric == PHOTOMETRIC_MINISBLACK ? Colour::kGrey : Colour::kInverted;
    const std::string e = sampleClass(p);
    if (e.empty() && p.colour == Colour::kInverted && p.format == SAMPLEFORMAT_INT) {
      return "signed samples 0 for white are not read.";
    }
    if (e.empty() && p.colour == Colour::kInverted && p.format == SAMPLEFORMAT_IEEEFP) {
      return "floating-point samples 0 for white are not read.";
    }
    return e;
  }
  case PHOTOMETRIC_RGB:
    if (p.spp < 3) {
      return "an RGB page of " + std::to_string(p.spp) + " samples a pixel is not read.";
    }
    p.colour = Colour::kRgb;
    return sampleClass(p);
  case PHOTOMETRIC_PALETTE:
    if (p.bits > 16 || (p.format != SAMPLEFORMAT_UINT && p.format != SAMPLEFORMAT_VOID)) {
      return "a palette of " + std::to_string(p.bits) + "-bit or signed indices is not read.";
    }
    p.colour = Colour::kPalette;
    return ""; // the class comes from the map
  default: {
    char why[1024] = "";
    if (TIFFRGBAImageOK(tif, why) == 0) {
      return why;
    }
    p.colour = Colour::kConverted;
    p.type = Sample::kUint8;
    return "";
  }
  }
}

// COUNT samples of a decoded row, every STRIDE-th from sample FIRST, into
// TO as T: as stored when they fill T (in host order, as libtiff gives
// them), else of BITS bits, most significant first, as unsigned numbers.
template <typename T>
void samplesOf(const uint8_t *row, std::size_t first, std::size_t stride, int bits,
               std::size_t count, T *to) {
  if (bits == 8 * static_cast<int>(sizeof(T))) {
    for (std::size_t i = 0; i < count; ++i) {
      std::memcpy(to + i, row + (first + i * stride) * sizeof(T), sizeof(T));
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    uint32_t v = 0;
    const std::size_t start = (first + i * stride) * static_cast<std::size_t>(bits);
    for (std::size_t bit = start; bit < start + static_cast<std::size_t>(bits); ++bit) {
      v = v << 1 | ((row[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    to[i] = static_cast<T>(v);
  }
}

// Reads the first CHANNELS samples of every pixel into planes[c] (height x
// width, column-major) as T, strip by strip or tile by tile.  The rows go
// through a band of a few rows, so that the planes are written down their
// columns.  False when libtiff fails (its message kept) or the data end
// early (WHY set).
template <typename T>
bool readSamples(TIFF *tif, const Page &p, int channels, T *const *planes, std::string &why) {
  const bool tiled = TIFFIsTiled(tif) != 0;
  uint32_t bw = p.width, bh = p.height;
  if (tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &bw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &bh);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bh);
    bh = std::min(bh, p.height);
  }
  const tmsize_t blockBytes = tiled ? TIFFTileSize(tif) : TIFFStripSize(tif);
  const tmsize_t rowBytes = tiled ? TIFFTileRowSize(tif) : TIFFScanlineSize(tif);
  if (bw == 0 || bh == 0 || blockBytes <= 0 || rowBytes <= 0) {
    return false;
  }
  // A tile may reach past the page, but not by gigabytes.
  const double pageBytes = static_cast<double>(rowBytes) / bw * p.width * p.height;
  if (static_cast<double>(blockBytes) > std::max(4 * pageBytes, 64.0 * (1 << 20))) {
    why = "its tiles of " + std::to_string(bw) + " x " + std::to_string(bh) +
          " pixels are far larger than the page.";
    return false;
  }
  std::vector<uint8_t> buf(static_cast<std::size_t>(blockBytes));
  const bool separate = p.planar == PLANARCONFIG_SEPARATE && p.spp > 1;
  const int perPass = separate ? 1 : channels;
  const std::size_t stride = separate ? 1 : p.spp; // samples from one pixel to the next
  const std::size_t w = p.width, h = p.height;
  const uint32_t band = tiled ? bh : std::min<uint32_t>(64, p.height);
  std::vector<T> rows(std::size_t{band} * w * static_cast<std::size_t>(perPass));
  for (int pass = 0; pass < (separate ? channels : 1); ++pass) {
    // The band's first COUNT rows into the planes, from row Y on.
    const auto flush = [&](std::size_t y, std::size_t count) {
      for (int c = 0; c < perPass; ++c) {
        const T *from = rows.data() + static_cast<std::size_t>(c) * band * w;
        T *to = planes[separate ? pass : c] + y;
        for (std::size_t x = 0; x < w; ++x) {
          for (std::size_t r = 0; r < count; ++r) {
            to[x * h + r] = from[r * w + x];
          }
        }
      }
    };
    for (uint32_t y0 = 0; y0 < p.height; y0 += bh) {
      const uint32_t count = std::min(bh, p.height - y0);
      for (uint32_t x0 = 0; x0 < p.width; x0 += bw) {
        const uint32_t cols = std::min(bw, p.width - x0);
        const uint16_t plane = static_cast<uint16_t>(pass);
        const tmsize_t n = tiled ? TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, plane),
                                                       buf.data(), blockBytes)
                                 : TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, plane),
                                                        buf.data(), blockBytes);
        if (n < 0) {
          return false;
        }
        if (n < static_cast<tmsize_t>(tiled ? bh : count) * rowBytes) {
          why = "its data end early.";
          return false;
        }
        for (uint32_t r = 0; r < count; ++r) {
          const uint8_t *row = buf.data() + static_cast<std::size_t>(r) * rowBytes;
          const uint32_t y = y0 + r, inBand = y % band;
          for (int c = 0; c < perPass; ++c) {
            samplesOf(row, static_cast<std::size_t>(c), stride, p.bits, cols,
                      rows.data() + (static_cast<std::size_t>(c) * band + inBand) * w + x0);
          }
          if (!tiled && (inBand == band - 1 || y == p.height - 1)) {
            flush(y - inBand, inBand + 1);
          }
        }
      }
      if (tiled) {
        flush(y0, count);
      }
    }
  }
  return true;
}

// The grey value of a colour in the class of T: rounded for integers.
template <typename T> T greyOf(double r, double g, double b) {
  const double v = segfront::luminance(r, g, b);
  return std::is_floating_point<T>::value ? static_cast<T>(v) : static_cast<T>(std::round(v));
}

// The grey of every entry of a colour map of 2^bits entries, and its
// class: 8-bit when the map was written from 8-bit colours (every entry
// x * 257 or x * 256, or every entry below 256), else 16-bit.
std::vector<uint16_t> mapGrey(TIFF *tif, const Page &p, Sample &type) {
  uint16_t *rgb[3] = {nullptr, nullptr, nullptr};
  if (TIFFGetField(tif, TIFFTAG_COLORMAP, &rgb[0], &rgb[1], &rgb[2]) == 0) {
    return {};
  }
  const std::size_t n = std::size_t{1} << p.bits;
  bool small = true, times257 = true, times256 = true;
  for (int c = 0; c < 3; ++c) {
    for (std::size_t k = 0; k < n; ++k) {
      small = small && rgb[c][k] < 256;
      times257 = times257 && rgb[c][k] % 257 == 0;
      times256 = times256 && rgb[c][k] % 256 == 0;
    }
  }
  const int shift = small ? 0 : times257 || times256 ? 8 : -1;
  type = shift < 0 ? Sample::kUint16 : Sample::kUint8;
  std::vector<uint16_t> grey(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto entry = [&](int c) { return shift < 0 ? rgb[c][k] : rgb[c][k] >> shift; };
    grey[k] = greyOf<uint16_t>(entry(0), entry(1), entry(2));
  }
  return grey;
}

// Reads the page into OUT (height x width values of T, column-major).
// False with libtiff's message kept, or with WHY set.
template <typename T>
bool readPage(TIFF *tif, const Page &p, const std::vector<uint16_t> &map, T *out,
              std::string &why) {
  const std::size_t plane = std::size_t{p.width} * p.height;
  switch (p.colour) {
  case Colour::kGrey:
    return readSamples<T>(tif, p, 1, &out, why);
  case Colour::kInverted: {
    if (!readSamples<T>(tif, p, 1, &out, why)) {
      return false;
    }
    const T white = p.bits == 8 * static_cast<int>(sizeof(T))
                        ? std::numeric_limits<T>::max()
                        : static_cast<T>((uint64_t{1} << p.bits) - 1);
    for (std::size_t k = 0; k < plane; ++k) {
      out[k] = static_cast<T>(white - out[k]);
    }
    return true;
  }
  case Colour::kRgb: {
    std::vector<T> g(plane), b(plane);
    T *const planes[3] = {out, g.data(), b.data()};
    if (!readSamples<T>(tif, p, 3, planes, why)) {
      return false;
    }
    for (std::size_t k = 0; k < plane; ++k) {
      out[k] = greyOf<T>(static_cast<double>(out[k]), static_cast<double>(g[k]),
                         static_cast<double>(b[k]));
    }
    return true;
  }
  case Colour::kPalette: {
    const auto lookUp = [&](auto i) {
      using Index = decltype(i);
      std::vector<Index> index(plane);
      Index *const planes[1] = {index.data()};
      if (!readSamples<Index>(tif, p, 1, planes, why)) {
        return false;
      }
      for (std::size_t k = 0; k < plane; ++k) {
        out[k] = static_cast<T>(map[index[k]]);
      }
      return true;
    };
    return p.bits <= 8 ? lookUp(uint8_t()) : lookUp(uint16_t());
  }
  case Colour::kConverted:
    break;
  }
  std::vector<uint32_t> raster(plane);
  if (TIFFReadRGBAImageOriented(tif, p.width, p.height, raster.data(), ORIENTATION_TOPLEFT, 0) ==
      0) {
    return false;
  }
  for (std::size_t y = 0; y < p.height; ++y) {
    for (std::size_t x = 0; x < p.width; ++x) {
      const uint32_t px = raster[y * p.width + x];
      out[y + x * p.height] = greyOf<T>(TIFFGetR(px), TIFFGetG(px), TIFFGetB(px));
    }
  }
  return true;
}

// "64 x 48 uint16", with the range when it is not the class's.
std::string kindOf(const Page &p) {
  std::string s = std::to_string(p.height) + " x " + std::to_string(p.width) + " " +
                  segfront::className(p.type);
  if (p.maxval > 0) {
    char range[32];
    std::snprintf(range, sizeof range, " (0..%.0f)", p.maxval);
    s += range;
  }
  return s;
}

} // namespace

std::string readTiff(const std::string &path, Volume &out, int maxSide) {
  std::string kept;
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions *)> options(TIFFOpenOptionsAlloc(),
                                                                        TIFFOpenOptionsFree);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), keepError, &kept);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), passOver, nullptr);
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpenExt(path.c_str(), "r", options.get()));
  if (!tif) {
    return "cannot read the TIFF file " + path + (kept.empty() ? "" : ": " + kept);
  }
  const int pages = TIFFNumberOfDirectories(tif.get());
  const auto where = [&](int page) {
    return pages > 1 ? path + ": page " + std::to_string(page) + ": " : path + ": ";
  };
  const auto unread = [&](int page, const std::string &why) {
    const std::string reason = !kept.empty() ? kept : !why.empty() ? why : "no reason given.";
    return pages > 1 ? "cannot read page " + std::to_string(page) + " of the TIFF file " + path +
                           ": " + reason
                     : "cannot read the TIFF file " + path + ": " + reason;
  };
  out = Volume();
  out.d3 = 0;
  Page first;
  int page = 0, firstPage = 0;
  do {
    ++page;
    uint32_t subfile = 0;
    TIFFGetField(tif.get(), TIFFTAG_SUBFILETYPE, &subfile);
    if ((subfile & (FILETYPE_REDUCEDIMAGE | FILETYPE_MASK)) != 0) {
      continue; // a thumbnail or a mask of another page
    }
    Page p;
    std::string e = describe(tif.get(), p);
    if (!e.empty()) {
      return where(page) + e;
    }
    std::vector<uint16_t> map;
    if (p.colour == Colour::kPalette) {
      map = mapGrey(tif.get(), p, p.type);
      if (map.empty()) {
        return unread(page, "the palette page has no colour map.");
      }
    }
    e = sizeRefusal(path, p.height, p.width, out.d3 + 1, maxSide);
    if (!e.empty()) {
      return e;
    }
    if (out.d3 == 0) {
      first = p;
      firstPage = page;
      out.d1 = static_cast<int>(p.height);
      out.d2 = static_cast<int>(p.width);
      out.type = p.type;
      out.maxval = p.maxval;
    } else if (p.width != first.width || p.height != first.height || p.type != first.type ||
               p.maxval != first.maxval) {
      return path + ": page " + std::to_string(page) + " is " + kindOf(p) + ", page " +
             std::to_string(firstPage) + " " + kindOf(first) +
             ": the pages of a volume must be of one size and class.";
    }
    const std::size_t planeBytes =
        std::size_t{p.width} * p.height * withSampleType(p.type, [](auto t) { return sizeof t; });
    if (out.d3 == 0 && sizeRefusal(path, p.height, p.width, pages, maxSide).empty()) {
      out.bytes.reserve(planeBytes * static_cast<std::size_t>(pages)); // pages alike, as is usual
    }
    out.bytes.resize(out.bytes.size() + planeBytes);
    unsigned char *at = out.bytes.data() + out.bytes.size() - planeBytes;
    std::string why;
    const bool read = withSampleType(p.type, [&](auto t) {
      using T = decltype(t);
      return readPage<T>(tif.get(), p, map, reinterpret_cast<T *>(at), why);
    });
    if (!read) {
      return unread(page, why);
    }
    ++out.d3;
    kept.clear(); // what libtiff read in the end; an error now is the next page's
  } while (TIFFReadDirectory(tif.get()) != 0);
  if (!kept.empty()) {
    return unread(page + 1, "");
  }
  if (out.d3 == 0) {
    return path + ": no page holds a picture (only thumbnails or masks).";
  }
  return "";
}

} // namespace kalseg
