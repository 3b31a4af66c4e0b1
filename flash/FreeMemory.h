#pragma once

namespace rq70::flash {

// Hands memory that the program has freed back to the system. A station's slots allocate in
// arenas of their own, one per thread; without this, the pages a unit's update freed stay with
// the process, and a long shift's resident size creeps up by the fragments left between them.
void ReturnFreedMemory();

} // namespace rq70::flash
