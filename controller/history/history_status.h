// How a step of the history went: the one result type, with SQLite's result
// code where it gave one; and what such a code means for the writer.
#pragma once

#include "controller/common/result.h"

namespace controller {

// Whether a SQLite result code means another connection holds a lock for now.
bool IsRetryable(int rc);

// Whether a SQLite result code means the file is damaged.
bool IsDamage(int rc);

}  // namespace controller
