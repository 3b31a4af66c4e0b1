// glibc: malloc_trim releases the free pages of every arena, not only the top of the main heap;
// M_ARENA_MAX bounds the arenas that threads get.
#include "flash/FreeMemory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace rq70::flash {

void ReturnFreedMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void ShareOneHeap() {
#if defined(__GLIBC__)
    ::mallopt(M_ARENA_MAX, 1);
#endif
}

} // namespace rq70::flash
