#include "pngio.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace kalpng {

namespace {

// libpng reports errors by longjmp to here; nothing on this frame needs to
// survive the jump.
bool encode(png_structp png, png_infop info, FILE *fp, int width, int height, int colourType,
            int depth, const uint8_t *data, std::size_t rowBytes) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth,
               colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (depth == 16) {
    png_set_swap(png); // our 16-bit samples are in host (little-endian) order
  }
  for (int y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(data + static_cast<std::size_t>(y) * rowBytes));
  }
  png_write_end(png, nullptr);
  return true;
}

// Writes to a temporary file and renames it into place, so a failed write
// never leaves a half-written picture under the final name; or, for a
// caller that writes to a temporary file of its own, to PATH itself.
bool writePng(const std::string &path, Target target, int width, int height, int colourType,
              int depth, const uint8_t *data, std::size_t rowBytes) {
  const std::string tmp = target == Target::kReplacing ? path + ".part" : path;
  FILE *fp = std::fopen(tmp.c_str(), "wb");
  if (fp == nullptr) {
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  bool ok = png != nullptr && info != nullptr &&
            encode(png, info, fp, width, height, colourType, depth, data, rowBytes);
  png_destroy_write_struct(png == nullptr ? nullptr : &png, info == nullptr ? nullptr : &info);
  ok = (std::fclose(fp) == 0) && ok;
  if (target == Target::kInPlace) {
    return ok; // the caller removes what failed
  }
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

} // namespace

bool writeGrey8(const std::string &path, int width, int height, const std::vector<uint8_t> &px,
                Target target) {
  return writePng(path, target, width, height, PNG_COLOR_TYPE_GRAY, 8, px.data(),
                  static_cast<std::size_t>(width));
}

bool writeRgb8(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb,
               Target target) {
  return writePng(path, target, width, height, PNG_COLOR_TYPE_RGB, 8, rgb.data(),
                  3 * static_cast<std::size_t>(width));
}

bool writeGrey16(const std::string &path, int width, int height, const std::vector<uint16_t> &px,
                 Target target) {
  return writePng(path, target, width, height, PNG_COLOR_TYPE_GRAY, 16,
                  reinterpret_cast<const uint8_t *>(px.data()),
                  2 * static_cast<std::size_t>(width));
}

std::vector<uint8_t> toGrey(const double *data, int rows, int cols) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  for (std::size_t k = 0; k < n; ++k) {
    if (std::isfinite(data[k])) {
      lo = std::fmin(lo, data[k]);
      hi = std::fmax(hi, data[k]);
    }
  }
  const double scale = hi > lo ? 255.0 / (hi - lo) : 0.0;
  std::vector<uint8_t> out(n);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      const double v = data[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * rows];
      const double g = std::isfinite(v) ? (v - lo) * scale : 0.0;
      out[static_cast<std::size_t>(i) * cols + j] = static_cast<uint8_t>(std::lround(g));
    }
  }
  return out;
}

std::vector<uint8_t> labelColours(const int32_t *labels, int rows, int cols) {
  std::vector<uint8_t> out(3 * static_cast<std::size_t>(rows) * cols);
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      const uint32_t label = static_cast<uint32_t>(
          labels[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * rows]);
      // Golden-ratio hues spread neighbouring label numbers far apart.
      uint32_t h = label * 2654435761u;
      uint8_t *px = &out[3 * (static_cast<std::size_t>(i) * cols + j)];
      px[0] = static_cast<uint8_t>(64 + (h >> 24) % 192);
      px[1] = static_cast<uint8_t>(64 + (h >> 16) % 192);
      px[2] = static_cast<uint8_t>(64 + (h >> 8) % 192);
    }
  }
  return out;
}

} // namespace kalpng
