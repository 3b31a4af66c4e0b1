#pragma once

namespace rq70::flash {

// Hands memory that the program has freed back to the system. A station's slots allocate in
// arenas of their own, one per thread; without this, the pages a unit's update freed stay with
// the process, and a long shift's resident size creeps up by the fragments left between them.
void ReturnFreedMemory();

// Lets every thread allocate from one heap instead of an arena of its own. Called before the
// station's slot threads start: eight slots at 4800 baud make too few allocations to contend for
// it, and one heap holds the fragments a long shift leaves in far fewer pages than eight do.
void ShareOneHeap();

} // namespace rq70::flash
