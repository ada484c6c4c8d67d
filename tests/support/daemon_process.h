// A server program run by a test as a child process: started with its
// output in a log file, asked whether it has ended, stopped with a signal.
// The child dies with the test process (PR_SET_PDEATHSIG).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace gxtest {

// The gxpolicyd of this build; null in a tree built without the tools,
// where the tests that run it skip.
#ifdef GXPOLICYD_BINARY
inline char const* const kGxpolicydBinary = GXPOLICYD_BINARY;
#else
inline char const* const kGxpolicydBinary = nullptr;
#endif

// Waits up to limit for done(); whether it came true.
inline bool within(std::chrono::milliseconds limit, std::function<bool()> const& done) {
  for (auto give = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < give;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return done();
}

class DaemonProcess {
 public:
  DaemonProcess() = default;
  DaemonProcess(DaemonProcess const&) = delete;
  DaemonProcess& operator=(DaemonProcess const&) = delete;
  // A child still running is killed.
  ~DaemonProcess() {
    if (pid_ > 0) signal(SIGKILL, std::chrono::seconds(10));
  }

  // Runs argv (argv[0] the program's path) with stdout and stderr appended to log.
  void launch(std::vector<std::string> argv, std::string const& log) {
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execv(raw[0], raw.data());
      ::_exit(127);
    }
  }
  // launch, then waits up to limit for ready(): true once ready() holds
  // while the child runs; false when it ended first or limit passed.
  bool start(std::vector<std::string> argv, std::string const& log, std::chrono::milliseconds limit,
             std::function<bool()> const& ready) {
    launch(std::move(argv), log);
    return within(limit, [&] { return exited() || ready(); }) && !exited();
  }
  // True once the child has ended (status() then holds its exit status,
  // or 100 + the signal that ended it).
  bool exited() {
    int st = 0;
    if (pid_ > 0 && ::waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
    }
    return pid_ <= 0;
  }
  // Sends sig and waits up to limit for the end: the status, or -1 when it
  // had not ended (it is then killed).
  int signal(int sig, std::chrono::milliseconds limit) {
    if (pid_ <= 0) return status_;
    ::kill(pid_, sig);
    if (within(limit, [&] { return exited(); })) return status_;
    ::kill(pid_, SIGKILL);
    ::waitpid(std::exchange(pid_, -1), nullptr, 0);
    return -1;
  }
  // Waits for the child to end: its status as status() gives it.
  int wait() {
    int st = 0;
    if (pid_ > 0 && ::waitpid(std::exchange(pid_, -1), &st, 0) > 0)
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 100 + WTERMSIG(st);
    return status_;
  }
  int status() const { return status_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace gxtest
