// tiffmend on files that are not plain files at rest: a folder, links, a
// file that shrinks between calls, a file held open by other handles, a
// named pipe.  Each gets its message, and no byte that should stay changes.
// (Read-only and missing files are in the module's own gateway test.)
#include "hosttest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tifffiles.h"

using namespace kaltest;
using namespace tifftest;

namespace {

class TiffmendFiles : public HostTest {
protected:
  TempDir tmp;

  // Three directories of three samples, each with PhotometricInterpretation
  // 3; the value fields are at 30, 60 and 90.
  static HandTiff pages() {
    HandTiff t(false);
    t.directory(8, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 38);
    t.directory(38, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 68);
    t.directory(68, {shortEntry(277, 3, false), shortEntry(262, 3, false)}, 0);
    return t;
  }

  static std::string run(const std::vector<std::string> &inputs) {
    Call c = callWithTexts("tiffmend", 0, inputs);
    EXPECT_TRUE(c.ok()) << c.error();
    return c.transcript;
  }
};

TEST_F(TiffmendFiles, FoldersAndLinks) {
  const std::string folder = tmp.path("folder.tif");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  EXPECT_EQ(run({"-v", folder}), "Problem opening file " + folder + "\n");
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // A link to a missing file opens nothing and creates nothing.
  const std::string dangling = tmp.path("dangling.tif"), target = tmp.path("gone.tif");
  ASSERT_EQ(symlink(target.c_str(), dangling.c_str()), 0);
  EXPECT_EQ(run({"-v", dangling}), "Problem opening file " + dangling + "\n");
  EXPECT_NE(access(target.c_str(), F_OK), 0);

  // A link to a file repairs the file it leads to; the link stays a link.
  HandTiff t = pages();
  const std::string real = tmp.path("real.tif"), link = tmp.path("link.tif");
  writeFile(real, t.bytes());
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  EXPECT_EQ(run({link}), "Fixed the file " + link + "\n");
  EXPECT_EQ(readFile(real), patched(t.bytes(), {30, 60, 90}));
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(TiffmendFiles, AFileThatShrinksBetweenCalls) {
  HandTiff t = pages();
  const std::string p = tmp.path("a.tif");
  writeFile(p, t.bytes());
  EXPECT_EQ(run({p}), "Fixed the file " + p + "\n");
  EXPECT_EQ(readFile(p), patched(t.bytes(), {30, 60, 90}));

  // Made palette again and cut inside the third directory's second entry:
  // the directories read whole are still repaired, the rest is reported.
  writeFile(p, t.bytes());
  ASSERT_EQ(truncate(p.c_str(), 68 + 2 + 12 + 5), 0);
  Bytes cut(t.bytes().begin(), t.bytes().begin() + 68 + 2 + 12 + 5);
  EXPECT_EQ(run({"-v", p}), "Could only read 1 of 2 entries in directory at offset 0x44\n"
                            "Problem reading the file " +
                                p + "\n");
  EXPECT_EQ(readFile(p), patched(cut, {30, 60}));

  // Cut again, inside the second directory's next offset, then inside the
  // header: the call after each cut sees only what is left.
  ASSERT_EQ(truncate(p.c_str(), 38 + 2 + 24 + 2), 0);
  EXPECT_EQ(run({"-v", p}), "Could not read next directory offset.\n"
                            "Problem reading the file " +
                                p + "\n");
  Bytes cutAgain(cut.begin(), cut.begin() + 38 + 2 + 24 + 2);
  EXPECT_EQ(readFile(p), patched(cutAgain, {30, 60}));
  ASSERT_EQ(truncate(p.c_str(), 5), 0);
  EXPECT_EQ(run({"-v", p}), "Could not read header.\nProblem reading the file " + p + "\n");
  EXPECT_EQ(readFile(p), Bytes(t.bytes().begin(), t.bytes().begin() + 5));
  ASSERT_EQ(truncate(p.c_str(), 0), 0);
  EXPECT_EQ(run({p}), "Problem reading the file " + p + "\n");
  EXPECT_TRUE(readFile(p).empty());
}

TEST_F(TiffmendFiles, AFileHeldOpenByOtherHandles) {
  HandTiff t = pages();
  const std::string p = tmp.path("open.tif");
  writeFile(p, t.bytes());
  // A reader part way through the file and holding a shared lock, and a
  // writer: neither stops the repair, and both see the repaired bytes.
  const int reader = open(p.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(flock(reader, LOCK_SH), 0);
  unsigned char head[8];
  ASSERT_EQ(read(reader, head, sizeof head), 8);
  const int writer = open(p.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(run({p}), "Fixed the file " + p + "\n");
  const Bytes expected = patched(t.bytes(), {30, 60, 90});
  Bytes seen(expected.size());
  ASSERT_EQ(pread(reader, seen.data(), seen.size(), 0), ssize_t(seen.size()));
  EXPECT_EQ(seen, expected);
  // The reader's position is its own.
  unsigned char next[2];
  ASSERT_EQ(read(reader, next, sizeof next), 2);
  EXPECT_EQ(next[0], expected[8]);
  ASSERT_EQ(pread(writer, seen.data(), seen.size(), 0), ssize_t(seen.size()));
  EXPECT_EQ(seen, expected);
  close(writer);
  close(reader);
  EXPECT_EQ(readFile(p), expected);
}

TEST_F(TiffmendFiles, ANamedPipeIsNotOpened) {
  // Reading a pipe without a writer would wait for ever: only regular files
  // are worked on.
  const std::string pipe = tmp.path("pipe.tif");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  EXPECT_EQ(run({"-v", pipe}), "Problem opening file " + pipe + "\n");
  // Character devices are not files either.
  EXPECT_EQ(run({"/dev/null"}), "Problem opening file /dev/null\n");
}

} // namespace
