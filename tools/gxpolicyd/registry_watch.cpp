#include "tools/gxpolicyd/registry_watch.h"

#include <new>
#include <utility>

#include "outside/registry.h"
#include "tools/common/status_text.h"

namespace gxpolicyd {

RegistryWatch::RegistryWatch(gxreg::Registry& registry, std::string name, std::chrono::milliseconds period,
                             std::function<void(std::string const&)> log)
    : registry_(registry),
      name_(std::move(name)),
      period_(period),
      log_(std::move(log)),
      lastGeneration_(registry.generation()) {}

RegistryWatch::~RegistryWatch() { stop(); }

void RegistryWatch::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void RegistryWatch::poke() {
  std::lock_guard<std::mutex> hold(mutex_);
  poked_ = true;
  wake_.notify_all();
}

void RegistryWatch::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void RegistryWatch::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait_for(hold, period_, [this] { return stopping_ || poked_; });
      if (stopping_) return;
      poked_ = false;
    }
    // A check that runs out of memory (beyond the load, which says so
    // itself) leaves the registry in force; the next period tries again.
    try {
      checkOnce();
      outOfMemory_ = false;
    } catch (std::bad_alloc const&) {
      if (std::exchange(outOfMemory_, true)) continue;  // said when the run began
      try {
        log_("user registry " + name_ + ": out of memory while checking it; the users and groups read before stay in force");
      } catch (std::bad_alloc const&) {
      }
    }
  }
}

unsigned long RegistryWatch::checkOnce() {
  std::string message;
  unsigned long st = registry_.refresh(message);
  if (st != 0) {
    if (st != lastStatus_ || message != lastMessage_)
      log_("user registry " + name_ + ": " + (message.empty() ? gxpolicy::statusText(st) : message) +
           "; the users and groups read before stay in force");
  } else if (lastStatus_ != 0) {
    log_("user registry " + name_ + ": readable again");
  }
  lastStatus_ = st;
  lastMessage_ = std::move(message);
  std::uint64_t generation = registry_.generation();
  if (generation != lastGeneration_) {
    log_("user registry " + name_ + ": reloaded; callers resolved before are resolved again");
    lastGeneration_ = generation;
  }
  return st;
}

}  // namespace gxpolicyd
