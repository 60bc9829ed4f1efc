// The embedded host's arrays: creation, inspection, copies and release, with
// MATLAB's documented semantics.  An array made inside a call belongs to the
// call's scope (memory.cpp) until it is returned, stored in a container or
// made persistent.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "hoststate.h"

namespace embedded {

namespace {

// The first element of a data block holding T, as a double.
template <typename T> double firstAsDouble(const void *data) {
  return static_cast<double>(*static_cast<const T *>(data));
}

// What the host knows of a class: its name, the bytes of one element (a
// cell or a field holds a pointer), and how its first element reads as a
// double (cells and structs have none).
struct ClassTraits {
  mxClassID cls;
  const char *name;
  size_t elementSize;
  double (*first)(const void *data);
};

template <typename T> constexpr ClassTraits valueClass(mxClassID cls, const char *name) {
  return {cls, name, sizeof(T), firstAsDouble<T>};
}

// Every class that holds values, in the order of mxClassID: the part of its
// name in mxIsNAME and mxNAME_CLASS, its C type and its name.
// clang-format off
#define KX_VALUE_CLASSES(X) \
  X(Logical, LOGICAL, mxLogical, "logical") \
  X(Char, CHAR, mxChar, "char") \
  X(Double, DOUBLE, double, "double") \
  X(Single, SINGLE, float, "single") \
  X(Int8, INT8, int8_t, "int8") \
  X(Uint8, UINT8, uint8_t, "uint8") \
  X(Int16, INT16, int16_t, "int16") \
  X(Uint16, UINT16, uint16_t, "uint16") \
  X(Int32, INT32, int32_t, "int32") \
  X(Uint32, UINT32, uint32_t, "uint32") \
  X(Int64, INT64, int64_t, "int64") \
  X(Uint64, UINT64, uint64_t, "uint64")
// clang-format on

#define KX_TRAITS(part, id, type, text) valueClass<type>(mx##id##_CLASS, text),
const ClassTraits kClasses[] = {{mxCELL_CLASS, "cell", sizeof(mxArray *), nullptr},
                                {mxSTRUCT_CLASS, "struct", sizeof(mxArray *), nullptr},
                                KX_VALUE_CLASSES(KX_TRAITS)};
#undef KX_TRAITS

// The traits of a class, or null for a class that holds no data here.
const ClassTraits *traitsOf(mxClassID cls) {
  for (const ClassTraits &t : kClasses) {
    if (t.cls == cls) {
      return &t;
    }
  }
  return nullptr;
}

} // namespace

size_t classElementSize(mxClassID cls) {
  const ClassTraits *t = traitsOf(cls);
  return t == nullptr ? 0 : t->elementSize;
}

namespace {

bool isNumericClass(mxClassID cls) { return cls >= mxDOUBLE_CLASS && cls <= mxUINT64_CLASS; }

// MATLAB keeps at least two dimensions and drops trailing singleton ones.
std::vector<mwSize> normaliseDims(mwSize ndim, const mwSize *dims) {
  std::vector<mwSize> out(dims, dims + ndim);
  while (out.size() > 2 && out.back() == 1) {
    out.pop_back();
  }
  while (out.size() < 2) {
    out.push_back(out.empty() ? 0 : 1);
  }
  return out;
}

size_t countOf(const std::vector<mwSize> &dims) {
  size_t n = 1;
  for (mwSize d : dims) {
    if (d != 0 && n > std::numeric_limits<size_t>::max() / d) {
      raise("Requested array exceeds the maximum possible size.");
    }
    n *= d;
  }
  return n;
}

} // namespace

void track(mxArray *a) {
  ++state().liveArrays;
  Frame *f = currentFrame();
  if (f != nullptr) {
    a->frame = f;
    f->arrays.insert(a);
  }
}

void untrack(mxArray *a) {
  if (a->frame != nullptr) {
    a->frame->arrays.erase(a);
    a->frame = nullptr;
  }
}

namespace {

void *zeroedData(size_t count, size_t elementSize) {
  void *p = std::calloc(count == 0 ? 1 : count, elementSize == 0 ? 1 : elementSize);
  if (p == nullptr) {
    raise("Out of memory.", "MATLAB:nomem");
  }
  return p;
}

// Gives the array its real data: the host's own (block null) or a block
// handed over with mxSetData.
void attachData(mxArray *a, void *data, BlockHeader *block) {
  a->re = data;
  a->reBlock = block;
  if (data != nullptr) {
    state().realData[data] = a;
  }
}

mxArray *newArray(mxClassID cls, mwSize ndim, const mwSize *dims, bool complex) {
  noteAllocation();
  auto a = std::make_unique<mxArray>();
  a->cls = cls;
  a->dims = normaliseDims(ndim, dims);
  a->count = countOf(a->dims);
  a->stored = a->count;
  const size_t es = classElementSize(cls);
  if (cls == mxCELL_CLASS) {
    a->cells.assign(a->count, nullptr);
  } else if (cls != mxSTRUCT_CLASS) {
    attachData(a.get(), zeroedData(a->count, es), nullptr);
    if (complex) {
      a->im = zeroedData(a->count, es);
    }
  }
  mxArray *raw = a.release();
  track(raw);
  return raw;
}

// An array stored into a cell or a struct belongs to its container.
void adopt(mxArray *value) {
  if (value != nullptr) {
    untrack(value);
    value->persistent = false;
  }
}

int fieldIndex(const mxArray *a, const char *name) {
  for (size_t f = 0; f < a->fields.size(); ++f) {
    if (a->fields[f] == name) {
      return static_cast<int>(f);
    }
  }
  return -1;
}

} // namespace

void releaseData(mxArray *a) {
  if (a->re != nullptr) {
    state().realData.erase(a->re);
  }
  if (a->reBlock != nullptr) {
    a->reBlock->owner = nullptr;
    freeBlock(a->reBlock);
  } else {
    std::free(a->re);
  }
  a->re = nullptr;
  a->reBlock = nullptr;
  a->stored = 0;
}

void destroy(mxArray *a) {
  if (a == nullptr) {
    return;
  }
  untrack(a);
  for (mxArray *c : a->cells) {
    destroy(c);
  }
  releaseData(a);
  std::free(a->im);
  --state().liveArrays;
  delete a;
}

} // namespace embedded

using namespace embedded;

// ----------------------------------------------------------------- creation

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return newArray(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
}

mxArray *mxCreateDoubleScalar(double value) {
  mxArray *a = mxCreateDoubleMatrix(1, 1, mxREAL);
  *static_cast<double *>(a->re) = value;
  return a;
}

mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return mxCreateNumericArray(2, dims, classid, flag);
}

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid,
                              mxComplexity flag) {
  if (!isNumericClass(classid) && classid != mxLOGICAL_CLASS && classid != mxCHAR_CLASS) {
    raise("mxCreateNumericArray: invalid class.");
  }
  return newArray(classid, ndim, dims, flag == mxCOMPLEX);
}

mxArray *mxCreateLogicalScalar(mxLogical value) {
  mxArray *a = mxCreateLogicalMatrix(1, 1);
  *static_cast<mxLogical *>(a->re) = value;
  return a;
}

mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n) {
  const mwSize dims[2] = {m, n};
  return newArray(mxLOGICAL_CLASS, 2, dims, false);
}

mxArray *mxCreateLogicalArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxLOGICAL_CLASS, ndim, dims, false);
}

mxArray *mxCreateString(const char *str) {
  const size_t len = str == nullptr ? 0 : std::strlen(str);
  const mwSize dims[2] = {len == 0 ? mwSize{0} : mwSize{1}, len};
  mxArray *a = newArray(mxCHAR_CLASS, 2, dims, false);
  mxChar *chars = static_cast<mxChar *>(a->re);
  for (size_t i = 0; i < len; ++i) {
    chars[i] = static_cast<mxChar>(static_cast<unsigned char>(str[i]));
  }
  return a;
}

mxArray *mxCreateCharArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxCHAR_CLASS, ndim, dims, false);
}

mxArray *mxCreateCellMatrix(mwSize m, mwSize n) {
  const mwSize dims[2] = {m, n};
  return newArray(mxCELL_CLASS, 2, dims, false);
}

mxArray *mxCreateCellArray(mwSize ndim, const mwSize *dims) {
  return newArray(mxCELL_CLASS, ndim, dims, false);
}

mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames) {
  const mwSize dims[2] = {m, n};
  mxArray *a = newArray(mxSTRUCT_CLASS, 2, dims, false);
  for (int i = 0; i < nfields; ++i) {
    a->fields.emplace_back(fieldnames[i]);
  }
  a->cells.assign(a->count * a->fields.size(), nullptr);
  return a;
}

mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag) {
  // Only the flag and a value block of nzmax entries are modelled: enough for
  // a module to see a sparse array and refuse it.
  const mwSize dims[2] = {nzmax == 0 ? 1 : nzmax, 1};
  mxArray *a = newArray(mxDOUBLE_CLASS, 2, dims, flag == mxCOMPLEX);
  a->dims = {m, n};
  a->count = countOf(a->dims);
  a->sparse = true;
  return a;
}

mxArray *mxDuplicateArray(const mxArray *src) {
  if (src == nullptr) {
    return nullptr;
  }
  noteAllocation();
  auto a = std::make_unique<mxArray>();
  a->cls = src->cls;
  a->dims = src->dims;
  a->count = src->count;
  a->sparse = src->sparse;
  a->fields = src->fields;
  const size_t es = classElementSize(src->cls);
  a->stored = src->stored;
  const size_t stored = src->stored;
  if (src->re != nullptr) {
    attachData(a.get(), zeroedData(stored, es), nullptr);
    std::memcpy(a->re, src->re, stored * es);
  }
  if (src->im != nullptr) {
    a->im = zeroedData(stored, es);
    std::memcpy(a->im, src->im, stored * es);
  }
  mxArray *raw = a.release();
  track(raw);
  for (mxArray *c : src->cells) {
    mxArray *copy = c == nullptr ? nullptr : mxDuplicateArray(c);
    adopt(copy);
    raw->cells.push_back(copy);
  }
  return raw;
}

void mxDestroyArray(mxArray *a) { destroy(a); }

// --------------------------------------------------------------- inspection

mxClassID mxGetClassID(const mxArray *a) { return a->cls; }

const char *mxGetClassName(const mxArray *a) {
  const ClassTraits *t = traitsOf(a->cls);
  return t == nullptr ? "unknown" : t->name;
}

mwSize mxGetNumberOfDimensions(const mxArray *a) { return a->dims.size(); }

const mwSize *mxGetDimensions(const mxArray *a) { return a->dims.data(); }

// The data is not reallocated, as in MATLAB; dimensions whose elements it
// cannot hold are refused (cells and structs keep their count).
int mxSetDimensions(mxArray *a, const mwSize *dims, mwSize ndim) {
  std::vector<mwSize> fresh = normaliseDims(ndim, dims);
  const size_t count = countOf(fresh);
  const bool container = a->cls == mxCELL_CLASS || a->cls == mxSTRUCT_CLASS;
  if (a->sparse || (count != a->count && (container || count > a->stored))) {
    return 1;
  }
  a->dims = fresh;
  a->count = count;
  return 0;
}

size_t mxGetM(const mxArray *a) { return a->dims[0]; }

size_t mxGetN(const mxArray *a) {
  size_t n = 1;
  for (size_t i = 1; i < a->dims.size(); ++i) {
    n *= a->dims[i];
  }
  return n;
}

size_t mxGetNumberOfElements(const mxArray *a) { return a->count; }

size_t mxGetElementSize(const mxArray *a) { return classElementSize(a->cls); }

double *mxGetPr(const mxArray *a) { return static_cast<double *>(a->re); }

double *mxGetPi(const mxArray *a) { return static_cast<double *>(a->im); }

void *mxGetData(const mxArray *a) { return a->re; }

void mxSetData(mxArray *a, void *data) {
  if (a == nullptr || a->cls == mxCELL_CLASS || a->cls == mxSTRUCT_CLASS || a->sparse ||
      data == a->re) {
    return;
  }
  BlockHeader *h = data == nullptr ? nullptr : ownBlockOf(data, "mxSetData");
  releaseData(a);
  if (h != nullptr) {
    // The block leaves its call's scope and any persistence: it lives as
    // long as the array.
    if (h->frame != nullptr) {
      h->frame->blocks.erase(h);
      h->frame = nullptr;
    }
    if (h->persistent) {
      h->persistent = false;
      --state().persistentBlocks;
    }
    h->owner = a;
    const size_t es = classElementSize(a->cls);
    a->stored = es == 0 ? 0 : h->size / es;
  }
  attachData(a, data, h);
}

void *mxGetImagData(const mxArray *a) { return a->im; }

mxLogical *mxGetLogicals(const mxArray *a) {
  return a->cls == mxLOGICAL_CLASS ? static_cast<mxLogical *>(a->re) : nullptr;
}

mxChar *mxGetChars(const mxArray *a) {
  return a->cls == mxCHAR_CLASS ? static_cast<mxChar *>(a->re) : nullptr;
}

double mxGetScalar(const mxArray *a) {
  if (a == nullptr || a->re == nullptr || a->count == 0) {
    return 0.0;
  }
  const ClassTraits *t = traitsOf(a->cls);
  return t == nullptr || t->first == nullptr ? 0.0 : t->first(a->re);
}

int mxGetString(const mxArray *a, char *buf, mwSize buflen) {
  // MATLAB's documented behaviour: at most buflen - 1 characters and a zero.
  if (buf == nullptr || buflen == 0) {
    return 1;
  }
  buf[0] = '\0';
  if (a == nullptr || a->cls != mxCHAR_CLASS) {
    return 1;
  }
  const mxChar *chars = static_cast<const mxChar *>(a->re);
  const size_t copied = std::min(a->count, static_cast<size_t>(buflen) - 1);
  for (size_t i = 0; i < copied; ++i) {
    buf[i] = chars[i] < 256 ? static_cast<char>(chars[i]) : '?';
  }
  buf[copied] = '\0';
  return copied < a->count ? 1 : 0;
}

char *mxArrayToString(const mxArray *a) {
  if (a == nullptr || a->cls != mxCHAR_CLASS) {
    return nullptr;
  }
  char *out = static_cast<char *>(mxMalloc(a->count + 1));
  mxGetString(a, out, a->count + 1);
  return out;
}

mxArray *mxGetCell(const mxArray *a, mwIndex i) {
  if (a == nullptr || a->cls != mxCELL_CLASS || i >= a->cells.size()) {
    return nullptr;
  }
  return a->cells[i];
}

void mxSetCell(mxArray *a, mwIndex i, mxArray *value) {
  if (a == nullptr || a->cls != mxCELL_CLASS || i >= a->cells.size()) {
    return;
  }
  adopt(value);
  a->cells[i] = value;
}

int mxGetNumberOfFields(const mxArray *a) {
  return a->cls == mxSTRUCT_CLASS ? static_cast<int>(a->fields.size()) : 0;
}

mxArray *mxGetField(const mxArray *a, mwIndex i, const char *name) {
  if (a == nullptr || a->cls != mxSTRUCT_CLASS || i >= a->count) {
    return nullptr;
  }
  const int f = fieldIndex(a, name);
  return f < 0 ? nullptr : a->cells[i * a->fields.size() + static_cast<size_t>(f)];
}

void mxSetField(mxArray *a, mwIndex i, const char *name, mxArray *value) {
  if (a == nullptr || a->cls != mxSTRUCT_CLASS || i >= a->count) {
    return;
  }
  const int f = fieldIndex(a, name);
  if (f >= 0) {
    adopt(value);
    a->cells[i * a->fields.size() + static_cast<size_t>(f)] = value;
  }
}

#define KX_CLASS_TEST(part, id, type, text)                                                        \
  bool mxIs##part(const mxArray *a) { return a->cls == mx##id##_CLASS; }
KX_VALUE_CLASSES(KX_CLASS_TEST)
#undef KX_CLASS_TEST
bool mxIsNumeric(const mxArray *a) { return isNumericClass(a->cls); }
bool mxIsCell(const mxArray *a) { return a->cls == mxCELL_CLASS; }
bool mxIsStruct(const mxArray *a) { return a->cls == mxSTRUCT_CLASS; }
bool mxIsComplex(const mxArray *a) { return a->im != nullptr; }
bool mxIsSparse(const mxArray *a) { return a->sparse; }
bool mxIsEmpty(const mxArray *a) { return a->count == 0; }
// MATLAB's own rule: any array of one element (text and cells included).
bool mxIsScalar(const mxArray *a) { return a->count == 1; }
bool mxIsClass(const mxArray *a, const char *name) {
  return std::strcmp(mxGetClassName(a), name) == 0;
}
bool mxIsNaN(double x) { return std::isnan(x); }
bool mxIsInf(double x) { return std::isinf(x); }
bool mxIsFinite(double x) { return std::isfinite(x); }
double mxGetNaN(void) { return std::numeric_limits<double>::quiet_NaN(); }
double mxGetInf(void) { return std::numeric_limits<double>::infinity(); }
double mxGetEps(void) { return std::numeric_limits<double>::epsilon(); }
