// Runs a fuzz target over files (seed corpora and inputs that once crashed),
// without the fuzzing engine: part of the ordinary tests.
#include <dirent.h>

#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size);

static bool runFile(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return false;
  }
  std::vector<unsigned char> bytes;
  unsigned char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    bytes.insert(bytes.end(), buf, buf + n);
  }
  std::fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int files = 0;
  for (int k = 1; k < argc; ++k) {
    DIR *dir = opendir(argv[k]);
    if (dir == nullptr) {
      files += runFile(argv[k]);
      continue;
    }
    while (dirent *e = readdir(dir)) {
      if (e->d_name[0] != '.') {
        files += runFile(std::string(argv[k]) + "/" + e->d_name);
      }
    }
    closedir(dir);
  }
  std::printf("replayed %d inputs\n", files);
  return 0;
}
