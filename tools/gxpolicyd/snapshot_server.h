// Serves a publish directory (daSnapshot.h: manifest.json and snapshots/)
// to replicas over HTTP, read only, with a long-poll on the manifest so
// that replicas learn of a new sequence number within milliseconds:
//
//   GET /snapshots/FILE                        FILE as it is on disk
//   GET /snapshots/manifest.json?after=N&wait=S
//       the manifest once its sequence number is above N: at once when it
//       already is, else when it changes (inotify on the directory, or
//       notify()) or after S seconds (at most maxWaitSeconds), whichever
//       comes first; then the current manifest, whatever its number
//
// FILE is "NAME" or "snapshots/NAME", NAME of letters, digits, '.', '-' and
// '_' not starting with '.' (so ".." and the publisher's private dot-files
// are never served); a symbolic link is not followed; anything else is 404.
// A bad "after" or "wait" is 400, another method 405. At most maxHeld
// long-polls are held at once; one more gets 503 with Retry-After, and the
// doorbell backs off. Each connection has a thread of its own (a held
// request waits on it), so connections are capped at connectionLimit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <microhttpd.h>


namespace gxpolicyd {

struct SnapshotServerOptions {
  std::string dir;                     // the publish directory
  std::string address = "127.0.0.1";   // IPv4 or IPv6 literal
  unsigned short port = 8282;          // 0: any free port (see port())
  unsigned maxHeld = 256;              // long-polls held at once
  unsigned maxWaitSeconds = 60;        // the longest hold a request may ask for
  unsigned connectionLimit = 1024;     // open connections (a thread each)
};

class SnapshotServer {
 public:
  // log receives one line per failure of the server itself.
  SnapshotServer(SnapshotServerOptions options, std::function<void(std::string const&)> log);
  SnapshotServer(SnapshotServer const&) = delete;
  SnapshotServer& operator=(SnapshotServer const&) = delete;
  ~SnapshotServer();  // stops

  // Binds and starts serving. False with error set when the directory is
  // not one, the address does not parse, the port is taken or a thread
  // cannot start.
  bool start(std::string& error);
  // Ends the held requests at once (answered with the current manifest,
  // or their connections closed as the server stops) and stops; idempotent.
  void stop();
  // The manifest may have changed: wakes the held long-polls, which read
  // it again. For a publisher in the same process; the directory watch
  // calls it for publishers elsewhere. Thread-safe, never blocks long.
  void notify();

  unsigned short port() const { return port_; }
  std::uint64_t requests() const { return requests_.load(std::memory_order_relaxed); }
  unsigned held() const { return held_.load(std::memory_order_relaxed); }

 private:
  struct Hooks;
  void watch();  // the inotify thread
  // Answers a long-poll on the manifest (MHD_Result as an int-sized enum).
  MHD_Result longPoll(MHD_Connection* c, char const* after);

  SnapshotServerOptions options_;
  std::function<void(std::string const&)> log_;
  int dirFd_ = -1;
  int inotifyFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  MHD_Daemon* daemon_ = nullptr;
  unsigned short port_ = 0;
  std::thread watcher_;
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<unsigned> held_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t generation_ = 0;  // under mutex_: bumped by notify
  bool stopping_ = false;         // under mutex_
};

}  // namespace gxpolicyd
