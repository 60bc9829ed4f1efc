// tiffmend on arbitrary file bytes and option words.  The call never ends
// with anything but its one error (no inputs), and a byte comparison of the
// file before and after shows that only 4-byte value fields of tag 262
// entries holding 3 in directories with more than one sample per pixel
// changed, each to the value 2.  The fields that may
// change are found here on our own, by walking the directory chain over a
// copy of the file that is patched as the module would patch it.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "kalhost.h"

namespace {

std::string gDir;     // a fresh temporary folder, removed at exit
std::string gFile;    // the file worked on, in that folder
std::string gMissing; // a name in that folder that never exists

void removeFolder() {
  unlink(gFile.c_str());
  rmdir(gDir.c_str());
}

unsigned get16(const std::vector<uint8_t> &f, size_t at, bool big) {
  return big ? (unsigned(f[at]) << 8) | f[at + 1] : (unsigned(f[at + 1]) << 8) | f[at];
}

uint32_t get32(const std::vector<uint8_t> &f, size_t at, bool big) {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    v |= uint32_t(f[at + (big ? 3 - k : k)]) << (8 * k);
  }
  return v;
}

// The SamplesPerPixel of the entries read (the first tag 277, its value as
// its field type stores it), or -1 when none of them is one.
int64_t samplesPerPixel(const std::vector<uint8_t> &entries, bool big) {
  for (size_t at = 0; at + 12 <= entries.size(); at += 12) {
    if (get16(entries, at, big) == 277) {
      const unsigned type = get16(entries, at + 2, big);
      return type == 1 || type == 6 || type == 7 ? entries[at + 8]
             : type == 4 || type == 9            ? get32(entries, at + 8, big)
                                                 : get16(entries, at + 8, big);
    }
  }
  return -1;
}

// One pass of the repair over f, as the file format defines it: follows the
// next-directory chain from the header (stopping at a directory already
// seen), rewrites every value field of a tag 262 entry holding 3 in f where
// the directory holds more than one sample per pixel (SamplesPerPixel read
// and not 1; absent means 1, but a directory cut before it is left alone),
// and adds the position of each such field to allowed.
void simulatePass(std::vector<uint8_t> &f, std::set<uint64_t> &allowed) {
  if (f.size() < 8 || !((f[0] == 'I' && f[1] == 'I') || (f[0] == 'M' && f[1] == 'M'))) {
    return;
  }
  const bool big = f[0] == 'M';
  if (get16(f, 2, big) != 42) {
    return;
  }
  std::set<uint32_t> seen;
  uint32_t offset = get32(f, 4, big);
  while (offset != 0 && seen.insert(offset).second) {
    const uint64_t o = offset;
    if (o + 2 > f.size()) {
      return;
    }
    const unsigned count = get16(f, o, big);
    const uint64_t room = (f.size() - (o + 2)) / 12;
    const unsigned got = room < count ? static_cast<unsigned>(room) : count;
    // The entries as they were read, before any rewrite in this directory.
    const std::vector<uint8_t> entries(f.begin() + static_cast<long>(o + 2),
                                       f.begin() + static_cast<long>(o + 2 + 12 * uint64_t(got)));
    uint32_t next = 0;
    const uint64_t nextAt = o + 2 + 12 * uint64_t(count);
    const bool whole = got == count && nextAt + 4 <= f.size();
    if (whole) {
      next = get32(f, nextAt, big);
    }
    const int64_t samples = samplesPerPixel(entries, big);
    const bool repairable = samples >= 0 && samples != 1;
    for (unsigned k = 0; k < got && repairable; ++k) {
      if (get16(entries, 12 * k, big) == 262 && get16(entries, 12 * k + 8, big) == 3) {
        const uint64_t at = o + 10 + 12 * uint64_t(k);
        allowed.insert(at);
        const uint8_t value[4] = {uint8_t(big ? 0 : 2), uint8_t(big ? 2 : 0), 0, 0};
        std::memcpy(&f[at], value, 4);
      }
    }
    if (!whole) {
      return;
    }
    offset = next;
  }
}

bool writeFile(const std::string &path, const uint8_t *data, size_t size) {
  FILE *fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(data, 1, size, fp) == size;
  return std::fclose(fp) == 0 && ok;
}

std::vector<uint8_t> readFile(const std::string &path) {
  std::vector<uint8_t> bytes;
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) {
    return bytes;
  }
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) {
    bytes.insert(bytes.end(), buf, buf + n);
  }
  std::fclose(fp);
  return bytes;
}

[[noreturn]] void fail(const char *what, uint64_t at) {
  std::fprintf(stderr, "tiffmend: %s at byte %llu\n", what, static_cast<unsigned long long>(at));
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/tiffmend_fuzz_XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  gDir = dir;
  gFile = gDir + "/file.tif";
  gMissing = gDir + "/missing.tif";
  std::atexit(removeFolder);
  kalfuzz::preload("tiffmend");
  return 0;
}

// Input: one byte with the number of inputs, one byte per input choosing
// what it is (the file, an option word, the missing file, any array), the
// option words' text, then the file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  kalfuzz::Bytes in(data, size);
  const int nrhs = in.byte() % 6;
  int passes = 0;
  kalfuzz::CallFrame frame;
  std::vector<mxArray *> &inputs = frame.inputs;
  for (int k = 0; k < nrhs; ++k) {
    const uint8_t kind = in.byte();
    if (kind < 128) {
      inputs.push_back(mxCreateString(gFile.c_str()));
      ++passes;
    } else if (kind < 200) {
      inputs.push_back(mxCreateString(("-" + in.text(6)).c_str()));
    } else if (kind < 220) {
      inputs.push_back(mxCreateString(gMissing.c_str()));
    } else {
      inputs.push_back(kalfuzz::makeArray(in, 16));
    }
  }
  const int nlhs = in.byte() % 2;
  // The rest is the file.
  const size_t used = in.position();
  const std::vector<uint8_t> before(data + used, data + size);
  if (!writeFile(gFile, before.data(), before.size())) {
    std::perror("tiffmend fuzzer: writing the file");
    std::abort();
  }

  const std::string error = frame.call("tiffmend", nlhs);
  if (!(error.empty() || (nrhs == 0 && error == "Expected at least one input file name."))) {
    std::fprintf(stderr, "tiffmend: unexpected error \"%s\"\n", error.c_str());
    std::abort();
  }
  kalhost::clearTranscript();

  std::vector<uint8_t> model = before;
  std::set<uint64_t> allowed;
  for (int p = 0; p < passes; ++p) {
    simulatePass(model, allowed);
  }
  const std::vector<uint8_t> after = readFile(gFile);
  if (after.size() != before.size()) {
    fail("the file changed its size", after.size());
  }
  const bool big = before.size() > 0 && before[0] == 'M';
  const uint8_t two[4] = {uint8_t(big ? 0 : 2), uint8_t(big ? 2 : 0), 0, 0};
  for (uint64_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) {
      continue;
    }
    // The changed byte must lie in a field that may be rewritten and hold
    // the byte of the value 2 that belongs there (fields of different
    // directories may overlap, so the whole field need not read 2).
    bool inField = false;
    for (uint64_t at = i >= 3 ? i - 3 : 0; at <= i; ++at) {
      if (allowed.count(at) != 0 && after[i] == two[i - at]) {
        inField = true;
      }
    }
    if (!inField) {
      fail("a byte outside the value fields to repair changed", i);
    }
  }
  unlink(gFile.c_str());
  return 0;
}
