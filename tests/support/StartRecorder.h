#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "orsa/OrsaMireloForAIAgent.h"

namespace orsa::test {

// A front end's start delegate that keeps what it hears, in order, from whichever thread calls.
// A success is kept as {0, "success"}, so a test compares one list of outcomes.
class StartRecorder : public OrsaMireloStartDelegate {
 public:
  using Outcome = std::pair<int64_t, std::string>;
  using Outcomes = std::vector<Outcome>;

  void onMireloStartSuccess() override { add({0, "success"}); }
  void onMireloStartFail(int64_t code, const std::string& errorMsg) override {
    add({code, errorMsg});
  }
  void onMireloFirstFrameDraw() override { ++firstFrames_; }

  Outcomes seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_.size();
  }
  int firstFrames() const { return firstFrames_.load(); }

 private:
  void add(Outcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
  }

  mutable std::mutex mutex_;
  Outcomes outcomes_;
  std::atomic<int> firstFrames_{0};
};

}  // namespace orsa::test
