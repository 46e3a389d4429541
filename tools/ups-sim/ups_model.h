// What the simulated UPS answers: readings per scenario and their reply lines.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "drivers/zota_up2200/zota_up2200_record.h"

namespace upssim {

enum class Scenario {
  kNormal,
  kSteady,
  kUtilityFailure,
  kLowBattery,
  kNoisy,
  kSilent,
  kCrlf,
  kLate,        // steady replies, each a set time after its poll
  kBabble,      // CR bytes without a pause, no reply
  kPowerCycle,  // utility fails and returns, every fail_after replies
  kOutage,      // a round of kOutageRound replies with one failure, fixed lengths
};

constexpr char kScenarioNames[] =
    "normal, steady, utility-failure, low-battery, noisy, silent, crlf, late, babble, power-cycle, "
    "outage";

// Scenario outage, in replies: normal, then on battery, then normal to the end
// of the round, and again; at 0.5 s polls the utility fails 10 s in and is back
// 20 s later, every minute.
constexpr long kOutageNormal = 20;
constexpr long kOutageFailure = 40;
constexpr long kOutageRound = 120;

// False for a name that is not one of kScenarioNames.
bool ParseScenario(const std::string& name, Scenario& out);

struct Reading {
  double input_v = 230.0;
  double fault_v = 229.5;
  double output_v = 230.0;
  int load_pct = 34;
  double freq_hz = 50.0;
  double battery_v = 2.05;
  double temp_c = 27.0;
  std::uint8_t flags = zota::kStandby | zota::kBeeperOn;
};

// The eight flag characters, bit 7 first.
std::string FormatFlags(std::uint8_t flags);

// The reply line in the instrument's field formats, start byte and CR included:
// "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r".
std::string FormatReply(const Reading& r);

// The reading of reply number n (from 0): normal readings drift a little from
// prev; failure scenarios switch after fail_after normal replies.
Reading NextReading(Scenario s, long n, const Reading& prev, int fail_after, std::mt19937& rng);

// The text cut into 1 to max_chunks consecutive, non-empty pieces.
std::vector<std::string> SplitIntoChunks(const std::string& text, int max_chunks,
                                         std::mt19937& rng);

// A CR-terminated line of a few letters that no decoder takes for a reply.
std::string GarbageLine(std::mt19937& rng);

}  // namespace upssim
