// Publication after administration changes; see admin_publish.h.
#include "tools/gxpolicyd/admin_publish.h"

#include <optional>
#include <utility>

#include "tools/common/status_text.h"

namespace gxpolicyd {

AdminPublisher::AdminPublisher(gxpolicy::PublishRequest request, std::chrono::milliseconds delay,
                               std::function<void(std::string const&)> log)
    : request_(std::move(request)), delay_(delay), log_(std::move(log)) {}

AdminPublisher::~AdminPublisher() { stop(); }

void AdminPublisher::start() {
  thread_ = std::thread([this] { run(); });
  ring();
}

void AdminPublisher::ring() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = true;
    lastRing_ = std::chrono::steady_clock::now();
  }
  wake_.notify_one();
}

void AdminPublisher::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_ || !thread_.joinable()) return;
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

unsigned long AdminPublisher::published() const {
  std::lock_guard<std::mutex> hold(lock_);
  return published_;
}

void AdminPublisher::run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return pending_ || stopping_; });
    if (!pending_) return;  // stopping with nothing waiting
    // Quiet for delay since the last ring (stopping publishes at once).
    while (!stopping_ && std::chrono::steady_clock::now() < lastRing_ + delay_)
      wake_.wait_until(hold, lastRing_ + delay_);
    pending_ = false;
    hold.unlock();
    publishOnce();
    hold.lock();
  }
}

void AdminPublisher::publishOnce() {
  gxpolicy::Problem problem;
  std::optional<gxpolicy::PublishOutcome> outcome;
  try {
    outcome = gxpolicy::publishSnapshot(request_, problem);
  } catch (std::bad_alloc const&) {
    problem = gxpolicy::Problem("cannot publish " + request_.master + ": out of memory");
  }
  if (outcome) {
    unsigned long const sequence = outcome->sequence();
    {
      std::lock_guard<std::mutex> hold(lock_);
      published_ = sequence;
    }
    if (outcome->unchanged) return;
    log_("published " + request_.master + " at sequence " + std::to_string(sequence) + " into " + request_.destination);
    // Off the lock: a broker that is slow to answer must not hold up ring.
    gxpolicy::Problem rang;
    if (!announce_.empty() && !gxpolicy::announcePublished(announce_, sequence, 1000, rang))
      log_(rang.message + "; replicas see the change at their next poll");
    return;
  }
  log_(problem.message + (problem.status != 0 ? " (" + gxpolicy::statusText(problem.status) + ")" : std::string()) +
       "; trying again in a second");
  std::unique_lock<std::mutex> hold(lock_);
  // Try again a second later.
  if (!stopping_) wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stopping_; });
  if (stopping_) return;  // the stop does not wait on a folder that keeps failing
  pending_ = true;
  lastRing_ = std::chrono::steady_clock::now() - delay_;
}

}  // namespace gxpolicyd
