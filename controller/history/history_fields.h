// What the rollups sum up of a record, handed to each history by the program
// from its driver's field table: the record type and size, each measurement
// as an unsigned 16-bit little-endian field and each flag as a bit of a state
// byte. The history decodes records from this alone, so it needs no driver,
// and names its rollup columns after the keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace controller {

// Fixed room, so that folding a record allocates nothing.
constexpr std::size_t kMaxRollupMeasures = 8;
constexpr std::size_t kMaxRollupFlags = 8;

struct RollupFields {
  struct Measure {
    std::string key;  // column names key_min, key_max, key_sum
    std::size_t offset;
  };
  struct Flag {
    std::string key;  // column name key_rows
    std::uint8_t bit;
  };
  int record_type = 0;
  std::size_t record_size = 0;
  std::size_t state_offset = 0;  // the byte the flags are bits of
  std::vector<Measure> measures;
  std::vector<Flag> flags;
};

// A record's figures as the rollups count them.
struct RollupValues {
  std::array<std::uint16_t, kMaxRollupMeasures> raw{};
  std::array<bool, kMaxRollupFlags> flag{};
};

// A checked table, shared by the history objects given it: a history and
// its reader hold the table they were made with, whatever others hold.
using FieldTable = std::shared_ptr<const RollupFields>;

// The table checked (counts within room, fields within the record, keys
// plain names); throws std::invalid_argument naming the bad entry. Every
// history object checks the table it is given, once.
void CheckRollupFields(const RollupFields& f);
FieldTable CheckedFields(RollupFields fields);

// A stored record decoded by the table; false for another type or size.
bool DecodeRollup(const RollupFields& f, int type, const unsigned char* data, std::size_t len,
                  RollupValues* out);

// Value columns of a rollup row: rows, first_ms, first_id, then min, max and
// sum per measurement, then rows per flag.
inline int RollupValueCount(const RollupFields& f) {
  return 3 + 3 * static_cast<int>(f.measures.size()) + static_cast<int>(f.flags.size());
}

}  // namespace controller
