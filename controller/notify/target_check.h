// What makes a target's setting one that can never work, found at start
// rather than at the first power failure. Each says why in a few words, or
// is empty; none repeats a webhook's URL, which may hold a token.
#pragma once

#include <string>

namespace controller {

// A command's program: a path, or a bare name looked up in PATH as the
// command's start does; an executable file, not a folder.
std::string CommandFault(const std::string& program);

// An http:// or https:// URL with a host, a port from 1 to 65535 and a path
// of printable ASCII; no credentials (a header carries them).
std::string WebhookUrlFault(const std::string& url);

// A regular file this process can open for reading.
std::string ReadableFileFault(const std::string& path);

// An HTTP header name: one token of letters, digits and !#$%&'*+-.^_`|~.
std::string HeaderNameFault(const std::string& name);

}  // namespace controller
