// SIGINT, SIGTERM and SIGHUP as readable data on a descriptor the poll loop
// watches, so a signal never interrupts a device halfway through a cycle. A
// hang-up (the terminal or session went away) stops as cleanly as the others.
#pragma once

namespace controller {

// Blocks the signals in the calling thread and every thread it starts from
// now on, and returns the descriptor they arrive on; -1 on failure.
int CatchStopSignals();

// The name of the next stop signal waiting on fd, or null when none waits.
// Read as soon as it is seen, so the first signal is the one named.
const char* ReadStopSignal(int fd);

}  // namespace controller
