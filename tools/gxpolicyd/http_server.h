// The HTTP transport of gxpolicyd, on libmicrohttpd: a pool of threads,
// each polling its share of the connections with epoll, hands every
// complete request to a handler and sends back what it returns. Bodies are
// collected up to a cap (larger ones get 413 without being read when their
// length is announced), and all bodies held at once within a budget (a
// request that finds it spent is handed on marked bodyOverBudget, its body
// unread); keep-alive, pipelining, chunked bodies and
// "Expect: 100-continue" are the library's.
//
// Limits of the machine: a request whose body or handling runs out of
// memory is answered 503 from a response made at start (nothing to
// allocate then), or, when even that cannot be queued, its connection is
// closed; the server goes on. Connections past the connection cap are
// closed as soon as they are accepted (never left waiting in the backlog),
// logged once per run of refusals. The cap is connectionLimit, lowered at
// start so that the connections fit under the process's descriptor limit
// with kDescriptorReserve descriptors to spare: accept never meets EMFILE
// through connections alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/gxpolicyd/http_types.h"

struct MHD_Daemon;
struct sockaddr_storage;

namespace gxpolicyd {

struct HttpOptions {
  std::string address = "127.0.0.1";  // IPv4 or IPv6 literal to listen on
  unsigned short port = 8181;
  // When not empty, a unix-domain socket at this path is listened on
  // instead of address and port: the socket file gets socketMode, so the
  // file's owner, group and mode decide who may connect. A socket left at
  // the path by an earlier run is replaced; any other file there is not.
  std::string socketPath;
  unsigned socketMode = 0660;
  unsigned threads = 2;                // polling threads, each answering its connections
  // Open connections at once; more are closed as they are accepted. Lowered
  // at start when the descriptor limit leaves room for fewer.
  unsigned connectionLimit = 16384;
  unsigned idleTimeoutSeconds = 60;    // an idle keep-alive connection is closed after this
  std::size_t maxBody = 1 << 20;       // bytes; larger gets 413
  std::size_t maxBodiesTotal = 64 << 20;  // bytes of bodies held across all connections at once
  // TLS (GnuTLS through the library): with a certificate and its key (PEM
  // text) every connection is TLS. With clientCaPem too, clients are asked
  // for a certificate (not required); one that verifies against those CAs
  // for a TLS client gives the request its subject's common name, when it
  // has exactly one (Request::clientName).
  std::string tlsCertPem, tlsKeyPem, clientCaPem;
};

class HttpServer {
 public:
  using Handler = std::function<Response(Request const&)>;
  // log receives the library's error messages, one line each.
  HttpServer(HttpOptions options, Handler handler, std::function<void(std::string const&)> log);
  HttpServer(HttpServer const&) = delete;
  HttpServer& operator=(HttpServer const&) = delete;
  // Stops at once when still running (see stop).
  ~HttpServer();

  // Descriptors kept free beyond the connections: the replica's refresh,
  // the registry's reload, the audit file's rotation and the library's
  // own need them while every connection is open.
  static constexpr unsigned kDescriptorReserve = 32;

  // Binds and starts the threads. True on success; false with error set
  // (a bad address, a port in use, a socket path taken by another file or
  // not writable, a thread that could not start, a descriptor limit that
  // leaves no room for a connection beside the reserve). Logs once when
  // the descriptor limit lowers the connection cap.
  bool start(std::string& error);
  // Stops accepting connections and new requests on open ones (those are
  // closed unanswered), waits up to graceMs for the requests being answered
  // to finish, then closes every connection and joins the threads; removes
  // the socket file of a unix-domain socket.
  void stop(unsigned graceMs = 10000);

  unsigned inFlight() const { return inFlight_.load(std::memory_order_relaxed); }
  unsigned connections() const { return connections_.load(std::memory_order_relaxed); }
  std::size_t bodyBytes() const { return bodyBytes_.load(std::memory_order_relaxed); }
  // Connections closed at accept because the cap was reached.
  std::uint64_t refusedConnections() const { return refused_.load(std::memory_order_relaxed); }

 private:
  struct Exchange;
  struct Hooks;  // the library's callbacks
  struct Prepared;  // made by start: the canned responses and the library log
  // The connection cap the descriptor limit leaves room for (at most
  // options_.connectionLimit); 0 when it leaves none.
  unsigned capUnderDescriptorLimit() const;
  // A listening unix-domain socket at options_.socketPath; -1 with error set.
  int listenUnix(std::string& error);
  // options_.address and port as a socket address (flags gets IPv6 when it
  // is one); false with error set when the address does not parse.
  bool inetAddress(sockaddr_storage& where, unsigned& flags, std::string& error) const;

  HttpOptions options_;
  Handler handler_;
  std::function<void(std::string const&)> log_;
  MHD_Daemon* daemon_ = nullptr;
  int listenSocket_ = -1;  // kept after quiesce, closed after the stop
  std::atomic<unsigned> inFlight_{0};
  std::atomic<bool> stopping_{false};  // stop has begun: no new request is taken
  std::atomic<unsigned> connections_{0};
  std::atomic<std::size_t> bodyBytes_{0};  // taken from maxBodiesTotal by the exchanges
  // The connections served at once: connectionLimit, or less when the
  // descriptor limit found at start leaves room for fewer (then: the limit
  // less the descriptors open at start and kDescriptorReserve). Several
  // threads accepting at the same instant may each admit one more.
  std::atomic<unsigned> connectionCap_{0};  // set by start
  std::atomic<bool> refusing_{false};       // the last connection accepted was refused
  std::atomic<std::uint64_t> refused_{0};
  std::unique_ptr<Prepared> prepared_;  // made by start, freed after the daemon stops
};

}  // namespace gxpolicyd
