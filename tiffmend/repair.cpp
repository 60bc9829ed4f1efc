#include "repair.h"

#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>

namespace {

const unsigned kPhotometricTag = 262;
const unsigned kSamplesPerPixelTag = 277;
const unsigned kPaletteColour = 3;
const unsigned kEntrySize = 12;

unsigned read16(const unsigned char *p, bool bigEndian) {
  return bigEndian ? (unsigned(p[0]) << 8) | p[1] : (unsigned(p[1]) << 8) | p[0];
}

uint32_t read32(const unsigned char *p, bool bigEndian) {
  if (bigEndian) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  }
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// Finds the SamplesPerPixel among a directory's entries: the value of the
// first such entry, read as its field type stores it.  False when none of
// the entries is one.
bool findSamplesPerPixel(const unsigned char *entries, unsigned count, bool bigEndian,
                         uint32_t *samples) {
  for (unsigned k = 0; k < count; ++k) {
    const unsigned char *entry = entries + size_t(kEntrySize) * k;
    if (read16(entry, bigEndian) != kSamplesPerPixelTag) {
      continue;
    }
    switch (read16(entry + 2, bigEndian)) {
    case 1: // BYTE
    case 6: // SBYTE
    case 7: // UNDEFINED
      *samples = entry[8];
      break;
    case 4: // LONG
    case 9: // SLONG
      *samples = read32(entry + 8, bigEndian);
      break;
    default: // SHORT, as the format has it
      *samples = read16(entry + 8, bigEndian);
    }
    return true;
  }
  return false;
}

// Positions are computed in 64 bits, so O + 10 + 12k cannot wrap for any
// 32-bit offset; a position that a long cannot hold counts as a failed seek.
bool seekTo(FILE *fp, uint64_t position) {
  if (position > static_cast<uint64_t>(LONG_MAX)) {
    return false;
  }
  return std::fseek(fp, static_cast<long>(position), SEEK_SET) == 0;
}

// The directory offsets visited so far, to stop a chain that comes back on
// itself.  Open addressing over a power-of-two table kept at most half full;
// 0 marks a free slot, since offset 0 ends the chain and is never visited.
struct OffsetSet {
  uint32_t *slots;
  size_t capacity;
  size_t count;
};

enum class Insert { added, present, noMemory };

// Mixes all bits of the offset into the low ones: offsets are often
// multiples of a power of two.
size_t slotOf(uint32_t offset, size_t capacity) {
  uint32_t h = offset;
  h ^= h >> 16;
  h *= 0x7feb352du;
  h ^= h >> 15;
  h *= 0x846ca68bu;
  h ^= h >> 16;
  return static_cast<size_t>(h) & (capacity - 1);
}

void placeOffset(uint32_t *slots, size_t capacity, uint32_t offset) {
  size_t i = slotOf(offset, capacity);
  while (slots[i] != 0) {
    i = (i + 1) & (capacity - 1);
  }
  slots[i] = offset;
}

bool growOffsets(OffsetSet *set) {
  const size_t capacity = set->capacity == 0 ? 64 : set->capacity * 2;
  if (capacity > SIZE_MAX / sizeof(uint32_t)) {
    return false;
  }
  uint32_t *slots = static_cast<uint32_t *>(std::calloc(capacity, sizeof(uint32_t)));
  if (slots == nullptr) {
    return false;
  }
  for (size_t i = 0; i < set->capacity; ++i) {
    if (set->slots[i] != 0) {
      placeOffset(slots, capacity, set->slots[i]);
    }
  }
  std::free(set->slots);
  set->slots = slots;
  set->capacity = capacity;
  return true;
}

Insert insertOffset(OffsetSet *set, uint32_t offset) {
  if (set->capacity != 0) {
    size_t i = slotOf(offset, set->capacity);
    while (set->slots[i] != 0) {
      if (set->slots[i] == offset) {
        return Insert::present;
      }
      i = (i + 1) & (set->capacity - 1);
    }
  }
  if (2 * (set->count + 1) > set->capacity && !growOffsets(set)) {
    return Insert::noMemory;
  }
  placeOffset(set->slots, set->capacity, offset);
  ++set->count;
  return Insert::added;
}

} // namespace

KxStatus checkRepairCall(int inputs) {
  if (inputs < 1) {
    return kxFailure("tiffmend", KxReason::noInput, "Expected at least one input file name.");
  }
  return KxStatus();
}

RepairState newRepairState(RepairPrint print) {
  RepairState s;
  s.print = print;
  return s;
}

// Made on first use only, so that the module, which prints to the console,
// never holds one.
std::string &repairReport() {
  thread_local std::string text;
  return text;
}

int gatherRepairReport(const char *fmt, ...) {
  char line[4096];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  repairReport() += line;
  return n;
}

void applyOptions(const char *word, RepairState *s) {
  for (const char *c = word + 1; *c != '\0'; ++c) {
    if (*c == 'q' || *c == 'Q') {
      s->quiet = true;
    } else if (*c == 'v' || *c == 'V') {
      s->verbose = true;
    }
  }
  if (s->quiet) {
    s->verbose = false;
  }
}

// Only a regular file is worked on: reading a named pipe or a terminal
// would wait for ever, and a device is no TIFF file.
static bool isRegularFile(FILE *fp) {
  struct stat st;
  return fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
}

RepairOutcome repairNamedFile(const char *name, RepairState *s) {
  FILE *fp = std::fopen(name, "r+b");
  if (fp != nullptr && !isRegularFile(fp)) {
    std::fclose(fp);
    fp = nullptr;
  }
  if (fp == nullptr) {
    if (!s->quiet) {
      s->print("Problem opening file %s\n", name);
    }
    return kRepairUnopened;
  }
  s->fileFixed = false;
  repairFile(fp, s);
  // Every rewrite was flushed when it was made, but a late error reported by
  // the close must not pass for success.
  if (std::fclose(fp) != 0) {
    if (s->verbose) {
      s->print("Error closing the file.\n");
    }
    s->fileFailed = true;
  }
  const RepairOutcome outcome = s->fileFailed  ? kRepairFailed
                                : s->fileFixed ? kRepairFixed
                                               : kRepairNothing;
  if (!s->quiet) {
    if (outcome == kRepairFailed) {
      s->print("Problem reading the file %s\n", name);
    } else if (outcome == kRepairFixed) {
      s->print("Fixed the file %s\n", name);
    } else {
      s->print("Nothing to fix in %s\n", name);
    }
  }
  s->fileFailed = false;
  return outcome;
}

RepairOutcome repairArgument(const char *text, bool whole, RepairState *s) {
  if (text[0] == '-') {
    applyOptions(text, s);
    return kRepairOptions;
  }
  if (!whole) {
    if (!s->quiet) {
      s->print("Problem opening file %s\n", text);
    }
    return kRepairUnopened;
  }
  return repairNamedFile(text, s);
}

void repairFile(FILE *fp, RepairState *s) {
  unsigned char header[8];
  if (std::fread(header, sizeof header, 1, fp) != 1) {
    if (s->verbose) {
      s->print("Could not read header.\n");
    }
    s->fileFailed = true;
    return;
  }
  if (header[0] == 'M' && header[1] == 'M') {
    s->bigEndian = true;
  } else if (header[0] == 'I' && header[1] == 'I') {
    s->bigEndian = false;
  } else {
    const unsigned magic = read16(header, false);
    if (s->verbose) {
      s->print("Not a TIFF file, bad magic number %u (%#x)\n", magic, magic);
    }
    s->fileFailed = true;
    return;
  }
  const unsigned version = read16(header + 2, s->bigEndian);
  if (version != 42) {
    if (s->verbose) {
      s->print("Not a TIFF file, bad version number %u (%#x)\n", version, version);
    }
    s->fileFailed = true;
    return;
  }

  OffsetSet seen = {nullptr, 0, 0};
  uint32_t offset = read32(header + 4, s->bigEndian);
  while (offset != 0 && !s->fileFailed) {
    const Insert inserted = insertOffset(&seen, offset);
    if (inserted == Insert::present) {
      if (s->verbose) {
        s->print("Loop in TIFF directory chain at offset %#lx\n",
                 static_cast<unsigned long>(offset));
      }
      s->fileFailed = true;
    } else if (inserted == Insert::noMemory) {
      if (s->verbose) {
        s->print("No space for TIFF directory\n");
      }
      s->fileFailed = true;
    } else {
      offset = repairDirectory(fp, offset, s);
    }
  }
  std::free(seen.slots);
}

uint32_t repairDirectory(FILE *fp, uint32_t offset, RepairState *s) {
  // Every directory begins with a seek, which also separates a write in the
  // previous directory from the reads below.
  if (!seekTo(fp, offset)) {
    if (s->verbose) {
      s->print("Seek error accessing TIFF directory.\n");
    }
    s->fileFailed = true;
    return 0;
  }
  unsigned char countBytes[2];
  if (std::fread(countBytes, sizeof countBytes, 1, fp) != 1) {
    if (s->verbose) {
      s->print("Could not read directory count.\n");
    }
    s->fileFailed = true;
    return 0;
  }
  const unsigned count = read16(countBytes, s->bigEndian);

  // A directory without entries needs no block (and a zero-byte request may
  // legally come back empty).
  unsigned char *entries = nullptr;
  if (count > 0) {
    entries = static_cast<unsigned char *>(std::malloc(size_t(kEntrySize) * count));
    if (entries == nullptr) {
      if (s->verbose) {
        s->print("No space for TIFF directory\n");
      }
      s->fileFailed = true;
      return 0;
    }
  }
  const unsigned got =
      count > 0 ? static_cast<unsigned>(std::fread(entries, kEntrySize, count, fp)) : 0;

  // A directory cut short is still worked on as far as it was read, but the
  // file is reported as failed: the rest of it could not be examined.
  uint32_t next = 0;
  if (got < count) {
    if (s->verbose) {
      s->print("Could only read %u of %u entries in directory at offset %#lx\n", got, count,
               static_cast<unsigned long>(offset));
    }
    s->fileFailed = true;
  } else {
    unsigned char nextBytes[4];
    if (std::fread(nextBytes, sizeof nextBytes, 1, fp) == 1) {
      next = read32(nextBytes, s->bigEndian);
    } else {
      if (s->verbose) {
        s->print("Could not read next directory offset.\n");
      }
      s->fileFailed = true;
    }
  }

  // The entries are examined from the copy in memory, so a rewrite never
  // changes what is read next.  Only a directory that declares palette
  // colour while holding several samples a pixel (RGB samples) is repaired:
  // with one sample a pixel (also when SamplesPerPixel is absent, the
  // format's default) it is a true palette image, which RGB would destroy.
  // A directory cut before its SamplesPerPixel could be either: nothing is
  // written in it.
  uint32_t samples = 1;
  const bool samplesKnown =
      findSamplesPerPixel(entries, got, s->bigEndian, &samples) || got == count;
  const bool truePalette = samplesKnown && samples == 1;
  bool keptPalette = false;
  const unsigned char replacement[2][4] = {{2, 0, 0, 0}, {0, 2, 0, 0}};
  for (unsigned k = 0; k < got && samplesKnown; ++k) {
    const unsigned char *entry = entries + size_t(kEntrySize) * k;
    if (read16(entry, s->bigEndian) != kPhotometricTag ||
        read16(entry + 8, s->bigEndian) != kPaletteColour) {
      continue;
    }
    if (truePalette) {
      if (!keptPalette && s->verbose) {
        s->print("Kept PhotometricInterpretation 3 in directory at offset %#lx: "
                 "palette image with one sample per pixel\n",
                 static_cast<unsigned long>(offset));
      }
      keptPalette = true;
      continue;
    }
    if (!seekTo(fp, uint64_t(offset) + 10 + uint64_t(kEntrySize) * k)) {
      if (s->verbose) {
        s->print("Seek error accessing TIFF tag for writing.\n");
      }
      s->fileFailed = true;
      break;
    }
    // The value goes to the file at once: a failure that only the flush
    // would reveal is a failed write too.
    if (std::fwrite(replacement[s->bigEndian ? 1 : 0], 4, 1, fp) != 1 || std::fflush(fp) != 0) {
      if (s->verbose) {
        s->print("Could not write new PhotometricInterpretation value.\n");
      }
      s->fileFailed = true;
      break;
    }
    s->fileFixed = true;
  }
  std::free(entries);
  return s->fileFailed ? 0 : next;
}
