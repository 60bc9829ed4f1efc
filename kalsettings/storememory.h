// Where the blocks of the preference table and of the figure-name store come
// from.  The store itself never calls a host: the gateway hands it the host's
// persistent allocator once, before the first block is needed, and unit
// tests hand it a plain one.
#ifndef KALMEX_KALSETTINGS_STOREMEMORY_H
#define KALMEX_KALSETTINGS_STOREMEMORY_H

#include <cstddef>

struct StoreMemory {
  // A block of bytes that lasts until it is given back.  Never returns a null
  // block: when memory runs out, the source ends the call itself.
  void *(*take)(std::size_t bytes);
  // A block of count elements of size bytes, every byte zero.
  void *(*takeZeroed)(std::size_t count, std::size_t size);
  void (*giveBack)(void *block);
};

// The source every later block comes from.
void useStoreMemory(const StoreMemory *memory);
const StoreMemory &storeMemory();

#endif
