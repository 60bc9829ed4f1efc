// Functions registered with the embedded host, which modules reach through
// mexCallMATLAB as MATLAB functions by name.
#include "hoststate.h"

namespace embedded {

const kalhost::Function *registeredFunction(const std::string &name) {
  auto it = state().functions.find(name);
  return it == state().functions.end() ? nullptr : &it->second;
}

} // namespace embedded

using namespace embedded;

namespace kalhost {

void registerFunction(const std::string &name, Function f) {
  state().functions[name] = std::move(f);
}

void unregisterFunction(const std::string &name) { state().functions.erase(name); }

} // namespace kalhost

int mexCallMATLAB(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[], const char *name) {
  invoke(name == nullptr ? "" : name, nlhs, plhs, nrhs, prhs);
  return 0;
}
