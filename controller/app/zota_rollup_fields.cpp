#include "controller/app/zota_rollup_fields.h"

#include "drivers/zota_up2200/zota_up2200_fields.h"

namespace controller {

static_assert(zota::kMeasurementCount <= kMaxRollupMeasures, "more measurements than rollups hold");
static_assert(zota::kFlagCount <= kMaxRollupFlags, "more flags than rollups hold");

namespace {

RollupFields Table() {
  RollupFields f;
  f.record_type = zota::kRecordType;
  f.record_size = zota::kRecordSize;
  f.state_offset = zota::kStateOffset;
  for (const zota::Measurement& m : zota::kMeasurements) f.measures.push_back({m.key, m.offset});
  for (const zota::Flag& fl : zota::kFlags) f.flags.push_back({fl.key, fl.bit});
  return f;
}

}  // namespace

FieldTable ZotaRollupFields() {
  // Checked once; every history of this device type shares it.
  static const FieldTable table = CheckedFields(Table());
  return table;
}

}  // namespace controller
