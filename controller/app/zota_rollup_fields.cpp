#include "controller/app/zota_rollup_fields.h"

#include "drivers/zota_up2200/zota_up2200_fields.h"

namespace controller {

static_assert(zota::kMeasurementCount <= kMaxRollupMeasures, "more measurements than rollups hold");
static_assert(zota::kFlagCount <= kMaxRollupFlags, "more flags than rollups hold");

RollupFields ZotaRollupFields() {
  RollupFields f;
  f.record_type = zota::kRecordType;
  f.record_size = zota::kRecordSize;
  f.state_offset = zota::kStateOffset;
  for (const zota::Measurement& m : zota::kMeasurements) f.measures.push_back({m.key, m.offset});
  for (const zota::Flag& fl : zota::kFlags) f.flags.push_back({fl.key, fl.bit});
  return f;
}

namespace {

// Handed in before main, so that every program and test linking the
// controller has it before its first history; linked as an object, never
// dropped from an archive.
[[maybe_unused]] const bool kHandedIn = (UseRollupFields(ZotaRollupFields()), true);

}  // namespace

}  // namespace controller
