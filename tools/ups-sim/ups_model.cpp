#include "ups_model.h"

#include <algorithm>
#include <cstdio>

namespace upssim {

namespace {

constexpr double kNominalV = 230.0;
constexpr double kInputDriftV = 0.4;
constexpr double kInputBandV = 4.0;
constexpr double kFaultBelowV = 0.5;
constexpr double kNominalHz = 50.0;
constexpr double kHzBand = 0.1;
constexpr int kLoadBand = 3;
constexpr int kNominalLoad = 34;
constexpr double kTempDriftC = 0.1;
constexpr double kTempBandC = 1.5;
constexpr double kNominalTempC = 27.0;
constexpr double kCellFloatV = 2.05;
constexpr double kCellFallV = 0.02;  // per reply while on battery
constexpr double kCellLowStartV = 1.86;
constexpr double kCellLowV = 1.90;  // below this the battery-low flag is set
constexpr double kCellEmptyV = 1.60;
constexpr int kGarbageMin = 2;
constexpr int kGarbageMax = 6;

double Uniform(std::mt19937& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

double Clamp(double v, double centre, double band) {
  return std::min(std::max(v, centre - band), centre + band);
}

Reading Drift(const Reading& prev, std::mt19937& rng) {
  Reading r = prev;
  r.input_v =
      Clamp(prev.input_v + Uniform(rng, -kInputDriftV, kInputDriftV), kNominalV, kInputBandV);
  if (prev.input_v < kNominalV - kInputBandV) r.input_v = kNominalV;  // utility is back
  r.fault_v = r.input_v - kFaultBelowV;
  r.output_v = kNominalV;
  r.load_pct = std::min(std::max(prev.load_pct + std::uniform_int_distribution<int>(-1, 1)(rng),
                                 kNominalLoad - kLoadBand),
                        kNominalLoad + kLoadBand);
  r.freq_hz = kNominalHz + Uniform(rng, -kHzBand, kHzBand);
  r.battery_v = kCellFloatV;
  r.temp_c =
      Clamp(prev.temp_c + Uniform(rng, -kTempDriftC, kTempDriftC), kNominalTempC, kTempBandC);
  r.flags = zota::kStandby | zota::kBeeperOn;
  return r;
}

Reading OnBattery(const Reading& prev, double start_v, std::mt19937& rng) {
  Reading r = Drift(prev, rng);
  const bool was_on_battery = (prev.flags & zota::kUtilityFail) != 0;
  r.input_v = 0.0;
  r.fault_v = 0.0;
  r.freq_hz = 0.0;
  r.battery_v = std::max(kCellEmptyV, (was_on_battery ? prev.battery_v : start_v) - kCellFallV);
  r.flags = zota::kUtilityFail | zota::kStandby | zota::kBeeperOn;
  if (r.battery_v < kCellLowV) r.flags |= zota::kBatteryLow;
  return r;
}

}  // namespace

bool ParseScenario(const std::string& name, Scenario& out) {
  static const std::pair<const char*, Scenario> kTable[] = {
      {"normal", Scenario::kNormal},
      {"steady", Scenario::kSteady},
      {"utility-failure", Scenario::kUtilityFailure},
      {"low-battery", Scenario::kLowBattery},
      {"noisy", Scenario::kNoisy},
      {"silent", Scenario::kSilent},
      {"crlf", Scenario::kCrlf},
      {"late", Scenario::kLate},
      {"babble", Scenario::kBabble},
      {"power-cycle", Scenario::kPowerCycle},
      {"outage", Scenario::kOutage},
  };
  for (const auto& row : kTable) {
    if (name == row.first) {
      out = row.second;
      return true;
    }
  }
  return false;
}

std::string FormatFlags(std::uint8_t flags) {
  std::string out(zota::kFlagCount, '0');
  for (std::size_t bit = 0; bit < zota::kFlagCount; ++bit) {
    if (flags & zota::FlagBit(bit)) out[bit] = '1';
  }
  return out;
}

std::string FormatReply(const Reading& r) {
  char buf[96];
  std::snprintf(buf, sizeof(buf), "(%05.1f %05.1f %05.1f %03d %04.1f %4.2f %04.1f ", r.input_v,
                r.fault_v, r.output_v, std::min(std::max(r.load_pct, 0), 999), r.freq_hz,
                r.battery_v, r.temp_c);
  return buf + FormatFlags(r.flags) + "\r";
}

Reading NextReading(Scenario s, long n, const Reading& prev, int fail_after, std::mt19937& rng) {
  switch (s) {
    case Scenario::kSteady:
    case Scenario::kSilent:
    case Scenario::kLate:
    case Scenario::kBabble:
      return Reading{};
    case Scenario::kNormal:
    case Scenario::kNoisy:
    case Scenario::kCrlf:
      return Drift(prev, rng);
    case Scenario::kUtilityFailure:
      return n < fail_after ? Drift(prev, rng) : OnBattery(prev, kCellFloatV, rng);
    case Scenario::kLowBattery:
      return n < fail_after ? Drift(prev, rng) : OnBattery(prev, kCellLowStartV, rng);
    case Scenario::kPowerCycle:
      // fail_after normal replies, as many on battery, and again.
      return fail_after == 0 || (n / fail_after) % 2 == 0 ? Drift(prev, rng)
                                                          : OnBattery(prev, kCellFloatV, rng);
    case Scenario::kOutage: {
      const long at = n % kOutageRound - kOutageNormal;
      return at >= 0 && at < kOutageFailure ? OnBattery(prev, kCellFloatV, rng) : Drift(prev, rng);
    }
  }
  return prev;
}

std::vector<std::string> SplitIntoChunks(const std::string& text, int max_chunks,
                                         std::mt19937& rng) {
  const int most = std::max(1, std::min(max_chunks, static_cast<int>(text.size())));
  const int count = std::uniform_int_distribution<int>(1, most)(rng);
  // count - 1 distinct cut positions inside the text.
  std::vector<std::size_t> cuts;
  while (static_cast<int>(cuts.size()) < count - 1) {
    const std::size_t at = std::uniform_int_distribution<std::size_t>(1, text.size() - 1)(rng);
    if (std::find(cuts.begin(), cuts.end(), at) == cuts.end()) cuts.push_back(at);
  }
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string> chunks;
  std::size_t from = 0;
  for (std::size_t at : cuts) {
    chunks.push_back(text.substr(from, at - from));
    from = at;
  }
  chunks.push_back(text.substr(from));
  return chunks;
}

std::string GarbageLine(std::mt19937& rng) {
  const int len = std::uniform_int_distribution<int>(kGarbageMin, kGarbageMax)(rng);
  std::string out;
  for (int i = 0; i < len; ++i) {
    out += static_cast<char>('A' + std::uniform_int_distribution<int>(0, 25)(rng));
  }
  return out + "\r";
}

}  // namespace upssim
