// The rollups' field table of the zota_up2200 record, from the driver's own
// field table: the one place a history is told what a record holds.
#pragma once

#include "controller/history/history_fields.h"

namespace controller {

FieldTable ZotaRollupFields();

}  // namespace controller
