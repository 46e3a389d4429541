// The UPS record's checked signals as the controller looks them up. The
// measurements and flags themselves, and the decoding of a record, are in
// drivers/zota_up2200/zota_up2200_fields.h.
#pragma once

#include <string>

#include "controller/status/fixed_point.h"
#include "drivers/zota_up2200/zota_up2200_fields.h"

namespace controller {

constexpr bool DecimalsFit() {
  for (const zota::Measurement& m : zota::kMeasurements) {
    if (m.decimals > kMaxFixedDecimals) return false;
  }
  return true;
}
static_assert(DecimalsFit(), "a measurement with more decimals than AppendFixed writes");

// A checked signal: its ids and the field it checks.
using UpsSignal = zota::CheckedSignal;

// The measurement a checked signal checks (every one has one, see the fields header).
inline const zota::Measurement& MeasurementOf(const UpsSignal& s) {
  return *zota::MeasurementAt(s.offset);
}

// The signal with this signal or report id, or null.
inline const UpsSignal* FindUpsSignal(const std::string& id) {
  for (const UpsSignal& s : zota::kCheckedSignals) {
    if (id == s.signal_id || id == s.report_id) return &s;
  }
  return nullptr;
}

}  // namespace controller
