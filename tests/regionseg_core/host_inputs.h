// The fifteen inputs of a regionseg_core call through the embedded host.
#ifndef KALMEX_TESTS_REGIONSEG_HOST_INPUTS_H
#define KALMEX_TESTS_REGIONSEG_HOST_INPUTS_H

#include <vector>

#include "hosttest.h"

// Owns the image and the 14 parameters (P: doubles in argument order, reached
// through P::at(i)); any input can be swapped for another array.
template <typename P> struct CallInputs {
  CallInputs(kaltest::Array image, P p) {
    arrays.push_back(std::move(image));
    for (int i = 0; i < 14; ++i) {
      arrays.push_back(kaltest::doubleScalar(*p.at(i)));
    }
  }
  std::vector<const mxArray *> list() const {
    std::vector<const mxArray *> v;
    for (const kaltest::Array &a : arrays) {
      v.push_back(a.get());
    }
    return v;
  }
  std::vector<kaltest::Array> arrays;
};

#endif
