// glibc: malloc_trim releases the free pages of every arena, not only the top of the main heap.
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

} // namespace rq70::flash
