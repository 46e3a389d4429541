// The scenario model: replies built from the reading model, sent whole, in
// noisy chunks, late, with CR LF, or not at all.
#pragma once

#include <random>
#include <string>

#include "responder.h"
#include "ups_model.h"

namespace upssim {

class Ups : public Responder {
 public:
  Ups(Scenario s, const Options& o) : scenario_(s), opt_(o), rng_(o.seed) {}
  bool Answer(int fd, const std::string& line) override;
  bool WriteDue(int fd, int& wait_ms) override;

 private:
  void Log(const std::string& text) const { upssim::Log(opt_, text); }

  Scenario scenario_;
  Options opt_;
  std::mt19937 rng_;
  Reading reading_{};
  long replies_ = 0;
  DueChunks due_;          // late replies
  bool babbling_ = false;  // logged once
};

}  // namespace upssim
