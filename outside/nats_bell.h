// A small wrapper over the NATS C client for one purpose: telling
// processes that a numbered thing (a policy sequence number) is ready.
// Messages are the decimal number alone; the broker is named by a URL
// nats://HOST:PORT/SUBJECT (SUBJECT defaults to kDefaultSubject).
//
// Nothing here is trusted: a number heard on the broker is only a hint that
// the listener should look at its real source now.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace hxnats {

inline constexpr char kDefaultSubject[] = "gxpolicy.published";

struct Address {
  std::string server;   // nats://HOST:PORT
  std::string subject;  // a NATS subject of letters, digits, '.', '-' and '_'
};

// Splits url ("nats://HOST[:PORT][/SUBJECT]") into out. False with error
// saying why for another scheme, no host, or a subject with other
// characters (wildcards and blanks included) or empty tokens.
bool parseUrl(std::string const& url, Address& out, std::string& error);

// The number a message carries: 1 to 10 decimal digits, nothing else, at
// most 0xFFFFFFFF. False for anything else (the message is ignored).
bool parseSequence(std::string_view payload, std::uint64_t& out);

// Connects to url's server, publishes sequence to its subject and waits
// until the server has it, all within timeoutMs. False with error set when
// the URL is bad or the server cannot be reached or does not answer in
// time. Blocks the caller; opens and closes its own connection.
bool announce(std::string const& url, std::uint64_t sequence, int timeoutMs, std::string& error);

// A subscription that keeps itself connected: a server that is down at
// start or goes away is tried again with a growing delay (100 ms doubling
// to 10 s) for as long as the object lives. heard(n) runs on the client
// library's thread for every well-formed number; heard(0) after every
// (re)connection, since numbers sent while disconnected are lost. log gets
// one line per connection change.
class Listener {
 public:
  Listener(Address address, std::function<void(std::uint64_t)> heard, std::function<void(std::string const&)> log);
  Listener(Listener const&) = delete;
  Listener& operator=(Listener const&) = delete;
  // Stops (see stop).
  ~Listener();

  // Starts connecting in the background. False with error set only when the
  // client cannot be set up at all (bad options, no memory); a server that
  // does not answer is not an error.
  bool start(std::string& error);
  // Closes the connection; no heard call runs once it returns. Idempotent.
  void stop();
  // Messages received (well-formed or not).
  std::uint64_t received() const;
  // True while the connection to the server is up (false before the first
  // connection, after a loss until the reconnection, and once stopped).
  bool connected() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace hxnats
