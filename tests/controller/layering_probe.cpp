// Compiled against one room's include path alone (see CMakeLists.txt): the
// header PROBE_HEADER names compiles only when the room may see it.
#include PROBE_HEADER
