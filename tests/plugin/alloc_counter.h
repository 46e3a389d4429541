// Counts the heap blocks alive in the whole process. The program exports its
// replacement operator new and delete, so a loaded plug-in allocates through
// them as well.
#pragma once

namespace alloc_counter {

long LiveBlocks();

}  // namespace alloc_counter
