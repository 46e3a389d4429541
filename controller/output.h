// Where qdx-host's lines go. Standard output carries the running account; when
// it fails (the reader went away, the disk is full) polling and storing go on,
// the failure is reported once on standard error and the closing lines move
// there too.
#pragma once

#include <string>

namespace controller {

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
