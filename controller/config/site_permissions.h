// Who besides qdx-host can read or change its site file. Notify targets may
// hold tokens and passwords, which a file every user can read gives away; a
// file every user can write lets anyone add a command that runs as qdx-host.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "controller/notify/notify_config.h"

namespace controller {

// Where the first secret of the targets seems to be ("target \"chat\": its
// headers"), or "" when none seems to hold one.
std::string SecretPlace(const std::vector<NotifyTarget>& targets);

// The warnings for a site file of this mode holding these targets.
std::vector<std::string> SiteFileWarnings(const std::string& path, mode_t mode,
                                          const std::vector<NotifyTarget>& targets);

// The same for the file as it is now; none when it cannot be looked at.
std::vector<std::string> CheckSiteFile(const std::string& path,
                                       const std::vector<NotifyTarget>& targets);

}  // namespace controller
