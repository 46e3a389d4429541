#include "controller/history/history_fields.h"

#include <stdexcept>
#include <utility>

namespace controller {

namespace {

// Keys become column names unquoted: letters, digits and underscores only.
bool PlainName(const std::string& key) {
  if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
  for (const char c : key) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

void CheckRollupFields(const RollupFields& f) {
  if (f.measures.size() > kMaxRollupMeasures || f.flags.size() > kMaxRollupFlags)
    throw std::invalid_argument("rollup fields: more than " + std::to_string(kMaxRollupMeasures) +
                                " measurements or " + std::to_string(kMaxRollupFlags) + " flags");
  for (const RollupFields::Measure& m : f.measures) {
    if (!PlainName(m.key)) throw std::invalid_argument("rollup fields: bad key '" + m.key + "'");
    if (m.offset > f.record_size || f.record_size - m.offset < 2)
      throw std::invalid_argument("rollup fields: " + m.key + " lies outside the record");
  }
  for (const RollupFields::Flag& fl : f.flags) {
    if (!PlainName(fl.key)) throw std::invalid_argument("rollup fields: bad key '" + fl.key + "'");
  }
  if (!f.flags.empty() && f.state_offset >= f.record_size)
    throw std::invalid_argument("rollup fields: the state byte lies outside the record");
}

FieldTable CheckedFields(RollupFields fields) {
  CheckRollupFields(fields);
  return std::make_shared<const RollupFields>(std::move(fields));
}

bool DecodeRollup(const RollupFields& f, int type, const unsigned char* data, std::size_t len,
                  RollupValues* out) {
  if (type != f.record_type || len != f.record_size) return false;
  for (std::size_t i = 0; i < f.measures.size(); ++i) {
    const unsigned char* p =
        data + f.measures[i].offset;  // within len: checked by CheckRollupFields
    out->raw[i] = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  for (std::size_t i = 0; i < f.flags.size(); ++i)
    out->flag[i] = (data[f.state_offset] & f.flags[i].bit) != 0;
  return true;
}

}  // namespace controller
