// GET /api/history: the request's parameters, checked, and the rows they ask
// for, read from the history database through a read-only connection of the
// reader's own.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/history/history_db.h"
#include "controller/status/status_board.h"

namespace controller {

using QueryParams = std::multimap<std::string, std::string>;

// A request that cannot be served as asked; the message names the parameter.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::size_t kDefaultHistoryLimit = 1000;
constexpr std::size_t kMaxHistoryLimit = 10000;
constexpr std::int64_t kDefaultHistoryWindowMs = 3600 * 1000;
constexpr long kMaxHistoryStepS = 7 * 86400;

struct HistoryRequest {
  std::string device;
  std::uint32_t data_id = 0;
  std::string device_type;
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;
  std::size_t limit = kDefaultHistoryLimit;
  long step_s = 0;  // at most one record per this many seconds; 0: every record
  bool csv = false;
};

// Throws BadRequest for a parameter not in allowed or given twice.
void CheckParamNames(const QueryParams& params, std::initializer_list<const char*> allowed);

// device=NAME (required), from=ISO, to=ISO (default: the hour up to now),
// limit=N (1 or more, capped at kMaxHistoryLimit), step=S, format=json|csv.
HistoryRequest ParseHistoryRequest(const QueryParams& params, const StatusBoard& board,
                                   std::int64_t now_ms);

struct HistoryPage {
  std::vector<HistoryRow> rows;  // time as stored: "YYYY-MM-DDTHH:MM:SS.mmmZ"
  bool more = false;             // the range holds further records after the last row
};

// Rows of the device in [from, to], oldest first, in the order they were
// stored. Throws HistoryError when the database cannot be read.
HistoryPage ReadHistory(const std::string& db_path, const HistoryRequest& req);

std::string HistoryJson(const HistoryRequest& req, const HistoryPage& page);
std::string HistoryCsv(const HistoryPage& page);

}  // namespace controller
