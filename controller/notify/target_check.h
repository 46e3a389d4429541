// What makes a target's setting one that can never work, found at start
// rather than at the first power failure. Each says why in a few words, or
// is empty; none repeats a webhook's URL, which may hold a token.
#pragma once

#include <string>

#include "controller/common/result.h"

namespace controller {

// A command's program: a path, or a bare name looked up in PATH as the
// command's start does; an executable file, not a folder.
std::string CommandFault(const std::string& program);

// A webhook URL as delivery uses it.
struct WebhookUrl {
  std::string base;  // "http://host:port", the scheme and authority
  std::string path;  // from the first '/' after them, query included; "/" when none
};

// An http:// or https:// URL with a host, a port from 1 to 65535 and a path
// of printable ASCII; no credentials (a header carries them). The one parser
// of a webhook's URL, for the start's check and for delivery alike.
Result<WebhookUrl> ParseWebhookUrl(const std::string& url);
std::string WebhookUrlFault(const std::string& url);

// A regular file this process can open for reading.
std::string ReadableFileFault(const std::string& path);

// An HTTP header name: one token of letters, digits and !#$%&'*+-.^_`|~.
std::string HeaderNameFault(const std::string& name);

}  // namespace controller
