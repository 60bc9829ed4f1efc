#include "tifffiles.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tifftest {

namespace {

void silentHandler(const char *, const char *, va_list) {}

struct LibtiffQuiet {
  LibtiffQuiet() { TIFFSetWarningHandler(silentHandler); }
};
const LibtiffQuiet libtiffQuiet;

// Errors from libtiff fail the test that caused them.
void failingHandler(const char *module, const char *fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  ADD_FAILURE() << "libtiff: " << (module != nullptr ? module : "") << ": " << text;
}

struct FailOnLibtiffErrors {
  FailOnLibtiffErrors() : previous(TIFFSetErrorHandler(failingHandler)) {}
  ~FailOnLibtiffErrors() { TIFFSetErrorHandler(previous); }
  TIFFErrorHandler previous;
};

uint16_t get16(const Bytes &b, uint64_t at, bool big) {
  return big ? uint16_t(b[at] << 8 | b[at + 1]) : uint16_t(b[at + 1] << 8 | b[at]);
}

} // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tiffmend-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary folder from " << pattern;
  }
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

Bytes readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

void writeTiff(const std::string &path, const TiffLayout &layout) {
  FailOnLibtiffErrors guard;
  TIFF *t = TIFFOpen(path.c_str(), layout.bigEndian ? "wb" : "wl");
  ASSERT_NE(t, nullptr) << "libtiff cannot create " << path;
  const int bps = layout.palette ? layout.bitsPerSample : 8;
  const int spp = layout.palette ? layout.paletteSamples : 3;
  const tmsize_t rowBytes = (tmsize_t(layout.width) * bps * spp + 7) / 8;
  std::vector<uint16_t> red(size_t(1) << bps), green(red.size()), blue(red.size());
  for (size_t i = 0; i < red.size(); ++i) {
    red[i] = uint16_t(i * 4099);
    green[i] = uint16_t(65535 - i * 4099);
    blue[i] = uint16_t(i * 257);
  }
  std::vector<unsigned char> row(static_cast<size_t>(rowBytes));
  for (int page = 0; page < layout.pages; ++page) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, layout.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, layout.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, layout.height);
    if (layout.palette) {
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
      TIFFSetField(t, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    } else {
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    }
    if (layout.pages > 1) {
      TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(t, TIFFTAG_PAGENUMBER, page, layout.pages);
    }
    if (layout.extraTags) {
      const std::string description = "page " + std::to_string(page + 1);
      TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
      TIFFSetField(t, TIFFTAG_SOFTWARE, "kalmex tests");
      TIFFSetField(t, TIFFTAG_ARTIST, "nobody");
      TIFFSetField(t, TIFFTAG_DATETIME, "2026:01:02 03:04:05");
      TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
      TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0);
      TIFFSetField(t, TIFFTAG_YRESOLUTION, 96.0);
      TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    for (uint32_t y = 0; y < layout.height; ++y) {
      for (size_t i = 0; i < row.size(); ++i) {
        row[i] = static_cast<unsigned char>(37 * page + 11 * y + 3 * i + 1);
      }
      ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
    }
    ASSERT_EQ(TIFFWriteDirectory(t), 1);
  }
  TIFFClose(t);
}

std::vector<TiffDirectory> readDirectories(const std::string &path) {
  FailOnLibtiffErrors guard;
  std::vector<TiffDirectory> dirs;
  TIFF *t = TIFFOpen(path.c_str(), "r");
  EXPECT_NE(t, nullptr) << "libtiff cannot read " << path;
  if (t == nullptr) {
    return dirs;
  }
  do {
    uint16_t photometric = 0xFFFF;
    EXPECT_EQ(TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric), 1);
    dirs.push_back({TIFFCurrentDirOffset(t), photometric});
  } while (TIFFReadDirectory(t) == 1);
  TIFFClose(t);
  return dirs;
}

std::vector<uint64_t> paletteValueFields(const Bytes &file, const std::vector<uint64_t> &offsets) {
  std::vector<uint64_t> fields;
  const bool big = file.size() >= 2 && file[0] == 'M';
  for (uint64_t o : offsets) {
    const unsigned n = get16(file, o, big);
    for (unsigned k = 0; k < n; ++k) {
      const uint64_t entry = o + 2 + 12 * uint64_t(k);
      if (get16(file, entry, big) == 262 && get16(file, entry + 8, big) == 3) {
        fields.push_back(entry + 8);
      }
    }
  }
  return fields;
}

Bytes patched(const Bytes &file, const std::vector<uint64_t> &fields) {
  Bytes out = file;
  const bool big = file.size() >= 2 && file[0] == 'M';
  for (uint64_t f : fields) {
    out[f] = big ? 0 : 2;
    out[f + 1] = big ? 2 : 0;
    out[f + 2] = 0;
    out[f + 3] = 0;
  }
  return out;
}

std::vector<uint64_t> differences(const Bytes &a, const Bytes &b) {
  std::vector<uint64_t> at;
  EXPECT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] != b[i]) {
      at.push_back(i);
    }
  }
  return at;
}

Entry shortEntry(uint16_t tag, uint16_t value, bool bigEndian) {
  Entry e{tag, 3, 1, {0, 0, 0, 0}};
  e.value[bigEndian ? 0 : 1] = static_cast<unsigned char>(value >> 8);
  e.value[bigEndian ? 1 : 0] = static_cast<unsigned char>(value & 0xFF);
  return e;
}

Entry rawEntry(uint16_t tag, const unsigned char value[4], bool) {
  Entry e{tag, 3, 1, {value[0], value[1], value[2], value[3]}};
  return e;
}

HandTiff::HandTiff(bool bigEndian, uint32_t firstOffset, uint16_t version) : big_(bigEndian) {
  bytes_ = {static_cast<unsigned char>(bigEndian ? 'M' : 'I'),
            static_cast<unsigned char>(bigEndian ? 'M' : 'I')};
  put16(2, version);
  put32(4, firstOffset);
}

void HandTiff::reach(uint64_t end) {
  if (bytes_.size() < end) {
    bytes_.resize(end, 0xEE);
  }
}

void HandTiff::put16(uint64_t at, uint16_t v) {
  reach(at + 2);
  bytes_[at + (big_ ? 0 : 1)] = static_cast<unsigned char>(v >> 8);
  bytes_[at + (big_ ? 1 : 0)] = static_cast<unsigned char>(v & 0xFF);
}

void HandTiff::put32(uint64_t at, uint32_t v) {
  reach(at + 4);
  for (int i = 0; i < 4; ++i) {
    bytes_[at + (big_ ? 3 - i : i)] = static_cast<unsigned char>(v >> (8 * i));
  }
}

uint64_t HandTiff::directory(uint64_t offset, const std::vector<Entry> &entries, uint32_t next) {
  reach(offset + 2 + 12 * entries.size() + 4);
  put16(offset, static_cast<uint16_t>(entries.size()));
  for (size_t k = 0; k < entries.size(); ++k) {
    const uint64_t at = offset + 2 + 12 * k;
    put16(at, entries[k].tag);
    put16(at + 2, entries[k].type);
    put32(at + 4, entries[k].count);
    for (int i = 0; i < 4; ++i) {
      bytes_[at + 8 + i] = entries[k].value[i];
    }
  }
  put32(offset + 2 + 12 * entries.size(), next);
  return offset + 2;
}

} // namespace tifftest
