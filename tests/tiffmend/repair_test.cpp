// repairFile and repairDirectory on real files in a fresh temporary folder:
// files written by libtiff, hand-made byte-level cases, truncated files and
// looping chains.  Every case checks the bytes: only the value fields of
// PhotometricInterpretation entries holding 3 may change.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "repair.h"
#include "tifffiles.h"

using namespace tifftest;

namespace {

std::string &printed = repairReport();
const RepairPrint capture = gatherRepairReport;

// Repairs one file as a call would and returns what was printed.
std::string repair(const std::string &path, bool verbose = true) {
  printed.clear();
  RepairState s = newRepairState(capture);
  s.verbose = verbose;
  repairNamedFile(path.c_str(), &s);
  EXPECT_FALSE(s.fileFailed) << "fileFailed is cleared after each file";
  return printed;
}

class Repair : public ::testing::Test {
protected:
  TempDir tmp;
  std::string file(const std::string &name, const Bytes &bytes) {
    const std::string p = tmp.path(name);
    writeFile(p, bytes);
    return p;
  }
};

// ---- Files written by libtiff ------------------------------------------------

// The verbose line of a directory whose palette colour is kept.
std::string keptLine(uint64_t offset) {
  char line[128];
  std::snprintf(line, sizeof line,
                "Kept PhotometricInterpretation 3 in directory at offset %#lx: "
                "palette image with one sample per pixel\n",
                static_cast<unsigned long>(offset));
  return line;
}

// Pages, byte order, extra tags, samples per pixel of the palette image.
using LibtiffCase = std::tuple<int, bool, bool, int>;

class LibtiffFiles : public Repair, public ::testing::WithParamInterface<LibtiffCase> {};

// A file that declares palette colour over three samples becomes RGB in
// every directory; a true palette image (one sample) is left byte for byte,
// with the reason under verbose.  Nothing else ever changes.
TEST_P(LibtiffFiles, DeclaredPaletteBecomesRgbTruePaletteStays) {
  TiffLayout layout;
  std::tie(layout.pages, layout.bigEndian, layout.extraTags, layout.paletteSamples) = GetParam();
  const bool repairable = layout.paletteSamples == 3;
  const std::string p = tmp.path("palette.tif");
  writeTiff(p, layout);
  const Bytes before = readFile(p);
  std::vector<uint64_t> offsets;
  std::string kept;
  for (const TiffDirectory &d : readDirectories(p)) {
    EXPECT_EQ(d.photometric, 3);
    offsets.push_back(d.offset);
    kept += keptLine(d.offset);
  }
  ASSERT_EQ(offsets.size(), size_t(layout.pages));
  const std::vector<uint64_t> fields = paletteValueFields(before, offsets);
  ASSERT_EQ(fields.size(), size_t(layout.pages));

  const Bytes after = repairable ? patched(before, fields) : before;
  for (int run = 0; run < 2; ++run) {
    // A second run finds nothing more to do.
    const std::string outcome =
        repairable ? (run == 0 ? "Fixed the file " : "Nothing to fix in ") + p + "\n"
                   : kept + "Nothing to fix in " + p + "\n";
    EXPECT_EQ(repair(p), outcome);
    EXPECT_EQ(readFile(p), after);
  }
  for (const TiffDirectory &d : readDirectories(p)) {
    EXPECT_EQ(d.photometric, repairable ? 2 : 3);
  }
}

INSTANTIATE_TEST_SUITE_P(PagesOrderTagsSamples, LibtiffFiles,
                         ::testing::Combine(::testing::Values(1, 4), ::testing::Bool(),
                                            ::testing::Bool(), ::testing::Values(1, 3)));

TEST_F(Repair, RgbFileNeedsNothing) {
  TiffLayout layout;
  layout.palette = false;
  layout.pages = 2;
  layout.extraTags = true;
  const std::string p = tmp.path("rgb.tif");
  writeTiff(p, layout);
  const Bytes before = readFile(p);
  EXPECT_EQ(repair(p), "Nothing to fix in " + p + "\n");
  EXPECT_EQ(readFile(p), before);
}

// ---- Hand-made files -----------------------------------------------------------

TEST_F(Repair, ValueFieldsAreRewrittenInTheFileByteOrder) {
  // "II": 03 00 FF FF reads as 3, the other two bytes are ignored.
  const unsigned char iiValue[4] = {0x03, 0x00, 0xFF, 0xFF};
  HandTiff ii(false);
  ii.directory(8, {shortEntry(277, 3, false), rawEntry(262, iiValue, false)}, 0);
  const std::string a = file("ii.tif", ii.bytes());
  EXPECT_EQ(repair(a), "Fixed the file " + a + "\n");
  const Bytes fixedII = readFile(a);
  EXPECT_EQ(fixedII, patched(ii.bytes(), {30}));
  EXPECT_EQ(Bytes(fixedII.begin() + 30, fixedII.begin() + 34), (Bytes{2, 0, 0, 0}));

  // "MM": 00 03 00 00 becomes 00 02 00 00; with 262 the last entry.
  HandTiff mm(true);
  mm.directory(8, {shortEntry(277, 3, true), shortEntry(262, 3, true)}, 0);
  const std::string b = file("mm.tif", mm.bytes());
  EXPECT_EQ(repair(b), "Fixed the file " + b + "\n");
  const Bytes after = readFile(b);
  EXPECT_EQ(differences(mm.bytes(), after), (std::vector<uint64_t>{31}));
  EXPECT_EQ(Bytes(after.begin() + 30, after.begin() + 34), (Bytes{0, 2, 0, 0}));

  // Several 262 entries in one directory and 3 in other tags: only the 262s.
  HandTiff many(false);
  many.directory(8,
                 {shortEntry(262, 3, false), shortEntry(263, 3, false), shortEntry(259, 3, false),
                  shortEntry(262, 3, false), shortEntry(277, 3, false)},
                 0);
  const std::string c = file("many.tif", many.bytes());
  EXPECT_EQ(repair(c), "Fixed the file " + c + "\n");
  EXPECT_EQ(readFile(c), patched(many.bytes(), {18, 54}));
}

TEST_F(Repair, OtherValuesTagsAndByteOrdersAreLeftAlone) {
  for (uint16_t value : {0, 1, 2, 4, 0x0300}) {
    for (bool big : {false, true}) {
      HandTiff t(big);
      t.directory(8, {shortEntry(262, value, big), shortEntry(277, 3, big)}, 0);
      const std::string p = file("v.tif", t.bytes());
      EXPECT_EQ(repair(p), "Nothing to fix in " + p + "\n") << value;
      EXPECT_EQ(readFile(p), t.bytes());
    }
  }
  // The tag read in the wrong byte order would be 262 (bytes 01 06 in an
  // "II" file are tag 0x0601), and a value 3 only in the unused bytes.
  const unsigned char highValue[4] = {0x00, 0x00, 0x03, 0x00};
  HandTiff t(false);
  t.directory(
      8, {shortEntry(0x0601, 3, false), rawEntry(262, highValue, false), shortEntry(277, 3, false)},
      0);
  const std::string p = file("order.tif", t.bytes());
  EXPECT_EQ(repair(p), "Nothing to fix in " + p + "\n");
  EXPECT_EQ(readFile(p), t.bytes());
}

// A SamplesPerPixel entry as the field type stores it: BYTE (1), SHORT (3)
// or LONG (4).
Entry samplesEntry(uint16_t type, uint32_t samples, bool big) {
  Entry e = shortEntry(277, uint16_t(samples), big);
  e.type = type;
  for (int i = 0; i < 4; ++i) {
    e.value[i] = type == 4   ? uint8_t(samples >> (8 * (big ? 3 - i : i)))
                 : type == 1 ? uint8_t(i == 0 ? samples : 0)
                             : e.value[i];
  }
  return e;
}

TEST_F(Repair, SamplesPerPixelTellsATruePaletteFromADeclaredOne) {
  // One sample (also SamplesPerPixel absent) keeps the palette, with the
  // reason under verbose; three samples are repaired.  Every field type, both
  // byte orders, and the entry before or after tag 262.
  for (bool big : {false, true}) {
    for (uint16_t type : {0, 1, 3, 4}) { // 0: no SamplesPerPixel entry
      for (uint32_t samples : {1u, 3u}) {
        std::vector<Entry> entries = {shortEntry(262, 3, big)};
        if (type != 0) {
          entries.insert(samples == 1 ? entries.begin() : entries.end(),
                         samplesEntry(type, samples, big));
        } else if (samples != 1) {
          continue;
        }
        HandTiff t(big);
        t.directory(8, entries, 0);
        const std::string p = file("s.tif", t.bytes());
        const std::string where = std::to_string(type) + "/" + std::to_string(samples);
        if (samples == 1) {
          EXPECT_EQ(repair(p), keptLine(8) + "Nothing to fix in " + p + "\n") << where;
          EXPECT_EQ(repair(p, false), "Nothing to fix in " + p + "\n");
          EXPECT_EQ(readFile(p), t.bytes()) << where;
        } else {
          EXPECT_EQ(repair(p), "Fixed the file " + p + "\n") << where;
          EXPECT_EQ(readFile(p), patched(t.bytes(), {18})) << where;
        }
      }
    }
  }

  // Both kinds in one file: only the directories with three samples change,
  // and the file counts as fixed.
  HandTiff mixed(true);
  mixed.directory(8, {shortEntry(262, 3, true), shortEntry(277, 1, true)}, 40);
  mixed.directory(40, {shortEntry(262, 3, true), shortEntry(277, 3, true)}, 80);
  mixed.directory(80, {shortEntry(262, 3, true)}, 120);
  mixed.directory(120, {samplesEntry(4, 3, true), shortEntry(262, 3, true)}, 0);
  const std::string p = file("mixed.tif", mixed.bytes());
  EXPECT_EQ(repair(p), keptLine(8) + keptLine(80) + "Fixed the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(mixed.bytes(), {50, 142}));
  EXPECT_EQ(repair(p, false), "Nothing to fix in " + p + "\n");
}

TEST_F(Repair, ChainsOfDirectories) {
  // A first offset of 0: no directory at all.
  HandTiff none(false, 0);
  none.directory(8, {shortEntry(262, 3, false)}, 0);
  const std::string a = file("none.tif", none.bytes());
  EXPECT_EQ(repair(a), "Nothing to fix in " + a + "\n");
  EXPECT_EQ(readFile(a), none.bytes());

  // A directory without entries: its next offset follows the count at once.
  HandTiff empty(true, 100);
  empty.directory(100, {}, 40);
  empty.directory(40, {shortEntry(262, 3, true), shortEntry(277, 3, true)}, 0);
  const std::string b = file("empty.tif", empty.bytes());
  EXPECT_EQ(repair(b), "Fixed the file " + b + "\n");
  EXPECT_EQ(readFile(b), patched(empty.bytes(), {50}));

  // Directories in any order, each repaired once; one line for the file.
  HandTiff pages(false, 200);
  pages.directory(200, {shortEntry(262, 3, false), shortEntry(277, 3, false)}, 8);
  pages.directory(8, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 120);
  pages.directory(120, {shortEntry(262, 1, false)}, 0);
  const std::string c = file("pages.tif", pages.bytes());
  EXPECT_EQ(repair(c), "Fixed the file " + c + "\n");
  EXPECT_EQ(readFile(c), patched(pages.bytes(), {210, 30}));
}

TEST_F(Repair, HeadersThatAreNotClassicTiff) {
  const Bytes tiff = {'I', 'I', 42, 0, 0, 0, 0, 0};
  for (size_t n = 0; n < 8; ++n) {
    const std::string p = file("short.tif", Bytes(tiff.begin(), tiff.begin() + long(n)));
    EXPECT_EQ(repair(p), "Could not read header.\nProblem reading the file " + p + "\n") << n;
    EXPECT_EQ(repair(p, false), "Problem reading the file " + p + "\n");
    EXPECT_EQ(readFile(p).size(), n);
  }
  const std::string gif = file("gif.tif", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0});
  EXPECT_EQ(repair(gif), "Not a TIFF file, bad magic number 18759 (0x4947)\n"
                         "Problem reading the file " +
                             gif + "\n");
  const std::string mixed = file("mixed.tif", {'I', 'M', 42, 0, 8, 0, 0, 0});
  EXPECT_EQ(repair(mixed), "Not a TIFF file, bad magic number 19785 (0x4d49)\n"
                           "Problem reading the file " +
                               mixed + "\n");
  HandTiff big(false, 8, 43);
  big.directory(8, {shortEntry(262, 3, false)}, 0);
  const std::string bigTiff = file("big.tif", big.bytes());
  EXPECT_EQ(repair(bigTiff), "Not a TIFF file, bad version number 43 (0x2b)\n"
                             "Problem reading the file " +
                                 bigTiff + "\n");
  EXPECT_EQ(readFile(bigTiff), big.bytes());
  // The version is read in the file's byte order: 00 2A in an "II" file.
  const std::string swapped = file("swapped.tif", {'I', 'I', 0, 42, 8, 0, 0, 0});
  EXPECT_EQ(repair(swapped), "Not a TIFF file, bad version number 10752 (0x2a00)\n"
                             "Problem reading the file " +
                                 swapped + "\n");
}

TEST_F(Repair, CutDirectories) {
  // First offset beyond the end of the file.
  const std::string far = file("far.tif", {'M', 'M', 0, 42, 0, 0, 1, 0});
  EXPECT_EQ(repair(far), "Could not read directory count.\nProblem reading the file " + far + "\n");
  EXPECT_EQ(readFile(far).size(), 8u);

  // A short directory is worked on as far as it was read, but the file is
  // reported as failed.
  HandTiff t(false);
  t.directory(8,
              {shortEntry(277, 3, false), shortEntry(262, 3, false), shortEntry(273, 3, false),
               shortEntry(262, 3, false), shortEntry(284, 1, false)},
              0);
  Bytes cut(t.bytes().begin(), t.bytes().begin() + 8 + 2 + 12 * 2 + 7);
  const std::string p = file("cut.tif", cut);
  EXPECT_EQ(repair(p), "Could only read 2 of 5 entries in directory at offset 0x8\n"
                       "Problem reading the file " +
                           p + "\n");
  EXPECT_EQ(readFile(p), patched(cut, {30}));

  // Cut before its SamplesPerPixel, a directory could be either kind:
  // nothing is written in it.
  HandTiff before(false);
  before.directory(8, {shortEntry(262, 3, false), shortEntry(277, 3, false)}, 0);
  const std::string b =
      file("before.tif", Bytes(before.bytes().begin(), before.bytes().begin() + 30));
  EXPECT_EQ(repair(b), "Could only read 1 of 2 entries in directory at offset 0x8\n"
                       "Problem reading the file " +
                           b + "\n");
  EXPECT_EQ(readFile(b), Bytes(before.bytes().begin(), before.bytes().begin() + 30));

  // All entries but not the next offset.
  Bytes noNext(t.bytes().begin(), t.bytes().end() - 1);
  const std::string q = file("nonext.tif", noNext);
  EXPECT_EQ(repair(q),
            "Could not read next directory offset.\nProblem reading the file " + q + "\n");
  EXPECT_EQ(readFile(q), patched(noNext, {30, 54}));
}

TEST_F(Repair, LoopingChainsStopAtTheFirstOffsetSeen) {
  HandTiff t(false);
  t.directory(8, {shortEntry(262, 3, false), shortEntry(277, 3, false)}, 40);
  t.directory(40, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 8);
  const std::string p = file("loop.tif", t.bytes());
  EXPECT_EQ(repair(p), "Loop in TIFF directory chain at offset 0x8\n"
                       "Problem reading the file " +
                           p + "\n");
  // Each directory was repaired once before the loop was seen.
  EXPECT_EQ(readFile(p), patched(t.bytes(), {18, 62}));
  EXPECT_EQ(repair(p, false), "Problem reading the file " + p + "\n");

  HandTiff self(true, 16);
  self.directory(16, {shortEntry(262, 2, true)}, 16);
  const std::string q = file("self.tif", self.bytes());
  EXPECT_EQ(repair(q), "Loop in TIFF directory chain at offset 0x10\n"
                       "Problem reading the file " +
                           q + "\n");
  EXPECT_EQ(readFile(q), self.bytes());
}

TEST_F(Repair, LongChainsAreWalkedToTheEnd) {
  // Enough directories to make the table of visited offsets grow many times.
  HandTiff t(false);
  const int pages = 5000;
  std::vector<uint64_t> fields;
  for (int i = 0; i < pages; ++i) {
    const uint64_t at = 8 + 30 * uint64_t(i);
    t.directory(at, {shortEntry(262, 3, false), shortEntry(277, 3, false)},
                i + 1 < pages ? uint32_t(at + 30) : 0);
    fields.push_back(at + 10);
  }
  const std::string p = file("long.tif", t.bytes());
  EXPECT_EQ(repair(p), "Fixed the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(t.bytes(), fields));
}

TEST_F(Repair, OffsetsNearTheTopOfTheThirtyTwoBitRange) {
  // A sparse file with its directory just below 4 GiB and its entries
  // beyond: O + 10 + 12k must not wrap round to the start of the file.
  const uint32_t o = 0xFFFFFFF0u;
  HandTiff head(false, o);
  const std::string p = tmp.path("high.tif");
  writeFile(p, head.bytes());
  HandTiff dir(false);
  dir.directory(0, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 0);
  const Bytes block(dir.bytes().begin(), dir.bytes().begin() + 2 + 24 + 4);
  const int fd = ::open(p.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, block.data(), block.size(), off_t(o)), ssize_t(block.size()));
  ::close(fd);

  EXPECT_EQ(repair(p), "Fixed the file " + p + "\n");
  // Read back only the two written regions: the file is 4 GiB long.
  const int rd = ::open(p.c_str(), O_RDONLY);
  ASSERT_GE(rd, 0);
  Bytes header(8), tail(block.size());
  EXPECT_EQ(::pread(rd, header.data(), header.size(), 0), 8);
  EXPECT_EQ(::pread(rd, tail.data(), tail.size(), off_t(o)), ssize_t(tail.size()));
  EXPECT_EQ(::lseek(rd, 0, SEEK_END), off_t(o) + off_t(block.size()));
  ::close(rd);
  EXPECT_EQ(header, head.bytes());
  EXPECT_EQ(tail, patched(block, {10 + 12}));
}

// ---- Truncation at every length ------------------------------------------------

class Truncated : public Repair, public ::testing::WithParamInterface<bool> {};

TEST_P(Truncated, EveryLengthFromNothingToTheWholeFile) {
  TiffLayout layout;
  layout.pages = 3;
  layout.bigEndian = GetParam();
  layout.extraTags = true;
  layout.bitsPerSample = 2;
  layout.paletteSamples = 3;
  const std::string whole = tmp.path("whole.tif");
  writeTiff(whole, layout);
  const Bytes full = readFile(whole);
  std::vector<uint64_t> offsets;
  for (const TiffDirectory &d : readDirectories(whole)) {
    offsets.push_back(d.offset);
  }
  const std::vector<uint64_t> fields = paletteValueFields(full, offsets);
  ASSERT_EQ(fields.size(), 3u);
  const Bytes repaired = patched(full, fields);
  // The end of each directory: count, entries and next offset.
  std::vector<uint64_t> ends;
  for (uint64_t o : offsets) {
    const unsigned n = full[0] == 'M' ? full[o] << 8 | full[o + 1] : full[o + 1] << 8 | full[o];
    ends.push_back(o + 2 + 12 * n + 4);
  }

  for (size_t length = 0; length <= full.size(); ++length) {
    // A new file each time: rewriting one file in place is slow on some file systems.
    const std::string p = tmp.path("cut" + std::to_string(length) + ".tif");
    const Bytes cut(full.begin(), full.begin() + long(length));
    writeFile(p, cut);
    bool damaged = length < 8;
    for (uint64_t end : ends) {
      damaged = damaged || end > length;
    }
    const std::string text = repair(p, false);
    const Bytes after = readFile(p);
    ASSERT_EQ(after.size(), length);
    for (size_t i = 0; i < length; ++i) {
      ASSERT_TRUE(after[i] == full[i] || after[i] == repaired[i])
          << "byte " << i << " written in a file cut at " << length;
    }
    if (damaged) {
      ASSERT_EQ(text, "Problem reading the file " + p + "\n") << "cut at " << length;
    } else {
      ASSERT_EQ(text, "Fixed the file " + p + "\n") << "cut at " << length;
      ASSERT_EQ(after, Bytes(repaired.begin(), repaired.begin() + long(length)));
    }
    std::remove(p.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Truncated, ::testing::Bool());

// ---- Options -------------------------------------------------------------------

TEST(RepairOptions, QuietWinsForTheRestOfTheCall) {
  struct Case {
    std::vector<const char *> words;
    bool quiet;
    bool verbose;
  };
  const Case cases[] = {
      {{"-"}, false, false},        {{"-x"}, false, false},          {{"-v"}, false, true},
      {{"-V"}, false, true},        {{"-q"}, true, false},           {{"-Q"}, true, false},
      {{"-vq"}, true, false},       {{"-qv"}, true, false},          {{"-q", "-v"}, true, false},
      {{"-v", "-q"}, true, false},  {{"-xvz"}, false, true},         {{"-v", "-"}, false, true},
      {{"--verbose"}, false, true}, {{"-v", "-quiet"}, true, false},
  };
  for (const Case &c : cases) {
    RepairState s = newRepairState(capture);
    for (const char *w : c.words) {
      applyOptions(w, &s);
    }
    EXPECT_EQ(s.quiet, c.quiet) << c.words.back();
    EXPECT_EQ(s.verbose, c.verbose) << c.words.back();
  }
}

TEST_F(Repair, QuietPrintsNothingButStillRepairs) {
  HandTiff t(false);
  t.directory(8, {shortEntry(262, 3, false), shortEntry(277, 3, false)}, 0);
  const std::string p = file("q.tif", t.bytes());
  const std::string bad = file("bad.tif", {'G', 'I', 'F'});
  printed.clear();
  RepairState s = newRepairState(capture);
  applyOptions("-q", &s);
  repairNamedFile(p.c_str(), &s);
  repairNamedFile(bad.c_str(), &s);
  repairNamedFile(tmp.path("missing.tif").c_str(), &s);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(readFile(p), patched(t.bytes(), {18}));
}

TEST_F(Repair, FilesThatCannotBeOpened) {
  EXPECT_EQ(repair(tmp.path("missing.tif")),
            "Problem opening file " + tmp.path("missing.tif") + "\n");
  EXPECT_EQ(repair(tmp.dir()), "Problem opening file " + tmp.dir() + "\n");
}

} // namespace
