#include "scenario_responder.h"

#include <chrono>
#include <thread>

namespace upssim {

namespace {

constexpr int kNoisyMaxChunks = 6;
constexpr int kNoisyMaxGapMs = 30;
constexpr int kNoisyGarbageOneIn = 4;
constexpr int kCrlfGapMs = 5;  // the LF follows the CR a little later, as on a slow line
constexpr std::size_t kBabbleBytes = 4096;  // CR bytes per write of the babbling line
constexpr char kPoll[] = "Q1";

}  // namespace

bool Ups::Answer(int fd, const std::string& line) {
  if (line != kPoll) {
    Log("ignored \"" + line + "\"");
    return true;
  }
  if (scenario_ == Scenario::kSilent || scenario_ == Scenario::kBabble) {
    Log("poll left unanswered");
    return true;
  }
  reading_ = NextReading(scenario_, replies_, reading_, opt_.fail_after, rng_);
  const std::string reply = FormatReply(reading_);
  ++replies_;
  Log("reply " + std::to_string(replies_) + ": " + reply.substr(0, reply.size() - 1));
  if (scenario_ == Scenario::kLate) {
    due_.emplace(Clock::now() + std::chrono::milliseconds(opt_.late_ms), reply);
    return true;
  }
  if (scenario_ == Scenario::kCrlf) {
    if (!WriteText(fd, reply)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCrlfGapMs));
    return WriteText(fd, "\n");
  }
  if (scenario_ != Scenario::kNoisy) return WriteText(fd, reply);
  if (std::uniform_int_distribution<int>(1, kNoisyGarbageOneIn)(rng_) == 1) {
    const std::string junk = GarbageLine(rng_);
    Log("garbage line " + junk.substr(0, junk.size() - 1));
    if (!WriteText(fd, junk)) return false;
  }
  for (const std::string& chunk : SplitIntoChunks(reply, kNoisyMaxChunks, rng_)) {
    const int gap = std::uniform_int_distribution<int>(0, kNoisyMaxGapMs)(rng_);
    std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    if (!WriteText(fd, chunk)) return false;
  }
  return true;
}

bool Ups::WriteDue(int fd, int& wait_ms) {
  if (scenario_ != Scenario::kBabble) {
    // Late replies, without logging each chunk again.
    Options quiet = opt_;
    quiet.verbose = false;
    return WriteDueChunks(fd, due_, quiet, wait_ms);
  }
  if (!babbling_) Log("babbling: CR bytes without a pause");
  babbling_ = true;
  wait_ms = 0;  // as fast as the terminal takes them, reading polls in between
  return WriteText(fd, std::string(kBabbleBytes, '\r'));
}

}  // namespace upssim
