// Publication after administration changes: the administration service
// rings the publisher after every commit, and a thread of its own
// publishes a snapshot of the master (tools/common/publish.h: the format
// and folder `gxpolicy publish` writes, deltas included) once no further
// ring came for `delay` -- a burst of changes becomes one publication, and
// a replica polling every second sees a change within about a second plus
// the delay. A publication that fails is logged and tried again a second
// later while changes wait; one at start publishes what the master holds.
//
// Thread-safe: ring may be called on any thread, at any time between
// start and stop; it never blocks on a publication.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/common/publish.h"

namespace gxpolicyd {

class AdminPublisher {
 public:
  // log receives one line per publication and per failure (no secrets:
  // the paths and the sequence number).
  AdminPublisher(gxpolicy::PublishRequest request, std::chrono::milliseconds delay,
                 std::function<void(std::string const&)> log);
  AdminPublisher(AdminPublisher const&) = delete;
  AdminPublisher& operator=(AdminPublisher const&) = delete;
  // Stops (see stop).
  ~AdminPublisher();

  // After each publication that wrote something, announce its sequence
  // number at url (nats://HOST:PORT/SUBJECT, publish.h's
  // announcePublished; "": none). A broker that does not answer is logged
  // and costs only the replicas' freshness. Call before start.
  void announceTo(std::string url) { announce_ = std::move(url); }
  // Starts the thread and rings once (the master as it is at start).
  // Throws std::system_error when the thread cannot start.
  void start();
  // A change was committed: publish soon.
  void ring();
  // Publishes what is still waiting, then ends the thread.
  void stop();
  // The sequence number last published (0: none yet).
  unsigned long published() const;

 private:
  void run();
  void publishOnce();

  gxpolicy::PublishRequest request_;
  std::chrono::milliseconds delay_;
  std::function<void(std::string const&)> log_;
  std::string announce_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool pending_ = false;   // under lock_
  bool stopping_ = false;  // under lock_
  std::chrono::steady_clock::time_point lastRing_;  // under lock_
  unsigned long published_ = 0;                     // under lock_
  std::thread thread_;
};

}  // namespace gxpolicyd
