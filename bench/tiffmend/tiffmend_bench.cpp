// tiffmend on a many-page palette TIFF, repaired in one call through the
// embedded host and the shipped module file.
//
//   tiffmend_bench                      Google Benchmark: the time of one call
//   tiffmend_bench --make FILE [PAGES]  writes the palette file (10,000 pages)
//   tiffmend_bench --repair ARGS...     one call of tiffmend with these inputs
//                                       (for counting system calls)
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kalhost.h"

namespace {

const int kPages = 10000;

bool makePaletteTiff(const std::string &path, int pages) {
  TIFF *t = TIFFOpen(path.c_str(), "wl");
  if (t == nullptr) {
    return false;
  }
  const uint32_t side = 64;
  std::vector<uint16_t> red(256), green(256), blue(256);
  for (int i = 0; i < 256; ++i) {
    red[i] = uint16_t(i * 257);
    green[i] = uint16_t((255 - i) * 257);
    blue[i] = uint16_t((i * 7 % 256) * 257);
  }
  std::vector<unsigned char> row(side);
  bool ok = true;
  for (int page = 0; page < pages && ok; ++page) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, side);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, side);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, side);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    TIFFSetField(t, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    TIFFSetField(t, TIFFTAG_PAGENUMBER, page, pages);
    for (uint32_t y = 0; y < side && ok; ++y) {
      for (uint32_t x = 0; x < side; ++x) {
        row[x] = static_cast<unsigned char>(x + y + page);
      }
      ok = TIFFWriteScanline(t, row.data(), y, 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(t) == 1;
  }
  TIFFClose(t);
  return ok;
}

// One call of tiffmend with text inputs; false when the call failed.
bool callTiffmend(const std::vector<std::string> &inputs) {
  std::vector<mxArray *> args;
  for (const std::string &s : inputs) {
    args.push_back(mxCreateString(s.c_str()));
  }
  mxArray *outs[1] = {nullptr};
  const kalhost::CallResult r = kalhost::call("tiffmend", 0, outs, int(args.size()),
                                              const_cast<const mxArray **>(args.data()));
  for (mxArray *a : args) {
    mxDestroyArray(a);
  }
  return r.ok;
}

std::vector<char> readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string &path, const std::vector<char> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

struct BenchFile {
  std::string dir;
  std::string path;
  std::vector<char> original;
  BenchFile() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tiffmend-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      dir = pattern;
      path = dir + "/pages.tif";
      if (makePaletteTiff(path, kPages)) {
        original = readAll(path);
      }
    }
  }
  ~BenchFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

BenchFile &benchFile() {
  static BenchFile file;
  return file;
}

// Every directory holds 3: each call rewrites 10,000 value fields.
void BM_RepairPalettePages(benchmark::State &state) {
  BenchFile &f = benchFile();
  if (f.original.empty()) {
    state.SkipWithError("cannot write the palette file");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    writeAll(f.path, f.original);
    kalhost::clearTranscript();
    state.ResumeTiming();
    if (!callTiffmend({f.path})) {
      state.SkipWithError("tiffmend failed");
      break;
    }
  }
  if (kalhost::transcript() != "Fixed the file " + f.path + "\n") {
    state.SkipWithError(("unexpected report: " + kalhost::transcript()).c_str());
  }
  state.counters["per_directory"] = benchmark::Counter(
      double(kPages), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RepairPalettePages)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same walk once repaired: reads only.
void BM_WalkRepairedPages(benchmark::State &state) {
  BenchFile &f = benchFile();
  if (f.original.empty()) {
    state.SkipWithError("cannot write the palette file");
    return;
  }
  writeAll(f.path, f.original);
  callTiffmend({"-q", f.path});
  for (auto _ : state) {
    if (!callTiffmend({"-q", f.path})) {
      state.SkipWithError("tiffmend failed");
      break;
    }
  }
  state.counters["per_directory"] = benchmark::Counter(
      double(kPages), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WalkRepairedPages)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
  kalhost::setSearchPath({kalhost::defaultModuleDir()});
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--make" && argc > 2) {
    return makePaletteTiff(argv[2], argc > 3 ? std::atoi(argv[3]) : kPages) ? 0 : 1;
  }
  if (mode == "--repair") {
    kalhost::setEcho(true);
    return callTiffmend(std::vector<std::string>(argv + 2, argv + argc)) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
