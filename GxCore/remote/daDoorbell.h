// A doorbell tells a replica that its master has published a new sequence
// number, so that the replica looks at once instead of at its next poll.
// The data still comes from the snapshot store, checked as always: a
// doorbell only says when. A doorbell that is down costs freshness (the
// replica's poll remains) and one that lies (rings for a sequence number
// that does not exist) costs one look at the master, never a wrong answer.
//
// Two kinds, chosen by the URL daMakeDoorbell is given:
//   http(s)://...  a long-poll on the master's manifest: GET
//                  URL/manifest.json?after=N&wait=S, which a serving master
//                  holds until its manifest's sequence number passes N or S
//                  seconds end (a plain file server answers at once: the
//                  doorbell then paces itself to one request per S seconds);
//                  N is the larger of the replica's sequence number and the
//                  last one rung, so a replica that failed to take a number
//                  is not rung again and again for it
//   nats://HOST:PORT/SUBJECT  a NATS subscription (outside/nats_bell.h);
//                  a reconnection rings with 0 ("look now"), since numbers
//                  announced meanwhile are lost
// Either keeps trying after failures, with a delay that grows to about
// 10-30 seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "GxCore/remote/daHttpReplicatedClient.h"

class daDoorbell {
 public:
  // The sequence number announced, or 0: "something may have changed".
  using Ring = std::function<void(unsigned long sequence)>;
  virtual ~daDoorbell() = default;
  // Starts listening on threads of its own. current() gives the replica's
  // sequence number (it is called from those threads); ring is called there
  // too and must return quickly. False with error set when it cannot start
  // at all (a server that does not answer is not such a failure).
  virtual bool start(Ring ring, std::function<unsigned long()> current, std::string& error) = 0;
  // Stops listening; no ring call begins once it returns. Ends within about
  // a second. Idempotent.
  virtual void stop() = 0;
  // Requests made to the master or messages received so far.
  virtual std::uint64_t requests() const = 0;
  // True while the doorbell hears its source: the last long-poll request
  // was answered with a manifest, or the connection to the broker is up.
  // False before the first answer or connection, and once stopped.
  // Thread-safe.
  virtual bool answering() const = 0;
};

struct daDoorbellOptions {
  long waitSeconds = 30;      // long-poll: how long the master may hold one request
  daHttpReplicaOptions http;  // long-poll: TLS, bearer token and connect time-out as the replica's client
  std::function<void(std::string const&)> log;  // one line per connection change or failure (may be empty)
};

// A doorbell for url (see above), or null with error saying why (a scheme
// other than http, https and nats; a bad nats URL). Throws std::bad_alloc.
std::unique_ptr<daDoorbell> daMakeDoorbell(std::string const& url, daDoorbellOptions options, std::string& error);
