// Test files for tiffmend: a fresh temporary folder, real TIFF files written
// and read back with libtiff, and hand-made byte-level files.
#ifndef KALMEX_TESTS_TIFFMEND_TIFFFILES_H
#define KALMEX_TESTS_TIFFMEND_TIFFFILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace tifftest {

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }

private:
  std::string dir_;
};

Bytes readFile(const std::string &path);
void writeFile(const std::string &path, const Bytes &bytes);

// A file written by libtiff: `pages` directories of a small image.
struct TiffLayout {
  int pages = 1;
  bool bigEndian = false;
  bool palette = true;    // palette colour (3); otherwise RGB (2)
  int paletteSamples = 1; // of a palette image: 1 a true one, 3 RGB samples declared palette
  bool extraTags = false; // description, software, resolution and more besides the required tags
  uint32_t width = 5;
  uint32_t height = 3;
  int bitsPerSample = 4; // of a palette image
};
void writeTiff(const std::string &path, const TiffLayout &layout);

// Reads the file with libtiff: the PhotometricInterpretation and the offset
// of every directory.  Fails the test when libtiff cannot read the file.
struct TiffDirectory {
  uint64_t offset;
  uint16_t photometric;
};
std::vector<TiffDirectory> readDirectories(const std::string &path);

// The positions of the value fields of PhotometricInterpretation entries
// holding 3, in the directories at the given offsets.
std::vector<uint64_t> paletteValueFields(const Bytes &file, const std::vector<uint64_t> &offsets);
// The file as a correct repair leaves it: those value fields replaced.
Bytes patched(const Bytes &file, const std::vector<uint64_t> &fields);
// Positions at which two files of the same size differ.
std::vector<uint64_t> differences(const Bytes &a, const Bytes &b);

// Hand-made files.  Numbers are stored in the byte order of the file.  The
// tags that matter: 262 PhotometricInterpretation, 277 SamplesPerPixel.
struct Entry {
  uint16_t tag;
  uint16_t type;  // 3 SHORT, 4 LONG
  uint32_t count; // of values
  unsigned char value[4];
};
// An entry whose value field holds one 16-bit value followed by two zeros.
Entry shortEntry(uint16_t tag, uint16_t value, bool bigEndian);
// An entry with the four value-field bytes as given.
Entry rawEntry(uint16_t tag, const unsigned char value[4], bool bigEndian);

class HandTiff {
public:
  explicit HandTiff(bool bigEndian, uint32_t firstOffset = 8, uint16_t version = 42);
  // A directory at offset (the file grows as needed); returns the position
  // of entry 0.
  uint64_t directory(uint64_t offset, const std::vector<Entry> &entries, uint32_t next);
  void put16(uint64_t at, uint16_t v);
  void put32(uint64_t at, uint32_t v);
  Bytes &bytes() { return bytes_; }

private:
  void reach(uint64_t end);
  bool big_;
  Bytes bytes_;
};

} // namespace tifftest

#endif
