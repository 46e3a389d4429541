// GET /api/history: the request's parameters, checked, and the answer's text
// from the rows the history reader found for them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/history/history_reader.h"
#include "controller/status/status_board.h"

namespace controller {

using QueryParams = std::multimap<std::string, std::string>;

// A request that cannot be served as asked; the message names the parameter.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::int64_t kDefaultHistoryWindowMs = 3600 * 1000;
constexpr long kMaxHistoryStepS = 7 * 86400;

// The range to read (ReadHistory), the device by name and the answer's form.
struct HistoryRequest : HistoryRange {
  std::string device;
  bool csv = false;
};

// Throws BadRequest for a parameter not in allowed or given twice.
void CheckParamNames(const QueryParams& params, std::initializer_list<const char*> allowed);

// device=NAME (required), from=ISO, to=ISO (default: the hour up to now),
// limit=N (1 or more, capped at kMaxHistoryLimit), step=S, format=json|csv.
HistoryRequest ParseHistoryRequest(const QueryParams& params, const StatusBoard& board,
                                   std::int64_t now_ms);

// GET /api/log: from=ISO, to=ISO (default: no bound), device=NAME (a device,
// or qdx-host for its own events), limit=N (the newest N).
LogRange ParseLogRequest(const QueryParams& params, const StatusBoard& board);
// Each row its event's JSON with count, last_time and last_time_ms added;
// then the events whose repeats a row counts, and within how long.
std::string LogJson(const std::vector<LoggedRow>& rows,
                    const std::vector<std::string>& repeats = {});

std::string HistoryJson(const HistoryRequest& req, const HistoryPage& page);
// With step, the columns of each slice's figures after the first record's.
std::string HistoryCsv(const HistoryPage& page, bool step = false);

}  // namespace controller
