// host_segment IMAGE D1 D2 D3 OUT [NAME VALUE]...: kalseg's run of an image
// it has read, for the test that every caller gives the same labels.  IMAGE
// holds D1 x D2 x D3 uint8 grey values (first dimension fastest); OUT.labels
// and OUT.snaps receive the labels and the snapshot stack as int32.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "segrun.h"

int main(int argc, char **argv) {
  if (argc < 6 || argc % 2 != 0) {
    std::cerr << "usage: host_segment IMAGE D1 D2 D3 OUT [NAME VALUE]...\n";
    return 2;
  }
  kalseg::Volume image;
  image.d1 = std::atoi(argv[2]);
  image.d2 = std::atoi(argv[3]);
  image.d3 = std::atoi(argv[4]);
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  if (bytes.size() != image.size()) {
    std::cerr << "host_segment: " << argv[1] << " does not hold the image\n";
    return 2;
  }
  image.bytes.assign(bytes.begin(), bytes.end());
  segfront::Options opts;
  for (int k = 6; k + 1 < argc; k += 2) {
    const std::string e = kalseg::setOption(opts, argv[k], argv[k + 1]);
    if (!e.empty()) {
      std::cerr << "host_segment: " << e << "\n";
      return 2;
    }
  }
  // The module's progress lines are not wanted here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    return 2;
  }
  const kalseg::Result r = kalseg::segment(image, opts, true);
  if (!r.error.empty()) {
    std::cerr << "host_segment: " << r.error << "\n";
    return 1;
  }
  const std::string out = argv[5];
  std::ofstream(out + ".labels", std::ios::binary)
      .write(reinterpret_cast<const char *>(r.labels.data()),
             static_cast<std::streamsize>(r.labels.size() * sizeof(int32_t)));
  std::ofstream(out + ".snaps", std::ios::binary)
      .write(reinterpret_cast<const char *>(r.snapshots.get()),
             static_cast<std::streamsize>(r.labels.size() * sizeof(int32_t) *
                                          static_cast<std::size_t>(r.snapshotCount)));
  return 0;
}
