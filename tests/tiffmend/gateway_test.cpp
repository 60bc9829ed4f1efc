// tiffmend through the embedded host, loading the shipped module file: the
// one error, the option rules, the per-file report read from the transcript,
// inputs that are not names, and files that cannot be opened.
#include "hosttest.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tifffiles.h"

using namespace kaltest;
using namespace tifftest;

namespace {

class Tiffmend : public HostTest {
protected:
  TempDir tmp;

  // A one-directory file made by hand that declares palette colour over
  // three samples, and the file once repaired.
  std::string palette(const std::string &name, bool big = false) {
    HandTiff t(big);
    t.directory(8, {shortEntry(277, 3, big), shortEntry(262, 3, big)}, 0);
    const std::string p = tmp.path(name);
    writeFile(p, t.bytes());
    return p;
  }
  static Bytes repairedPalette(bool big = false) {
    HandTiff t(big);
    t.directory(8, {shortEntry(277, 3, big), shortEntry(262, 2, big)}, 0);
    return t.bytes();
  }
  std::string gif(const std::string &name) {
    const std::string p = tmp.path(name);
    writeFile(p, {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0});
    return p;
  }

  // Calls tiffmend with text inputs and returns the transcript.
  static std::string run(const std::vector<std::string> &inputs) {
    Call c = callWithTexts("tiffmend", 0, inputs);
    EXPECT_TRUE(c.ok()) << c.error();
    return c.transcript;
  }
};

// An offset in lower-case hexadecimal digits.
std::string hexOffset(uint64_t offset) {
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(offset));
  return text;
}

// A char array holding exactly these bytes, zero characters included.
Array rawText(const std::string &s) {
  const mwSize d[2] = {1, s.size()};
  Array a(mxCreateCharArray(2, d));
  mxChar *chars = mxGetChars(a.get());
  for (size_t i = 0; i < s.size(); ++i) {
    chars[i] = static_cast<unsigned char>(s[i]);
  }
  return a;
}

// Runs the test body with the current folder set to dir.
struct InFolder {
  explicit InFolder(const std::string &dir) : previous(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InFolder() { std::filesystem::current_path(previous); }
  std::filesystem::path previous;
};

TEST_F(Tiffmend, NoInputsIsTheOnlyError) {
  Call c = call("tiffmend", 0, {});
  EXPECT_FALSE(c.ok());
  EXPECT_EQ(c.error(), "Expected at least one input file name.");
  EXPECT_EQ(c.transcript, "");
  // Inputs that name nothing, or nothing usable, are no error.
  Array one = doubleScalar(1);
  Call d = call("tiffmend", 0, {one.get()});
  EXPECT_TRUE(d.ok()) << d.error();
  EXPECT_EQ(d.transcript, "");
}

TEST_F(Tiffmend, EachFileIsReportedInOrder) {
  TiffLayout layout;
  layout.pages = 3;
  layout.bigEndian = true;
  layout.extraTags = true;
  layout.paletteSamples = 3;
  const std::string pages = tmp.path("pages.tif");
  writeTiff(pages, layout);
  const Bytes before = readFile(pages);
  std::vector<uint64_t> offsets;
  for (const TiffDirectory &d : readDirectories(pages)) {
    offsets.push_back(d.offset);
  }
  TiffLayout rgbLayout;
  rgbLayout.palette = false;
  const std::string rgb = tmp.path("rgb.tif");
  writeTiff(rgb, rgbLayout);
  const Bytes rgbBefore = readFile(rgb);
  const std::string a = palette("a.tif");
  const std::string bad = gif("bad.gif");

  EXPECT_EQ(run({pages, rgb, a, bad, a}),
            "Fixed the file " + pages + "\nNothing to fix in " + rgb + "\nFixed the file " + a +
                "\nProblem reading the file " + bad + "\nNothing to fix in " + a + "\n");
  EXPECT_EQ(readFile(pages), patched(before, paletteValueFields(before, offsets)));
  for (const TiffDirectory &d : readDirectories(pages)) {
    EXPECT_EQ(d.photometric, 2);
  }
  EXPECT_EQ(readFile(rgb), rgbBefore);
  EXPECT_EQ(readFile(a), repairedPalette());
}

TEST_F(Tiffmend, VerboseGivesTheReasonOfEachFailure) {
  const std::string a = palette("a.tif", true);
  const std::string bad = gif("bad.gif");
  const std::string missing = tmp.path("missing.tif");
  // A true palette image (one sample per pixel), as libtiff writes it.
  const std::string indexed = tmp.path("indexed.tif");
  writeTiff(indexed, TiffLayout());
  const Bytes indexedBefore = readFile(indexed);
  EXPECT_EQ(run({bad, indexed, "-v", bad, missing, a, indexed}),
            "Problem reading the file " + bad + "\nNothing to fix in " + indexed +
                "\nNot a TIFF file, bad magic number 18759 (0x4947)\n"
                "Problem reading the file " +
                bad + "\nProblem opening file " + missing + "\nFixed the file " + a +
                "\nKept PhotometricInterpretation 3 in directory at offset 0x" +
                hexOffset(readDirectories(indexed)[0].offset) +
                ": palette image with one sample per pixel\nNothing to fix in " + indexed + "\n");
  EXPECT_EQ(readFile(a), repairedPalette(true));
  EXPECT_EQ(readFile(indexed), indexedBefore);
  // Every call starts afresh: no option outlives its call.
  EXPECT_EQ(run({bad}), "Problem reading the file " + bad + "\n");
}

TEST_F(Tiffmend, QuietWinsForTheRestOfTheCall) {
  const std::string a = palette("a.tif");
  const std::string b = palette("b.tif");
  const std::string bad = gif("bad.gif");
  // '-q' first: both repaired, nothing printed.
  EXPECT_EQ(run({"-q", a, b}), "");
  EXPECT_EQ(readFile(a), repairedPalette());
  EXPECT_EQ(readFile(b), repairedPalette());
  // '-q' between: a line for the first file only.
  palette("a.tif");
  palette("b.tif");
  EXPECT_EQ(run({a, "-q", b}), "Fixed the file " + a + "\n");
  EXPECT_EQ(readFile(b), repairedPalette());
  // Quiet clears verbose, and a later '-v' cannot bring it back.
  EXPECT_EQ(run({"-vq", bad, tmp.path("missing")}), "");
  EXPECT_EQ(run({"-q", "-v", bad, tmp.path("missing")}), "");
  EXPECT_EQ(run({"-Q", "-V", bad}), "");
  // Option words that set nothing.
  EXPECT_EQ(run({"-"}), "");
  EXPECT_EQ(run({"-x"}), "");
  EXPECT_EQ(run({"-x", bad}), "Problem reading the file " + bad + "\n");
}

TEST_F(Tiffmend, WordsStartingWithADashAreNeverFileNames) {
  InFolder here(tmp.dir());
  const Bytes before = readFile(palette("-"));
  palette("-x");
  EXPECT_EQ(run({"-", "-x"}), "");
  EXPECT_EQ(readFile(tmp.path("-")), before);
  EXPECT_EQ(readFile(tmp.path("-x")), before);
  // Relative names resolve against the current folder.
  palette("rel.tif");
  EXPECT_EQ(run({"rel.tif"}), "Fixed the file rel.tif\n");
  EXPECT_EQ(readFile(tmp.path("rel.tif")), repairedPalette());
}

TEST_F(Tiffmend, InputsThatAreNotTextAreSkipped) {
  const std::string a = palette("a.tif");
  Array name = text(a);
  Array number = doubleScalar(3);
  Array cell = cellMatrix(1, 1);
  Array st = structScalar();
  Array flag = logicalScalar(true);
  Call c = call("tiffmend", 0, {number.get(), cell.get(), name.get()});
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.transcript, "Fixed the file " + a + "\n");
  EXPECT_EQ(readFile(a), repairedPalette());

  Array verbose = text("-v");
  Call v = call("tiffmend", 0, {st.get(), verbose.get(), flag.get(), cell.get(), name.get()});
  ASSERT_TRUE(v.ok()) << v.error();
  EXPECT_EQ(v.transcript, "Skipping an input that is not a file name.\n"
                          "Skipping an input that is not a file name.\n"
                          "Nothing to fix in " +
                              a + "\n");
  Array quiet = text("-vq");
  Call q = call("tiffmend", 0, {quiet.get(), number.get(), name.get()});
  EXPECT_EQ(q.transcript, "");
}

TEST_F(Tiffmend, NamesAreUsedExactlyAsWritten) {
  InFolder here(tmp.dir());
  // A relative name of exactly 1023 characters is opened; one character
  // more would be cut to it, and is not opened at all.
  std::string dirs;
  while (dirs.size() + 201 < 1023 - 10) {
    dirs += std::string(200, 'd') + "/";
  }
  std::filesystem::create_directories(tmp.path(dirs));
  const std::string name = dirs + std::string(1023 - dirs.size(), 'n');
  ASSERT_EQ(name.size(), 1023u);
  palette(name);
  EXPECT_EQ(run({name}), "Fixed the file " + name + "\n");
  EXPECT_EQ(readFile(tmp.path(name)), repairedPalette());

  const Bytes before = readFile(palette(name));
  EXPECT_EQ(run({name + "x", "-q", name + ".tif"}), "Problem opening file " + name + "\n");
  EXPECT_EQ(readFile(tmp.path(name)), before);

  // A zero character would end the name early.
  const std::string a = palette("a.tif");
  Array withZero = rawText("a.tif" + std::string(1, '\0') + "more");
  Call c = call("tiffmend", 0, {withZero.get()});
  EXPECT_EQ(c.transcript, "Problem opening file a.tif\n");
  EXPECT_EQ(readFile(a), before);

  // The empty name opens nothing.
  EXPECT_EQ(run({""}), "Problem opening file \n");
}

TEST_F(Tiffmend, ReadOnlyAndMissingFilesAmongOthers) {
  const std::string a = palette("a.tif");
  const std::string locked = palette("locked.tif");
  const std::string missing = tmp.path("missing.tif");
  const std::string b = palette("b.tif", true);
  const Bytes lockedBefore = readFile(locked);
  ASSERT_EQ(chmod(tmp.dir().c_str(), 0755), 0);
  ASSERT_EQ(chmod(a.c_str(), 0666), 0);
  ASSERT_EQ(chmod(b.c_str(), 0666), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);

  // The superuser may write to any file: the call then runs in a child
  // process without those rights.  The module is loaded first, since the
  // build folder need not be readable without them.
  EXPECT_EQ(run({"-"}), "");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(3);
    }
    std::vector<Array> args;
    for (const std::string &s : {a, locked, missing, b}) {
      args.push_back(text(s));
    }
    const mxArray *in[4] = {args[0].get(), args[1].get(), args[2].get(), args[3].get()};
    kalhost::clearTranscript();
    mxArray *outs[1] = {nullptr};
    const kalhost::CallResult r = kalhost::call("tiffmend", 0, outs, 4, in);
    const std::string &out = kalhost::transcript();
    const bool written = write(fds[1], out.data(), out.size()) == ssize_t(out.size());
    _exit(r.ok && written ? 0 : 4);
  }
  close(fds[1]);
  std::string transcript;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
    transcript.append(buf, size_t(n));
  }
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(transcript, "Fixed the file " + a + "\nProblem opening file " + locked +
                            "\nProblem opening file " + missing + "\nFixed the file " + b + "\n");
  EXPECT_EQ(readFile(a), repairedPalette());
  EXPECT_EQ(readFile(b), repairedPalette(true));
  EXPECT_EQ(readFile(locked), lockedBefore);
}

} // namespace
