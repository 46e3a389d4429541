// Options for a history of zota_up2200 records, as the program makes them.
// For programs that link the controller's rollup fields.
#pragma once

#include "controller/app/zota_rollup_fields.h"
#include "controller/history/history_db.h"

namespace test_support {

inline controller::HistoryOptions ZotaHistory(controller::HistoryLimits limits = {}) {
  return {limits, controller::ZotaRollupFields()};
}

}  // namespace test_support
