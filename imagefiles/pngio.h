// Writing images as PNG files.
#ifndef KALMEX_TOOLS_PNGIO_H
#define KALMEX_TOOLS_PNGIO_H

#include <cstdint>
#include <string>
#include <vector>

namespace kalpng {

// Where a writer puts the picture: through PATH.part renamed to PATH once
// whole (a failed write leaves neither), or straight into PATH, for a
// caller whose PATH is a temporary file of its own (which it removes when
// the write fails).
enum class Target { kReplacing, kInPlace };

// Pixels row by row (row-major), 8-bit grey or 8-bit RGB triples.
bool writeGrey8(const std::string &path, int width, int height, const std::vector<uint8_t> &px,
                Target target = Target::kReplacing);
bool writeRgb8(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb,
               Target target = Target::kReplacing);
// Grey 16-bit, for label images.
bool writeGrey16(const std::string &path, int width, int height, const std::vector<uint16_t> &px,
                 Target target = Target::kReplacing);

// Scales a column-major rows x cols double image to 0..255 grey, row-major,
// mapping its finite minimum to 0 and maximum to 255.
std::vector<uint8_t> toGrey(const double *data, int rows, int cols);

// A distinct colour for every label (0 is dark grey), row-major RGB.
std::vector<uint8_t> labelColours(const int32_t *labels, int rows, int cols);

} // namespace kalpng

#endif
