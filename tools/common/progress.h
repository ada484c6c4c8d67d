// A one-line progress bar on standard error for the long-running gxpolicy
// commands (generate, import): "label [#####.....] done/total  pct%  rate/s",
// redrawn in place at most ten times a second. Draws nothing when standard
// error is not a terminal, so logs and pipes stay clean.
#pragma once

#include <chrono>
#include <string>

namespace gxpolicy {

class ProgressBar {
 public:
  enum class Unit { items, bytes };
  ProgressBar();
  ProgressBar(ProgressBar const&) = delete;
  ProgressBar& operator=(ProgressBar const&) = delete;
  // Clears the line if anything was drawn.
  ~ProgressBar();

  // Shows done of total under label (a new label restarts the rate).
  void update(std::string const& label, unsigned long done, unsigned long total, Unit unit = Unit::items);
  // Clears the line.
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool tty_;
  bool drawn_ = false;
  std::string label_;
  Clock::time_point started_, lastDraw_;
};

}  // namespace gxpolicy
