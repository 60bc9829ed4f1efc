// Failures that real files seldom show: seeks, reads and writes that fail
// on streams made to fail on demand, and allocations that fail (the
// allocator is wrapped at link time for this executable).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "repair.h"
#include "tifffiles.h"

using namespace tifftest;

// ---- Allocations that fail on demand -----------------------------------------

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);

namespace {
bool failArmed = false;
size_t failSize = 0; // requests of exactly this many bytes fail while armed
} // namespace

extern "C" void *__wrap_malloc(size_t size) {
  if (failArmed && size == failSize) {
    return nullptr;
  }
  return __real_malloc(size);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  if (failArmed && count * size == failSize) {
    return nullptr;
  }
  return __real_calloc(count, size);
}

namespace {

struct FailRequestsOf {
  explicit FailRequestsOf(size_t bytes) {
    failSize = bytes;
    failArmed = true;
  }
  ~FailRequestsOf() { failArmed = false; }
};

// ---- Streams that fail on demand ---------------------------------------------

struct MemoryFile {
  Bytes data;
  long position = 0;
  long failSeekTo = -1;    // a seek to this position fails
  long failReadsFrom = -1; // no byte at or past this position can be read
  bool failWrites = false;
  std::vector<std::pair<long, size_t>> writes; // position and length of each write
};

ssize_t memoryRead(void *cookie, char *buf, size_t size) {
  MemoryFile *f = static_cast<MemoryFile *>(cookie);
  if (f->failReadsFrom >= 0 && f->position >= f->failReadsFrom) {
    return -1;
  }
  long end = long(f->data.size());
  if (f->failReadsFrom >= 0 && f->failReadsFrom < end) {
    end = f->failReadsFrom;
  }
  const size_t n = f->position >= end ? 0 : std::min(size, size_t(end - f->position));
  std::memcpy(buf, f->data.data() + f->position, n);
  f->position += long(n);
  return ssize_t(n);
}

ssize_t memoryWrite(void *cookie, const char *buf, size_t size) {
  MemoryFile *f = static_cast<MemoryFile *>(cookie);
  if (f->failWrites) {
    return 0; // how a write failure is told: never a negative value
  }
  f->writes.emplace_back(f->position, size);
  if (f->data.size() < size_t(f->position) + size) {
    f->data.resize(size_t(f->position) + size);
  }
  std::memcpy(f->data.data() + f->position, buf, size);
  f->position += long(size);
  return ssize_t(size);
}

int memorySeek(void *cookie, off64_t *offset, int whence) {
  MemoryFile *f = static_cast<MemoryFile *>(cookie);
  const long target = whence == SEEK_SET   ? long(*offset)
                      : whence == SEEK_CUR ? f->position + long(*offset)
                                           : long(f->data.size()) + long(*offset);
  if (target < 0 || target == f->failSeekTo) {
    return -1;
  }
  f->position = target;
  *offset = target;
  return 0;
}

int memoryClose(void *) { return 0; }

struct Outcome {
  std::string text;
  bool failed;
  bool fixed;
};

// Runs repairFile (verbose) on the memory file through a stream, buffered
// or not.
Outcome repairStream(MemoryFile &f, bool buffered) {
  cookie_io_functions_t io = {memoryRead, memoryWrite, memorySeek, memoryClose};
  FILE *fp = fopencookie(&f, "r+", io);
  EXPECT_NE(fp, nullptr);
  if (!buffered) {
    setvbuf(fp, nullptr, _IONBF, 0);
  }
  repairReport().clear();
  RepairState s = newRepairState(gatherRepairReport);
  s.verbose = true;
  repairFile(fp, &s);
  std::fclose(fp);
  return {repairReport(), s.fileFailed, s.fileFixed};
}

// Two directories of three samples, 262 holding 3 in each (twice in the
// second); their value fields are at 30, 62 and 74.
Bytes twoDirectories() {
  HandTiff t(false);
  t.directory(8, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 40);
  t.directory(40, {shortEntry(277, 3, false), shortEntry(262, 3, false), shortEntry(262, 3, false)},
              0);
  return t.bytes();
}

// Seeks are failed on unbuffered streams, where each fseek reaches the
// stream's seek function with its own target.
TEST(RepairFaults, SeekToADirectoryFails) {
  MemoryFile f;
  f.data = twoDirectories();
  f.failSeekTo = 40;
  const Outcome o = repairStream(f, false);
  EXPECT_EQ(o.text, "Seek error accessing TIFF directory.\n");
  EXPECT_TRUE(o.failed);
  // The first directory's rewrite stays.
  EXPECT_TRUE(o.fixed);
  EXPECT_EQ(f.data, patched(twoDirectories(), {30}));
}

TEST(RepairFaults, SeekToAValueFieldFails) {
  MemoryFile f;
  f.data = twoDirectories();
  f.failSeekTo = 62; // the first value field of the second directory
  const Outcome o = repairStream(f, false);
  EXPECT_EQ(o.text, "Seek error accessing TIFF tag for writing.\n");
  EXPECT_TRUE(o.failed);
  EXPECT_TRUE(o.fixed);
  // The loop was left: the later 262 of that directory was not written.
  EXPECT_EQ(f.data, patched(twoDirectories(), {30}));
}

TEST(RepairFaults, WriteFailsAtOnceOrWhenFlushed) {
  // Unbuffered, the write itself fails; buffered, only the flush can tell.
  for (bool buffered : {false, true}) {
    MemoryFile f;
    f.data = twoDirectories();
    f.failWrites = true;
    const Outcome o = repairStream(f, buffered);
    EXPECT_EQ(o.text, "Could not write new PhotometricInterpretation value.\n") << buffered;
    EXPECT_TRUE(o.failed);
    EXPECT_FALSE(o.fixed);
    EXPECT_EQ(f.data, twoDirectories());
  }
}

TEST(RepairFaults, WritesAreTheFourByteValueFieldsOnly) {
  MemoryFile f;
  f.data = twoDirectories();
  const Outcome o = repairStream(f, true);
  EXPECT_EQ(o.text, "");
  EXPECT_FALSE(o.failed);
  EXPECT_TRUE(o.fixed);
  EXPECT_EQ(f.writes, (std::vector<std::pair<long, size_t>>{{30, 4}, {62, 4}, {74, 4}}));
  EXPECT_EQ(f.data, patched(twoDirectories(), {30, 62, 74}));
}

TEST(RepairFaults, ReadErrorInsideTheEntries) {
  MemoryFile f;
  f.data = twoDirectories();
  f.failReadsFrom = 40 + 2 + 24 + 5; // after the second entry of the second directory
  const Outcome o = repairStream(f, false);
  EXPECT_EQ(o.text, "Could only read 2 of 3 entries in directory at offset 0x28\n");
  EXPECT_TRUE(o.failed);
  // The entries read were still repaired.
  EXPECT_EQ(f.data, patched(twoDirectories(), {30, 62}));
}

TEST(RepairFaults, NoMemoryForTheEntries) {
  TempDir tmp;
  const std::string p = tmp.path("a.tif");
  writeFile(p, twoDirectories());
  repairReport().clear();
  RepairState s = newRepairState(gatherRepairReport);
  s.verbose = true;
  {
    FailRequestsOf entries(12 * 3); // the second directory's block
    repairNamedFile(p.c_str(), &s);
  }
  EXPECT_EQ(repairReport(), "No space for TIFF directory\nProblem reading the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(twoDirectories(), {30}));
}

TEST(RepairFaults, EmptyDirectoriesNeedNoMemory) {
  // A zero-byte request may come back empty: that is no failure.
  HandTiff t(true, 8);
  t.directory(8, {}, 20);
  t.directory(20, {shortEntry(262, 3, true), shortEntry(277, 3, true)}, 0);
  TempDir tmp;
  const std::string p = tmp.path("empty.tif");
  writeFile(p, t.bytes());
  repairReport().clear();
  RepairState s = newRepairState(gatherRepairReport);
  s.verbose = true;
  {
    FailRequestsOf nothing(0);
    repairNamedFile(p.c_str(), &s);
  }
  EXPECT_EQ(repairReport(), "Fixed the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(t.bytes(), {30}));
}

TEST(RepairFaults, NoMemoryToRememberTheDirectories) {
  // The table of visited offsets starts with 64 slots and grows to 128
  // when the 33rd directory is reached.
  HandTiff t(false);
  std::vector<uint64_t> fields;
  for (int i = 0; i < 40; ++i) {
    const uint64_t at = 8 + 30 * uint64_t(i);
    t.directory(at, {shortEntry(262, 3, false), shortEntry(277, 3, false)},
                i + 1 < 40 ? uint32_t(at + 30) : 0);
    if (i < 32) {
      fields.push_back(at + 10);
    }
  }
  TempDir tmp;
  const std::string p = tmp.path("long.tif");
  writeFile(p, t.bytes());
  repairReport().clear();
  RepairState s = newRepairState(gatherRepairReport);
  s.verbose = true;
  {
    FailRequestsOf table(128 * sizeof(uint32_t));
    repairNamedFile(p.c_str(), &s);
  }
  EXPECT_EQ(repairReport(), "No space for TIFF directory\nProblem reading the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(t.bytes(), fields));
}

} // namespace
