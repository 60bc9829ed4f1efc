/* Test support of libkal: the count of live library objects, and ways to make
 * an allocation or the release of a resource list fail, so that tests can
 * follow every failure path.  Both act in the library's allocation seam, never
 * inside an operation.  Not for use outside tests. */
#ifndef KALMEX_IMAGELIB_KAL_TESTING_H
#define KALMEX_IMAGELIB_KAL_TESTING_H

#include "kal.h"

/* Number of blocks the library holds: resource lists, images, pixel blocks,
 * records, error records and error texts. */
KAL_API int64_t kal_LiveObjects(void);

/* The n-th library allocation from now (1-based) fails as if memory ran out;
 * 0 turns this off.  Error records and texts are never made to fail, since
 * they carry the failure. */
KAL_API void kal_TestFailAllocation(int64_t n);
/* Library allocations since the last kal_TestFailAllocation. */
KAL_API int64_t kal_TestAllocationCount(void);

/* The next kal_ResourcesFree of a list releases everything and then reports
 * "Could not release the resource list." */
KAL_API void kal_TestFailRelease(int on);
/* Turns off every forced failure. */
KAL_API void kal_TestReset(void);

#endif
