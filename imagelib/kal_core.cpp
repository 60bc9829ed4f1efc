// libkal core: counted allocation, resource lists, error chains, images and
// the records handed to callers.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <type_traits>

#include "kal_internal.h"

namespace {

// Every block carries its size in front, so that release can be counted.
struct BlockHeader {
  std::size_t bytes;
  std::size_t padding; // keeps the block handed out 16-byte aligned
};

// The allocation seam's counts and the failures a test asked for: the only
// state shared by calls that run at once on threads of one process (the
// Python package releases its lock around them), hence atomic.
std::atomic<int64_t> liveObjects{0};
std::atomic<int64_t> allocations{0};
std::atomic<int64_t> failAt{0};
std::atomic<bool> failRelease{false};

void *allocateBlock(std::size_t bytes) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) {
    return nullptr;
  }
  BlockHeader *block = static_cast<BlockHeader *>(std::calloc(1, sizeof(BlockHeader) + bytes));
  if (block == nullptr) {
    return nullptr;
  }
  block->bytes = bytes;
  ++liveObjects;
  return block + 1;
}

// Error records come from the heap; should even that fail, from this small
// reserve, so that a failure can always be reported.
const int kReserveSize = 32;
kal_ErrorRecord reserve[kReserveSize];
bool reserveUsed[kReserveSize];
std::mutex reserveLock; // guards reserveUsed

kal_ErrorRecord *newRecord() {
  kal_ErrorRecord *record =
      static_cast<kal_ErrorRecord *>(kalAllocateQuiet(sizeof(kal_ErrorRecord)));
  if (record != nullptr) {
    return record;
  }
  std::lock_guard<std::mutex> hold(reserveLock);
  for (int i = 0; i < kReserveSize; ++i) {
    if (!reserveUsed[i]) {
      reserveUsed[i] = true;
      std::memset(&reserve[i], 0, sizeof reserve[i]);
      return &reserve[i];
    }
  }
  std::fputs("libkal: no memory left to report an error\n", stderr);
  std::abort();
}

void releaseRecord(kal_ErrorRecord *record) {
  if (record >= reserve && record < reserve + kReserveSize) {
    std::lock_guard<std::mutex> hold(reserveLock);
    reserveUsed[record - reserve] = false;
    return;
  }
  kalFree(record);
}

const char kNoText[] = "kal_ErrorText: Out of memory while describing an error.";

void copyText(char *dst, std::size_t room, const char *src) {
  std::snprintf(dst, room, "%s", src == nullptr ? "" : src);
}

void releaseObject(kalObject *object) {
  switch (object->kind) {
  case kalKindImage: {
    kal_ImageRecord *image = reinterpret_cast<kal_ImageRecord *>(object);
    if (image->ownsPixels) {
      kalFree(image->pixels);
    }
    break;
  }
  case kalKindImageArray:
  case kalKindIntegerArray:
  case kalKindDataArray:
    // The record's entries live in the same block as the record.
    break;
  }
  kalFree(object);
}

template <typename Record, typename Entry>
Record *newRecordBlock(kalObjectKind kind, int32_t count, kal_Resources rs) {
  // One block: object header, record, entries.
  struct Block {
    kalObject header;
    Record record;
  };
  const std::size_t entries = static_cast<std::size_t>(count) * sizeof(Entry);
  Block *block = static_cast<Block *>(kalAllocate(sizeof(Block) + entries));
  if (block == nullptr) {
    return nullptr;
  }
  block->header.kind = kind;
  block->record.count = count;
  block->record.array = count > 0 ? reinterpret_cast<Entry *>(block + 1) : nullptr;
  kalRegister(rs, &block->header);
  return &block->record;
}

kal_Error setShape(const char *operation, kal_Image image, kal_DataType type, int32_t count,
                   const int32_t *sizes) {
  kal_Error e = kalCheckImage(operation, image, "image");
  if (e != nullptr) {
    return e;
  }
  if (image->type != kal_DT_NONE) {
    return kal_ErrorNew(operation, nullptr, "The image already has pixels.");
  }
  if (kal_DataTypeSize(type) == 0) {
    return kal_ErrorNew(operation, nullptr, "Unknown pixel type %d.", static_cast<int>(type));
  }
  if (count < 0 || count > KAL_MAX_DIMENSIONS) {
    return kal_ErrorNew(operation, nullptr, "An image has 0 to %d dimensions, not %d.",
                        KAL_MAX_DIMENSIONS, static_cast<int>(count));
  }
  if (count > 0 && sizes == nullptr) {
    return kal_ErrorNew(operation, nullptr, "No sizes given.");
  }
  int64_t total = 1;
  for (int32_t i = 0; i < count; ++i) {
    if (sizes[i] < 0) {
      return kal_ErrorNew(operation, nullptr, "Size %d of dimension %d is negative.",
                          static_cast<int>(sizes[i]), static_cast<int>(i + 1));
    }
    if (sizes[i] > 0 && total > INT64_MAX / 16 / sizes[i]) {
      return kal_ErrorNew(operation, nullptr, "The image is too large.");
    }
    total *= sizes[i];
  }
  image->dims = count;
  for (int32_t i = 0; i < count; ++i) {
    image->sizes[i] = sizes[i];
  }
  image->pixelCount = total;
  return nullptr;
}

} // namespace

// ---------------------------------------------------------------- allocation
//
// The library's one allocation seam: every block an operation takes or gives
// back passes here, and so does every failure a test forces (kal_testing.h):
// an allocation refused, or the release of a resource list reported as
// failed.  The operations themselves know nothing of tests.

void *kalAllocate(std::size_t bytes) {
  const int64_t made = ++allocations;
  const int64_t refused = failAt;
  if (refused > 0 && made == refused) {
    return nullptr;
  }
  return allocateBlock(bytes);
}

void *kalAllocateQuiet(std::size_t bytes) { return allocateBlock(bytes); }

void kalFree(void *block) {
  if (block == nullptr) {
    return;
  }
  --liveObjects;
  std::free(static_cast<BlockHeader *>(block) - 1);
}

bool kalFreeList(kal_ResourceList *list) {
  kalFree(list);
  if (failRelease.exchange(false)) {
    return false;
  }
  return true;
}

void kalRegister(kal_Resources rs, kalObject *object) {
  object->next = rs->first;
  rs->first = object;
}

// ---------------------------------------------------------------- test support

int64_t kal_LiveObjects(void) { return liveObjects; }

void kal_TestFailAllocation(int64_t n) {
  allocations = 0;
  failAt = n;
}

int64_t kal_TestAllocationCount(void) { return allocations; }

void kal_TestFailRelease(int on) { failRelease = on != 0; }

void kal_TestReset(void) {
  failAt = 0;
  allocations = 0;
  failRelease = false;
}

// ---------------------------------------------------------------- errors

kal_Error kal_ErrorNew(const char *operation, kal_Error cause, const char *format, ...) {
  kal_ErrorRecord *record = newRecord();
  record->next = cause;
  copyText(record->operation, sizeof record->operation, operation);
  va_list args;
  va_start(args, format);
  std::vsnprintf(record->message, sizeof record->message, format, args);
  va_end(args);
  record->text = nullptr;
  return record;
}

kal_Error kal_ErrorFree(kal_Error error) {
  while (error != nullptr) {
    kal_ErrorRecord *next = error->next;
    kalFree(error->text);
    releaseRecord(error);
    error = next;
  }
  return nullptr;
}

const char *kal_ErrorText(kal_Error error) {
  if (error == nullptr) {
    return "";
  }
  if (error->text != nullptr) {
    return error->text;
  }
  std::size_t length = 0;
  for (const kal_ErrorRecord *r = error; r != nullptr; r = r->next) {
    length += std::strlen(r->operation) + 2 + std::strlen(r->message) + 1;
  }
  char *text = static_cast<char *>(kalAllocateQuiet(length + 1));
  if (text == nullptr) {
    return kNoText;
  }
  char *p = text;
  for (const kal_ErrorRecord *r = error; r != nullptr; r = r->next) {
    const int n = std::snprintf(p, length + 1 - static_cast<std::size_t>(p - text), "%s%s: %s",
                                r == error ? "" : "\n", r->operation, r->message);
    p += n;
  }
  error->text = text;
  return text;
}

// ---------------------------------------------------------------- resource lists

kal_Error kal_ResourcesNew(kal_Resources *rs, int32_t flags) {
  if (rs == nullptr) {
    return kal_ErrorNew("kal_ResourcesNew", nullptr, "No place for the resource list.");
  }
  *rs = nullptr;
  if (flags != 0) {
    return kal_ErrorNew("kal_ResourcesNew", nullptr, "Unknown flags %d.", static_cast<int>(flags));
  }
  kal_ResourceList *list = static_cast<kal_ResourceList *>(kalAllocate(sizeof(kal_ResourceList)));
  if (list == nullptr) {
    return kal_ErrorNew("kal_ResourcesNew", nullptr, "Out of memory.");
  }
  list->first = nullptr;
  *rs = list;
  return nullptr;
}

kal_Error kal_ResourcesFree(kal_Resources *rs) {
  if (rs == nullptr || *rs == nullptr) {
    return nullptr;
  }
  kalObject *object = (*rs)->first;
  while (object != nullptr) {
    kalObject *next = object->next;
    releaseObject(object);
    object = next;
  }
  const bool released = kalFreeList(*rs);
  *rs = nullptr;
  if (!released) {
    return kal_ErrorNew("kal_ResourcesFree", nullptr, "Could not release the resource list.");
  }
  return nullptr;
}

// ---------------------------------------------------------------- images

kal_Error kal_ImageNew(kal_Image *image, kal_Resources rs) {
  if (image == nullptr || rs == nullptr) {
    return kal_ErrorNew("kal_ImageNew", nullptr, "No image slot or no resource list given.");
  }
  *image = nullptr;
  kal_ImageRecord *record = static_cast<kal_ImageRecord *>(kalAllocate(sizeof(kal_ImageRecord)));
  if (record == nullptr) {
    return kal_ErrorNew("kal_ImageNew", nullptr, "Out of memory.");
  }
  record->header.kind = kalKindImage;
  record->type = kal_DT_NONE;
  kalRegister(rs, &record->header);
  *image = record;
  return nullptr;
}

kal_Error kal_ImageForge(kal_Image image, kal_DataType type, int32_t count, const int32_t *sizes) {
  kal_Error e = setShape("kal_ImageForge", image, type, count, sizes);
  if (e != nullptr) {
    return e;
  }
  void *pixels = nullptr;
  if (image->pixelCount > 0) {
    const uint64_t bytes = static_cast<uint64_t>(image->pixelCount) * kal_DataTypeSize(type);
    if (bytes > SIZE_MAX / 2 ||
        (pixels = kalAllocate(static_cast<std::size_t>(bytes))) == nullptr) {
      image->dims = 0;
      image->pixelCount = 0;
      return kal_ErrorNew("kal_ImageForge", nullptr, "Out of memory.");
    }
  }
  image->type = type;
  image->pixels = pixels;
  image->ownsPixels = true;
  image->readOnly = false;
  return nullptr;
}

kal_Error kal_ImageAttach(kal_Image image, kal_DataType type, int32_t count, const int32_t *sizes,
                          const void *pixels) {
  kal_Error e = setShape("kal_ImageAttach", image, type, count, sizes);
  if (e != nullptr) {
    return e;
  }
  if (image->pixelCount > 0 && pixels == nullptr) {
    image->dims = 0;
    image->pixelCount = 0;
    return kal_ErrorNew("kal_ImageAttach", nullptr, "No pixels given.");
  }
  image->type = type;
  image->pixels = image->pixelCount > 0 ? const_cast<void *>(pixels) : nullptr;
  image->ownsPixels = false;
  image->readOnly = true;
  return nullptr;
}

kal_Error kal_ImageGetDimensionality(kal_Image image, int32_t *count) {
  kal_Error e = kalCheckImage("kal_ImageGetDimensionality", image, "image");
  if (e != nullptr) {
    return e;
  }
  if (count == nullptr) {
    return kal_ErrorNew("kal_ImageGetDimensionality", nullptr, "No place for the count.");
  }
  *count = image->dims;
  return nullptr;
}

kal_Error kal_ImageGetDimensions(kal_Image image, kal_IntegerArray **sizes, kal_Resources rs) {
  const char *op = "kal_ImageGetDimensions";
  kal_Error e = kalCheckImage(op, image, "image");
  if (e != nullptr) {
    return e;
  }
  if (sizes == nullptr || rs == nullptr) {
    return kal_ErrorNew(op, nullptr, "No place for the sizes or no resource list given.");
  }
  kal_IntegerArray *record =
      newRecordBlock<kal_IntegerArray, int32_t>(kalKindIntegerArray, image->dims, rs);
  if (record == nullptr) {
    return kal_ErrorNew(op, nullptr, "Out of memory.");
  }
  for (int32_t i = 0; i < image->dims; ++i) {
    record->array[i] = image->sizes[i];
  }
  *sizes = record;
  return nullptr;
}

kal_Error kal_ImageGetDataType(kal_Image image, kal_DataType *type) {
  kal_Error e = kalCheckImage("kal_ImageGetDataType", image, "image");
  if (e != nullptr) {
    return e;
  }
  *type = image->type;
  return nullptr;
}

kal_Error kal_ImageGetSize(kal_Image image, int32_t index, int32_t *size) {
  kal_Error e = kalCheckImage("kal_ImageGetSize", image, "image");
  if (e != nullptr) {
    return e;
  }
  if (index < 0 || index >= image->dims) {
    return kal_ErrorNew("kal_ImageGetSize", nullptr, "The image has no dimension %d.",
                        static_cast<int>(index));
  }
  *size = image->sizes[index];
  return nullptr;
}

kal_Error kal_ImageGetPixels(kal_Image image, const void **pixels) {
  kal_Error e = kalCheckImage("kal_ImageGetPixels", image, "image");
  if (e != nullptr) {
    return e;
  }
  *pixels = image->pixels;
  return nullptr;
}

kal_Error kal_ImageArrayNew(kal_ImageArray **array, int32_t count, kal_Resources rs) {
  const char *op = "kal_ImageArrayNew";
  if (array == nullptr || rs == nullptr) {
    return kal_ErrorNew(op, nullptr, "No place for the array or no resource list given.");
  }
  if (count < 0) {
    return kal_ErrorNew(op, nullptr, "The count %d is negative.", static_cast<int>(count));
  }
  kal_ImageArray *record = newRecordBlock<kal_ImageArray, kal_Image>(kalKindImageArray, count, rs);
  if (record == nullptr) {
    return kal_ErrorNew(op, nullptr, "Out of memory.");
  }
  *array = record;
  return nullptr;
}

kal_Error kal_ImageGetData(const kal_ImageArray *images, kal_DataArray **data,
                           kal_IntegerArray **types, kal_IntegerArray **counts,
                           kal_IntegerArray **dimensionalities, int32_t requiredType, int32_t flags,
                           kal_Resources rs) {
  const char *op = "kal_ImageGetData";
  if (images == nullptr || data == nullptr || rs == nullptr) {
    return kal_ErrorNew(op, nullptr, "No images, no place for the data or no resource list given.");
  }
  if (flags != 0) {
    return kal_ErrorNew(op, nullptr, "Unknown flags %d.", static_cast<int>(flags));
  }
  for (int32_t i = 0; i < images->count; ++i) {
    kal_Image image = images->array[i];
    if (image == nullptr || image->type == kal_DT_NONE) {
      return kal_ErrorNew(op, nullptr, "Image %d has no pixels.", static_cast<int>(i));
    }
    if (requiredType != 0 && image->type != requiredType) {
      return kal_ErrorNew(op, nullptr, "Image %d is of type %d, not %d.", static_cast<int>(i),
                          static_cast<int>(image->type), static_cast<int>(requiredType));
    }
    if (counts != nullptr && image->pixelCount > INT32_MAX) {
      return kal_ErrorNew(op, nullptr, "Image %d has more than 2^31 - 1 pixels.",
                          static_cast<int>(i));
    }
  }
  kal_DataArray *record =
      newRecordBlock<kal_DataArray, void *>(kalKindDataArray, images->count, rs);
  kal_IntegerArray *typeRecord =
      types == nullptr
          ? nullptr
          : newRecordBlock<kal_IntegerArray, int32_t>(kalKindIntegerArray, images->count, rs);
  kal_IntegerArray *countRecord =
      counts == nullptr
          ? nullptr
          : newRecordBlock<kal_IntegerArray, int32_t>(kalKindIntegerArray, images->count, rs);
  kal_IntegerArray *dimRecord =
      dimensionalities == nullptr
          ? nullptr
          : newRecordBlock<kal_IntegerArray, int32_t>(kalKindIntegerArray, images->count, rs);
  if (record == nullptr || (types != nullptr && typeRecord == nullptr) ||
      (counts != nullptr && countRecord == nullptr) ||
      (dimensionalities != nullptr && dimRecord == nullptr)) {
    return kal_ErrorNew(op, nullptr, "Out of memory.");
  }
  for (int32_t i = 0; i < images->count; ++i) {
    kal_Image image = images->array[i];
    record->array[i] = image->pixels;
    if (typeRecord != nullptr) {
      typeRecord->array[i] = image->type;
    }
    if (countRecord != nullptr) {
      countRecord->array[i] = static_cast<int32_t>(image->pixelCount);
    }
    if (dimRecord != nullptr) {
      dimRecord->array[i] = image->dims;
    }
  }
  *data = record;
  if (types != nullptr) {
    *types = typeRecord;
  }
  if (counts != nullptr) {
    *counts = countRecord;
  }
  if (dimensionalities != nullptr) {
    *dimensionalities = dimRecord;
  }
  return nullptr;
}

// ---------------------------------------------------------------- pixel helpers

void kalTypeRange(kal_DataType type, double *low, double *high) {
  *low = -HUGE_VAL;
  *high = HUGE_VAL;
  if (type == kal_DT_BIN) {
    *low = 0;
    *high = 1;
    return;
  }
  kalWithPixelType(type, [&](auto pixel) {
    using T = decltype(pixel);
    if constexpr (std::is_integral_v<T>) {
      *low = static_cast<double>(std::numeric_limits<T>::min());
      *high = static_cast<double>(std::numeric_limits<T>::max());
    }
  });
}

double kalReadPixel(const kal_ImageRecord *image, int64_t i) {
  double value = 0;
  kalWithPixelType(image->type, [&](auto pixel) {
    value = static_cast<double>(static_cast<const decltype(pixel) *>(image->pixels)[i]);
  });
  return value;
}

namespace {

template <typename T> void storeInteger(void *p, int64_t i, double value, double low, double high) {
  if (std::isnan(value)) {
    value = 0;
  }
  value = std::round(value);
  T result;
  if (value <= low) {
    result = static_cast<T>(low);
  } else if (value >= high) {
    // The top of a 64-bit range is not a double; take the type's own maximum.
    result = std::numeric_limits<T>::max();
  } else {
    result = static_cast<T>(value);
  }
  static_cast<T *>(p)[i] = result;
}

} // namespace

void kalWritePixel(kal_ImageRecord *image, int64_t i, double value) {
  double low = 0;
  double high = 0;
  kalTypeRange(image->type, &low, &high);
  kalWithPixelType(image->type, [&](auto pixel) {
    using T = decltype(pixel);
    if constexpr (std::is_floating_point_v<T>) {
      static_cast<T *>(image->pixels)[i] = static_cast<T>(value);
    } else {
      storeInteger<T>(image->pixels, i, value, low, high);
    }
  });
}

// ---------------------------------------------------------------- checks

kal_Error kalCheckImage(const char *operation, kal_Image image, const char *role) {
  if (image == nullptr) {
    return kal_ErrorNew(operation, nullptr, "No %s given.", role);
  }
  if (image->header.kind != kalKindImage) {
    return kal_ErrorNew(operation, nullptr, "The %s is not an image.", role);
  }
  return nullptr;
}

kal_Error kalCheckInput(const char *operation, kal_Image image, const char *role) {
  kal_Error e = kalCheckImage(operation, image, role);
  if (e == nullptr && image->type == kal_DT_NONE) {
    e = kal_ErrorNew(operation, nullptr, "The %s has no pixels.", role);
  }
  return e;
}

kal_Error kalCheckOutput(const char *operation, kal_Image out, kal_Image in) {
  kal_Error e = kalCheckImage(operation, out, "output image");
  if (e != nullptr) {
    return e;
  }
  if (out == in) {
    return kal_ErrorNew(operation, nullptr, "The output image is the input image.");
  }
  if (out->type != kal_DT_NONE) {
    return kal_ErrorNew(operation, nullptr, "The output image already has pixels.");
  }
  return nullptr;
}

kal_Error kalCheckMask(const char *operation, kal_Image mask, kal_Image image) {
  if (mask == nullptr) {
    return nullptr;
  }
  kal_Error e = kalCheckImage(operation, mask, "mask");
  if (e != nullptr) {
    return e;
  }
  if (mask->type == kal_DT_NONE) {
    return kal_ErrorNew(operation, nullptr, "The mask has no pixels.");
  }
  bool same = mask->dims == image->dims;
  for (int32_t i = 0; same && i < image->dims; ++i) {
    same = mask->sizes[i] == image->sizes[i];
  }
  if (!same) {
    return kal_ErrorNew(operation, nullptr, "The mask and the image differ in size.");
  }
  return nullptr;
}

bool kalInMask(const kal_ImageRecord *mask, int64_t i) {
  return mask == nullptr || kalReadPixel(mask, i) != 0;
}

void kalStrides(const kal_ImageRecord *image, int64_t *strides) {
  int64_t stride = 1;
  for (int32_t d = 0; d < image->dims; ++d) {
    strides[d] = stride;
    stride *= image->sizes[d];
  }
}
