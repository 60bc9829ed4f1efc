// Turning fuzzer bytes into MEX arrays of every class and shape, and the
// checks every gateway fuzzer makes after a call.
#ifndef KALMEX_FUZZ_FUZZINPUT_H
#define KALMEX_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kalhost.h"
#include "mex.h"

namespace kalfuzz {

// Reads the input front to back; past its end every read gives 0.
class Bytes {
public:
  Bytes(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u32();
  double f64();
  // Up to max bytes of text (stops at a zero byte).
  std::string text(std::size_t max);
  bool empty() const { return pos_ >= size_; }
  // Bytes read so far: the rest of the input starts here.
  std::size_t position() const { return pos_; }

private:
  const uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The word with the case bit (0x20) of each character flipped or kept, as
// one byte each says.
inline std::string mixedCase(Bytes &in, std::string word) {
  for (char &c : word) {
    if (in.byte() & 1) {
      c = static_cast<char>(c ^ 0x20);
    }
  }
  return word;
}

// An array of a class, shape and content chosen by the bytes: every numeric
// class, logical, char, cell (nested), struct, complex and sparse; up to four
// dimensions; at most maxElements elements.
mxArray *makeArray(Bytes &in, std::size_t maxElements, int depth = 0);

// Owns the inputs of one call and checks afterwards that the call left
// nothing alive.
struct CallFrame {
  std::vector<mxArray *> inputs;
  std::size_t arraysBefore = 0, blocksBefore = 0;
  CallFrame();
  ~CallFrame();
  // Calls the module; returns the error text ("" on success).  Outputs are
  // destroyed; aborts when the call left arrays or blocks behind.
  std::string call(const char *module, int nlhs);
};

// Loads the module once so the fuzzer sees its coverage from the start.
void preload(const char *module);

// A call of a module holding the segmentation (regionseg_core,
// regionseg_front), now and then with one allocation failing as a byte of
// the input says: from 224 on the module's own, the 1 + 3 x (byte - 224)-th;
// from 216 on the host's, the 1 + (byte % hostPoints)-th.  The module is
// loaded first (preload).  A call that the host ended leaves what the
// module held to its next call: one without inputs is made then.  Aborts
// when the call left allocations of the module's own.
struct SegCall {
  kalhost::CallResult result;
  bool moduleFailed = false; // one of the module's allocations was made to fail
  bool hostEnded = false;    // the host ended the call for its memory
  std::string printed;       // what the call printed to standard output
};
SegCall callSegmentation(const char *module, uint8_t failure, int hostPoints, int nlhs,
                         mxArray *out[], std::vector<mxArray *> &inputs);

} // namespace kalfuzz

#endif
