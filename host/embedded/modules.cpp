// The embedded host's modules: loading from the search path, locks, exit
// callbacks and clearing, as MATLAB does for its MEX files.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "hoststate.h"

namespace embedded {

Module *loadModule(const std::string &name) {
  HostState &s = state();
  auto it = s.modules.find(name);
  if (it != s.modules.end()) {
    return it->second.get();
  }
  for (const std::string &dir : s.searchPath) {
    const std::string path = dir + "/" + name + ".so";
    FILE *probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
      continue;
    }
    std::fclose(probe);
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (s.keepCode ? RTLD_NODELETE : 0));
    if (handle == nullptr) {
      raise(std::string("Invalid MEX-file '") + path + "': " + dlerror());
    }
    auto fn = reinterpret_cast<MexFn>(dlsym(handle, "mexFunction"));
    if (fn == nullptr) {
      dlclose(handle);
      raise(std::string("Invalid MEX-file '") + path + "': no mexFunction");
    }
    auto m = std::make_unique<Module>();
    m->name = name;
    m->path = path;
    m->handle = handle;
    m->fn = fn;
    Module *raw = m.get();
    s.modules[name] = std::move(m);
    return raw;
  }
  return nullptr;
}

namespace {

// The module whose call is running (a registered function called from a
// module runs on its behalf).
Module *callingModule() {
  HostState &s = state();
  for (auto it = s.frames.rbegin(); it != s.frames.rend(); ++it) {
    if ((*it)->module != nullptr) {
      return (*it)->module;
    }
  }
  return nullptr;
}

} // namespace

} // namespace embedded

using namespace embedded;

namespace kalhost {

void setSearchPath(const std::vector<std::string> &dirs) { state().searchPath = dirs; }

void addSearchPath(const std::string &dir) { state().searchPath.push_back(dir); }

std::string defaultModuleDir() {
  const char *env = std::getenv("KALMEX_MODULE_DIR");
  if (env != nullptr && *env != '\0') {
    return env;
  }
#ifdef KALMEX_DEFAULT_MODULE_DIR
  return KALMEX_DEFAULT_MODULE_DIR;
#else
  return ".";
#endif
}

bool clear(const std::string &name) {
  HostState &s = state();
  auto it = s.modules.find(name);
  if (it == s.modules.end() || it->second->locks > 0) {
    return false;
  }
  std::unique_ptr<Module> m = std::move(it->second);
  s.modules.erase(it);
  if (m->exitFn != nullptr) {
    Frame frame;
    frame.name = name;
    frame.module = m.get();
    s.frames.push_back(&frame);
    try {
      m->exitFn();
    } catch (const HostError &) {
      // An error in an exit callback cannot reach any caller.
    }
    s.frames.pop_back();
    releaseFrame(frame);
  }
  dlclose(m->handle);
  return true;
}

void clearAll() {
  std::vector<std::string> names;
  for (const auto &entry : state().modules) {
    names.push_back(entry.first);
  }
  for (const std::string &name : names) {
    clear(name);
  }
}

void setKeepCodeLoaded(bool on) { state().keepCode = on; }

bool isLoaded(const std::string &name) { return state().modules.count(name) != 0; }

bool isLocked(const std::string &name) {
  auto it = state().modules.find(name);
  return it != state().modules.end() && it->second->locks > 0;
}

} // namespace kalhost

void mexLock(void) {
  if (Module *m = callingModule()) {
    ++m->locks;
  }
}

void mexUnlock(void) {
  Module *m = callingModule();
  if (m != nullptr && m->locks > 0) {
    --m->locks;
  }
}

bool mexIsLocked(void) {
  Module *m = callingModule();
  return m != nullptr && m->locks > 0;
}

int mexAtExit(void (*callback)(void)) {
  if (Module *m = callingModule()) {
    m->exitFn = callback; // as in MATLAB, the latest registration counts
  }
  return 0;
}

const char *mexFunctionName(void) {
  Frame *f = currentFrame();
  return f == nullptr ? "" : f->name.c_str();
}
