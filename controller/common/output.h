// Where qdx-host's lines go. Standard output carries the running account,
// through a bounded buffer that a thread of its own writes out, so a slow or
// stalled reader never holds up polling: when the buffer is full the oldest
// lines are dropped and counted. When standard output fails (the reader went
// away, the disk is full) polling and storing go on, the failure is reported
// once on standard error and the closing lines move there too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace controller {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no
// port or file opened later takes one of their numbers.
void EnsureStandardDescriptors();

// Whether standard output is the systemd journal's stream (JOURNAL_STREAM
// names its device and inode), as it is for a service.
bool StdoutIsJournal();

// Routes descriptor 1 (our lines and the plug-ins' printf and std::cout alike)
// through the buffer; with plugin_lines false, what the plug-ins print is
// dropped and only our own lines go. Throws std::runtime_error when it cannot.
void StartOutput(bool plugin_lines = true);

// Writes what the buffer still holds, waiting at most wait for the reader; the
// closing lines go to standard error when they could not be shown.
void FinishOutput(std::chrono::milliseconds wait);

// Lines dropped because the reader was too slow.
std::uint64_t OutputLinesDropped();

// One line on standard output; dropped once standard output has failed.
void Say(const std::string& line);

// "qdx-host: " and the line on standard error.
void Complain(const std::string& line);

// One line on standard output, or on standard error once standard output has
// failed: for what must be seen at the end, such as the summary.
void SayLast(const std::string& line);

// The error number that made standard output fail, or 0.
int OutputError();

}  // namespace controller
