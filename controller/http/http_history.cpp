#include "controller/http/http_history.h"

#include <climits>
#include <cstdint>

#include "controller/common/decimal.h"
#include "controller/common/device_name.h"
#include "controller/common/iso_time.h"

namespace controller {

namespace {

const std::string* Single(const QueryParams& params, const char* name) {
  const auto it = params.find(name);
  return it == params.end() ? nullptr : &it->second;
}

// A whole decimal number in [min, max]; none of strtol's leniency (sign,
// blanks, trailing text).
long ParseCount(const std::string& text, const char* name, long min, long max) {
  // Digits beyond any count's range are capped like a large count.
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  const long long v = digits ? ParseDecimal<long long>(text).value_or(LLONG_MAX) : -1;
  if (!digits || v < min)
    throw BadRequest(std::string("parameter \"") + name + "\" must be a whole number of at least " +
                     std::to_string(min));
  return v > max ? max : static_cast<long>(v);
}

// Any year is read, so that a time before 1970 is named as such.
std::int64_t ParseTime(const std::string& text, const char* name) {
  const auto ms = ParseIsoMs(text);
  if (!ms)
    throw BadRequest(std::string("parameter \"") + name +
                     "\" must be an ISO 8601 time such as 2026-12-07T10:00:00Z, not \"" + text +
                     "\"");
  if (*ms < 0)
    throw BadRequest(std::string("parameter \"") + name + "\" is before 1970, where the history " +
                     "begins: \"" + text + "\"");
  return *ms;
}

constexpr std::int64_t kDayMs = 86400 * 1000LL;

}  // namespace

void CheckParamNames(const QueryParams& params, std::initializer_list<const char*> allowed) {
  for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
    bool known = false;
    for (const char* name : allowed) known = known || it->first == name;
    if (!known) throw BadRequest("unknown parameter \"" + it->first + "\"");
    if (params.count(it->first) > 1)
      throw BadRequest("parameter \"" + it->first + "\" is given more than once");
  }
}

HistoryRequest ParseHistoryRequest(const QueryParams& params, const StatusBoard& board,
                                   std::int64_t now_ms) {
  CheckParamNames(params, {"device", "from", "to", "limit", "step", "format"});
  HistoryRequest req;
  const std::string* device = Single(params, "device");
  if (!device || device->empty()) throw BadRequest("parameter \"device\" is required");
  const auto status = board.Find(*device);
  if (!status) throw BadRequest("unknown device \"" + *device + "\"");
  req.device = *device;
  req.data_id = status->data_id;
  req.device_type = status->type;

  const std::string* from = Single(params, "from");
  const std::string* to = Single(params, "to");
  req.to_ms = to ? ParseTime(*to, "to") : now_ms;
  req.from_ms = from ? ParseTime(*from, "from") : req.to_ms - kDefaultHistoryWindowMs;
  if (req.from_ms < 0) req.from_ms = 0;
  if (req.from_ms > req.to_ms) throw BadRequest("\"from\" is later than \"to\"");

  if (const std::string* limit = Single(params, "limit"))
    req.limit = static_cast<std::size_t>(
        ParseCount(*limit, "limit", 1, static_cast<long>(kMaxHistoryLimit)));
  if (const std::string* step = Single(params, "step")) {
    req.step_s = ParseCount(*step, "step", 0, kMaxHistoryStepS + 1);
    if (req.step_s > kMaxHistoryStepS)
      throw BadRequest("parameter \"step\" must be at most " + std::to_string(kMaxHistoryStepS));
    // Each point sums its whole slice: over long ranges only rollups keep that cheap.
    if (req.step_s % 60 != 0 && req.to_ms - req.from_ms > kDayMs)
      throw BadRequest(
          "parameter \"step\" must be a whole number of minutes for a range over a "
          "day, so that each point can be summed from the minute rollups, not " +
          std::to_string(req.step_s));
  }
  if (const std::string* format = Single(params, "format")) {
    if (*format == "csv") {
      req.csv = true;
    } else if (*format != "json") {
      throw BadRequest("parameter \"format\" must be json or csv, not \"" + *format + "\"");
    }
  }
  return req;
}

LogRange ParseLogRequest(const QueryParams& params, const StatusBoard& board) {
  CheckParamNames(params, {"device", "from", "to", "limit"});
  LogRange req;
  req.to_ms = INT64_MAX;
  if (const std::string* device = Single(params, "device")) {
    if (*device != kOwnEventDevice && !board.Find(*device))
      throw BadRequest("unknown device \"" + *device + "\"");
    req.device = *device;
  }
  if (const std::string* from = Single(params, "from")) req.from_ms = ParseTime(*from, "from");
  if (const std::string* to = Single(params, "to")) req.to_ms = ParseTime(*to, "to");
  if (req.from_ms > req.to_ms) throw BadRequest("\"from\" is later than \"to\"");
  if (const std::string* limit = Single(params, "limit"))
    req.limit = static_cast<std::size_t>(
        ParseCount(*limit, "limit", 1, static_cast<long>(kMaxHistoryLimit)));
  return req;
}

}  // namespace controller
