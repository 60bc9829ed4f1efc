#include "storememory.h"

namespace {

const StoreMemory *current = nullptr;

} // namespace

void useStoreMemory(const StoreMemory *memory) { current = memory; }

const StoreMemory &storeMemory() { return *current; }
