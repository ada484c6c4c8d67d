// Keeps gxpolicyd's user registry current: a thread that asks the registry
// to refresh itself (a file registry: one stat, and a reload when the file
// changed) every period, and at once when poked (SIGHUP, a new replica).
// A reload that changes the answers moves the registry's generation, on
// which the decision service forgets the callers it resolved.
//
// Logging: a failure is logged once when it starts (the previous contents
// stay in force), and so are the recovery and every reload that changed
// the answers. A check that runs out of memory is one such failure (logged
// once per run of them): the thread goes on and tries again at the next
// period.
//
// Threads: poke and stop may be called from any thread; refresh runs on the
// watcher's thread only (or on the caller's, for checkOnce).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace gxreg {
class Registry;
}

namespace gxpolicyd {

class RegistryWatch {
 public:
  // registry must outlive the watch; name says which registry in log lines.
  RegistryWatch(gxreg::Registry& registry, std::string name, std::chrono::milliseconds period,
                std::function<void(std::string const&)> log);
  RegistryWatch(RegistryWatch const&) = delete;
  RegistryWatch& operator=(RegistryWatch const&) = delete;
  // Stops the thread.
  ~RegistryWatch();

  // Starts the thread (once).
  void start();
  // Makes the thread refresh now.
  void poke();
  // Stops and joins the thread; refresh never waits on a network, so this
  // returns within one refresh.
  void stop();
  // One refresh with its log lines; the status of the refresh.
  unsigned long checkOnce();

 private:
  void run();

  gxreg::Registry& registry_;
  std::string const name_;
  std::chrono::milliseconds const period_;
  std::function<void(std::string const&)> log_;
  unsigned long lastStatus_ = 0;  // the thread that refreshes only
  std::string lastMessage_;
  std::uint64_t lastGeneration_ = 0;
  bool outOfMemory_ = false;  // the last check ran out of memory (logged once per run)

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // under mutex_
  bool poked_ = false;     // under mutex_
  std::thread thread_;
};

}  // namespace gxpolicyd
